// wirequill monitoring live and headless inside a network namespace, while the test sends a
// ping, UDP datagrams and HTTP requests across a veth pair to a server it runs there. Traffic
// goes only between the two namespaces' own addresses. Needs root; skipped otherwise.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "tests/app/AppTestSupport.h"
#include "tests/support/NetworkNamespaces.h"

namespace wq::apptest {
namespace {

using namespace wq::testing;
using std::chrono::seconds;

constexpr milliseconds kPatience(10'000);
constexpr int kDurationSeconds = 8;
constexpr std::uint16_t kHttpPort = 8080;
constexpr std::uint16_t kUdpPort = 9999;
constexpr char kSeparator[] =
    "\n\n-----------------------------------------------------------------------\n\n";
constexpr char kResponseBody[] = "hello from namespace a\r\n";

bool bindTo(const Descriptor& socket, const std::string& address, std::uint16_t port) {
  const sockaddr_in local = socketAddress(address, port);
  const int on = 1;
  setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  return bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

// Reads until `done` holds for what came, the peer closes, or time runs out.
std::string receive(int descriptor, const std::function<bool(const std::string&)>& done) {
  std::string text;
  char buffer[2048];
  while (!done(text) && readable(descriptor, kPatience)) {
    const ssize_t length = read(descriptor, buffer, sizeof buffer);
    if (length <= 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(length));
  }
  return text;
}

// A small HTTP/1.0 server: answers each request with a short text and closes the connection.
void serve(std::stop_token stop, int listener) {
  while (!stop.stop_requested()) {
    if (!readable(listener, milliseconds(100))) {
      continue;
    }
    const Descriptor connection(accept(listener, nullptr, nullptr));
    if (connection.get() < 0) {
      continue;
    }
    receive(connection.get(),
            [](const std::string& text) { return text.find("\r\n\r\n") != std::string::npos; });
    const std::string response =
        "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + std::string(kResponseBody);
    (void)!write(connection.get(), response.data(), response.size());
  }
}

std::string httpGet(const VethPair& pair, const std::string& path) {
  const Descriptor client = socketIn(pair.namespaceB, SOCK_STREAM);
  const sockaddr_in server = socketAddress(pair.addressA, kHttpPort);
  if (connect(client.get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    return {};
  }
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + pair.addressA + "\r\n\r\n";
  (void)!write(client.get(), request.data(), request.size());
  return receive(client.get(), [](const std::string&) { return false; });
}

std::vector<std::string> blocksOf(const std::string& report) {
  std::vector<std::string> blocks;
  const std::size_t header = report.find("\n\n");
  for (std::size_t start = header + 2; start < report.size();) {
    const std::size_t end = report.find(kSeparator, start);
    if (end == std::string::npos) {
      break;
    }
    blocks.push_back(report.substr(start, end - start));
    start = end + sizeof kSeparator - 1;
  }
  return blocks;
}

// How many node blocks hold every one of `pieces`.
std::size_t countBlocks(const std::vector<std::string>& blocks,
                        const std::vector<std::string>& pieces) {
  return std::count_if(blocks.begin(), blocks.end(), [&](const std::string& block) {
    return std::all_of(pieces.begin(), pieces.end(), [&](const std::string& piece) {
      return block.find(piece) != std::string::npos;
    });
  });
}

std::string flow(const std::string& source, int sourcePort, const std::string& destination,
                 int destinationPort) {
  return "Source IP: " + source + "\nSource Port: " + std::to_string(sourcePort) +
         "\nDestination IP: " + destination +
         "\nDestination Port: " + std::to_string(destinationPort) + "\n";
}

TEST(LiveMonitor, ReportListsTheNodesWithTheirPayload) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "live capture in network namespaces needs root";
  }
  const VethPair pair;
  ASSERT_TRUE(pair.ready()) << pair.failure();
  ScratchDirectory scratch;
  const std::string reportPath = scratch.path() + "/live.report";

  const Descriptor listener = socketIn(pair.namespaceA, SOCK_STREAM);
  ASSERT_TRUE(bindTo(listener, pair.addressA, kHttpPort));
  ASSERT_EQ(listen(listener.get(), 4), 0);
  const Descriptor udpReceiver = socketIn(pair.namespaceA, SOCK_DGRAM);
  ASSERT_TRUE(bindTo(udpReceiver, pair.addressA, kUdpPort));
  const std::jthread server(serve, listener.get());

  ChildProcess program(
      {"ip", "netns", "exec", pair.namespaceA, WIREQUILL_PROGRAM, "--no-window", "-i",
       pair.interfaceA, "--duration", std::to_string(kDurationSeconds), "--report", reportPath},
      isolatedEnvironment(scratch), scratch);
  const auto started = std::chrono::steady_clock::now();
  const pid_t helper = waitForChild(program.pid(), "netsiphon", kPatience);
  ASSERT_GT(helper, 0) << program.standardError();
  ASSERT_TRUE(waitUntilUnprivileged(helper, kPatience)) << program.standardError();

  ASSERT_TRUE(runQuietly("ip netns exec " + pair.namespaceB + " ping -n -q -c 2 -i 0.2 -W 2 " +
                         "-p 7769726571 " + pair.addressA));
  const Descriptor sender = socketIn(pair.namespaceB, SOCK_DGRAM);
  const sockaddr_in receiver = socketAddress(pair.addressA, kUdpPort);
  for (int datagram = 1; datagram <= 3; ++datagram) {
    const std::string text = "wirequill live datagram " + std::to_string(datagram);
    ASSERT_EQ(sendto(sender.get(), text.data(), text.size(), 0,
                     reinterpret_cast<const sockaddr*>(&receiver), sizeof receiver),
              static_cast<ssize_t>(text.size()));
  }
  for (const char* path : {"/wirequill/first", "/wirequill/second"}) {
    ASSERT_TRUE(httpGet(pair, path).ends_with(kResponseBody)) << path;
  }
  ASSERT_LT(std::chrono::steady_clock::now() - started, seconds(kDurationSeconds - 2))
      << "the traffic took too long to finish well inside the run";

  ASSERT_EQ(program.waitForExit(seconds(kDurationSeconds) + kPatience), 0)
      << program.standardError();
  const std::string report = readFile(reportPath);
  ASSERT_TRUE(report.starts_with("Wirequill Report\n(")) << report;
  const std::vector<std::string> blocks = blocksOf(report);
  const std::string& a = pair.addressA;
  const std::string& b = pair.addressB;

  // Every packet is a node of its own for ICMP and UDP; TCP makes one node per direction of a
  // connection, from its SYN on, that grows with the data.
  EXPECT_EQ(countBlocks(blocks, {"Protocol: ICMP", flow(b, 0, a, 0), "wireqwireqwireq"}), 2u);
  EXPECT_EQ(countBlocks(blocks, {"Protocol: ICMP", flow(a, 0, b, 0), "wireqwireqwireq"}), 2u);
  for (const char* number : {"1", "2", "3"}) {
    EXPECT_EQ(
        countBlocks(blocks, {"Protocol: UDP", "Destination IP: " + a + "\nDestination Port: 9999",
                             std::string("Raw Data:\n\nwirequill live datagram ") + number}),
        1u)
        << number;
  }
  for (const char* path : {"/wirequill/first", "/wirequill/second"}) {
    EXPECT_EQ(countBlocks(blocks, {"Protocol: TCP", "Source IP: " + b + "\n",
                                   "Destination IP: " + a + "\nDestination Port: 8080\n",
                                   "GET " + std::string(path) + " HTTP/1.0\nHost: " + a + "\n\n"}),
              1u)
        << path;
  }
  EXPECT_EQ(countBlocks(blocks, {"Protocol: TCP", "Source IP: " + a + "\nSource Port: 8080\n",
                                 "HTTP/1.0 200 OK\nContent-Type: text/plain\n\nhello from "
                                 "namespace a\n"}),
            2u);
  EXPECT_EQ(blocks.size(), 11u) << report;
}

}  // namespace
}  // namespace wq::apptest
