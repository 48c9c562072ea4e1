// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// This machine's sockets as the kernel lists them (sock_diag over netlink), and its addresses.

#include <cstdint>
#include <span>
#include <vector>

#include "tracking/programs/SocketTable.h"

namespace wq {

class SystemSockets : public SocketSource {
 public:
  // Nothing of a family whose listing fails: a partial listing could lack the very socket of an
  // end and make another one on its port stand for it.
  std::vector<SocketEntry> sockets(std::uint8_t protocol) override;
  std::vector<IpAddress> localAddresses() override;
};

enum class DumpProgress { kMore, kDone, kFailed };

// Adds the sockets of one datagram of the kernel's reply to listing request `sequence` to `into`;
// whether more datagrams follow, the listing is complete, or it failed (an error reply, a message
// cut short). Messages of other requests, and socket messages too short to read, are passed over.
DumpProgress readDumpDatagram(std::span<const std::uint8_t> datagram, std::uint32_t sequence,
                              std::uint8_t protocol, std::vector<SocketEntry>& into);

}  // namespace wq
