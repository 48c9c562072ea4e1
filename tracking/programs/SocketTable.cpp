// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/programs/SocketTable.h"

#include <algorithm>

namespace wq {

namespace {

// The IPv4 address an IPv4-mapped IPv6 address (::ffff:a.b.c.d) stands for; any other address as
// it is.
IpAddress unmapped(const IpAddress& address) {
  static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (address.family == IpAddress::kV6 &&
      std::equal(std::begin(kMappedPrefix), std::end(kMappedPrefix), address.bytes.begin())) {
    return IpAddress::of(IpAddress::kV4, address.bytes.data() + 12);
  }
  return address;
}

bool isUnspecified(const IpAddress& address) {
  return std::all_of(address.bytes.begin(), address.bytes.end(),
                     [](auto byte) { return byte == 0; });
}

bool isLoopback(const IpAddress& address) {
  if (address.family == IpAddress::kV4) {
    return address.bytes[0] == 127;
  }
  return std::all_of(address.bytes.begin(), address.bytes.end() - 1,
                     [](auto byte) { return byte == 0; }) &&
         address.bytes[15] == 1;
}

// Whether `local` is a wildcard address that takes `address`'s family: a wildcard IPv6 socket
// takes IPv4 too (v6-only ones are rare enough to be taken as such).
bool isWildcardFor(const IpAddress& local, const IpAddress& address) {
  return isUnspecified(local) &&
         (local.family == IpAddress::kV6 || address.family == IpAddress::kV4);
}

Endpoint unmapped(const Endpoint& end) {
  return {unmapped(end.address), end.port};
}

// Of two sockets that both take an end, the one bound to its very address.
const SocketEntry* closer(const SocketEntry* chosen, const SocketEntry& candidate,
                          const IpAddress& address) {
  if (chosen == nullptr || (candidate.local == address && chosen->local != address)) {
    return &candidate;
  }
  return chosen;
}

}  // namespace

SocketTable::SocketTable(std::uint8_t protocol, std::vector<SocketEntry> sockets,
                         std::vector<IpAddress> localAddresses)
    : protocol_(protocol),
      sockets_(std::move(sockets)),
      localAddresses_(std::move(localAddresses)) {
  for (SocketEntry& socket : sockets_) {
    socket.local = unmapped(socket.local);
    socket.remote = unmapped(socket.remote);
  }
  for (IpAddress& address : localAddresses_) {
    address = unmapped(address);
  }
  std::sort(sockets_.begin(), sockets_.end(),
            [](const SocketEntry& a, const SocketEntry& b) { return a.localPort < b.localPort; });
}

const SocketEntry* SocketTable::socketOf(Endpoint end, Endpoint peer) const {
  end = unmapped(end);
  peer = unmapped(peer);
  const SocketEntry* connected = nullptr;
  const SocketEntry* open = nullptr;
  const SocketEntry* unheld = nullptr;  // the connection, held by no process
  const auto [first, last] = socketsAt(end.port);
  for (auto socket = first; socket != last; ++socket) {
    if (!takes(socket->local, end.address)) {
      continue;
    }
    if (socket->remotePort == 0) {
      // A TCP socket without a peer takes connections only while it listens.
      if (socket->inode != 0 && (protocol_ != ipproto::TCP || socket->state == kTcpListenState)) {
        open = closer(open, *socket, end.address);
      }
    } else if (socket->remotePort == peer.port && socket->remote == peer.address) {
      if (socket->inode != 0) {
        connected = closer(connected, *socket, end.address);
      } else {
        unheld = &*socket;
      }
    }
  }
  if (connected != nullptr || open != nullptr) {
    return connected != nullptr ? connected : open;
  }
  if (unheld == nullptr || protocol_ != ipproto::TCP) {
    return nullptr;
  }
  // Not accepted yet (its listener's program will take it), or closed: its end is here either way.
  const SocketEntry* listener = listenerOf(end);
  return listener != nullptr ? listener : unheld;
}

// The listener of a connection known to be on this machine, though its address may not be one of
// the listed ones (they were read at another moment).
const SocketEntry* SocketTable::listenerOf(const Endpoint& end) const {
  const SocketEntry* listener = nullptr;
  const auto [first, last] = socketsAt(end.port);
  for (auto socket = first; socket != last; ++socket) {
    const bool covers = socket->local == end.address || isWildcardFor(socket->local, end.address);
    if (covers && socket->state == kTcpListenState && socket->inode != 0) {
      listener = closer(listener, *socket, end.address);
    }
  }
  return listener;
}

bool SocketTable::takes(const IpAddress& local, const IpAddress& address) const {
  return local == address || (isWildcardFor(local, address) && isThisMachine(address));
}

bool SocketTable::isThisMachine(const IpAddress& address) const {
  return isLoopback(address) || std::find(localAddresses_.begin(), localAddresses_.end(),
                                          address) != localAddresses_.end();
}

std::pair<std::vector<SocketEntry>::const_iterator, std::vector<SocketEntry>::const_iterator>
SocketTable::socketsAt(std::uint16_t port) const {
  SocketEntry key;
  key.localPort = port;
  return std::equal_range(
      sockets_.begin(), sockets_.end(), key,
      [](const SocketEntry& a, const SocketEntry& b) { return a.localPort < b.localPort; });
}

}  // namespace wq
