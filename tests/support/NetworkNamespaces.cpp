#include "tests/support/NetworkNamespaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

namespace wq::testing {

Descriptor::~Descriptor() {
  if (descriptor_ >= 0) {
    close(descriptor_);
  }
}

bool runQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string commandOutput(const std::string& command) {
  const std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
  std::string output;
  std::array<char, 4096> buffer{};
  while (pipe && std::fgets(buffer.data(), buffer.size(), pipe.get()) != nullptr) {
    output += buffer.data();
  }
  return output;
}

VethPair::VethPair() {
  const std::string id = std::to_string(getpid());
  namespaceA = "wqcap" + id + "a";
  namespaceB = "wqcap" + id + "b";
  interfaceA = "wqv" + id + "a";
  interfaceB = "wqv" + id + "b";
  subnet_ = "10.201." + std::to_string(getpid() % 250 + 1);
  addressA = subnet_ + ".1";
  addressB = subnet_ + ".2";
  const std::string execA = "ip netns exec " + namespaceA + " ";
  const std::string execB = "ip netns exec " + namespaceB + " ";
  // IPv6 stays off, so that neighbour discovery adds no frames of its own.
  const std::string noIpv6 =
      "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1";
  ready_ = run("ip netns add " + namespaceA) && run("ip netns add " + namespaceB) &&
           run(execA + noIpv6) && run(execB + noIpv6) &&
           run("ip link add " + interfaceA + " netns " + namespaceA + " type veth peer name " +
               interfaceB + " netns " + namespaceB) &&
           run("ip -n " + namespaceA + " addr add " + addressA + "/24 dev " + interfaceA) &&
           run("ip -n " + namespaceB + " addr add " + addressB + "/24 dev " + interfaceB) &&
           run("ip -n " + namespaceA + " link set " + interfaceA + " up") &&
           run("ip -n " + namespaceB + " link set " + interfaceB + " up") &&
           run("ip -n " + namespaceB + " neigh add " + unownedAddress() +
               " lladdr 02:00:00:00:00:99 nud permanent dev " + interfaceB);
}

VethPair::~VethPair() {
  // Removing a namespace removes its end of the veth pair, and with it the other end.
  runQuietly("ip netns del " + namespaceA);
  runQuietly("ip netns del " + namespaceB);
}

bool VethPair::run(const std::string& command) {
  if (runQuietly(command)) {
    return true;
  }
  failure_ = "failed: " + command;
  return false;
}

Descriptor socketIn(const std::string& namespaceName, int type) {
  int made = -1;
  // setns changes only the calling thread's namespace, so a short-lived thread does the switch.
  std::thread([&] {
    const Descriptor network(open(("/run/netns/" + namespaceName).c_str(), O_RDONLY | O_CLOEXEC));
    if (network.get() >= 0 && setns(network.get(), CLONE_NEWNET) == 0) {
      made = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    }
  }).join();
  return Descriptor(made);
}

sockaddr_in socketAddress(const std::string& address, std::uint16_t port) {
  sockaddr_in made{};
  made.sin_family = AF_INET;
  made.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &made.sin_addr);
  return made;
}

bool readable(int descriptor, std::chrono::milliseconds timeout) {
  pollfd waited{descriptor, POLLIN, 0};
  return poll(&waited, 1, static_cast<int>(timeout.count())) == 1;
}

std::string statusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(name + ":")) {
      return line.substr(name.size() + 1);
    }
  }
  return {};
}

bool waitUntilUnprivileged(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string uids = statusField(pid, "Uid");
    if (uids.empty()) {
      return false;  // the helper has ended
    }
    if (uids.find("\t0") == std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace wq::testing
