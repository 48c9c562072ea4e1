// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The processes of a /proc tree: which of them holds a socket, and what each one is.

#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace wq {

// A process's descriptor of a socket.
struct SocketHolder {
  std::int32_t pid = 0;
  int fd = -1;
};

struct ProcessFacts {
  std::string name;  // empty when the process is gone
  std::string unit;
  std::string container;
};

class ProcessTable {
 public:
  // `root` is "/proc", or a tree laid out as it.
  explicit ProcessTable(std::string root) : root_(std::move(root)) {}

  // One pass over the processes' descriptors: a holder of each of `socketInodes` that one holds.
  // Processes this user may not look into are passed over; the pass ends early when every socket
  // is found or `stop` is requested.
  std::unordered_map<std::uint64_t, SocketHolder> holdersOf(
      const std::unordered_set<std::uint64_t>& socketInodes, std::stop_token stop = {}) const;
  ProcessFacts describe(std::int32_t pid) const;
  // Whether the descriptor is still that socket: a process that exited and whose pid went to
  // another program holds it no more.
  bool stillHolds(const SocketHolder& holder, std::uint64_t socketInode) const;

 private:
  std::string processFolder(std::int32_t pid) const;

  std::string root_;
};

// Where a process runs, from its cgroup file.
struct CgroupPlace {
  std::string unit;       // the deepest service on the path, or else the deepest scope
  std::string container;  // a container's first 12 hex digits; then no unit
  bool operator==(const CgroupPlace&) const = default;
};
CgroupPlace cgroupPlace(std::string_view cgroupFile);

}  // namespace wq
