// Two network namespaces joined by a veth pair, made for one test and removed after it, so that
// live capture sees only traffic between the two; sockets in them; the capture helper's progress.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace wq::testing {

// A descriptor closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int descriptor = -1) : descriptor_(descriptor) {}
  ~Descriptor() { close(descriptor_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return descriptor_; }

 private:
  int descriptor_;
};

class VethPair {
 public:
  // Names and addresses are unique to this process, so tests can run side by side.
  VethPair();
  ~VethPair();
  VethPair(const VethPair&) = delete;
  VethPair& operator=(const VethPair&) = delete;

  // Whether every command that builds the pair succeeded, and else the one that failed.
  bool ready() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }

  std::string namespaceA;
  std::string namespaceB;
  std::string interfaceA;
  std::string addressA;
  std::string addressB;

 private:
  std::string failure_;
};

// Runs a shell command quietly; true when it succeeded.
bool runQuietly(const std::string& command);

// A socket made inside a network namespace; it stays there whichever thread uses it later.
Descriptor socketIn(const std::string& namespaceName, int type);
sockaddr_in socketAddress(const std::string& address, std::uint16_t port);
// Whether `descriptor` has something to read within `timeout`.
bool readable(int descriptor, std::chrono::milliseconds timeout);

// One line of /proc/PID/status, without its name; empty when there is no such process.
std::string statusField(pid_t pid, const std::string& name);
// The helper gives up root only once its capture is active: that is the sign to send traffic.
// False when it ended or did not get there in time.
bool waitUntilUnprivileged(pid_t pid, std::chrono::milliseconds timeout);

}  // namespace wq::testing
