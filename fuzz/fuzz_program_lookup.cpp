// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes as a datagram of the kernel's socket listing and as a /proc cgroup file: each is
// read within its bounds, and every socket taken from a listing carries a protocol asked for.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "tracking/programs/ProcessTable.h"
#include "tracking/programs/SystemSockets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  // The first byte picks the request the datagram answers, so that its sequence can match.
  const std::uint32_t sequence = data[0] & 1U;
  const std::uint8_t protocol = (data[0] & 2U) ? wq::ipproto::TCP : wq::ipproto::UDP;
  std::vector<wq::SocketEntry> sockets;
  wq::readDumpDatagram(std::span(data + 1, size - 1), sequence, protocol, sockets);
  for (const wq::SocketEntry& socket : sockets) {
    if (socket.protocol != protocol) {
      std::abort();
    }
  }
  const wq::CgroupPlace place =
      wq::cgroupPlace(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!place.container.empty() && (place.container.size() != 12 || !place.unit.empty())) {
    std::abort();
  }
  return 0;
}
