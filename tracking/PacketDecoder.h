#pragma once
// Reads one captured frame as Ethernet carrying IPv4 and takes out what the node tracker needs.

#include <cstdint>
#include <optional>

#include "tracking/ByteView.h"
#include "tracking/FlowKey.h"

namespace wq {

namespace ipproto {
inline constexpr std::uint8_t ICMP = 1;
inline constexpr std::uint8_t TCP = 6;
inline constexpr std::uint8_t UDP = 17;
}  // namespace ipproto

namespace tcpflags {
inline constexpr std::uint8_t FIN = 0x01;
inline constexpr std::uint8_t SYN = 0x02;
inline constexpr std::uint8_t RST = 0x04;
inline constexpr std::uint8_t PSH = 0x08;
inline constexpr std::uint8_t ACK = 0x10;
}  // namespace tcpflags

struct DecodedPacket {
  std::uint8_t protocol = 0;  // ipproto::ICMP, TCP or UDP
  FlowKey flow;               // network byte order; ports 0 for ICMP
  std::uint8_t tcpFlags = 0;
  // The payload length the IPv4 header states, less the transport header allowance: the whole
  // message for ICMP, after 8 bytes for UDP, after the first 20 bytes of the TCP header (options
  // count as payload). May be zero or negative.
  std::int64_t statedPayloadLength = 0;
  // The payload bytes actually captured: the stated length, cut where the capture ends.
  ByteView payload;
};

// Nothing for frames that are not Ethernet with IPv4 (version 4), for fragments after the first,
// for protocols other than ICMP, TCP and UDP, and for frames too short to hold the headers read.
std::optional<DecodedPacket> decodeFrame(ByteView frame);

}  // namespace wq
