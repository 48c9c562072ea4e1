// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a lookup learns of the programs behind a node: for each end of its flow that is a socket
// on this machine, the process that holds that socket.

#include <cstdint>
#include <optional>
#include <string>

#include "tracking/decode/FlowKey.h"

namespace wq {

// The program behind one local end of a flow. A socket whose process this user may not inspect
// (another user's), or whose process is gone or could not be told for certain, is known by its
// owner alone.
struct LocalProgram {
  std::string name;  // empty when the program could not be named
  std::int32_t pid = 0;
  std::string user;       // the socket owner's user name, or its uid when it has none
  std::string unit;       // the systemd unit the process runs in, when there is one
  std::string container;  // the container's short id, when the process runs in one
  bool operator==(const LocalProgram&) const = default;
};

// The programs behind a node's two ends; an end that is no socket on this machine has none.
struct NodePrograms {
  std::optional<LocalProgram> source;
  std::optional<LocalProgram> destination;
  bool operator==(const NodePrograms&) const = default;
};

// What is looked up for a node: its protocol (TCP or UDP) and its flow's ends, ports in network
// byte order as in the node.
struct ProgramQuery {
  std::uint8_t protocol = 0;
  FlowEnds ends;
  bool operator==(const ProgramQuery&) const = default;
};

struct ProgramQueryHash {
  std::size_t operator()(const ProgramQuery& query) const {
    return FlowEndsHash{}(query.ends) * 31 + query.protocol;
  }
};

struct ProgramAnswer {
  ProgramQuery query;
  NodePrograms programs;
};

}  // namespace wq
