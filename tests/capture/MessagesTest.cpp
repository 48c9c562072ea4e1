// Which of the helper's lines tell of progress, and the step a capture library error belongs to.
#include "capture/Messages.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include "capture/LiveSource.h"

namespace netsiphon {
namespace {

TEST(Messages, TellProgressLinesFromReasonsAndPlaceCaptureLibraryErrorsAtTheirStep) {
  EXPECT_TRUE(isProgressLine("Attempting to open Berkeley Packet Filter device: /dev/bpf0..."));
  EXPECT_TRUE(isProgressLine("Successfully set immediate mode."));
  EXPECT_TRUE(isProgressLine("Closing /dev/bpf device."));
  EXPECT_FALSE(isProgressLine("Could not set Berkeley Packet Filter interface!"));
  EXPECT_FALSE(isProgressLine("Capturing without promiscuous mode: not supported"));
  EXPECT_FALSE(isProgressLine(""));
  // Capture library errors belong to the step they stop.
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_PERM_DENIED), Step::kOpen);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR), Step::kOpen);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_NO_SUCH_DEVICE), Step::kInterface);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_IFACE_NOT_UP), Step::kInterface);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_RFMON_NOTSUP), Step::kInterface);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_PROMISC_PERM_DENIED), Step::kPromiscuous);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_CANTSET_TSTAMP_TYPE), Step::kImmediate);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_TSTAMP_PRECISION_NOTSUP), Step::kImmediate);
}

}  // namespace
}  // namespace netsiphon
