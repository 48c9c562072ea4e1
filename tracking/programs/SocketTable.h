// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The sockets of this machine, and which of them is a given end of a flow.

#include <cstdint>
#include <vector>

#include "tracking/decode/FlowKey.h"
#include "tracking/decode/PacketDecoder.h"

namespace wq {

// TCP_LISTEN, as the kernel numbers the TCP states.
inline constexpr std::uint8_t kTcpListenState = 10;

// One socket as the kernel lists it.
struct SocketEntry {
  std::uint8_t protocol = 0;
  IpAddress local;
  std::uint16_t localPort = 0;  // host byte order, as remotePort
  IpAddress remote;
  std::uint16_t remotePort = 0;  // 0 while the socket has no peer
  std::uint8_t state = 0;        // the TCP state
  std::uint32_t uid = 0;
  // 0 for a connection that no process holds: not yet accepted, or in TIME_WAIT.
  std::uint64_t inode = 0;
};

class SocketSource {
 public:
  virtual ~SocketSource() = default;
  // The sockets of `protocol` (TCP or UDP), IPv4 and IPv6.
  virtual std::vector<SocketEntry> sockets(std::uint8_t protocol) = 0;
  // The addresses of this machine's interfaces.
  virtual std::vector<IpAddress> localAddresses() = 0;
};

// An address and a port, in host byte order.
struct Endpoint {
  IpAddress address;
  std::uint16_t port = 0;
};

// One listing of a protocol's sockets, asked which socket is an end of a flow.
class SocketTable {
 public:
  SocketTable(std::uint8_t protocol, std::vector<SocketEntry> sockets,
              std::vector<IpAddress> localAddresses);

  // The socket that is `end` talking to `peer`, or nullptr when `end` is no socket here: a
  // connected socket first, then one open to any peer; a TCP connection that no process holds
  // yet stands for its listener, the program that will accept it.
  const SocketEntry* socketOf(Endpoint end, Endpoint peer) const;

 private:
  // Whether a socket bound to `local` receives what is sent to `address`.
  bool takes(const IpAddress& local, const IpAddress& address) const;
  bool isThisMachine(const IpAddress& address) const;
  const SocketEntry* listenerOf(const Endpoint& end) const;
  std::pair<std::vector<SocketEntry>::const_iterator, std::vector<SocketEntry>::const_iterator>
  socketsAt(std::uint16_t port) const;

  std::uint8_t protocol_;
  std::vector<SocketEntry> sockets_;  // by local port
  std::vector<IpAddress> localAddresses_;
};

}  // namespace wq
