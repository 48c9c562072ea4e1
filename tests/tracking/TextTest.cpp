// The node texts, the detail pane and the report, byte for byte (TZ=UTC).

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>
#include <thread>

#include "tests/tracking/ControllerRig.h"
#include "tracking/HostLookup.h"
#include "tracking/NodeText.h"
#include "tracking/Report.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

std::string payloadText(std::string_view bytes) {
  std::string text;
  appendPayloadText(text,
                    std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
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
}

// The rule as plainly as it can be said, one byte at a time.
std::string referencePayloadText(const Bytes& bytes) {
  std::string text;
  int column = 0;
  for (const std::uint8_t byte : bytes) {
    if (byte == '\r') {
      text += '\n';
      column = 0;
    } else if (byte >= 0x20 && byte <= 0x7E) {
      text += static_cast<char>(byte);
      if (++column == 76) {
        text += '\n';
        column = 0;
      }
    }
  }
  return text;
}

TEST(PayloadText, AgreesWithTheRuleForMixedPayloadsOfEveryLength) {
  // Runs of text, binary and carriage returns, so that words of every kind meet line ends at
  // every column; lengths cover every remainder of eight.
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
    ASSERT_EQ(payloadText(
                  std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size())),
              referencePayloadText(payload))
        << "round " << round;
  }
}

TEST(DetailPane, SummaryThenPayload) {
  ControllerRig rig;
  rig.feed({tcpFrame("10.0.0.2", 52311, "10.0.0.9", 80, tcpflags::SYN,
                     bytesOf("GET / HTTP/1.0\r\n\r\n"))});
  EXPECT_EQ(
      rig.pane.text,
      "Start Time: 14:03:20\n"
      "Last Hit: 14:03:20\n\n"
      "Protocol: TCP\n\n"
      "Source IP: 10.0.0.2\nSource Port: 52311\nDestination IP: 10.0.0.9\nDestination Port: 80\n\n"
      "Byte count: 18\n\n"
      "GET / HTTP/1.0\n\n");

  WQMConnection odd(kStartTime, 10);
  odd.setProtocol(47);
  MemoryLog log;
  EXPECT_EQ(detailText(odd.facts(), log),
            "Start Time: 14:03:20\nLast Hit: 14:03:20\n\n"
            "Source IP: 0.0.0.0\nSource Port: 0\nDestination IP: 0.0.0.0\nDestination Port: 0\n\n"
            "Byte count: 0\n\n");
}

const char* kSeparator =
    "\n\n-----------------------------------------------------------------------\n\n";

TEST(Report, EmptyListGivesTheHeaderAlone) {
  ControllerRig rig;
  EXPECT_EQ(rig.controller.reportText(),
            "Wirequill Report\n(Sunday, December 06, 2026)\n14:03:20, UTC\n\n");
}

TEST(Report, NodeBlocksInListOrderOrNewestFirst) {
  ControllerRig rig;
  rig.feed({tcpFrame("10.0.0.2", 52311, "10.0.0.9", 80, tcpflags::SYN,
                     bytesOf("GET / HTTP/1.0\r\n\r\n"))});
  rig.clock.advance(7s);
  rig.feed({udpFrame("10.0.0.3", 53, "10.0.0.4", 5353, bytesOf("abc")),
            icmpFrame("10.0.0.5", "10.0.0.6", Bytes{})});
  rig.clock.advance(1h);

  const std::string tcpBlock =
      std::string(
          "Start Time: 14:03:20\nLast Hit: 14:03:20\n\nProtocol: TCP\n\n"
          "Source IP: 10.0.0.2\nSource Port: 52311\nDestination IP: 10.0.0.9\n"
          "Destination Port: 80\n\nByte count: 18\n\nRaw Data:\n\nGET / HTTP/1.0\n\n") +
      kSeparator;
  const std::string udpBlock =
      std::string(
          "Start Time: 14:03:27\nLast Hit: 14:03:27\n\nProtocol: UDP\n\n"
          "Source IP: 10.0.0.3\nSource Port: 53\nDestination IP: 10.0.0.4\n"
          "Destination Port: 5353\n\nByte count: 3\n\nRaw Data:\n\nabc") +
      kSeparator;
  const std::string icmpBlock =
      std::string(
          "Start Time: 14:03:27\nLast Hit: 14:03:27\n\nProtocol: ICMP\n\n"
          "Source IP: 10.0.0.5\nSource Port: 0\nDestination IP: 10.0.0.6\n"
          "Destination Port: 0\n\nByte count: 8\n\nRaw Data:\n\n") +
      kSeparator;
  const std::string header = "Wirequill Report\n(Sunday, December 06, 2026)\n15:03:27, UTC\n\n";
  EXPECT_EQ(rig.controller.reportText(), header + tcpBlock + udpBlock + icmpBlock);

  rig.set(keys::ReportRecentNodesFirst, true);
  EXPECT_EQ(rig.controller.reportText(), header + icmpBlock + udpBlock + tcpBlock);
}

TEST(Report, ManyNodesKeepTheirOrderAcrossTheReportsParts) {
  // Enough nodes and payload for the report to be formatted in several parts at once.
  constexpr int kNodes = 12000;
  ControllerRig rig;
  std::vector<Bytes> frames;
  for (int i = 0; i < kNodes; ++i) {
    char label[16];
    std::snprintf(label, sizeof label, "node %05d;", i);
    Bytes payload = bytesOf(label);
    payload.resize(i % 7 == 0 ? 300 : 11, 'x');
    frames.push_back(udpFrame("10.0.0.3", static_cast<std::uint16_t>(i), "10.0.0.4", 53, payload));
    if (frames.size() == 8 || i + 1 == kNodes) {
      rig.feed(frames);
      frames.clear();
    }
  }
  ASSERT_EQ(rig.nodeCount(), static_cast<std::size_t>(kNodes));

  const auto labelsInReport = [&] {
    std::vector<int> labels;
    const std::string report = rig.controller.reportText();
    for (std::size_t at = report.find("node "); at != std::string::npos;
         at = report.find("node ", at + 1)) {
      labels.push_back(std::stoi(report.substr(at + 5, 5)));
    }
    EXPECT_EQ(report.size(), rig.controller.reportText().size());
    return labels;
  };
  std::vector<int> expected(kNodes);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(labelsInReport(), expected);
  rig.set(keys::ReportRecentNodesFirst, true);
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(labelsInReport(), expected);
}

TEST(Report, ResolvedNamesStandForAddressesAndFallBackToDottedText) {
  ControllerRig rig;
  rig.feed({udpFrame("10.0.0.3", 53, "10.0.0.4", 80, bytesOf("x"))});
  rig.resolver.names[addressOf("10.0.0.4")] = "server.example";
  rig.set(keys::ReportResolveIPAddresses, true);
  const std::string report = rig.controller.reportText();
  EXPECT_NE(report.find("Source IP: 10.0.0.3\nSource Port: 53\nDestination IP: server.example\n"
                        "Destination Port: 80\n"),
            std::string::npos);
  // The destination is looked up first.
  EXPECT_EQ(rig.resolver.asked,
            (std::vector<std::uint32_t>{addressOf("10.0.0.4"), addressOf("10.0.0.3")}));

  MemoryLog log;
  TableHostResolver longNames;
  longNames.names[1] = std::string(5000, 'n');
  EXPECT_EQ(resolveHost(1, longNames, log), std::string(1023, 'n'));
  EXPECT_EQ(resolveHost(htonl(0x7f000001), longNames, log), "127.0.0.1");
}

TEST(Report, HeaderFollowsTheLocalTimeZone) {
  ControllerRig rig;
  rig.clock.set(TimePoint{std::chrono::seconds{1796556303}});  // 2026-12-06 11:25:03 UTC
  setenv("TZ", "America/New_York", 1);
  tzset();
  const std::string report = rig.controller.reportText();
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(report, "Wirequill Report\n(Sunday, December 06, 2026)\n06:25:03, EST\n\n");
}

}  // namespace
}  // namespace wq::testing

namespace wq::testing {
namespace {

// A resolver that answers some addresses at once and keeps others waiting far past any budget.
class SlowResolver : public HostResolver {
 public:
  std::optional<std::string> hostName(std::uint32_t address) override {
    if (address == addressOf("10.0.0.9")) {
      std::this_thread::sleep_for(std::chrono::seconds(3));
    }
    return address == addressOf("10.0.0.4") ? "fast.example" : "slow.example";
  }
};

TEST(Report, UnansweredLookupsFallBackToDottedAddressesWithinTheBudget) {
  ControllerRig rig;
  rig.feed({udpFrame("10.0.0.9", 53, "10.0.0.4", 80, bytesOf("x"))});
  BoundedHostResolver bounded(std::make_shared<SlowResolver>(), std::chrono::milliseconds(300));
  const auto started = std::chrono::steady_clock::now();
  const std::string report =
      reportText(rig.controller.connectionsArray(), {false, true}, rig.clock, bounded, rig.log);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_NE(report.find("Source IP: 10.0.0.9\n"), std::string::npos);
  EXPECT_NE(report.find("Destination IP: fast.example\n"), std::string::npos);
}

}  // namespace
}  // namespace wq::testing
