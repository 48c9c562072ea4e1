// The helper binary capturing live inside network namespaces that the tests build. Needs root.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tests/capture/CaptureStream.h"
#include "tests/capture/HelperProcess.h"
#include "tests/support/NetworkNamespaces.h"

namespace netsiphon::testing {
namespace {

using namespace wq::testing;

constexpr std::uint16_t kUdpPort = 5555;
constexpr std::uint16_t kTcpPort = 5556;
constexpr std::uint8_t kIcmp = 1;
constexpr std::uint8_t kTcp = 6;
constexpr std::uint8_t kUdp = 17;

bool runningAsRoot() {
  return geteuid() == 0;
}

void sendUdp(const std::string& fromNamespace, const std::string& to, const std::string& text) {
  const Descriptor sender = socketIn(fromNamespace, SOCK_DGRAM);
  const sockaddr_in target = socketAddress(to, kUdpPort);
  ASSERT_EQ(sendto(sender.get(), text.data(), text.size(), 0,
                   reinterpret_cast<const sockaddr*>(&target), sizeof target),
            static_cast<ssize_t>(text.size()));
}

// Sends `text` over a TCP connection from side b to a listener on side a.
void sendTcp(const VethPair& net, const std::string& text) {
  const Descriptor listener = socketIn(net.namespaceA, SOCK_STREAM);
  const sockaddr_in listening = socketAddress(net.addressA, kTcpPort);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&listening), sizeof listening),
            0);
  ASSERT_EQ(listen(listener.get(), 1), 0);
  const Descriptor client = socketIn(net.namespaceB, SOCK_STREAM);
  const timeval timeout{5, 0};
  setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  ASSERT_EQ(connect(client.get(), reinterpret_cast<const sockaddr*>(&listening), sizeof listening),
            0);
  ASSERT_TRUE(readable(listener.get(), kPatience));
  const Descriptor accepted(accept(listener.get(), nullptr, nullptr));
  ASSERT_EQ(send(client.get(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  ASSERT_TRUE(readable(accepted.get(), kPatience));
  std::string received(text.size(), '\0');
  EXPECT_EQ(recv(accepted.get(), received.data(), received.size(), MSG_WAITALL),
            static_cast<ssize_t>(text.size()));
}

// A record's IPv4 packet, read with bounds checks.
struct Ipv4Packet {
  std::uint8_t protocol = 0;
  std::string source;
  std::string destination;
  std::string contents;  // everything after the IPv4 header
};

std::optional<Ipv4Packet> ipv4PacketOf(const StreamRecord& record) {
  const std::vector<std::uint8_t>& frame = record.bytes;
  constexpr std::size_t kIpStart = 14;
  if (frame.size() < kIpStart + 20 || frame[12] != 0x08 || frame[13] != 0x00) {
    return std::nullopt;
  }
  const std::size_t headerLength = (frame[kIpStart] & 0x0F) * 4u;
  if (frame.size() < kIpStart + headerLength) {
    return std::nullopt;
  }
  const auto addressAt = [&](std::size_t offset) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, frame.data() + kIpStart + offset, text, sizeof text);
    return std::string(text);
  };
  return Ipv4Packet{frame[kIpStart + 9], addressAt(12), addressAt(16),
                    std::string(frame.begin() + kIpStart + headerLength, frame.end())};
}

// Whether some record carries an IPv4 packet of `protocol` between the addresses, holding `text`.
bool carries(const std::string& output, std::uint8_t protocol, const std::string& source,
             const std::string& destination, const std::string& text = "") {
  const std::vector<StreamRecord> records = parseStream(output).records;
  return std::ranges::any_of(records, [&](const StreamRecord& record) {
    const std::optional<Ipv4Packet> packet = ipv4PacketOf(record);
    return packet && packet->protocol == protocol && packet->source == source &&
           packet->destination == destination && packet->contents.find(text) != std::string::npos;
  });
}

class LiveCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!runningAsRoot()) {
      GTEST_SKIP() << "live capture needs root (network namespaces, capture rights): run the tests "
                      "as root to cover it";
    }
    net = std::make_unique<VethPair>();
    ASSERT_TRUE(net->ready()) << net->failure();
  }

  // Starts the helper inside namespace a and waits until its capture is active.
  std::unique_ptr<HelperProcess> captureInNamespaceA(const std::string& interfaceName) {
    auto helper = std::make_unique<HelperProcess>(
        HelperOptions{.command = {"/usr/sbin/ip", "netns", "exec", net->namespaceA, NETSIPHON_PATH,
                                  "/dev/bpf0", interfaceName}});
    EXPECT_TRUE(waitUntilUnprivileged(helper->pid(), kPatience))
        << "the helper did not start capturing";
    return helper;
  }

  void stopAndExpectText(HelperProcess& helper, const std::string& interfaceName) {
    helper.sendControl("Terminating Wirequill");
    EXPECT_EQ(helper.finish(kPatience), kExitStatus);
    const ParsedStream stream = parseStream(helper.output());
    EXPECT_EQ(stream.problems, std::vector<std::string>{});
    EXPECT_EQ(stream.text,
              expectedStartupText("/dev/bpf0", interfaceName) + "Closing /dev/bpf device.\n");
  }

  std::string ping(int count) {
    return "ip netns exec " + net->namespaceB + " ping -q -c " + std::to_string(count) +
           " -i 0.2 -W 1 " + net->addressA;
  }

  std::unique_ptr<VethPair> net;
};

TEST_F(LiveCapture, CapturesPingUdpAndTcpPromiscuouslyAfterGivingUpRoot) {
  auto helper = captureInNamespaceA(net->interfaceA);
  const pid_t pid = helper->pid();
  EXPECT_TRUE(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe")
                  .string()
                  .ends_with("netsiphon"));
  EXPECT_EQ(statusField(pid, "CapEff"), "\t0000000000000000");
  EXPECT_EQ(statusField(pid, "CapPrm"), "\t0000000000000000");
  EXPECT_EQ(statusField(pid, "NoNewPrivs"), "\t1");
  // A packet socket's promiscuous mode shows in the device's promiscuity count, not its flags.
  EXPECT_NE(commandOutput("ip -d -n " + net->namespaceA + " link show dev " + net->interfaceA)
                .find("promiscuity 1"),
            std::string::npos);

  const std::string tag = std::to_string(getpid());
  const std::string udpText = "wirequill udp " + tag;
  const std::string tcpText = "wirequill tcp " + tag;
  const std::string strayText = "wirequill for another host " + tag;
  ASSERT_TRUE(runQuietly(ping(3)));
  sendUdp(net->namespaceB, net->addressA, udpText);
  sendTcp(*net, tcpText);
  sendUdp(net->namespaceB, net->unownedAddress(), strayText);

  const auto a = net->addressA;
  const auto b = net->addressB;
  const auto everything = [&](const std::string& output) {
    return carries(output, kIcmp, b, a) && carries(output, kIcmp, a, b) &&
           carries(output, kUdp, b, a, udpText) && carries(output, kTcp, b, a, tcpText) &&
           carries(output, kUdp, b, net->unownedAddress(), strayText);
  };
  EXPECT_TRUE(helper->readUntil(everything, kPatience));
  EXPECT_TRUE(carries(helper->output(), kIcmp, b, a)) << "echo request";
  EXPECT_TRUE(carries(helper->output(), kIcmp, a, b)) << "echo reply";
  EXPECT_TRUE(carries(helper->output(), kUdp, b, a, udpText));
  EXPECT_TRUE(carries(helper->output(), kTcp, b, a, tcpText));
  EXPECT_TRUE(carries(helper->output(), kUdp, b, net->unownedAddress(), strayText))
      << "a frame addressed to another host";
  stopAndExpectText(*helper, net->interfaceA);
}

TEST_F(LiveCapture, HandsOutTheCookedFramesOfTheAnyInterfaceAsEthernet) {
  auto helper = captureInNamespaceA("any");
  ASSERT_TRUE(runQuietly(ping(1)));
  EXPECT_TRUE(helper->readUntil(
      [&](const std::string& output) {
        return carries(output, kIcmp, net->addressB, net->addressA);
      },
      kPatience));
  stopAndExpectText(*helper, "any");
}

TEST(LiveCaptureRefusals, FailTheOpenStepWithoutCaptureRights) {
  // Root runs the helper as nobody; anyone else lacks the rights already.
  const std::optional<uid_t> unprivileged =
      runningAsRoot() ? std::optional<uid_t>(65534) : std::nullopt;
  HelperProcess helper({.command = {NETSIPHON_PATH, "/dev/bpf0", "lo"}, .runAs = unprivileged});
  helper.closeControl();
  EXPECT_EQ(helper.finish(kPatience), kExitStatus);
  const std::string expected =
      "Attempting to open Berkeley Packet Filter device: /dev/bpf0...\n"
      "Could not open Berkeley Packet Filter!\n";
  EXPECT_TRUE(helper.output().starts_with(expected)) << helper.output();
  EXPECT_GT(helper.output().size(), expected.size()) << "with the capture library's reason";
}

TEST(LiveCaptureRefusals, FailTheInterfaceStepForAnUnknownInterface) {
  if (!runningAsRoot()) {
    GTEST_SKIP() << "without root, capture rights fail before the interface is looked at";
  }
  const std::string unknown = "wqnone" + std::to_string(getpid());
  const HelperResult result = runHelper({"/dev/bpf0", unknown});
  EXPECT_EQ(result.status, kExitStatus);
  const std::string expected =
      "Attempting to open Berkeley Packet Filter device: /dev/bpf0...\n"
      "Successfully opened Berkeley Packet Filter.\n"
      "Attempting to set Berkeley Packet Filter interface: " +
      unknown +
      "...\n"
      "Could not set Berkeley Packet Filter interface!\n";
  EXPECT_TRUE(result.output.starts_with(expected)) << result.output;
}

}  // namespace
}  // namespace netsiphon::testing
