// Halt switches, the idle purge, removal, the refine actions, the selection and the menus.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

#include "tests/tracking/ControllerRig.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

Bytes udp(std::string_view source, std::uint16_t port, std::string_view payload = "data") {
  return udpFrame(source, port, "10.1.1.1", 53, bytesOf(payload));
}

MemoryToggleButton buttonIn(int state) {
  MemoryToggleButton button;
  button.setState(state);
  return button;
}

TEST(HaltSwitches, FlagsAndLightsFollowTheSwitches) {
  ControllerRig rig;
  ApplicationController& c = rig.controller;
  EXPECT_EQ(c.nodeAddedBox().statusLight(), "WQMBoxStatus2");
  EXPECT_EQ(c.nodeDroppedBox().statusLight(), "WQMBoxStatus3");
  EXPECT_FALSE(c.nodeAddedHalted());

  c.nodeAddedHalt(buttonIn(ToggleButton::kOn));
  EXPECT_TRUE(c.nodeAddedHalted());
  EXPECT_EQ(c.nodeAddedBox().statusLight(), "WQMBoxStatus1");
  c.nodeAddedHalt(buttonIn(2));  // a mixed state counts as off
  EXPECT_FALSE(c.nodeAddedHalted());
  EXPECT_EQ(c.nodeAddedBox().statusLight(), "WQMBoxStatus2");

  c.nodeDroppedHalt(buttonIn(ToggleButton::kOn));
  EXPECT_EQ(c.nodeDroppedBox().statusLight(), "WQMBoxStatus1");
  c.nodeDroppedHalt(buttonIn(ToggleButton::kOff));
  EXPECT_EQ(c.nodeDroppedBox().statusLight(), "WQMBoxStatus3");

  c.haltAll();
  c.haltAll();  // twice changes nothing more
  EXPECT_TRUE(c.nodeAddedHalted());
  EXPECT_TRUE(c.nodeDroppedHalted());
  EXPECT_EQ(rig.addedSwitch.state(), ToggleButton::kOn);
  EXPECT_EQ(rig.droppedSwitch.state(), ToggleButton::kOn);
  EXPECT_EQ(c.nodeAddedBox().statusLight(), "WQMBoxStatus1");
  EXPECT_EQ(c.nodeDroppedBox().statusLight(), "WQMBoxStatus1");
  EXPECT_TRUE(rig.sounds.played.empty());

  // Switching intake back on leaves the purge halted.
  rig.addedSwitch.setState(ToggleButton::kOff);
  c.nodeAddedHalt(rig.addedSwitch);
  rig.feed({udp("10.0.0.1", 1)});
  EXPECT_EQ(rig.nodeCount(), 1u);
  rig.clock.advance(60s);
  c.purgeNodes();
  EXPECT_EQ(rig.nodeCount(), 1u);
}

TEST(Panels, ShowNodeFields) {
  MemoryLog log;
  WQMNodeBox box(log);
  EXPECT_EQ(box.sourceIPField(), "");  // as the layout leaves it until a node is shown

  WQMConnection node(kStartTime - 5h + 1min + 43s, 24000);  // 09:05:03
  node.setProtocol(6);
  const std::uint8_t source[] = {192, 168, 0, 1};
  const std::uint8_t destination[] = {255, 255, 255, 255};
  node.setsaddr(source);
  node.setdaddr(destination);
  node.setsport(0x5000);  // the bytes 00 50 in network order
  node.setdport(0xFFFF);
  box.showNode(node);
  EXPECT_EQ(box.protocolField(), "TCP Packet");
  EXPECT_EQ(box.sourceIPField(), "192.168.0.1");
  EXPECT_EQ(box.destinationIPField(), "255.255.255.255");
  EXPECT_EQ(box.sourcePortField(), "80");
  EXPECT_EQ(box.destinationPortField(), "65535");
  EXPECT_EQ(box.lastHitField(), "09:05:03");

  node.setProtocol(47);  // no label: the protocol field keeps its text, the rest change
  node.setLastHit(kStartTime + 7h + 1min + 43s);
  node.setsport(htons(40000));
  box.showNode(node);
  EXPECT_EQ(box.protocolField(), "TCP Packet");
  EXPECT_EQ(box.sourcePortField(), "40000");
  EXPECT_EQ(box.lastHitField(), "21:05:03");
  EXPECT_TRUE(log.lines.empty());
}

TEST(Purge, IdleBoundaryIsStrict) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", 1)});
  rig.clock.advance(500ms);
  rig.feed({udp("10.0.0.2", 2)});
  rig.clock.advance(15s);  // the first is idle 15.5 s, the second exactly 15.0 s
  rig.controller.purgeNodes();
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).saddr(), addressOf("10.0.0.2"));
  EXPECT_EQ(rig.controller.nodeDroppedBox().sourceIPField(), "10.0.0.1");

  rig.set(keys::PurgeIdleTime, 0.0);
  rig.clock.advance(1us);
  rig.controller.purgeNodes();
  EXPECT_EQ(rig.nodeCount(), 0u);
  EXPECT_EQ(rig.table.selectedRow(), NodeTableView::kNoRow);
  EXPECT_TRUE(rig.log.lines.empty());
  EXPECT_TRUE(rig.sounds.played.empty());
}

TEST(Purge, MatchingNodesLeaveTogetherAndThePanelShowsTheLastPurged) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", 7, "old")});
  rig.feed({udp("10.0.0.5", 9, "other")});
  rig.clock.advance(20s);
  rig.feed({udp("10.0.0.1", 7, "new")});  // fresh, but matches the idle one
  rig.controller.purgeNodes();
  EXPECT_EQ(rig.nodeCount(), 0u);
  EXPECT_EQ(rig.controller.nodeDroppedBox().sourceIPField(), "10.0.0.5");

  ControllerRig three;
  three.feed({udp("10.0.0.1", 1), udp("10.0.0.2", 2), udp("10.0.0.3", 3)});
  three.clock.advance(16s);
  three.controller.purgeNodes();
  EXPECT_EQ(three.nodeCount(), 0u);
  EXPECT_EQ(three.controller.nodeDroppedBox().sourceIPField(), "10.0.0.3");
}

TEST(Purge, HaltedDroppedSideKeepsEverythingAndTheSelection) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", 1), udp("10.0.0.2", 2), udp("10.0.0.3", 3)});
  rig.table.selectRow(0);
  rig.controller.nodeDroppedHalt(buttonIn(ToggleButton::kOn));
  rig.clock.advance(1h);
  rig.controller.purgeNodes();
  EXPECT_EQ(rig.nodeCount(), 3u);
  EXPECT_EQ(rig.table.selectedRow(), 0);

  rig.controller.nodeDroppedHalt(buttonIn(ToggleButton::kOff));
  rig.controller.purgeNodes();
  EXPECT_EQ(rig.nodeCount(), 0u);
}

TEST(Purge, TickFollowsTheNewestRow) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", 1), udp("10.0.0.2", 2), udp("10.0.0.3", 3)});
  rig.table.selectRow(0);
  EXPECT_EQ(rig.pane.text.find("Source IP: 10.0.0.1\n") != std::string::npos, true);
  rig.controller.purgeNodes();
  EXPECT_EQ(rig.table.selectedRow(), 2);
  EXPECT_EQ(rig.table.scrolledTo, 2);
  EXPECT_NE(rig.pane.text.find("Source IP: 10.0.0.3\n"), std::string::npos);
  EXPECT_EQ(rig.controller.nodeAddedBox().sourceIPField(), "10.0.0.3");
}

TEST(Purge, ANodeFromTheFutureStays) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", 1)});
  rig.clock.advance(-1h);  // the clock was set back
  rig.controller.purgeNodes();
  EXPECT_EQ(rig.nodeCount(), 1u);
}

TEST(Removal, RemovesTheSelectedNodeAloneEvenWhenHalted) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", 1, "a"), udp("10.0.0.1", 1, "b"), udp("10.0.0.1", 1, "c")});
  rig.controller.haltAll();
  rig.controller.removeNode();  // row 2 is selected after the intake
  ASSERT_EQ(rig.nodeCount(), 2u);
  EXPECT_EQ(payloadOf(rig.node(1)), "b");
  EXPECT_EQ(rig.controller.nodeDroppedBox().sourceIPField(), "10.0.0.1");
  EXPECT_EQ(rig.table.selectedRow(), NodeTableView::kNoRow);

  rig.controller.removeNode();  // nothing selected: nothing happens
  EXPECT_EQ(rig.nodeCount(), 2u);

  rig.table.selectRow(0);
  rig.controller.removeNode();
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(payloadOf(rig.node(0)), "b");
  EXPECT_EQ(rig.table.selectedRow(), 0);  // the table keeps a row that still exists
}

TEST(Refine, ProtocolKeepsOneProtocolAndHaltsBothSides) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", 1), icmpFrame("10.0.0.2", "10.0.0.3", bytesOf("ping")),
            tcpFrame("10.0.0.4", 5, "10.0.0.5", 6, tcpflags::SYN, bytesOf("opts"))});
  rig.controller.refineProtocol(99);  // any other tag removes nothing
  EXPECT_EQ(rig.nodeCount(), 3u);
  EXPECT_EQ(rig.table.selectedRow(), 0);
  EXPECT_TRUE(rig.controller.nodeAddedHalted());
  EXPECT_TRUE(rig.controller.nodeDroppedHalted());
  EXPECT_EQ(rig.sounds.played, std::vector<std::string>{"click05.wav"});

  rig.controller.refineProtocol(20);
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).protocol(), 6u);
  EXPECT_EQ(rig.table.firstResponderRequests, 2);
  rig.controller.refineProtocol(10);  // filters combine
  EXPECT_EQ(rig.nodeCount(), 0u);
  EXPECT_EQ(rig.table.selectedRow(), NodeTableView::kNoRow);

  // Intake stays halted after a filter.
  rig.feed({udp("10.0.0.1", 1)});
  EXPECT_EQ(rig.nodeCount(), 0u);
}

TEST(Refine, LastHitLimitIsInclusive) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", 1)});
  rig.clock.advance(500ms);
  rig.feed({udp("10.0.0.2", 2)});
  rig.clock.advance(10s);
  rig.controller.refineLastHit(10);
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).saddr(), addressOf("10.0.0.2"));
  rig.clock.advance(1h);
  rig.controller.refineLastHit(0);  // no limit
  EXPECT_EQ(rig.nodeCount(), 1u);
  rig.controller.refineLastHit(60);
  EXPECT_EQ(rig.nodeCount(), 0u);
}

TEST(Refine, AddressFieldsNarrowOrBeep) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", 1), udp("10.0.0.11", 2), udp("10.0.0.1", 3)});
  MemorySearchField field("10.0.0.1");
  rig.controller.refineSourceIP(field);
  ASSERT_EQ(rig.nodeCount(), 2u);
  EXPECT_EQ(field.stringValue(), "Source IP");
  EXPECT_EQ(field.resigned, 1);
  EXPECT_EQ(rig.sounds.played, std::vector<std::string>{"click01.wav"});
  EXPECT_EQ(rig.table.selectedRow(), 0);

  // The text left by the last filter, and other non-addresses, are refused with a beep.
  for (const char* refused :
       {"Source IP", "", "10.0.0", "10.0.0.256", "10.0.0.1 ", "1\xC3\xA9.0.0.1"}) {
    MemorySearchField bad(refused);
    rig.controller.refineSourceIP(bad);
    EXPECT_EQ(bad.stringValue(), refused);
  }
  MemorySearchField withNul(std::string("10.0.0.1\0junk", 13));
  rig.controller.refineSourceIP(withNul);
  EXPECT_EQ(rig.sounds.beeps, 7);
  EXPECT_EQ(rig.nodeCount(), 2u);

  MemorySearchField destination("10.1.1.2");
  rig.controller.refineDestinationIP(destination);
  EXPECT_EQ(rig.nodeCount(), 0u);
  EXPECT_EQ(destination.stringValue(), "Destination IP");
}

TEST(Refine, PortFieldsTakeTheLow16BitsOfTheNumber) {
  const auto survivors = [](std::string text, bool source) {
    ControllerRig rig;
    rig.feed({udpFrame("10.0.0.1", 80, "10.0.0.2", 65535, bytesOf("a")),
              udpFrame("10.0.0.1", 65535, "10.0.0.2", 80, bytesOf("b")),
              icmpFrame("10.0.0.1", "10.0.0.2", bytesOf("c"))});
    MemorySearchField field(std::move(text));
    if (source) {
      rig.controller.refineSourcePort(field);
    } else {
      rig.controller.refineDestinationPort(field);
    }
    EXPECT_EQ(field.stringValue(), "Port");
    EXPECT_TRUE(rig.controller.nodeAddedHalted());
    std::string kept;
    for (std::size_t i = 0; i < rig.nodeCount(); ++i) {
      kept += payloadOf(rig.node(i)).substr(0, 1);
    }
    return kept;
  };
  EXPECT_EQ(survivors("80", true), "a");
  EXPECT_EQ(survivors("  +80xyz", false), "b");
  EXPECT_EQ(survivors("65616", true), "a");  // 65536 + 80
  EXPECT_EQ(survivors("-1", true), "b");
  EXPECT_EQ(survivors("Port", true), "\x08");      // port 0: the ICMP node (type byte 8)
  EXPECT_EQ(survivors("99999999999", true), "b");  // INT_MAX, whose low 16 bits are 65535
}

TEST(Selection, DetailPaneAndAddedPanelFollowTheSelection) {
  ControllerRig rig;
  rig.feed(
      {udp("10.0.0.1", 1, "first"), udp("10.0.0.2", 2, "second"), udp("10.0.0.3", 3, "third")});
  EXPECT_NE(rig.pane.text.find("third"), std::string::npos);

  rig.controller.previousNode();
  EXPECT_EQ(rig.table.selectedRow(), 1);
  EXPECT_NE(rig.pane.text.find("Source IP: 10.0.0.2\n"), std::string::npos);
  EXPECT_EQ(rig.controller.nodeAddedBox().sourceIPField(), "10.0.0.2");
  rig.controller.previousNode();
  rig.controller.previousNode();  // never moves above row 0
  EXPECT_EQ(rig.table.selectedRow(), 0);
  rig.controller.nextNode();
  rig.controller.nextNode();
  rig.controller.nextNode();  // nor below the last row
  EXPECT_EQ(rig.table.selectedRow(), 2);

  // Without a selection the pane and the panel keep what they show.
  rig.controller.haltAll();
  rig.table.selectRow(0);
  rig.controller.removeNode();
  rig.controller.updateDataTextView();
  EXPECT_EQ(rig.pane.text.find("10.0.0.1"), std::string::npos);
  rig.controller.refineProtocol(10);  // removes all: nothing is selected afterwards
  rig.controller.updateDataTextView();
  EXPECT_EQ(rig.table.selectedRow(), NodeTableView::kNoRow);
  EXPECT_FALSE(rig.pane.text.empty());
}

TEST(Menus, ValidationByTag) {
  ControllerRig rig;
  ApplicationController& c = rig.controller;
  for (int tag : {130, 140, 150, 160, 61, 100, 170}) {
    EXPECT_FALSE(c.validateMenuItem(tag)) << tag;
  }
  EXPECT_TRUE(c.validateMenuItem(0));
  EXPECT_TRUE(c.validateMenuItem(60));
  EXPECT_TRUE(c.validateMenuItem(-5));

  rig.feed({udp("10.0.0.1", 1)});
  EXPECT_FALSE(c.validateMenuItem(140));  // one row selected in a one-row list
  EXPECT_FALSE(c.validateMenuItem(150));
  EXPECT_TRUE(c.validateMenuItem(160));
  EXPECT_TRUE(c.validateMenuItem(130));

  rig.feed({udp("10.0.0.2", 1), udp("10.0.0.3", 1)});
  rig.table.selectRow(0);
  EXPECT_FALSE(c.validateMenuItem(140));
  EXPECT_TRUE(c.validateMenuItem(150));
  rig.table.selectRow(2);
  EXPECT_TRUE(c.validateMenuItem(140));
  EXPECT_FALSE(c.validateMenuItem(150));

  EXPECT_FALSE(c.validateMenuItem(110));
  EXPECT_TRUE(c.validateMenuItem(120));
  c.closeWindow();
  EXPECT_FALSE(rig.window.isVisible());
  c.closeWindow();
  EXPECT_FALSE(rig.window.isVisible());
  EXPECT_TRUE(c.validateMenuItem(110));
  EXPECT_FALSE(c.validateMenuItem(120));
  c.openWindow();
  EXPECT_TRUE(rig.window.isVisible());
}

// Deferring the view work to the end of a chunk must leave what one-by-one handling leaves.
TEST(ViewBatching, OneChunkEndsAsRecordByRecord) {
  const char* hosts[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
  std::mt19937 random(20261206);
  for (int round = 0; round < 200; ++round) {
    std::vector<Bytes> frames;
    for (int i = 0; i < 12; ++i) {
      const char* host = hosts[random() % 3];
      const auto payload = Bytes(random() % 30, static_cast<std::uint8_t>('a' + random() % 26));
      switch (random() % 6) {
        case 0:
          frames.push_back(tcpFrame(host, 1, "10.9.9.9", 80, tcpflags::SYN, payload));
          break;
        case 1:
        case 2:
          frames.push_back(tcpFrame(host, 1, "10.9.9.9", 80, tcpflags::ACK, payload));
          break;
        case 3:
          frames.push_back(tcpFrame(host, 1, "10.9.9.9", 80, tcpflags::FIN | tcpflags::ACK, {}));
          break;
        case 4:
          frames.push_back(udpFrame(host, 1, "10.9.9.9", 80, payload));
          break;
        default:
          frames.push_back(tcpFrame(host, 1, "10.9.9.9", 80, tcpflags::RST, {}));
          break;
      }
    }
    ControllerRig single;
    ControllerRig batched;
    for (ControllerRig* rig : {&single, &batched}) {
      rig->set(keys::MaxPacketSize, std::int64_t{50});
      rig->set(keys::DropOnFIN, true);
      rig->set(keys::DropOnRST, true);
      rig->feed({udpFrame("10.0.0.8", 8, "10.9.9.9", 8, bytesOf("seed")),
                 udpFrame("10.0.0.9", 9, "10.9.9.9", 9, bytesOf("seed"))});
      rig->table.selectRow(static_cast<int>(round % 2));
    }
    single.controller.setCoalescedViewUpdates(false);
    single.feed(frames);
    batched.feed(frames);

    ASSERT_EQ(single.nodeCount(), batched.nodeCount()) << round;
    for (std::size_t i = 0; i < single.nodeCount(); ++i) {
      EXPECT_TRUE(single.node(i).isEqual(batched.node(i)));
      EXPECT_EQ(payloadOf(single.node(i)), payloadOf(batched.node(i)));
    }
    EXPECT_EQ(single.table.selectedRow(), batched.table.selectedRow()) << round;
    EXPECT_EQ(single.table.numberOfRows(), batched.table.numberOfRows());
    EXPECT_EQ(single.pane.text, batched.pane.text) << round;
    for (auto box :
         {&ApplicationController::nodeAddedBox, &ApplicationController::nodeDroppedBox}) {
      const WQMNodeBox& a = (single.controller.*box)();
      const WQMNodeBox& b = (batched.controller.*box)();
      EXPECT_EQ(a.protocolField(), b.protocolField()) << round;
      EXPECT_EQ(a.sourceIPField(), b.sourceIPField()) << round;
      EXPECT_EQ(a.destinationPortField(), b.destinationPortField());
      EXPECT_EQ(a.lastHitField(), b.lastHitField());
    }
    EXPECT_EQ(single.log.lines, batched.log.lines);
  }
}

TEST(ViewBatching, ManyRecordsCostOneReload) {
  ControllerRig rig;
  std::vector<Bytes> frames;
  for (int i = 0; i < 50; ++i) {
    frames.push_back(udp("10.0.0.1", static_cast<std::uint16_t>(i), "x"));
  }
  const Bytes stream = streamOf(frames);
  rig.controller.dataReceived(ByteView(stream.data(), stream.size()));
  EXPECT_EQ(rig.nodeCount(), 50u);
  EXPECT_EQ(rig.table.reloads, 1);
  EXPECT_EQ(rig.table.selectedRow(), 49);
}

}  // namespace
}  // namespace wq::testing
