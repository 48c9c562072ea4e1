// The view controller: the selection with the detail pane and the added panel that follow it,
// the halt switches, the menus, and view work done once per batch of changes.

#include <gtest/gtest.h>

#include <random>

#include "tests/tracking/ControllerRig.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

Bytes udp(std::string_view source, std::string_view payload = "data") {
  return udpFrame(source, 1, "10.1.1.1", 53, bytesOf(payload));
}
bool paneShows(const ControllerRig& rig, std::string_view text) {
  return rig.pane.text.find(text) != std::string::npos;
}

TEST(ViewController, TheNewestRowIsSelectedAndThePaneAndPanelFollowTheSelection) {
  ControllerRig rig;
  rig.feed({udp("10.0.0.1", "first"), udp("10.0.0.2", "second"), udp("10.0.0.3", "third")});
  EXPECT_EQ(rig.table.selectedRow(), 2);
  EXPECT_EQ(rig.table.scrolledTo, 2);
  EXPECT_TRUE(paneShows(rig, "third"));

  rig.view.previousNode();
  EXPECT_TRUE(paneShows(rig, "Source IP: 10.0.0.2\n"));
  EXPECT_EQ(rig.tracker.nodeAddedBox().sourceIPField(), "10.0.0.2");
  rig.view.previousNode();
  rig.view.previousNode();  // never above row 0
  EXPECT_EQ(rig.table.selectedRow(), 0);
  for (int i = 0; i < 3; ++i) {
    rig.view.nextNode();  // nor below the last row
  }
  EXPECT_EQ(rig.table.selectedRow(), 2);

  // A purge tick shows the newest row again, even when it removes nothing.
  rig.table.selectRow(0);
  rig.tracker.purgeNodes();
  EXPECT_EQ(rig.table.selectedRow(), 2);
  EXPECT_TRUE(paneShows(rig, "Source IP: 10.0.0.3\n"));

  // Removal takes the selected node alone, also while halted; without a selection, nothing.
  rig.view.haltAll();
  rig.view.removeNode();
  EXPECT_EQ(rig.nodeCount(), 2u);
  EXPECT_EQ(rig.table.selectedRow(), NodeTableView::kNoRow);
  rig.view.removeNode();
  EXPECT_EQ(rig.nodeCount(), 2u);
  rig.table.selectRow(0);
  rig.view.removeNode();
  EXPECT_EQ(payloadOf(rig.node(0)), "second");
  EXPECT_EQ(rig.table.selectedRow(), 0);  // the table keeps a row that still exists
  EXPECT_EQ(rig.tracker.nodeDroppedBox().sourceIPField(), "10.0.0.1");
}

TEST(ViewController, HaltSwitches) {
  ControllerRig rig;
  MemoryToggleButton button;
  button.setState(ToggleButton::kOn);
  rig.view.nodeAddedHalt(button);
  EXPECT_TRUE(rig.tracker.nodeAddedHalted());
  button.setState(2);  // a mixed state counts as off
  rig.view.nodeAddedHalt(button);
  EXPECT_FALSE(rig.tracker.nodeAddedHalted());
  button.setState(ToggleButton::kOn);
  rig.view.nodeDroppedHalt(button);
  EXPECT_TRUE(rig.tracker.nodeDroppedHalted());

  rig.view.haltAll();
  EXPECT_TRUE(rig.tracker.nodeAddedHalted());
  EXPECT_EQ(rig.addedSwitch.state(), ToggleButton::kOn);
  EXPECT_EQ(rig.droppedSwitch.state(), ToggleButton::kOn);
  EXPECT_TRUE(rig.sounds.played.empty());
}

TEST(ViewController, MenuItemsByTag) {
  ControllerRig rig;
  const ViewController& v = rig.view;
  const auto enabled = [&] {
    std::string text;
    for (int tag : {-5, 0, 60, 61, 100, 110, 120, 130, 140, 150, 160, 170}) {
      text += v.validateMenuItem(tag) ? '1' : '0';
    }
    return text;
  };
  EXPECT_EQ(enabled(), "111000100000");
  rig.feed({udp("10.0.0.1")});  // one row, selected
  EXPECT_EQ(enabled(), "111000110010");
  rig.feed({udp("10.0.0.2"), udp("10.0.0.3")});
  rig.table.selectRow(0);
  EXPECT_EQ(enabled(), "111000110110");
  rig.table.selectRow(2);
  EXPECT_EQ(enabled(), "111000111010");
  rig.view.closeWindow();
  rig.view.closeWindow();
  EXPECT_FALSE(rig.window.isVisible());
  EXPECT_EQ(enabled(), "111001011010");
  rig.view.openWindow();
  EXPECT_TRUE(rig.window.isVisible());
}

// Deferring the view work to the end of a chunk must leave what one-by-one handling leaves.
TEST(ViewController, OneChunkEndsAsRecordByRecord) {
  const char* hosts[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
  std::mt19937 random(20261206);
  for (int round = 0; round < 200; ++round) {
    std::vector<Bytes> frames;
    for (int i = 0; i < 12; ++i) {
      const char* host = hosts[random() % 3];
      const auto payload = Bytes(random() % 30, static_cast<std::uint8_t>('a' + random() % 26));
      constexpr std::uint8_t kUdp = 0;
      const std::uint8_t kinds[] = {tcpflags::SYN, tcpflags::ACK,
                                    tcpflags::ACK, tcpflags::FIN | tcpflags::ACK,
                                    kUdp,          tcpflags::RST};
      const std::uint8_t kind = kinds[random() % 6];
      const bool carries = kind == tcpflags::SYN || kind == tcpflags::ACK;
      frames.push_back(kind == kUdp
                           ? udpFrame(host, 1, "10.9.9.9", 80, payload)
                           : tcpFrame(host, 1, "10.9.9.9", 80, kind, carries ? payload : Bytes{}));
    }
    ControllerRig single;
    ControllerRig batched;
    for (ControllerRig* rig : {&single, &batched}) {
      rig->set(keys::MaxPacketSize, std::int64_t{50});
      rig->set(keys::DropOnFIN, true);
      rig->set(keys::DropOnRST, true);
      // Nodes the frames can drop, one of them selected.
      rig->feed({tcpFrame(hosts[0], 1, "10.9.9.9", 80, tcpflags::SYN, bytesOf("seed")),
                 tcpFrame(hosts[1], 1, "10.9.9.9", 80, tcpflags::SYN, bytesOf("seed"))});
      rig->table.selectRow(static_cast<int>(round % 2));
    }
    single.view.setCoalescedViewUpdates(false);
    single.feed(frames);
    batched.feed(frames);

    ASSERT_EQ(single.nodes(), batched.nodes()) << round;
    EXPECT_EQ(single.table.selectedRow(), batched.table.selectedRow()) << round;
    EXPECT_EQ(single.table.numberOfRows(), batched.table.numberOfRows());
    EXPECT_EQ(single.pane.text, batched.pane.text) << round;
    for (bool added : {true, false}) {
      const NodeTracker& s = single.tracker;
      const NodeTracker& t = batched.tracker;
      const WQMNodeBox& a = added ? s.nodeAddedBox() : s.nodeDroppedBox();
      const WQMNodeBox& b = added ? t.nodeAddedBox() : t.nodeDroppedBox();
      EXPECT_EQ(a.sourceIPField() + a.protocolField() + a.lastHitField(),
                b.sourceIPField() + b.protocolField() + b.lastHitField())
          << round;
    }
    EXPECT_EQ(single.log.lines, batched.log.lines);
  }
}

TEST(ViewController, ManyRecordsCostOneReload) {
  ControllerRig rig;
  std::vector<Bytes> frames(50, udp("10.0.0.1", "x"));
  const Bytes stream = streamOf(frames);
  rig.tracker.dataReceived(ByteView(stream.data(), stream.size()));
  EXPECT_EQ(rig.nodeCount(), 50u);
  EXPECT_EQ(rig.table.reloads, 1);
  EXPECT_EQ(rig.table.selectedRow(), 49);
}

}  // namespace
}  // namespace wq::testing
