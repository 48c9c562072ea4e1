// SPDX-License-Identifier: GPL-3.0-or-later
// The texts of nodes, byte for byte (TZ=UTC): payload text, detail pane, panel fields and table
// rows; and the report: its dated header, one block per node in list order or newest first,
// resolved host names, and its parts formatted apart and written in order.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "tests/tracking/ControllerRig.h"
#include "tracking/HostLookup.h"
#include "tracking/view/NodeText.h"
#include "tracking/view/ProgramText.h"
#include "tracking/view/Report.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

std::string payloadText(std::string_view bytes, const std::vector<PayloadGap>& gaps = {}) {
  std::string text;
  appendPayloadText(
      text, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), gaps);
  return text;
}

TEST(PayloadText, PrintableBytesLineBreaksAndWrapping) {
  EXPECT_EQ(payloadText("GET / HTTP/1.0\r\n\r\n"), "GET / HTTP/1.0\n\n");
  const std::string line76(76, 'a');
  EXPECT_EQ(payloadText(line76), line76 + "\n");
  EXPECT_EQ(payloadText(line76 + "b"), line76 + "\nb");
  EXPECT_EQ(payloadText(line76 + "\r"), line76 + "\n\n");
  EXPECT_EQ(payloadText("\x80\xff\t\n\x01\x7f"), "");
  EXPECT_EQ(payloadText(" ~"), " ~");
  // Bytes left out do not move the column.
  EXPECT_EQ(payloadText(std::string(40, 'a') + "\n\t\xff" + std::string(40, 'b')),
            std::string(40, 'a') + std::string(36, 'b') + "\n" + std::string(4, 'b'));
  // A gap is marked in place on a line of its own, and the line count restarts after it.
  const std::string mark = "[1460 bytes not captured]\n";
  EXPECT_EQ(payloadText("abc", {{0, 1460}}), mark + "abc");
  EXPECT_EQ(payloadText("abc", {{3, 1460}}), "abc\n" + mark);
  EXPECT_EQ(payloadText(line76 + "b", {{76, 1460}}), line76 + "\n" + mark + "b");
  EXPECT_EQ(payloadText("x\r", {{2, 1460}}), "x\n" + mark);
  EXPECT_EQ(payloadText(std::string(40, 'a') + line76 + "b", {{40, 1460}, {40, 7}}),
            std::string(40, 'a') + "\n" + mark + "[7 bytes not captured]\n" + line76 + "\nb");
}

// The rule as plainly as it can be said, one byte at a time.
std::string referencePayloadText(const Bytes& bytes, const std::vector<PayloadGap>& gaps) {
  std::string text;
  int column = 0;
  auto gap = gaps.begin();
  for (std::size_t at = 0; at <= bytes.size(); ++at) {
    for (; gap != gaps.end() && gap->at == at; ++gap) {
      text += (column == 0 ? "[" : "\n[") + std::to_string(gap->length) + " bytes not captured]\n";
      column = 0;
    }
    const bool printable = at < bytes.size() && bytes[at] >= 0x20 && bytes[at] <= 0x7E;
    if (printable) {
      text += static_cast<char>(bytes[at]);
    }
    if ((at < bytes.size() && bytes[at] == '\r') || (printable && ++column == 76)) {
      text += '\n';
      column = 0;
    }
  }
  return text;
}

TEST(PayloadText, AgreesWithTheRuleForMixedPayloadsOfEveryLength) {
  // Runs of text, binary and carriage returns, so that words of every kind meet line ends at
  // every column; lengths cover every remainder of eight; gaps fall anywhere.
  std::mt19937 random(3);
  for (int round = 0; round < 3000; ++round) {
    Bytes payload(random() % 400);
    const int textPercent = static_cast<int>(random() % 101);
    for (std::uint8_t& byte : payload) {
      const int draw = static_cast<int>(random() % 100);
      byte = draw < textPercent ? static_cast<std::uint8_t>(0x20 + random() % 95)
             : draw % 17 == 0   ? '\r'
                                : static_cast<std::uint8_t>(random());
    }
    std::vector<PayloadGap> gaps(random() % 3);
    for (PayloadGap& gap : gaps) {
      gap = {static_cast<std::uint32_t>(random() % (payload.size() + 1)),
             static_cast<std::uint32_t>(1 + random() % 2000)};
    }
    std::ranges::sort(gaps, {}, &PayloadGap::at);
    ASSERT_EQ(
        payloadText(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()),
                    gaps),
        referencePayloadText(payload, gaps))
        << "round " << round;
    // Marks on the same text stand where their bytes' characters do: what the marked ranges
    // hold, line breaks aside, is the printable bytes of the marks.
    std::vector<ByteRange> marks;
    std::string markedBytes;
    for (std::uint32_t at = 0; at < payload.size(); at += 1 + random() % 40) {
      auto end = std::min<std::uint32_t>(static_cast<std::uint32_t>(payload.size()),
                                         at + 1 + random() % 30);
      for (const PayloadGap& gap : gaps) {  // as found, a mark never spans a gap
        end = gap.at > at && gap.at < end ? gap.at : end;
      }
      marks.push_back({at, end});
      for (; at < end; ++at) {
        markedBytes +=
            payload[at] >= 0x20 && payload[at] <= 0x7E ? std::string(1, payload[at]) : "";
      }
    }
    PaneText pane;
    appendPayloadText(pane, payload, gaps, marks, TextStyle::Match);
    ASSERT_EQ(pane.text, referencePayloadText(payload, gaps));
    std::string markedText;
    for (const StyledRange& range : pane.ranges) {
      ASSERT_LE(range.end, pane.text.size());
      std::ranges::copy_if(pane.text.substr(range.begin, range.end - range.begin),
                           std::back_inserter(markedText), [](char c) { return c != '\n'; });
    }
    ASSERT_EQ(markedText, markedBytes) << "round " << round;
  }
  // A mark starts after a gap's line at its start, and ends before one at its end.
  PaneText pane;
  appendPayloadText(pane, bytesOf("abcdef"), std::vector<PayloadGap>{{3, 5}},
                    std::vector<ByteRange>{{1, 3}, {3, 4}}, TextStyle::Match);
  EXPECT_EQ(pane.text, "abc\n[5 bytes not captured]\ndef");
  EXPECT_EQ(pane.ranges,
            (std::vector<StyledRange>{{1, 3, TextStyle::Match}, {27, 28, TextStyle::Match}}));
}

TEST(NodeText, DetailWithoutAProtocolLine) {
  // A protocol without a name has no protocol line.
  WQMConnection odd(kStartTime, 10);
  odd.setProtocol(47);
  MemoryLog log;
  EXPECT_EQ(detailText(odd.facts(), log),
            "Start Time: 14:03:20\nLast Hit: 14:03:20\n\n"
            "Source IP: 0.0.0.0\nSource Port: 0\nDestination IP: 0.0.0.0\nDestination Port: 0\n\n"
            "Byte count: 0\n\n");
  // An IPv6 node: compressed addresses, and the bytes not captured counted and marked.
  WQMConnection echo(kStartTime, 1000);
  echo.setProtocol(58);
  echo.setsaddr(ip("2001:DB8:0:0:1::1"));
  echo.setdaddr(ip("fe80::"));
  echo.setPacketData(reinterpret_cast<const std::uint8_t*>("ping"), 4, 60);
  EXPECT_EQ(detailText(echo.facts(), log),
            "Start Time: 14:03:20\nLast Hit: 14:03:20\n\nProtocol: ICMPv6\n\n"
            "Source IP: 2001:db8::1:0:0:1\nSource Port: 0\nDestination IP: fe80::\n"
            "Destination Port: 0\n\nByte count: 64\n\nping\n[60 bytes not captured]\n");
}

TEST(NodeText, PanelFieldsAndTableRow) {
  MemoryLog log;
  WQMNodeBox box(log);
  EXPECT_EQ(box.sourceIPField(), "");  // as the layout leaves it until a node is shown

  WQMConnection node(kStartTime - 5h + 1min + 43s, 24000);  // 09:05:03
  node.setProtocol(6);
  node.setsaddr(ip("192.168.0.1"));
  node.setdaddr(ip("255.255.255.255"));
  node.setsport(0x5000);  // the bytes 00 50 in network order
  node.setdport(0xFFFF);
  box.showNode(node);
  EXPECT_EQ(panelText(box), "TCP Packet|192.168.0.1|255.255.255.255|80|65535|09:05:03|");
  EXPECT_EQ(node.description(log),
            "Time: 09:05:03 Hosts: 192.168.0.1, Port: 80->255.255.255.255, Port: 65535\n");

  node.setProtocol(47);  // no label: the protocol field keeps its text, the rest change
  node.setLastHit(kStartTime + 7h + 1min + 43s);
  node.setsport(htons(40000));
  box.showNode(node);
  EXPECT_EQ(panelText(box), "TCP Packet|192.168.0.1|255.255.255.255|40000|65535|21:05:03|");
  EXPECT_TRUE(log.lines.empty());
}

// Every kind of answer, as the pane (and report) line and as the Program column show it.
TEST(ProgramText, LinesAndColumnsForEveryAnswer) {
  const LocalProgram psql{"psql", 8812, "alice", "user@1000.service", ""};
  const LocalProgram server{"postgres", 901, "postgres", "", "3f2a9c1b7d4e"};
  const LocalProgram othersOnly{"", 0, "nobody", "", ""};
  struct Row {
    NodePrograms programs;
    std::string line, column;
  };
  const Row rows[] = {
      {{psql, {}}, "psql (pid 8812, user alice, unit user@1000.service)", "psql (8812)"},
      {{{}, server}, "postgres (pid 901, user postgres, container 3f2a9c1b7d4e)", "postgres (901)"},
      {{psql, server},
       "psql (pid 8812, user alice, unit user@1000.service) -> "
       "postgres (pid 901, user postgres, container 3f2a9c1b7d4e)",
       "psql (8812) -> postgres (901)"},
      {{othersOnly, {}}, "unknown (user nobody)", "unknown (user nobody)"},
      {{LocalProgram{}, psql},
       "unknown -> psql (pid 8812, user alice, unit user@1000.service)",
       "unknown -> psql (8812)"},
      {{}, "unknown", "unknown"},
  };
  for (const Row& row : rows) {
    ProgramSlotRef slot(ProgramSlot::lookingUp());
    slot->fill(row.programs);
    EXPECT_EQ(programLine(slot.get()), "Program: " + row.line);
    EXPECT_EQ(programColumnText(slot.get()), row.column);
  }
  const ProgramSlotRef file(ProgramSlot::notLookedUp("captured from a file"));
  const ProgramSlotRef waiting(ProgramSlot::lookingUp());
  EXPECT_EQ(programLine(file.get()) + "|" + programColumnText(file.get()),
            "Program: unknown, captured from a file|");
  EXPECT_EQ(programLine(waiting.get()) + "|" + programColumnText(waiting.get()),
            "Program: being looked up|");
  EXPECT_EQ(programLine(nullptr) + programColumnText(nullptr), "");
}

const char* kSeparator =
    "\n\n-----------------------------------------------------------------------\n\n";

TEST(Report, NodeBlocksInListOrderOrNewestFirstWithResolvedNames) {
  ControllerRig rig;
  rig.feed({tcpFrame("10.0.0.2", 52311, "10.0.0.9", 80, tcpflags::SYN,
                     bytesOf("GET / HTTP/1.0\r\n\r\n"))});
  rig.clock.advance(7s);
  rig.feed({icmpFrame("10.0.0.5", "10.0.0.6", Bytes{})});
  rig.clock.advance(1h);

  const std::string tcpBlock =
      "Start Time: 14:03:20\nLast Hit: 14:03:20\n\nProtocol: TCP\n\n"
      "Source IP: 10.0.0.2\nSource Port: 52311\nDestination IP: 10.0.0.9\n"
      "Destination Port: 80\n\nByte count: 18\n\nRaw Data:\n\nGET / HTTP/1.0\n\n" +
      std::string(kSeparator);
  const std::string icmpBlock =
      "Start Time: 14:03:27\nLast Hit: 14:03:27\n\nProtocol: ICMP\n\n"
      "Source IP: 10.0.0.5\nSource Port: 0\nDestination IP: 10.0.0.6\n"
      "Destination Port: 0\n\nByte count: 8\n\nRaw Data:\n\n" +
      std::string(kSeparator);
  const std::string header = "Wirequill Report\n(Sunday, December 06, 2026)\n15:03:27, UTC\n\n";
  EXPECT_EQ(rig.session.reportText(), header + tcpBlock + icmpBlock);
  rig.set(keys::ReportRecentNodesFirst, true);
  EXPECT_EQ(rig.session.reportText(), header + icmpBlock + tcpBlock);

  // Resolved names stand for addresses, cut to 1023 bytes; the destination is looked up first.
  rig.resolver.names[ip("10.0.0.9")] = "server.example";
  rig.resolver.names[ip("10.0.0.6")] = std::string(5000, 'n');
  rig.set(keys::ReportResolveIPAddresses, true);
  const std::string report = rig.session.reportText();
  EXPECT_NE(
      report.find("Source IP: 10.0.0.2\nSource Port: 52311\nDestination IP: server.example\n"),
      std::string::npos);
  EXPECT_NE(report.find("Destination IP: " + std::string(1023, 'n') + "\nDestination Port"),
            std::string::npos);
  EXPECT_EQ(rig.resolver.asked,
            (std::vector{ip("10.0.0.6"), ip("10.0.0.5"), ip("10.0.0.9"), ip("10.0.0.2")}));
}

TEST(Report, ManyNodesKeepTheirOrderAcrossTheReportsParts) {
  // Enough nodes and payload for the report to be formatted in several parts at once; each
  // payload starts with its node's number.
  constexpr int kNodes = 12000;
  ControllerRig rig;
  for (int i = 0; i < kNodes; ++i) {
    Bytes payload = bytesOf("node " + std::to_string(100000 + i));
    payload.resize(i % 7 == 0 ? 300 : 11, 'x');
    rig.feed({udpFrame("10.0.0.3", static_cast<std::uint16_t>(i), "10.0.0.4", 53, payload)});
  }
  for (bool newestFirst : {false, true}) {
    rig.set(keys::ReportRecentNodesFirst, newestFirst);
    const std::string report = rig.session.reportText();
    int expected = newestFirst ? kNodes - 1 : 0;
    for (std::size_t at = report.find("node 1"); at != std::string::npos;
         at = report.find("node 1", at + 1), expected += newestFirst ? -1 : 1) {
      ASSERT_EQ(std::stoi(report.substr(at + 5, 6)) - 100000, expected);
    }
    EXPECT_EQ(expected, newestFirst ? -1 : kNodes);
  }
}

TEST(Report, AnEmptyListGivesTheHeaderInTheLocalTimeZone) {
  ControllerRig rig;
  rig.clock.set(kStartTime - 11h);  // 2026-12-06 03:03:20 UTC, the day before in New York
  setenv("TZ", "America/New_York", 1);
  tzset();
  const std::string report = rig.session.reportText();
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(report, "Wirequill Report\n(Saturday, December 05, 2026)\n22:03:20, EST\n\n");
}

// A resolver that answers some addresses at once and keeps others waiting far past any budget.
class SlowResolver : public HostResolver {
 public:
  std::optional<std::string> hostName(const IpAddress& address) override {
    if (address == ip("10.0.0.9")) {
      std::this_thread::sleep_for(std::chrono::seconds(3));
    }
    return address == ip("10.0.0.4") ? "fast.example" : "slow.example";
  }
};

TEST(Report, UnansweredLookupsFallBackToDottedAddressesWithinTheBudget) {
  ControllerRig rig;
  rig.feed({udpFrame("10.0.0.9", 53, "10.0.0.4", 80, bytesOf("x"))});
  BoundedHostResolver bounded(std::make_shared<SlowResolver>(), std::chrono::milliseconds(300));
  const auto started = std::chrono::steady_clock::now();
  const std::string report =
      reportText(rig.tracker.connectionsArray(), {false, true}, rig.clock, bounded, rig.log);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_NE(report.find("Source IP: 10.0.0.9\n"), std::string::npos);
  EXPECT_NE(report.find("Destination IP: fast.example\n"), std::string::npos);
}

}  // namespace
}  // namespace wq::testing
