// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/programs/ProgramFinder.h"

#include <arpa/inet.h>
#include <pwd.h>

#include <cerrno>
#include <unordered_set>

namespace wq {

namespace {

std::uint32_t rememberedKey(const SocketEntry& socket) {
  return std::uint32_t{socket.protocol} << 16 | socket.localPort;
}

bool isAnswerable(std::uint8_t protocol) {
  return protocol == ipproto::TCP || protocol == ipproto::UDP;
}

std::string userNameOf(std::uint32_t uid) {
  std::vector<char> buffer(16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    return error == 0 && found != nullptr ? std::string(found->pw_name) : std::to_string(uid);
  }
}

}  // namespace

ProgramFinder::ProgramFinder(std::unique_ptr<SocketSource> sockets, std::string procRoot,
                             const Clock& clock, std::uint32_t viewerUid)
    : sockets_(std::move(sockets)),
      processes_(std::move(procRoot)),
      clock_(clock),
      viewerUid_(viewerUid) {}

std::vector<NodePrograms> ProgramFinder::find(std::span<const ProgramQuery> queries,
                                              std::stop_token stop) {
  const TimePoint now = clock_.now();
  std::erase_if(remembered_, [now](const auto& item) { return item.second.until <= now; });
  const std::map<std::uint8_t, SocketTable> tables = listSockets(queries, stop);
  std::vector<const SocketEntry*> ends;  // two per query: source, destination
  for (const ProgramQuery& query : queries) {
    const auto table = tables.find(query.protocol);
    const Endpoint source{query.ends.source, ntohs(query.ends.sport)};
    const Endpoint destination{query.ends.destination, ntohs(query.ends.dport)};
    ends.push_back(table == tables.end() ? nullptr : table->second.socketOf(source, destination));
    ends.push_back(table == tables.end() ? nullptr : table->second.socketOf(destination, source));
  }
  const Programs programs = programsOf(ends, stop);
  const auto programAt = [&](const SocketEntry* socket) -> std::optional<LocalProgram> {
    if (socket != nullptr && socket->inode == 0) {
      return LocalProgram{};  // an end here whose process has closed it: nothing to tell
    }
    const auto found = socket == nullptr ? programs.end() : programs.find(socket->inode);
    return found == programs.end() ? std::nullopt : std::optional(found->second);
  };
  std::vector<NodePrograms> answers;
  for (std::size_t i = 0; i < ends.size(); i += 2) {
    answers.push_back({programAt(ends[i]), programAt(ends[i + 1])});
  }
  return answers;
}

std::map<std::uint8_t, SocketTable> ProgramFinder::listSockets(
    std::span<const ProgramQuery> queries, const std::stop_token& stop) {
  std::map<std::uint8_t, SocketTable> tables;
  std::vector<IpAddress> localAddresses;
  for (const ProgramQuery& query : queries) {
    if (!isAnswerable(query.protocol) || tables.contains(query.protocol) || stop.stop_requested()) {
      continue;
    }
    if (tables.empty()) {
      localAddresses = sockets_->localAddresses();
    }
    tables.try_emplace(query.protocol, query.protocol, sockets_->sockets(query.protocol),
                       localAddresses);
  }
  return tables;
}

ProgramFinder::Programs ProgramFinder::programsOf(const std::vector<const SocketEntry*>& sockets,
                                                  const std::stop_token& stop) {
  Programs programs;
  std::unordered_set<std::uint64_t> unknownInodes;
  std::vector<const SocketEntry*> unknown;
  for (const SocketEntry* socket : sockets) {
    if (socket == nullptr || socket->inode == 0 || programs.contains(socket->inode)) {
      continue;
    }
    if (std::optional<LocalProgram> program = remembered(*socket)) {
      programs.emplace(socket->inode, std::move(*program));
    } else if (unknownInodes.insert(socket->inode).second) {
      unknown.push_back(socket);
    }
  }
  if (unknown.empty()) {
    return programs;
  }
  const auto holders = processes_.holdersOf(unknownInodes, stop);
  for (const SocketEntry* socket : unknown) {
    const auto holder = holders.find(socket->inode);
    programs.emplace(
        socket->inode,
        programOf(*socket, holder == holders.end() ? std::nullopt : std::optional(holder->second)));
  }
  return programs;
}

// The answer last given for the socket's port while that port is still the same socket, and (when
// a process was named) that process still holds it.
std::optional<LocalProgram> ProgramFinder::remembered(const SocketEntry& socket) const {
  const auto found = remembered_.find(rememberedKey(socket));
  if (found == remembered_.end() || found->second.inode != socket.inode) {
    return std::nullopt;
  }
  const SocketHolder& holder = found->second.holder;
  if (holder.pid != 0 && !processes_.stillHolds(holder, socket.inode)) {
    return std::nullopt;
  }
  return found->second.program;
}

LocalProgram ProgramFinder::programOf(const SocketEntry& socket,
                                      std::optional<SocketHolder> holder) {
  LocalProgram program;
  program.user = userName(socket.uid);
  if (!holder) {
    // Another user's socket stays closed to this user; one of its own, in no process, may be
    // found in one next time (it is being handed over), so that is not remembered.
    if (socket.uid != viewerUid_ && viewerUid_ != 0) {
      remember(socket, {}, program);
    }
    return program;
  }
  ProcessFacts facts = processes_.describe(holder->pid);
  if (facts.name.empty() || !processes_.stillHolds(*holder, socket.inode)) {
    return program;  // the process ended, or its pid already went to another program
  }
  program.name = std::move(facts.name);
  program.pid = holder->pid;
  program.unit = std::move(facts.unit);
  program.container = std::move(facts.container);
  remember(socket, *holder, program);
  return program;
}

void ProgramFinder::remember(const SocketEntry& socket, const SocketHolder& holder,
                             const LocalProgram& program) {
  remembered_[rememberedKey(socket)] = {socket.inode, holder, program,
                                        clock_.now() + kRememberedFor};
}

const std::string& ProgramFinder::userName(std::uint32_t uid) {
  const auto found = userNames_.find(uid);
  return found != userNames_.end() ? found->second
                                   : userNames_.emplace(uid, userNameOf(uid)).first->second;
}

}  // namespace wq
