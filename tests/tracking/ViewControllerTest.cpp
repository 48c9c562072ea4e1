// The view controller: the selection with the detail pane and the added panel that follow it,
// the halt switches, the menus, and view work done once per batch of changes.

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "tests/tracking/ControllerRig.h"
#include "tracking/MenuTags.h"
#include "tracking/NodeText.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

Bytes udp(std::string_view source, std::string_view payload = "data") {
  return udpFrame(source, 1, "10.1.1.1", 53, bytesOf(payload));
}
Bytes tcp(std::string_view source, std::uint8_t flags, std::string_view payload) {
  return tcpFrame(source, 1, "10.1.1.1", 80, flags, bytesOf(payload));
}

// The detail pane describes the node on the highlighted row as it is now, and is empty when no
// row is highlighted.
bool paneDescribesHighlightedRow(const ControllerRig& rig) {
  const int row = rig.table.selectedRow();
  if (row < 0) {
    return rig.pane.text.empty();
  }
  MemoryLog log;
  return rig.pane.text == detailText(rig.node(static_cast<std::size_t>(row)).facts(), log) &&
         rig.tracker.nodeAddedBox().sourceIPField() ==
             addressText(rig.node(static_cast<std::size_t>(row)).saddr(), log);
}
// What the window shows: the selected row, the source in the detail pane and in the added panel,
// the sources left in the list, and which menu items of tags -5, 0, 60, 61, 100 and 110 to 170
// are enabled.
std::string viewState(const ControllerRig& rig) {
  const auto at = rig.pane.text.find("Source IP: ");
  std::string state = std::to_string(rig.table.selectedRow()) + " pane " +
                      (at == std::string::npos ? "-" : rig.pane.text.substr(at + 18, 1)) +
                      " panel " + rig.tracker.nodeAddedBox().sourceIPField() + " list ";
  for (std::size_t i = 0; i < rig.nodeCount(); ++i) {
    state += std::to_string(rig.node(i).saddr().bytes[3]);
  }
  state += " menus ";
  for (int tag : {-5, 0, 60, 61, 100, 110, 120, 130, 140, 150, 160, 170}) {
    state += rig.view.validateMenuItem(tag) ? '1' : '0';
  }
  return state;
}

TEST(ViewController, SelectionPaneRemovalAndMenusStepByStep) {
  ControllerRig rig;
  EXPECT_EQ(viewState(rig), "-1 pane - panel  list  menus 111000100000");
  using Step = std::pair<std::function<void()>, const char*>;
  // clang-format off
  const Step steps[] = {
      {[&] { rig.feed({udp("10.0.0.1")}); },                      "0 pane 1 panel 10.0.0.1 list 1 menus 111000110010"},
      {[&] { rig.feed({udp("10.0.0.2"), udp("10.0.0.3")}); },     "2 pane 3 panel 10.0.0.3 list 123 menus 111000111010"},
      {[&] { rig.view.previousNode(); },                          "1 pane 2 panel 10.0.0.2 list 123 menus 111000111110"},
      {[&] { rig.view.previousNode(); rig.view.previousNode(); }, "0 pane 1 panel 10.0.0.1 list 123 menus 111000110110"},
      {[&] { for (int i = 0; i < 3; ++i) rig.view.nextNode(); },  "2 pane 3 panel 10.0.0.3 list 123 menus 111000111010"},
      // A purge tick shows the newest row again, even when it removes nothing.
      {[&] { rig.table.selectRow(0); rig.tracker.purgeNodes(); }, "2 pane 3 panel 10.0.0.3 list 123 menus 111000111010"},
      // Removal takes the selected node alone, halted or not. The pane follows the row: empty
      // when the row is gone, the next node when the row stays (no selection change there).
      {[&] { rig.view.haltAll(); rig.view.removeNode(); },        "-1 pane - panel 10.0.0.3 list 12 menus 111000110000"},
      {[&] { rig.view.removeNode(); },                            "-1 pane - panel 10.0.0.3 list 12 menus 111000110000"},
      {[&] { rig.table.selectRow(0); rig.view.removeNode(); },    "0 pane 2 panel 10.0.0.2 list 2 menus 111000110010"},
      {[&] { rig.view.closeWindow(); rig.view.closeWindow(); },   "0 pane 2 panel 10.0.0.2 list 2 menus 111001010010"},
      {[&] { rig.view.openWindow(); },                            "0 pane 2 panel 10.0.0.2 list 2 menus 111000110010"},
      // Another node moving to the last row keeps the row selected: the pane follows the node.
      {[&] { rig.tracker.setNodeAddedHalted(false); rig.feed({tcp("10.0.0.4", tcpflags::SYN, "4"), tcp("10.0.0.5", tcpflags::SYN, "5")}); },
                                                                  "2 pane 5 panel 10.0.0.5 list 245 menus 111000111010"},
      {[&] { rig.feed({tcp("10.0.0.4", tcpflags::ACK, "grows")}); },
                                                                  "2 pane 4 panel 10.0.0.4 list 254 menus 111000111010"},
      {[&] { rig.feed({tcp("10.0.0.4", tcpflags::ACK, "again")}); },
                                                                  "2 pane 4 panel 10.0.0.4 list 254 menus 111000111010"},
      {[&] { rig.refine.refineProtocol(tags::KeepUDP); },        "0 pane 2 panel 10.0.0.2 list 2 menus 111000110010"},
      // A node that takes the place, and the memory, of the one shown, at the same moment.
      {[&] { rig.tracker.setNodeAddedHalted(false); rig.set(keys::DropOnRST, true); rig.feed({tcp("10.0.0.6", tcpflags::SYN, "ab")}); },
                                                                  "1 pane 6 panel 10.0.0.6 list 26 menus 111000111010"},
      {[&] { rig.feed({tcp("10.0.0.6", tcpflags::RST, ""), udp("10.0.0.7", "ab")}); },
                                                                  "1 pane 7 panel 10.0.0.7 list 27 menus 111000111010"},
  };
  // clang-format on
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    steps[i].first();
    EXPECT_EQ(viewState(rig), steps[i].second) << "step " << i;
    EXPECT_TRUE(paneDescribesHighlightedRow(rig)) << "step " << i;
  }
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
  EXPECT_EQ(rig.app.addedSwitch.state(), ToggleButton::kOn);
  EXPECT_EQ(rig.app.droppedSwitch.state(), ToggleButton::kOn);
  EXPECT_TRUE(rig.sounds.played.empty());
}

// Deferring the view work to the end of a chunk must leave what one-by-one handling leaves.
TEST(ViewController, OneChunkEndsAsRecordByRecord) {
  const char* hosts[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
  constexpr std::uint8_t kUdp = 0;
  const std::uint8_t kinds[] = {tcpflags::SYN, tcpflags::ACK,
                                tcpflags::ACK, tcpflags::FIN | tcpflags::ACK,
                                kUdp,          tcpflags::RST};
  // Everything the window shows, and the log.
  const auto shown = [](const ControllerRig& rig) {
    std::string text = rig.nodes() + "|" + std::to_string(rig.table.selectedRow()) + "|" +
                       std::to_string(rig.table.numberOfRows()) + "|" + rig.pane.text;
    for (const WQMNodeBox* box : {&rig.tracker.nodeAddedBox(), &rig.tracker.nodeDroppedBox()}) {
      text += "|" + box->sourceIPField() + box->protocolField() + box->lastHitField();
    }
    for (const std::string& line : rig.log.lines) {
      text += "|" + line;
    }
    return text;
  };
  std::mt19937 random(20261206);
  for (int round = 0; round < 200; ++round) {
    std::vector<Bytes> frames;
    for (int i = 0; i < 12; ++i) {
      const char* host = hosts[random() % 3];
      const auto payload = Bytes(random() % 30, static_cast<std::uint8_t>('a' + random() % 26));
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
    ASSERT_EQ(shown(single), shown(batched)) << round;
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
