// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Which program holds each local end of a node's flow: the socket listing tells which socket an end
// is, and the process table which process holds that socket. A program is named only when the
// process was seen to hold the socket after its name was read, so that a pid that went to another
// program is never named.

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <vector>

#include "tracking/Platform.h"
#include "tracking/programs/ProcessTable.h"
#include "tracking/programs/ProgramFacts.h"
#include "tracking/programs/SocketTable.h"

namespace wq {

class ProgramFinder {
 public:
  // How long a socket's program is taken as known without looking through the processes again.
  static constexpr std::chrono::seconds kRememberedFor{2};

  // `viewerUid` is the user looking: the processes of other users are closed to it unless it is
  // root.
  ProgramFinder(std::unique_ptr<SocketSource> sockets, std::string procRoot, const Clock& clock,
                std::uint32_t viewerUid);

  // The programs of each query, in order; one listing per protocol asked and at most one pass
  // over the processes answer them all. When `stop` is requested the answers are incomplete.
  std::vector<NodePrograms> find(std::span<const ProgramQuery> queries, std::stop_token stop = {});

 private:
  // What was last learnt of the socket on a protocol's local port.
  struct Remembered {
    std::uint64_t inode = 0;
    SocketHolder holder;  // pid 0: the socket's process could not be looked into
    LocalProgram program;
    TimePoint until;
  };
  using Programs = std::unordered_map<std::uint64_t, LocalProgram>;  // by socket inode

  std::map<std::uint8_t, SocketTable> listSockets(std::span<const ProgramQuery> queries,
                                                  const std::stop_token& stop);
  Programs programsOf(const std::vector<const SocketEntry*>& sockets, const std::stop_token& stop);
  std::optional<LocalProgram> remembered(const SocketEntry& socket) const;
  LocalProgram programOf(const SocketEntry& socket, std::optional<SocketHolder> holder);
  void remember(const SocketEntry& socket, const SocketHolder& holder, const LocalProgram& program);
  const std::string& userName(std::uint32_t uid);

  std::unique_ptr<SocketSource> sockets_;
  ProcessTable processes_;
  const Clock& clock_;
  std::uint32_t viewerUid_;
  std::unordered_map<std::uint32_t, Remembered> remembered_;  // by protocol << 16 | port
  std::unordered_map<std::uint32_t, std::string> userNames_;
};

}  // namespace wq
