// SPDX-License-Identifier: GPL-3.0-or-later
// Two network namespaces joined by a veth pair, made for one test and removed after it, so that
// live capture sees only traffic between the two; sockets in them; the capture helper's progress.
#pragma once

#include <arpa/inet.h>  // with netinet/in.h and its types
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace wq::testing {

// A descriptor closed when it goes out of scope.
struct Descriptor {
  explicit Descriptor(int descriptor = -1) : descriptor_(descriptor) {}
  ~Descriptor() { close(descriptor_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return descriptor_; }
  int descriptor_;
};

// Runs a shell command quietly; true when it succeeded.
inline bool runQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Names and addresses are unique to this process, so tests can run side by side.
struct VethPair {
  // Without IPv6 unless asked for, so that neighbour discovery adds no frames of its own. With
  // it, both ends and loopback get their addresses at once (no duplicate detection to wait for).
  explicit VethPair(bool withIPv6 = false) {
    const std::string interfaceB = "wqv" + std::to_string(getpid()) + "b";
    const std::string off = withIPv6 ? "0" : "1";
    const std::string spaces[] = {namespaceA, namespaceB}, ends[] = {interfaceA, interfaceB};
    const std::string v4[] = {addressA, addressB}, v6[] = {address6A, address6B};
    std::vector<std::string> commands;
    for (const std::string& space : spaces) {
      commands.push_back("ip netns add " + space);
      commands.push_back("ip netns exec " + space + " sysctl -qw net.ipv6.conf.all.disable_ipv6=" +
                         off + " net.ipv6.conf.default.disable_ipv6=" + off);
    }
    commands.push_back("ip link add " + interfaceA + " netns " + namespaceA +
                       " type veth peer name " + interfaceB + " netns " + namespaceB);
    for (int side : {0, 1}) {
      const std::string in = "ip -n " + spaces[side];
      commands.push_back(in + " addr add " + v4[side] + "/24 dev " + ends[side]);
      if (withIPv6) {
        commands.push_back(in + " addr add " + v6[side] + "/64 dev " + ends[side] + " nodad");
      }
      commands.push_back(in + " link set " + ends[side] + " up");
      commands.push_back(in + " link set lo up");
    }
    for (const std::string& command : commands) {
      if (failure_.empty() && !runQuietly(command)) {
        failure_ = "failed: " + command;
      }
    }
  }
  // Removing a namespace removes its end of the veth pair, and with it the other end.
  ~VethPair() {
    runQuietly("ip netns del " + namespaceA);
    runQuietly("ip netns del " + namespaceB);
  }
  VethPair(const VethPair&) = delete;
  VethPair& operator=(const VethPair&) = delete;

  // Whether every command that builds the pair succeeded, and else the one that failed.
  bool ready() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }

  const std::string namespaceA = "wqcap" + std::to_string(getpid()) + "a";
  const std::string namespaceB = "wqcap" + std::to_string(getpid()) + "b";
  const std::string interfaceA = "wqv" + std::to_string(getpid()) + "a";
  const std::string addressA = "10.201." + std::to_string(getpid() % 250 + 1) + ".1";
  const std::string addressB = "10.201." + std::to_string(getpid() % 250 + 1) + ".2";
  const std::string address6A = "fd00:" + std::to_string(getpid() % 9000 + 1) + "::1";
  const std::string address6B = "fd00:" + std::to_string(getpid() % 9000 + 1) + "::2";

 private:
  std::string failure_;
};

// A socket made inside a network namespace; it stays there whichever thread uses it later.
inline Descriptor socketIn(const std::string& namespaceName, int type, int family = AF_INET) {
  int made = -1;
  // setns changes only the calling thread's namespace, so a short-lived thread does the switch.
  std::thread([&] {
    const Descriptor network(open(("/run/netns/" + namespaceName).c_str(), O_RDONLY | O_CLOEXEC));
    if (setns(network.get(), CLONE_NEWNET) == 0) {
      made = socket(family, type | SOCK_CLOEXEC, 0);
    }
  }).join();
  return Descriptor(made);
}

inline sockaddr_in socketAddress(const std::string& address, std::uint16_t port) {
  sockaddr_in made{};
  made.sin_family = AF_INET;
  made.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &made.sin_addr);
  return made;
}

// One line of /proc/PID/status, without its name; empty when there is no such process.
inline std::string statusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line) && !line.starts_with(name + ":")) {
  }
  return line.starts_with(name + ":") ? line.substr(name.size() + 1) : "";
}

// The helper gives up root only once its capture is active: that is the sign to send traffic.
// False when it ended or did not get there in time.
inline bool waitUntilUnprivileged(pid_t pid, std::chrono::milliseconds timeout) {
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
