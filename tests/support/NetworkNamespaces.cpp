#include "tests/support/NetworkNamespaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <thread>

namespace wq::testing {

bool runQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

VethPair::VethPair() {
  const std::string id = std::to_string(getpid());
  namespaceA = "wqcap" + id + "a";
  namespaceB = "wqcap" + id + "b";
  interfaceA = "wqv" + id + "a";
  const std::string interfaceB = "wqv" + id + "b";
  const std::string subnet = "10.201." + std::to_string(getpid() % 250 + 1);
  addressA = subnet + ".1";
  addressB = subnet + ".2";
  // IPv6 stays off, so that neighbour discovery adds no frames of its own.
  const std::string noIpv6 =
      " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1";
  for (const std::string& command :
       {"ip netns add " + namespaceA, "ip netns add " + namespaceB,
        "ip netns exec " + namespaceA + noIpv6, "ip netns exec " + namespaceB + noIpv6,
        "ip link add " + interfaceA + " netns " + namespaceA + " type veth peer name " +
            interfaceB + " netns " + namespaceB,
        "ip -n " + namespaceA + " addr add " + addressA + "/24 dev " + interfaceA,
        "ip -n " + namespaceB + " addr add " + addressB + "/24 dev " + interfaceB,
        "ip -n " + namespaceA + " link set " + interfaceA + " up",
        "ip -n " + namespaceB + " link set " + interfaceB + " up"}) {
    if (failure_.empty() && !runQuietly(command)) {
      failure_ = "failed: " + command;
    }
  }
}

VethPair::~VethPair() {
  // Removing a namespace removes its end of the veth pair, and with it the other end.
  runQuietly("ip netns del " + namespaceA);
  runQuietly("ip netns del " + namespaceB);
}

Descriptor socketIn(const std::string& namespaceName, int type) {
  int made = -1;
  // setns changes only the calling thread's namespace, so a short-lived thread does the switch.
  std::thread([&] {
    const Descriptor network(open(("/run/netns/" + namespaceName).c_str(), O_RDONLY | O_CLOEXEC));
    if (setns(network.get(), CLONE_NEWNET) == 0) {
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
  while (std::getline(status, line) && !line.starts_with(name + ":")) {
  }
  return line.starts_with(name + ":") ? line.substr(name.size() + 1) : "";
}

bool waitUntilUnprivileged(pid_t pid, std::chrono::milliseconds timeout) {
  for (auto left = timeout; left.count() > 0; left -= std::chrono::milliseconds(10)) {
    const std::string uids = statusField(pid, "Uid");
    if (uids.empty() || uids.find("\t0") == std::string::npos) {
      return !uids.empty();  // false when the helper has ended
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace wq::testing
