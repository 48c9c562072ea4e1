// The report: its dated header, one block per node in list order or newest first, resolved host
// names, and its parts formatted apart and written in order (TZ=UTC).

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <thread>

#include "tests/tracking/ControllerRig.h"
#include "tracking/HostLookup.h"
#include "tracking/Report.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

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
  EXPECT_EQ(rig.controller.reportText(), header + tcpBlock + icmpBlock);
  rig.set(keys::ReportRecentNodesFirst, true);
  EXPECT_EQ(rig.controller.reportText(), header + icmpBlock + tcpBlock);

  // Resolved names stand for addresses; the destination is looked up first.
  rig.resolver.names[ip("10.0.0.9")] = "server.example";
  rig.set(keys::ReportResolveIPAddresses, true);
  EXPECT_NE(rig.controller.reportText().find(
                "Source IP: 10.0.0.2\nSource Port: 52311\nDestination IP: server.example\n"),
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
    const std::string report = rig.controller.reportText();
    int expected = newestFirst ? kNodes - 1 : 0;
    for (std::size_t at = report.find("node 1"); at != std::string::npos;
         at = report.find("node 1", at + 1), expected += newestFirst ? -1 : 1) {
      ASSERT_EQ(std::stoi(report.substr(at + 5, 6)) - 100000, expected);
    }
    EXPECT_EQ(expected, newestFirst ? -1 : kNodes);
  }
}

TEST(Report, UnresolvedOrLongNamesFallBackToTextOrAreCut) {
  MemoryLog log;
  TableHostResolver longNames;
  longNames.names[ip("0.0.0.1")] = std::string(5000, 'n');
  EXPECT_EQ(resolveHost(ip("0.0.0.1"), longNames, log), std::string(1023, 'n'));
  EXPECT_EQ(resolveHost(ip("127.0.0.1"), longNames, log), "127.0.0.1");
  EXPECT_EQ(resolveHost(ip("2001:db8:0:0:1:0:0:1"), longNames, log), "2001:db8::1:0:0:1");
}

TEST(Report, AnEmptyListGivesTheHeaderInTheLocalTimeZone) {
  ControllerRig rig;
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
  const std::string report = reportText(rig.controller.tracker().connectionsArray(), {false, true},
                                        rig.clock, bounded, rig.log);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_NE(report.find("Source IP: 10.0.0.9\n"), std::string::npos);
  EXPECT_NE(report.find("Destination IP: fast.example\n"), std::string::npos);
}

}  // namespace
}  // namespace wq::testing
