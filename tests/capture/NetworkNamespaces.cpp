#include "NetworkNamespaces.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace netsiphon::testing {

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
  namespace_a = "wqcap" + id + "a";
  namespace_b = "wqcap" + id + "b";
  interface_a = "wqv" + id + "a";
  interface_b = "wqv" + id + "b";
  subnet_ = "10.201." + std::to_string(getpid() % 250 + 1);
  address_a = subnet_ + ".1";
  address_b = subnet_ + ".2";
  const std::string exec_a = "ip netns exec " + namespace_a + " ";
  const std::string exec_b = "ip netns exec " + namespace_b + " ";
  // IPv6 stays off, so that neighbour discovery adds no frames of its own.
  const std::string no_ipv6 =
      "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1";
  ready_ = run("ip netns add " + namespace_a) && run("ip netns add " + namespace_b) &&
           run(exec_a + no_ipv6) && run(exec_b + no_ipv6) &&
           run("ip link add " + interface_a + " netns " + namespace_a + " type veth peer name " +
               interface_b + " netns " + namespace_b) &&
           run("ip -n " + namespace_a + " addr add " + address_a + "/24 dev " + interface_a) &&
           run("ip -n " + namespace_b + " addr add " + address_b + "/24 dev " + interface_b) &&
           run("ip -n " + namespace_a + " link set " + interface_a + " up") &&
           run("ip -n " + namespace_b + " link set " + interface_b + " up") &&
           run("ip -n " + namespace_b + " neigh add " + unownedAddress() +
               " lladdr 02:00:00:00:00:99 nud permanent dev " + interface_b);
}

VethPair::~VethPair() {
  // Removing a namespace removes its end of the veth pair, and with it the other end.
  runQuietly("ip netns del " + namespace_a);
  runQuietly("ip netns del " + namespace_b);
}

bool VethPair::run(const std::string& command) {
  if (runQuietly(command)) {
    return true;
  }
  failure_ = "failed: " + command;
  return false;
}

Descriptor socketIn(const std::string& namespace_name, int type) {
  int made = -1;
  // setns changes only the calling thread's namespace, so a short-lived thread does the switch.
  std::thread([&] {
    const Descriptor network(open(("/run/netns/" + namespace_name).c_str(), O_RDONLY | O_CLOEXEC));
    if (network.get() >= 0 && setns(network.get(), CLONE_NEWNET) == 0) {
      made = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    }
  }).join();
  return Descriptor(made);
}

}  // namespace netsiphon::testing
