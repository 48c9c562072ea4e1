// wirequill monitoring live and headless inside a network namespace, through the capture helper,
// while the test sends traffic across a veth pair or over the namespace's own loopback. Traffic
// goes only between the namespaces' own addresses, and each run lasts a few seconds. Needs root;
// skipped otherwise.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>
#include <thread>

#include "tests/app/AppTestSupport.h"
#include "tests/support/NetworkNamespaces.h"

namespace wq::apptest {
namespace {

using namespace wq::testing;

constexpr milliseconds kPatience(10'000);
constexpr int kDurationSeconds = 5;

// A socket address of either family.
struct Endpoint {
  sockaddr_storage storage{};
  socklen_t length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

Endpoint endpoint(int family, const std::string& address, std::uint16_t port) {
  Endpoint made;
  if (family == AF_INET) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(made.storage);
    v4 = socketAddress(address, port);
    made.length = sizeof v4;
  } else {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(made.storage);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr);
    made.length = sizeof v6;
  }
  return made;
}

void boundWaits(int socket) {
  const timeval patience{5, 0};
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
}

// One HTTP/1.0 exchange: a server in `serverSpace` answers the request of a client in
// `clientSpace` with `body`, and the client reads the response to its end. The client's port, or
// 0 when the exchange failed.
std::uint16_t httpExchange(const std::string& serverSpace, const std::string& clientSpace,
                           int family, const std::string& address, std::uint16_t port,
                           const std::string& body) {
  const Descriptor listener = socketIn(serverSpace, SOCK_STREAM, family);
  const Endpoint server = endpoint(family, address, port);
  boundWaits(listener.get());
  if (bind(listener.get(), server.get(), server.length) != 0 || listen(listener.get(), 1) != 0) {
    return 0;
  }
  std::thread serving([&] {
    const Descriptor accepted(accept(listener.get(), nullptr, nullptr));
    boundWaits(accepted.get());
    std::string request(1024, '\0');
    (void)!recv(accepted.get(), request.data(), request.size(), 0);
    const std::string response = "HTTP/1.0 200 OK\r\n\r\n" + body;
    for (std::size_t sent = 0; sent < response.size();) {
      const ssize_t written =
          send(accepted.get(), response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
      if (written <= 0) {
        break;
      }
      sent += static_cast<std::size_t>(written);
    }
  });
  const Descriptor client = socketIn(clientSpace, SOCK_STREAM, family);
  boundWaits(client.get());
  std::size_t received = 0;
  if (connect(client.get(), server.get(), server.length) == 0) {
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    (void)!send(client.get(), request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[65536];
    for (ssize_t length; (length = recv(client.get(), buffer, sizeof buffer, 0)) > 0;) {
      received += static_cast<std::size_t>(length);
    }
  }
  serving.join();
  Endpoint local;
  local.length = sizeof local.storage;
  getsockname(client.get(), reinterpret_cast<sockaddr*>(&local.storage), &local.length);
  const std::uint16_t clientPort =
      ntohs(reinterpret_cast<const sockaddr_in&>(local.storage).sin_port);  // same place in both
  return received == 19 + body.size() ? clientPort : 0;
}

// Printable text that differs from one body to the next.
std::string bodyOf(std::size_t length, char first) {
  std::string body(length, ' ');
  for (std::size_t i = 0; i < length; ++i) {
    body[i] = static_cast<char>(first + (i * 7 + i / 26) % 26);
  }
  return body;
}

// Whole frames of any size, in both families: over the namespace's loopback (MTU 65536) and over
// veth with its offloads on, TCP segments of tens of kilobytes are everyday traffic. A 16 kB
// response shows every byte in its node; a 100 kB one overflows its node and leaves nothing
// spliced behind. Over veth, an ICMPv6 echo makes its node too.
TEST(LiveMonitor, WholeFramesOfAnySizeInBothFamilies) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "live capture in network namespaces needs root";
  }
  const VethPair pair(true);
  ASSERT_TRUE(pair.ready()) << pair.failure();
  for (const std::string& space : {pair.namespaceA, pair.namespaceB}) {
    // Without time stamp options, a segment's payload is its data alone.
    ASSERT_TRUE(runQuietly("ip netns exec " + space + " sysctl -qw net.ipv4.tcp_timestamps=0"));
  }
  ScratchDirectory scratch;
  isolateEnvironment(scratch);
  struct Run {
    std::string interfaceName, clientSpace, address4, address6, client4, client6;
  };
  const Run runs[] = {{"lo", pair.namespaceA, "127.0.0.1", "::1", "127.0.0.1", "::1"},
                      {pair.interfaceA, pair.namespaceB, pair.addressA, pair.address6A,
                       pair.addressB, pair.address6B}};
  for (const Run& run : runs) {
    SCOPED_TRACE(run.interfaceName);
    const std::string reportPath = scratch.file(run.interfaceName + ".report");
    QProcess program;
    program.start(
        "ip", {"netns", "exec", QString::fromStdString(pair.namespaceA), WIREQUILL_PROGRAM,
               "--no-window", "-i", QString::fromStdString(run.interfaceName), "--duration",
               QString::number(kDurationSeconds), "--report", QString::fromStdString(reportPath)});
    const auto started = std::chrono::steady_clock::now();
    const pid_t helper = waitForChild(program.processId(), "netsiphon", kPatience);
    ASSERT_GT(helper, 0) << program.readAllStandardError().toStdString();
    ASSERT_TRUE(waitUntilUnprivileged(helper, kPatience));

    struct Exchange {
      int family;
      std::string address;
      std::string client;
      std::string body;
      std::uint16_t clientPort = 0;
    };
    std::vector<Exchange> exchanges = {{AF_INET, run.address4, run.client4, bodyOf(16'000, 'a')},
                                       {AF_INET, run.address4, run.client4, bodyOf(100'000, 'A')},
                                       {AF_INET6, run.address6, run.client6, bodyOf(16'000, 'a')},
                                       {AF_INET6, run.address6, run.client6, bodyOf(100'000, 'A')}};
    std::uint16_t port = 8080;
    for (Exchange& exchange : exchanges) {
      exchange.clientPort = httpExchange(pair.namespaceA, run.clientSpace, exchange.family,
                                         exchange.address, port++, exchange.body);
      ASSERT_NE(exchange.clientPort, 0) << exchange.address;
    }
    const bool overVeth = run.clientSpace == pair.namespaceB;
    if (overVeth) {
      ASSERT_TRUE(
          runQuietly("ip netns exec " + pair.namespaceB + " ping -6 -c 1 -W 2 " + pair.address6A));
    }
    ASSERT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::seconds(kDurationSeconds - 1))
        << "the traffic took too long to finish well inside the run";

    ASSERT_TRUE(program.waitForFinished(kDurationSeconds * 1000 + kPatience.count()));
    ASSERT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    const std::string report = readFile(reportPath);
    std::string joined = report;  // the payload texts without their line breaks
    std::erase(joined, '\n');
    EXPECT_EQ(report.find("not captured"), std::string::npos);
    port = 8080;
    for (const Exchange& exchange : exchanges) {
      const std::string response =
          "Source Port: " + std::to_string(port++) + "\nDestination IP: " + exchange.client +
          "\nDestination Port: " + std::to_string(exchange.clientPort) + "\n";
      const bool large = exchange.body.size() > 24'000;
      EXPECT_EQ(report.find(response) == std::string::npos, large) << response;
      EXPECT_EQ(
          joined.find(large ? exchange.body.substr(0, 40) : exchange.body) == std::string::npos,
          large)
          << response;
    }
    if (overVeth) {
      EXPECT_NE(report.find("Protocol: ICMPv6\n\nSource IP: " + pair.address6B +
                            "\nSource Port: 0\nDestination IP: " + pair.address6A + "\n"),
                std::string::npos);
    }
  }
}

}  // namespace
}  // namespace wq::apptest
