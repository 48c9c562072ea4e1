// The report: its dated header, one block per node in list order or newest first, resolved host
// names, and its parts formatted apart and written in order (TZ=UTC).

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <thread>

#include "tests/tracking/ControllerRig.h"
#include "tracking/HostLookup.h"
#include "tracking/Report.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

const char* kSeparator =
    "\n\n-----------------------------------------------------------------------\n\n";

TEST(Report, NodeBlocksInListOrderOrNewestFirst) {
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
  EXPECT_EQ(rig.controller.reportText(), header + tcpBlock + icmpBlock);
  rig.set(keys::ReportRecentNodesFirst, true);
  EXPECT_EQ(rig.controller.reportText(), header + icmpBlock + tcpBlock);
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

TEST(Report, AnEmptyListGivesTheHeaderInTheLocalTimeZone) {
  ControllerRig rig;
  EXPECT_EQ(rig.controller.reportText(),
            "Wirequill Report\n(Sunday, December 06, 2026)\n14:03:20, UTC\n\n");
  rig.clock.set(TimePoint{std::chrono::seconds{1796556303}});  // 2026-12-06 11:25:03 UTC
  setenv("TZ", "America/New_York", 1);
  tzset();
  const std::string report = rig.controller.reportText();
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(report, "Wirequill Report\n(Sunday, December 06, 2026)\n06:25:03, EST\n\n");
}

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
  const std::string report = reportText(rig.controller.tracker().connectionsArray(), {false, true},
                                        rig.clock, bounded, rig.log);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_NE(report.find("Source IP: 10.0.0.9\n"), std::string::npos);
  EXPECT_NE(report.find("Destination IP: fast.example\n"), std::string::npos);
}

}  // namespace
}  // namespace wq::testing
