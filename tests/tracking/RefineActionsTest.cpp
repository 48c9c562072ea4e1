// The refine actions: what each keeps, that each halts both sides and shows the first row, and
// the texts the search fields refuse.

#include <gtest/gtest.h>

#include <functional>

#include "tests/tracking/ControllerRig.h"
#include "tracking/MenuTags.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

struct RefineCase {
  std::function<void(ControllerRig&, SearchField&)> refine;
  std::string fieldText;  // what the search field holds before
  std::string kept;       // the sources' last bytes of the nodes kept, in list order
  std::string after;      // the field's text afterwards, the sound played (or "beep"), the row
};

TEST(RefineActions, WhatEachKeepsAndWhatItLeavesShown) {
  const auto protocol = [](int tag) {
    return [tag](auto& rig, auto&) { rig.refine.refineProtocol(tag); };
  };
  const auto lastHit = [](int tag) {
    return [tag](auto& rig, auto&) { rig.refine.refineLastHit(tag); };
  };
  const auto sourceIP = [](auto& rig, auto& field) { rig.refine.refineSourceIP(field); };
  const auto sourcePort = [](auto& rig, auto& field) { rig.refine.refineSourcePort(field); };
  // clang-format off
  const RefineCase cases[] = {
      {protocol(99), "", "1 11 1 4 9", "|click05.wav|0"},  // any other tag keeps every node
      {protocol(tags::KeepUDP), "", "1 11", "|click05.wav|0"},
      {protocol(tags::KeepICMP), "", "1 9", "|click05.wav|0"},  // ICMPv6 too
      {protocol(tags::KeepTCP), "", "4", "|click05.wav|0"},
      {lastHit(10), "", "11 1 4 9", "|click05.wav|0"},  // exactly 10 s idle is within 10 s
      {lastHit(tags::AnyTime), "", "1 11 1 4 9", "|click05.wav|0"},
      {sourceIP, "10.0.0.1", "1 1", "Source IP|click01.wav|0"},
      {sourceIP, "2001:DB8:0::9", "9", "Source IP|click01.wav|0"},
      {[](auto& rig, auto& field) { rig.refine.refineDestinationIP(field); }, "10.1.1.2", "11 1",
       "Destination IP|click01.wav|0"},
      {sourcePort, "80", "1", "Port|click01.wav|0"},
      {[](auto& rig, auto& field) { rig.refine.refineDestinationPort(field); }, "  +80xyz", "11",
       "Port|click01.wav|0"},
      {sourcePort, "65616", "1", "Port|click01.wav|0"},  // 65536 + 80
      {sourcePort, "-1", "11", "Port|click01.wav|0"},
      {sourcePort, "Port", "1 9", "Port|click01.wav|0"},        // port 0: the ICMP nodes
      {sourcePort, "99999999999", "11", "Port|click01.wav|0"},  // INT_MAX: low 16 bits 65535
  };
  // clang-format on
  for (const RefineCase& c : cases) {
    ControllerRig rig;
    rig.feed({udpFrame("10.0.0.1", 80, "10.1.1.1", 65535, bytesOf("a"))});
    rig.clock.advance(500ms);
    rig.feed({udpFrame("10.0.0.11", 65535, "10.1.1.2", 80, bytesOf("b")),
              icmpFrame("10.0.0.1", "10.1.1.2", bytesOf("c")),
              tcpFrame("10.0.0.4", 5, "10.1.1.1", 6, tcpflags::SYN, bytesOf("t")),
              icmpFrame("2001:db8::9", "2001:db8::2", bytesOf("6"))});
    rig.clock.advance(10s);
    MemorySearchField field(c.fieldText);
    c.refine(rig, field);
    std::string kept;
    for (std::size_t i = 0; i < rig.nodeCount(); ++i) {
      const IpAddress& source = rig.node(i).saddr();
      kept +=
          (i ? " " : "") + std::to_string(source.bytes[source.family == IpAddress::kV4 ? 3 : 15]);
    }
    EXPECT_EQ(kept, c.kept) << c.fieldText;
    EXPECT_EQ(field.stringValue() + "|" + rig.sounds.played.at(0) + "|" +
                  std::to_string(rig.table.selectedRow()),
              c.after)
        << c.fieldText;
    EXPECT_EQ(rig.table.focusRequests, 1);
    EXPECT_TRUE(rig.tracker.nodeAddedHalted() && rig.tracker.nodeDroppedHalted());
  }
}

TEST(RefineActions, OnlyTheListedLastHitTagsAreLimitsAndAnEmptyListShowsNoRow) {
  ControllerRig rig;
  rig.feed({udpFrame("10.0.0.1", 1, "10.0.0.2", 2, bytesOf("u"))});
  rig.clock.advance(20s);
  rig.refine.refineLastHit(15);  // not a multiple of 10: no limit
  EXPECT_EQ(rig.nodeCount(), 1u);
  rig.refine.refineLastHit(10);
  EXPECT_EQ(rig.table.selectedRow(), NodeTableView::kNoRow);
}

TEST(RefineActions, AddressFieldsRefuseWhatIsNotAnAddressWithABeep) {
  using namespace std::string_literals;
  ControllerRig rig;
  rig.feed({udpFrame("10.0.0.1", 1, "10.0.0.2", 2, bytesOf("u"))});
  // The text left by the last refine among them.
  for (const std::string& refused : {"Source IP"s, ""s, "10.0.0"s, "10.0.0.256"s, "10.0.0.1 "s,
                                     "1\xC3\xA9.0.0.1"s, "10.0.0.1\0junk"s, "2001:db8:::1"s}) {
    MemorySearchField bad(refused);
    rig.refine.refineSourceIP(bad);
    EXPECT_EQ(bad.stringValue(), refused);
  }
  EXPECT_EQ(rig.sounds.beeps, 8);
  EXPECT_TRUE(rig.sounds.played.empty());
  EXPECT_EQ(rig.nodeCount(), 1u);
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
