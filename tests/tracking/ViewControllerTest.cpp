// SPDX-License-Identifier: GPL-3.0-or-later
// The view controller: the selection with the detail pane and the added panel that follow it,
// the halt switches and lights, the menus, and view work done once per batch of changes; and the
// refine actions: what each keeps, that each halts both sides and shows the first row, and the
// texts the search fields refuse.

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "tests/tracking/ControllerRig.h"
#include "tracking/view/Conversation.h"
#include "tracking/view/HexText.h"
#include "tracking/view/MenuTags.h"
#include "tracking/view/NodeText.h"

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
// The same in whichever view the pane shows.
bool paneShowsHighlightedRowInItsView(const ControllerRig& rig) {
  const int row = rig.table.selectedRow();
  if (row < 0 || rig.view.paneView() == PaneView::Node) {
    return paneDescribesHighlightedRow(rig);
  }
  const WQMConnection& node = rig.node(static_cast<std::size_t>(row));
  MemoryLog log;
  const PaneText expected =
      rig.view.paneView() == PaneView::Hex
          ? hexText(node.facts(), {})
          : conversationText(
                conversationOf(rig.tracker.connectionsArray(), node,
                               rig.session.defaults().doubleValue(keys::PurgeIdleTime)),
                log, [](const NodeFacts&) { return std::vector<ByteRange>(); });
  return rig.pane.text == expected.text && rig.pane.ranges == expected.ranges;
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
  // The added and dropped panels' lights (N of WQMBoxStatusN: 0 capture ended, 1 halted, 2 and 3
  // running), and the states of the two halt switches.
  return state + " lights " + rig.tracker.nodeAddedBox().statusLight().back() +
         rig.tracker.nodeDroppedBox().statusLight().back() + " " +
         std::to_string(rig.app.addedSwitch.state()) +
         std::to_string(rig.app.droppedSwitch.state());
}

// Writes down what a subscriber of the session is told: each node leaving (its source's last
// byte), and each batch.
struct Recorder : SessionSubscriber {
  std::string told;
  void nodeLeaving(const WQMConnection& node) override {
    told += "leaving " + std::to_string(node.saddr().bytes[3]) + ", ";
  }
  void nodesChanged(const NodeChanges& changes) override {
    told += std::string(changes.newestChanged ? "newest " : "") + "-" +
            std::to_string(changes.removed) + "; ";
  }
};

TEST(Session, EverySubscriberIsToldOfEveryRemovalInTheSameBatches) {
  ControllerRig rig;
  rig.set(keys::MaxPacketSize, std::int64_t{50});
  rig.set(keys::DropOnFIN, true);
  rig.set(keys::DropOnRST, true);
  Recorder first;
  Recorder second;
  rig.session.subscribe(first);
  rig.session.subscribe(second);
  const auto syn = [](std::string_view source) {
    return TcpSender(std::string(source), 1, "10.1.1.1", 80).syn();
  };
  const auto data = [](std::string_view source, std::size_t length, std::uint8_t flags) {
    return TcpSender(std::string(source), 1, "10.1.1.1", 80).send(Bytes(length, 'x'), flags);
  };
  struct Step {
    std::function<void()> act;
    std::string told;
  };
  const Step steps[] = {
      {[&] {
         rig.feed({syn("10.0.0.1"), syn("10.0.0.2"), syn("10.0.0.3"), udp("10.0.0.4"),
                   udp("10.0.0.5"), syn("10.0.0.6")});
       },
       "newest -0; "},
      {[&] { rig.feed({data("10.0.0.1", 60, TcpSender::kAck)}); },
       "leaving 1, newest -1; "},  // overflow
      {[&] { rig.feed({data("10.0.0.2", 0, TcpSender::kAck | TcpSender::kFin)}); },
       "leaving 2, newest -1; "},
      {[&] { rig.feed({data("10.0.0.3", 0, TcpSender::kRst)}); }, "leaving 3, newest -1; "},
      {[&] { rig.session.removeNode(0); }, "leaving 4, -1; "},  // Del
      {[&] { rig.refine.refineProtocol(tags::KeepTCP); }, "leaving 5, -1; "},
      {[&] {
         rig.tracker.setNodeAddedHalted(false);  // as refine left them
         rig.tracker.setNodeDroppedHalted(false);
         rig.clock.advance(std::chrono::seconds(
             static_cast<int>(rig.session.defaults().doubleValue(keys::PurgeIdleTime)) + 1));
         rig.tracker.purgeNodes();
       },
       "leaving 6, newest -1; "},
  };
  for (const Step& step : steps) {
    first.told.clear();
    second.told.clear();
    step.act();
    EXPECT_EQ(first.told, step.told);
    EXPECT_EQ(second.told, first.told);
  }
  EXPECT_EQ(rig.nodeCount(), 0U);

  // Subscribers may come and go while changes are told: one that leaves, told of a batch, makes
  // another leave too, which is told nothing more; one that joins is told from the next batch.
  struct Leaver : Recorder {
    Session* session = nullptr;
    SessionSubscriber* other = nullptr;
    void nodesChanged(const NodeChanges& changes) override {
      Recorder::nodesChanged(changes);
      session->unsubscribe(*this);
      session->unsubscribe(*other);
    }
  } leaver;
  leaver.session = &rig.session;
  leaver.other = &second;
  rig.session.unsubscribe(first);
  rig.session.unsubscribe(second);
  rig.session.subscribe(leaver);
  rig.session.subscribe(second);
  second.told.clear();
  rig.feed({udp("10.0.0.7")});
  rig.session.subscribe(first);
  first.told.clear();
  rig.feed({udp("10.0.0.8")});
  EXPECT_EQ(leaver.told, "newest -0; ");
  EXPECT_EQ(second.told, "");
  EXPECT_EQ(first.told, "newest -0; ");
}

// Nodes captured here learn their programs from lookups that answer later; the nodes of one flow
// made meanwhile share one lookup; what cannot be looked up says why. The pane, the column, the
// added panel and the report follow.
TEST(Session, NodesLearnTheProgramsBehindThemWhenLookupsAnswer) {
  ControllerRig rig;
  FakeProgramLookup lookup;
  Recorder recorder;
  rig.session.subscribe(recorder);
  rig.session.programs().lookUpThrough(lookup);
  const auto datagram = [](std::uint16_t port) {
    return udpFrame("10.0.0.1", port, "10.1.1.1", 53, bytesOf("q"));
  };
  const auto lines = [&] {
    std::string text;
    for (std::size_t row = 0; row < rig.nodeCount(); ++row) {
      text += rig.view.tableViewProgramValue(static_cast<int>(row)) + "|";
    }
    const auto at = rig.pane.text.rfind("Program: ");
    return text + " pane " + (at == std::string::npos ? "-" : rig.pane.text.substr(at + 9)) +
           " panel " + rig.tracker.nodeAddedBox().programField();
  };
  const LocalProgram python{"python3", 50, "root", "x.service", ""};

  rig.feed({datagram(5000), datagram(5000), icmpFrame("10.0.0.1", "10.1.1.1", bytesOf("p")),
            datagram(6000)});
  EXPECT_EQ(lookup.asked.size(), 2U);  // one per flow; none for ICMP
  EXPECT_EQ(lines(), "||unknown|| pane being looked up panel being looked up");
  rig.table.selectRow(0);
  lookup.answer({{5000, {python, {}}}});
  recorder.told.clear();
  rig.session.takeProgramAnswers();
  EXPECT_EQ(recorder.told, "-0; ");
  EXPECT_EQ(lines(),
            "python3 (50)|python3 (50)|unknown|| pane python3 (pid 50, user root, unit "
            "x.service) panel python3 (pid 50, user root, unit x.service)");
  EXPECT_EQ(lookup.asked.size(), 1U);  // port 6000 still waits

  // A node of a flow already answered is looked up again: its port may have changed hands.
  rig.feed({datagram(5000)});
  EXPECT_EQ(lookup.asked.size(), 2U);
  // A lookup that goes away leaves its nodes unknown; nodes from elsewhere say why.
  rig.session.programs().letGoOfLookup();
  rig.session.programs().notLookedUp("captured on web1");
  rig.feed({datagram(7000)});
  EXPECT_EQ(lines(),
            "python3 (50)|python3 (50)|unknown|unknown|unknown|| pane unknown, captured on web1 "
            "panel unknown, captured on web1");

  // When lookups fall far behind, new flows are given up as unknown rather than queued.
  rig.session.programs().lookUpThrough(lookup);
  lookup.asked.clear();
  for (std::uint16_t port = 10000; port < 10000 + ProgramBook::kMostWaiting + 2; ++port) {
    rig.feed({datagram(port)});
  }
  EXPECT_EQ(lookup.asked.size(), ProgramBook::kMostWaiting);
  EXPECT_EQ(lines().substr(lines().rfind("|", lines().find(" pane") - 2)),
            "|unknown| pane unknown panel unknown");

  // With ReportPrograms on, a report first waits for lookups under way; off, it has no lines.
  EXPECT_EQ(rig.session.reportText().find("Program:"), std::string::npos);
  rig.set(keys::ReportPrograms, true);
  const std::string report = rig.session.reportText();
  EXPECT_EQ(lookup.settles, 1);
  EXPECT_NE(report.find("\n\nProgram: python3 (pid 50, user root, unit x.service)\n\n---"),
            std::string::npos);
  EXPECT_NE(report.find("\n\nProgram: unknown, captured on web1\n\n---"), std::string::npos);
}

TEST(ViewController, SelectionPaneRemovalAndMenusStepByStep) {
  ControllerRig rig;
  MemoryToggleButton button;
  EXPECT_EQ(viewState(rig), "-1 pane - panel  list  menus 111000100000 lights 23 00");
  using Step = std::pair<std::function<void()>, const char*>;
  // clang-format off
  const Step steps[] = {
      {[&] { rig.feed({udp("10.0.0.1")}); },                      "0 pane 1 panel 10.0.0.1 list 1 menus 111000110010 lights 23 00"},
      {[&] { rig.feed({udp("10.0.0.2"), udp("10.0.0.3")}); },     "2 pane 3 panel 10.0.0.3 list 123 menus 111000111010 lights 23 00"},
      {[&] { rig.view.previousNode(); },                          "1 pane 2 panel 10.0.0.2 list 123 menus 111000111110 lights 23 00"},
      {[&] { rig.view.previousNode(); rig.view.previousNode(); }, "0 pane 1 panel 10.0.0.1 list 123 menus 111000110110 lights 23 00"},
      {[&] { for (int i = 0; i < 3; ++i) rig.view.nextNode(); },  "2 pane 3 panel 10.0.0.3 list 123 menus 111000111010 lights 23 00"},
      // A purge tick shows the newest row again, even when it removes nothing.
      {[&] { rig.table.selectRow(0); rig.tracker.purgeNodes(); }, "2 pane 3 panel 10.0.0.3 list 123 menus 111000111010 lights 23 00"},
      // Removal takes the selected node alone, halted or not. The pane follows the row: empty
      // when the row is gone, the next node when the row stays (no selection change there).
      {[&] { rig.view.haltAll(); rig.view.removeNode(); },        "-1 pane - panel 10.0.0.3 list 12 menus 111000110000 lights 11 11"},
      {[&] { rig.view.removeNode(); },                            "-1 pane - panel 10.0.0.3 list 12 menus 111000110000 lights 11 11"},
      {[&] { rig.table.selectRow(0); rig.view.removeNode(); },    "0 pane 2 panel 10.0.0.2 list 2 menus 111000110010 lights 11 11"},
      {[&] { rig.view.closeWindow(); rig.view.closeWindow(); },   "0 pane 2 panel 10.0.0.2 list 2 menus 111001010010 lights 11 11"},
      {[&] { rig.view.openWindow(); },                            "0 pane 2 panel 10.0.0.2 list 2 menus 111000110010 lights 11 11"},
      // Another node moving to the last row keeps the row selected: the pane follows the node.
      {[&] { rig.tracker.setNodeAddedHalted(false); rig.feed({tcp("10.0.0.4", tcpflags::SYN, "4"), tcp("10.0.0.5", tcpflags::SYN, "5")}); },
                                                                  "2 pane 5 panel 10.0.0.5 list 245 menus 111000111010 lights 21 11"},
      {[&] { rig.feed({tcp("10.0.0.4", tcpflags::ACK, "grows")}); },
                                                                  "2 pane 4 panel 10.0.0.4 list 254 menus 111000111010 lights 21 11"},
      {[&] { rig.feed({tcp("10.0.0.4", tcpflags::ACK, "again")}); },
                                                                  "2 pane 4 panel 10.0.0.4 list 254 menus 111000111010 lights 21 11"},
      {[&] { rig.refine.refineProtocol(tags::KeepUDP); },        "0 pane 2 panel 10.0.0.2 list 2 menus 111000110010 lights 11 11"},
      // A node that takes the place, and the memory, of the one shown, at the same moment.
      {[&] { rig.tracker.setNodeAddedHalted(false); rig.set(keys::DropOnRST, true); rig.feed({tcp("10.0.0.6", tcpflags::SYN, "ab")}); },
                                                                  "1 pane 6 panel 10.0.0.6 list 26 menus 111000111010 lights 21 11"},
      {[&] { rig.feed({tcp("10.0.0.6", tcpflags::RST, ""), udp("10.0.0.7", "ab")}); },
                                                                  "1 pane 7 panel 10.0.0.7 list 27 menus 111000111010 lights 21 11"},
      // Each halt switch sets its own side; a mixed state counts as off.
      {[&] { button.setState(ToggleButton::kOff); rig.view.nodeDroppedHalt(button); },
                                                                  "1 pane 7 panel 10.0.0.7 list 27 menus 111000111010 lights 23 11"},
      {[&] { button.setState(2); rig.view.nodeAddedHalt(button); },
                                                                  "1 pane 7 panel 10.0.0.7 list 27 menus 111000111010 lights 23 11"},
      {[&] { button.setState(ToggleButton::kOn); rig.view.nodeAddedHalt(button); },
                                                                  "1 pane 7 panel 10.0.0.7 list 27 menus 111000111010 lights 13 11"},
      // An ended capture shows in the intake light, unless intake is halted.
      {[&] { rig.tracker.setCaptureEnded(true); },               "1 pane 7 panel 10.0.0.7 list 27 menus 111000111010 lights 13 11"},
      {[&] { button.setState(ToggleButton::kOff); rig.view.nodeAddedHalt(button); },
                                                                  "1 pane 7 panel 10.0.0.7 list 27 menus 111000111010 lights 03 11"},
      {[&] { rig.tracker.setCaptureEnded(false); },              "1 pane 7 panel 10.0.0.7 list 27 menus 111000111010 lights 23 11"},
  };
  // clang-format on
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    steps[i].first();
    EXPECT_EQ(viewState(rig), steps[i].second) << "step " << i;
    EXPECT_TRUE(paneDescribesHighlightedRow(rig)) << "step " << i;
  }
  EXPECT_EQ(rig.tracker.nodeDroppedBox().sourceIPField(), "10.0.0.1");
  EXPECT_EQ(rig.sounds.played, std::vector<std::string>{"click05.wav"});  // the refine's alone
}

// Deferring the view work to the end of a chunk must leave what one-by-one handling leaves.
// Each view of the pane follows the highlighted row through every change: a node of the other
// direction that grows, comes, is removed or is purged changes the conversation shown at once.
TEST(ViewController, EveryViewFollowsTheHighlightedRow) {
  const auto echo = [](std::uint8_t type, std::uint8_t identifier, std::string_view data) {
    Bytes message{type, 0, 0, 0, 0, identifier, 0, 1};
    message.insert(message.end(), data.begin(), data.end());
    return message;
  };
  using Steps = std::vector<std::function<void(ControllerRig&)>>;
  const auto feed = [](std::vector<Bytes> frames) {
    return [frames](ControllerRig& rig) {
      rig.clock.advance(1s);
      rig.feed(frames);
    };
  };
  const auto select = [](int row) {
    return [row](ControllerRig& rig) { rig.table.selectRow(row); };
  };
  const auto remove = [](int row) {
    return [row](ControllerRig& rig) { rig.session.removeNode(static_cast<std::size_t>(row)); };
  };
  TcpSender client("10.0.0.1", 40000, "10.0.0.9", 80), server("10.0.0.9", 80, "10.0.0.1", 40000);
  TcpSender lone("10.0.0.2", 40001, "10.0.0.9", 80);
  const Bytes request = client.send("GET / HTTP/1.0\r\n\r\n");
  const std::pair<const char*, Steps> cases[] = {
      {"TCP with a retransmission",
       {feed({client.syn(), server.syn(TcpSender::kSyn | TcpSender::kAck)}), feed({request}),
        feed({server.send("HTTP/1.0 200 OK\r\n")}), feed({request}), select(0),
        feed({server.send("hello")}), select(0), feed({client.send("bye")}), select(0), remove(1)}},
      {"DNS query and reply",
       {feed({udpFrame("10.0.0.1", 5353, "10.0.0.9", 53, bytesOf("query"))}),
        feed({udpFrame("10.0.0.9", 53, "10.0.0.1", 5353, bytesOf("answer"))}), select(0),
        feed({udpFrame("10.0.0.9", 53, "10.0.0.1", 5353, bytesOf("again"))}), select(0),
        remove(1)}},
      {"ping",
       {feed({icmpFrame("10.0.0.1", "10.0.0.9", echo(8, 7, "ping"))}),
        feed({icmpFrame("10.0.0.9", "10.0.0.1", echo(0, 7, "ping")),
              icmpFrame("10.0.0.9", "10.0.0.1", echo(0, 8, "other"))}),
        select(0)}},
      {"lone SYN", {feed({lone.syn()}), select(0)}},
      {"other direction purged",
       {feed({client.syn(), server.syn(TcpSender::kSyn | TcpSender::kAck)}),
        [&](ControllerRig& rig) {
          rig.clock.advance(std::chrono::seconds(
              static_cast<int>(rig.session.defaults().doubleValue(keys::PurgeIdleTime)) - 1));
          rig.feed({client.send("late")});
        },
        feed({}), [](ControllerRig& rig) { rig.tracker.purgeNodes(); }}},
  };
  for (const auto& [name, steps] : cases) {
    for (const PaneView view : {PaneView::Conversation, PaneView::Hex, PaneView::Node}) {
      ControllerRig rig;
      rig.view.setPaneView(view);
      for (std::size_t step = 0; step < steps.size(); ++step) {
        steps[step](rig);
        EXPECT_TRUE(paneShowsHighlightedRowInItsView(rig))
            << name << ", view " << static_cast<int>(view) << ", step " << step << ":\n"
            << rig.pane.text;
      }
    }
  }
}

TEST(ViewController, OneChunkEndsAsRecordByRecord) {
  const char* hosts[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
  using namespace tcpflags;
  const std::uint8_t kinds[] = {SYN, ACK, ACK, FIN | ACK, 0 /* UDP */, RST};
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
      frames.push_back(kind == 0 ? udpFrame(host, 1, "10.1.1.1", 80, payload)
                                 : tcpFrame(host, 1, "10.1.1.1", 80, kind,
                                            kind == SYN || kind == ACK ? payload : Bytes{}));
    }
    ControllerRig single;
    ControllerRig batched;
    for (ControllerRig* rig : {&single, &batched}) {
      rig->set(keys::MaxPacketSize, std::int64_t{50});
      rig->set(keys::DropOnFIN, true);
      rig->set(keys::DropOnRST, true);
      // Nodes the frames can drop, one of them selected.
      rig->feed({tcp(hosts[0], SYN, "seed"), tcp(hosts[1], SYN, "seed")});
      rig->table.selectRow(round % 2);
    }
    single.session.setBatched(false);
    single.feed(frames);
    batched.feed(frames);
    ASSERT_EQ(shown(single), shown(batched)) << round;
  }
}

using namespace std::string_literals;

using Action = std::function<void(RefineActions&, SearchField&)>;
Action protocol(int tag) {
  return [tag](RefineActions& refine, SearchField&) { refine.refineProtocol(tag); };
}
Action lastHit(int tag) {
  return [tag](RefineActions& refine, SearchField&) { refine.refineLastHit(tag); };
}
const Action sourceIP = &RefineActions::refineSourceIP;
const Action sourcePort = &RefineActions::refineSourcePort;

struct RefineCase {
  Action refine;
  std::string fieldText;  // what the search field holds before
  std::string kept;       // the sources' last bytes of the nodes kept, in list order
  std::string after;      // the field's text afterwards, the sound played (or "beep"), the row
};

TEST(RefineActions, WhatEachKeepsAndWhatItLeavesShown) {
  const std::string all = "1 11 1 4 9";
  // clang-format off
  const RefineCase cases[] = {
      {protocol(99), "", all, "|click05.wav|0"},  // any other tag keeps every node
      {protocol(tags::KeepUDP), "", "1 11", "|click05.wav|0"},
      {protocol(tags::KeepICMP), "", "1 9", "|click05.wav|0"},  // ICMPv6 too
      {protocol(tags::KeepTCP), "", "4", "|click05.wav|0"},
      {lastHit(20), "", "11 1 4 9", "|click05.wav|0"},  // exactly 20 s idle is within 20 s
      {lastHit(10), "", "", "|click05.wav|-1"},          // an empty list shows no row
      {lastHit(15), "", all, "|click05.wav|0"},          // not a multiple of 10: no limit
      {lastHit(tags::AnyTime), "", all, "|click05.wav|0"},
      {sourceIP, "10.0.0.1", "1 1", "Source IP|click01.wav|0"},
      {sourceIP, "2001:DB8:0::9", "9", "Source IP|click01.wav|0"},
      {&RefineActions::refineDestinationIP, "10.1.1.2", "11 1", "Destination IP|click01.wav|0"},
      {sourcePort, "80", "1", "Port|click01.wav|0"},
      {&RefineActions::refineDestinationPort, "  +80xyz", "11", "Port|click01.wav|0"},
      {sourcePort, "65616", "1", "Port|click01.wav|0"},  // 65536 + 80
      {sourcePort, "-1", "11", "Port|click01.wav|0"},
      {sourcePort, "Port", "1 9", "Port|click01.wav|0"},        // port 0: the ICMP nodes
      {sourcePort, "99999999999", "11", "Port|click01.wav|0"},  // INT_MAX: low 16 bits 65535
      // What is not an address is refused with a beep; the list, the field and the row stay.
      {sourceIP, "Source IP", all, "Source IP|beep|4"},
      {sourceIP, "", all, "|beep|4"},
      {sourceIP, "10.0.0", all, "10.0.0|beep|4"},
      {sourceIP, "10.0.0.256", all, "10.0.0.256|beep|4"},
      {sourceIP, "10.0.0.1 ", all, "10.0.0.1 |beep|4"},
      {sourceIP, "1\xC3\xA9.0.0.1", all, "1\xC3\xA9.0.0.1|beep|4"},
      {sourceIP, "10.0.0.1\0junk"s, all, "10.0.0.1\0junk|beep|4"s},
      {sourceIP, "2001:db8:::1", all, "2001:db8:::1|beep|4"},
      // Either end's program, in any case; a node still looked up, or not at all, has none.
      {&RefineActions::refineProgram, "PYTHON", "1", "Program|click01.wav|0"},
      {&RefineActions::refineProgram, "ngin", "4", "Program|click01.wav|0"},
      {&RefineActions::refineProgram, "zsh", "", "Program|click01.wav|-1"},
      {&RefineActions::refineProgram, "", all, "Program|click01.wav|0"},
  };
  // clang-format on
  for (const RefineCase& c : cases) {
    ControllerRig rig;
    FakeProgramLookup lookup;
    rig.session.programs().lookUpThrough(lookup);
    rig.feed({udpFrame("10.0.0.1", 80, "10.1.1.1", 65535, bytesOf("a"))});
    rig.clock.advance(500ms);
    rig.feed({udpFrame("10.0.0.11", 65535, "10.1.1.2", 80, bytesOf("b")),
              icmpFrame("10.0.0.1", "10.1.1.2", bytesOf("c")),
              tcpFrame("10.0.0.4", 5, "10.1.1.1", 6, tcpflags::SYN, bytesOf("t")),
              icmpFrame("2001:db8::9", "2001:db8::2", bytesOf("6"))});
    const LocalProgram python{"python3", 50, "root", "", ""}, curl{"curl", 7, "root", "", ""},
        nginx{"nginx", 8, "www-data", "", ""};
    lookup.answer({{80, {python, {}}}, {5, {curl, nginx}}});
    rig.session.takeProgramAnswers();
    rig.clock.advance(20s);
    MemorySearchField field(c.fieldText);
    c.refine(rig.refine, field);
    std::string kept;
    for (std::size_t i = 0; i < rig.nodeCount(); ++i) {
      const IpAddress& source = rig.node(i).saddr();
      kept +=
          (i ? " " : "") + std::to_string(source.bytes[source.family == IpAddress::kV4 ? 3 : 15]);
    }
    std::string sound = rig.sounds.beeps == 1 ? "beep" : "";
    for (const std::string& played : rig.sounds.played) {
      sound += played;
    }
    EXPECT_EQ(kept, c.kept) << c.fieldText;
    EXPECT_EQ(field.stringValue() + "|" + sound + "|" + std::to_string(rig.table.selectedRow()),
              c.after)
        << c.fieldText;
    // Only a refine that narrows moves the focus to the table.
    EXPECT_EQ(rig.table.focusRequests, sound == "beep" ? 0 : 1) << c.fieldText;
    EXPECT_TRUE(rig.tracker.nodeAddedHalted() && rig.tracker.nodeDroppedHalted());
  }
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
