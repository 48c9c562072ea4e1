// The decisions about control text, interface names and capture library errors.
#include "capture/Messages.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <string>

#include "capture/CaptureSource.h"
#include "capture/LiveSource.h"

namespace netsiphon {
namespace {

TEST(Messages, MatchOnlyTheBareTerminationLine) {
  const auto matches = [](std::string_view text) {
    return isTerminationLine(std::span(text.data(), text.size()));
  };
  EXPECT_TRUE(matches("Terminating Wirequill"));
  EXPECT_FALSE(matches("Terminating Wirequill\n"));
  EXPECT_FALSE(matches(std::string_view("Terminating Wirequill\0", 22)));
  EXPECT_FALSE(matches("Terminating Wirequil"));
  EXPECT_FALSE(matches("terminating wirequill"));
  EXPECT_FALSE(matches(""));
}

TEST(Messages, TellProgressLinesFromTheReasonsForAFailure) {
  EXPECT_TRUE(isProgressLine("Attempting to open Berkeley Packet Filter device: /dev/bpf0..."));
  EXPECT_TRUE(isProgressLine("Successfully set immediate mode."));
  EXPECT_TRUE(isProgressLine("Closing /dev/bpf device."));
  EXPECT_FALSE(isProgressLine("Could not set Berkeley Packet Filter interface!"));
  EXPECT_FALSE(isProgressLine("Capturing without promiscuous mode: not supported"));
  EXPECT_FALSE(isProgressLine(""));
}

TEST(Messages, RefuseInterfaceNamesThatDoNotFitTheKernelsField) {
  EXPECT_FALSE(interfaceNameProblem("eth0"));
  EXPECT_FALSE(interfaceNameProblem(std::string(15, 'x')));
  EXPECT_EQ(interfaceNameProblem(std::string(16, 'x')),
            "The interface name is longer than 15 characters.");
  EXPECT_EQ(interfaceNameProblem(""), "The interface name is empty.");
}

TEST(Messages, PlaceCaptureLibraryErrorsAtTheirStep) {
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_PERM_DENIED), Step::kOpen);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR), Step::kOpen);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_NO_SUCH_DEVICE), Step::kInterface);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_IFACE_NOT_UP), Step::kInterface);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_PROMISC_PERM_DENIED), Step::kPromiscuous);
  EXPECT_EQ(stepOfActivationError(PCAP_ERROR_TSTAMP_PRECISION_NOTSUP), Step::kImmediate);

  EXPECT_FALSE(linkTypeProblem(DLT_LINUX_SLL));
  const std::optional<StartupProblem> radio = linkTypeProblem(DLT_IEEE802_11_RADIO);
  ASSERT_TRUE(radio);
  EXPECT_EQ(radio->step, Step::kInterface);
  EXPECT_EQ(radio->reason,
            "Link type 127 (IEEE802_11_RADIO) cannot be handed out as Ethernet frames.");
}

}  // namespace
}  // namespace netsiphon
