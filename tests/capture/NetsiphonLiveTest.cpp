// SPDX-License-Identifier: GPL-3.0-or-later
// The built helper capturing live in network namespaces that the test builds. Needs root.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "tests/capture/HelperProcess.h"
#include "tests/support/NetworkNamespaces.h"

namespace netsiphon::testing {
namespace {

using namespace wq::testing;

// Whether some record is an Ethernet frame with an IPv4 TCP segment from `source` to `destination`
// that holds `text`.
bool carries(const std::string& output, const std::string& source, const std::string& destination,
             const std::string& text = "") {
  const std::uint32_t addresses[] = {addressOf(source), addressOf(destination)};
  return std::ranges::any_of(parseStream(output).records, [&](const Record& record) {
    const Bytes& frame = record.bytes;
    return frame.size() >= 34 && frame[12] == 0x08 && frame[13] == 0 && frame[23] == 6 &&
           std::memcmp(frame.data() + 26, addresses, 8) == 0 &&
           std::string(frame.begin(), frame.end()).find(text) != std::string::npos;
  });
}

TEST(NetsiphonLive, CapturesTcpBothWaysAsEthernetFramesAsTheInvokingUser) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "live capture needs root (network namespaces, capture rights)";
  }
  const VethPair net;
  ASSERT_TRUE(net.ready()) << net.failure();
  const Descriptor listener = socketIn(net.namespaceA, SOCK_STREAM);
  const sockaddr_in server = socketAddress(net.addressA, 5555);
  const auto* serverAddress = reinterpret_cast<const sockaddr*>(&server);
  ASSERT_EQ(bind(listener.get(), serverAddress, sizeof server), 0);
  ASSERT_EQ(listen(listener.get(), 2), 0);
  // On side a's end of the pair, promiscuously, and on "any", which gives Linux cooked frames.
  for (const std::string& interfaceName : {net.interfaceA, std::string("any")}) {
    SCOPED_TRACE(interfaceName);
    HelperProcess helper({"ip", "netns", "exec", net.namespaceA, "env", "SUDO_UID=4321",
                          "SUDO_GID=4322", NETSIPHON_PATH, "/dev/bpf0", interfaceName});
    ASSERT_TRUE(waitUntilUnprivileged(helper.pid, std::chrono::milliseconds(kPatienceMs)))
        << "the helper did not capture";
    EXPECT_EQ(statusField(helper.pid, "Uid") + statusField(helper.pid, "Gid") +
                  statusField(helper.pid, "Groups") + statusField(helper.pid, "NoNewPrivs"),
              "\t4321\t4321\t4321\t4321\t4322\t4322\t4322\t4322\t \t1");
    EXPECT_EQ(statusField(helper.pid, "CapPrm") + statusField(helper.pid, "CapEff"),
              "\t0000000000000000\t0000000000000000");
    // A packet socket's promiscuous mode shows in the device's promiscuity count.
    EXPECT_EQ(runQuietly("ip -d -n " + net.namespaceA + " link show dev " + net.interfaceA +
                         " | grep -qw 'promiscuity 1'"),
              interfaceName == net.interfaceA);

    const std::string text = "wirequill on " + interfaceName + " " + std::to_string(getpid());
    const Descriptor client = socketIn(net.namespaceB, SOCK_STREAM);
    ASSERT_EQ(connect(client.get(), serverAddress, sizeof server), 0);  // no accept needed
    ASSERT_GT(send(client.get(), text.data(), text.size(), 0), 0);
    EXPECT_TRUE(helper.readUntil([&](const std::string& output) {
      return carries(output, net.addressB, net.addressA, text) &&
             carries(output, net.addressA, net.addressB);
    })) << "TCP from b to a with the text, and from a to b";
    helper.send("Terminating Wirequill");
    helper.finish(startupText("/dev/bpf0", interfaceName) + "Closing /dev/bpf device.\n");
  }
}

// A filter applied in the kernel: of datagrams sent in turn to two ports, only those to the
// filter's port reach the pipe, and nothing else does (neither ARP nor the ICMP replies). While it
// captures, the helper tells its counts on standard error within a second, once while they stay
// the same.
TEST(NetsiphonLive, RelaysOnlyWhatItsFilterKeeps) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "live capture needs root (network namespaces, capture rights)";
  }
  const VethPair net;
  ASSERT_TRUE(net.ready()) << net.failure();
  const std::string filter = "udp port 53";
  HelperProcess helper(
      {"ip", "netns", "exec", net.namespaceA, NETSIPHON_PATH, "/dev/bpf0", net.interfaceA, filter});
  ASSERT_TRUE(waitUntilUnprivileged(helper.pid, std::chrono::milliseconds(kPatienceMs)))
      << "the helper did not capture";
  constexpr int kEach = 20;
  const Descriptor sender = socketIn(net.namespaceB, SOCK_DGRAM);
  for (int sent = 0; sent < 2 * kEach; ++sent) {
    const sockaddr_in to = socketAddress(net.addressA, sent % 2 == 0 ? 54 : 53);
    ASSERT_EQ(
        sendto(sender.get(), "query", 5, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 5);
  }
  // Port 54 first in each turn: once the last datagram to port 53 has come through, any to port 54
  // that the filter let through would have come before it.
  const auto toPort53 = [&](const Record& record) {
    const Bytes& frame = record.bytes;
    const std::uint32_t source = addressOf(net.addressB);
    return frame.size() >= 38 && frame[23] == 17 &&
           std::memcmp(frame.data() + 26, &source, 4) == 0 && frame[36] == 0 && frame[37] == 53;
  };
  EXPECT_TRUE(helper.readUntil([&](const std::string& output) {
    return std::ranges::count_if(parseStream(output).records, toPort53) == kEach;
  }));
  const std::string counts =
      "netsiphon: 20 packets received, 0 dropped by the capture library, 0 dropped by the "
      "interface.\n";
  EXPECT_TRUE(helper.readErrorsUntil(
      [&](const std::string& errors) { return errors.find(counts) != std::string::npos; }, 1500))
      << helper.errors;
  helper.readErrorsUntil([](const std::string&) { return false; }, 2500);
  // The first counts as the capture starts, then each change once.
  EXPECT_EQ(helper.errors,
            "netsiphon: 0 packets received, 0 dropped by the capture library, 0 dropped by the "
            "interface.\n" +
                counts);
  helper.send("Terminating Wirequill");
  const Stream stream = helper.finish(startupText("/dev/bpf0", net.interfaceA, 6, filter) +
                                      "Closing /dev/bpf device.\n");
  EXPECT_EQ(stream.records.size(), static_cast<std::size_t>(kEach));
  EXPECT_TRUE(std::ranges::all_of(stream.records, toPort53));
}

}  // namespace
}  // namespace netsiphon::testing
