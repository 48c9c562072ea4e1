// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads one captured frame as Ethernet carrying IPv4 or IPv6 and takes out what the node tracker
// needs.

#include <cstdint>
#include <optional>

#include "tracking/decode/ByteView.h"
#include "tracking/decode/FlowKey.h"

namespace wq {

namespace ipproto {
inline constexpr std::uint8_t ICMP = 1;
inline constexpr std::uint8_t TCP = 6;
inline constexpr std::uint8_t UDP = 17;
inline constexpr std::uint8_t ICMPv6 = 58;
}  // namespace ipproto

namespace tcpflags {
inline constexpr std::uint8_t FIN = 0x01;
inline constexpr std::uint8_t SYN = 0x02;
inline constexpr std::uint8_t RST = 0x04;
inline constexpr std::uint8_t PSH = 0x08;
inline constexpr std::uint8_t ACK = 0x10;
}  // namespace tcpflags

struct DecodedPacket {
  std::uint8_t protocol = 0;  // ipproto::ICMP, ICMPv6, TCP or UDP
  FlowKey flow;               // network byte order; ports 0 for ICMP and ICMPv6
  // The same flow with its addresses as values. An IPv6 address that no node holds has no
  // number in `flow` (AddressBook::kNoNumber): such a flow matches no node.
  FlowEnds ends;
  std::uint8_t tcpFlags = 0;
  std::uint32_t tcpSequence = 0;  // host byte order
  // The payload bytes captured: the whole message for ICMP, after 8 bytes for UDP, after the TCP
  // header with its options (its data offset), as long as the IP header states and cut where the
  // capture ends.
  ByteView payload;
  // The payload's length as the packet tracking counts it. For a frame captured whole it is the
  // payload's size, whatever the IP header claims beyond the frame. For a frame cut short by the
  // capture (captured length below the length on the wire) it is the length the IP header states,
  // up to what the wire length leaves room for: the bytes past `payload` were not captured.
  std::uint32_t payloadLength = 0;

  std::uint32_t missingLength() const {
    return payloadLength - static_cast<std::uint32_t>(payload.size());
  }
};

// Nothing for frames that are not Ethernet (after up to two 802.1Q or 802.1ad tags) with IPv4 or
// IPv6, for fragments after the first, for protocols other than ICMP, ICMPv6, TCP and UDP, for
// frames too short to hold the headers read, and for TCP segments whose data offset is below five
// words or past the segment's end: false then. A TCP header cut short by the capture after its
// flags counts its whole payload as not captured. `wireLength` is the frame's length on the
// wire.
bool decodeFrame(ByteView frame, std::uint32_t wireLength, DecodedPacket& packet);

}  // namespace wq
