// The refine actions: what each keeps, that each halts both sides and shows the first row, and
// the texts the search fields refuse.

#include <gtest/gtest.h>

#include "tests/tracking/ControllerRig.h"
#include "tracking/MenuTags.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

TEST(RefineActions, ProtocolKeepsOneProtocolHaltsAndShowsTheFirstRow) {
  for (auto [tag, kept] : {std::pair{99, "17:u@0-0 1#12@0-0 6:t@0-0"},  // any other tag: all
                           {int{tags::KeepUDP}, "17:u@0-0"},
                           {int{tags::KeepICMP}, "1#12@0-0"},
                           {int{tags::KeepTCP}, "6:t@0-0"}}) {
    ControllerRig rig;
    rig.feed({udpFrame("10.0.0.1", 1, "10.0.0.2", 2, bytesOf("u")),
              icmpFrame("10.0.0.2", "10.0.0.3", bytesOf("ping")),
              tcpFrame("10.0.0.4", 5, "10.0.0.5", 6, tcpflags::SYN, bytesOf("t"))});
    rig.refine.refineProtocol(tag);
    EXPECT_EQ(rig.nodes(), kept) << tag;
    EXPECT_EQ(rig.table.selectedRow(), 0);
    EXPECT_EQ(rig.table.focusRequests, 1);
    EXPECT_TRUE(rig.tracker.nodeAddedHalted() && rig.tracker.nodeDroppedHalted());
    EXPECT_EQ(rig.sounds.played, std::vector<std::string>{"click05.wav"});
    rig.refine.refineProtocol(tag == tags::KeepTCP ? tags::KeepUDP : tags::KeepTCP);  // combine
    EXPECT_EQ(rig.nodeCount(), tag == 99 ? 1u : 0u);
    rig.feed({udpFrame("10.0.0.1", 1, "10.0.0.2", 2, bytesOf("u"))});  // intake stays halted
    EXPECT_EQ(rig.nodeCount(), tag == 99 ? 1u : 0u);
  }
}

TEST(RefineActions, LastHitLimitIsInclusive) {
  ControllerRig rig;
  rig.feed({udpFrame("10.0.0.1", 1, "10.0.0.9", 9, bytesOf("old"))});
  rig.clock.advance(500ms);
  rig.feed({udpFrame("10.0.0.2", 2, "10.0.0.9", 9, bytesOf("limit"))});
  rig.clock.advance(10s);
  rig.refine.refineLastHit(10);
  EXPECT_EQ(rig.nodes(), "17:limit@0-0");
  rig.clock.advance(1h);
  for (int noLimit : {int{tags::AnyTime}, 15, 70}) {
    rig.refine.refineLastHit(noLimit);
  }
  EXPECT_EQ(rig.nodeCount(), 1u);
  rig.refine.refineLastHit(tags::kLongestLastHit);
  EXPECT_EQ(rig.nodeCount(), 0u);
}

TEST(RefineActions, AddressFieldsNarrowOrBeep) {
  ControllerRig rig;
  rig.feed({udpFrame("10.0.0.1", 1, "10.1.1.1", 9, bytesOf("a")),
            udpFrame("10.0.0.11", 1, "10.1.1.1", 9, bytesOf("b")),
            udpFrame("10.0.0.1", 1, "10.1.1.2", 9, bytesOf("c"))});
  MemorySearchField field("10.0.0.1");
  rig.refine.refineSourceIP(field);
  EXPECT_EQ(rig.nodes(), "17:a@0-0 17:c@0-0");
  EXPECT_EQ(field.stringValue(), "Source IP");
  EXPECT_EQ(field.focusCleared, 1);
  EXPECT_EQ(rig.sounds.played, std::vector<std::string>{"click01.wav"});
  EXPECT_EQ(rig.table.selectedRow(), 0);

  // The text left by the last refine, and other non-addresses, are refused with a beep.
  using namespace std::string_literals;
  for (const std::string& refused : {"Source IP"s, ""s, "10.0.0"s, "10.0.0.256"s, "10.0.0.1 "s,
                                     "1\xC3\xA9.0.0.1"s, "10.0.0.1\0junk"s}) {
    MemorySearchField bad(refused);
    rig.refine.refineSourceIP(bad);
    EXPECT_EQ(bad.stringValue(), refused);
  }
  EXPECT_EQ(rig.sounds.beeps, 7);
  EXPECT_EQ(rig.nodeCount(), 2u);

  MemorySearchField destination("10.1.1.2");
  rig.refine.refineDestinationIP(destination);
  EXPECT_EQ(rig.nodes(), "17:c@0-0");
  EXPECT_EQ(destination.stringValue(), "Destination IP");
}

TEST(RefineActions, PortFieldsTakeTheLow16BitsOfTheNumber) {
  const auto kept = [](std::string text, bool source) {
    ControllerRig rig;
    rig.feed({udpFrame("10.0.0.1", 80, "10.0.0.2", 65535, bytesOf("a")),
              udpFrame("10.0.0.1", 65535, "10.0.0.2", 80, bytesOf("b")),
              icmpFrame("10.0.0.1", "10.0.0.2", bytesOf("c"))});
    MemorySearchField field(std::move(text));
    source ? rig.refine.refineSourcePort(field) : rig.refine.refineDestinationPort(field);
    EXPECT_EQ(field.stringValue(), "Port");
    EXPECT_TRUE(rig.tracker.nodeAddedHalted());
    return rig.nodes();
  };
  EXPECT_EQ(kept("80", true), "17:a@0-0");
  EXPECT_EQ(kept("  +80xyz", false), "17:b@0-0");
  EXPECT_EQ(kept("65616", true), "17:a@0-0");  // 65536 + 80
  EXPECT_EQ(kept("-1", true), "17:b@0-0");
  EXPECT_EQ(kept("Port", true), "1#9@0-0");          // port 0: the ICMP node
  EXPECT_EQ(kept("99999999999", true), "17:b@0-0");  // INT_MAX, whose low 16 bits are 65535
}

TEST(RefineActions, ManyRemovedNodesAreFreedAfterwardsAndAllByTheEnd) {
  // More nodes than are freed at once: the rest wait for the worker, which the controller's end
  // joins, so nothing leaks (the sanitizer build checks).
  ControllerRig rig;
  std::vector<Bytes> frames(60, udpFrame("10.0.0.1", 1, "10.0.0.2", 2, bytesOf("u")));
  for (int chunk = 0; chunk < 200; ++chunk) {
    rig.feed(frames);
  }
  rig.feed({icmpFrame("10.0.0.1", "10.0.0.2", bytesOf("i"))});
  rig.refine.refineProtocol(tags::KeepICMP);
  EXPECT_EQ(rig.nodes(), "1#9@0-0");
}

}  // namespace
}  // namespace wq::testing
