#include "tracking/PacketDecoder.h"

#include <cstring>

namespace wq {

namespace {

constexpr std::size_t kEthernetHeaderLength = 14;
constexpr std::uint16_t kEtherTypeIPv4 = 0x0800;
constexpr std::uint16_t kFragmentOffsetMask = 0x1FFF;

struct TransportLayout {
  std::size_t headerBytesRead;  // bytes of the transport header that must be present
  std::size_t payloadOffset;    // where the stored payload begins
};

std::optional<TransportLayout> layoutOf(std::uint8_t protocol) {
  switch (protocol) {
    case ipproto::ICMP:
      return TransportLayout{0, 0};
    case ipproto::UDP:
      return TransportLayout{8, 8};
    case ipproto::TCP:
      return TransportLayout{14, 20};  // flags in byte 13; options are payload
    default:
      return std::nullopt;
  }
}

std::uint32_t addressAt(ByteView bytes, std::size_t offset) {
  std::uint32_t address;
  std::memcpy(&address, bytes.data() + offset, sizeof address);
  return address;
}

std::uint16_t portAt(ByteView bytes, std::size_t offset) {
  std::uint16_t port;
  std::memcpy(&port, bytes.data() + offset, sizeof port);
  return port;
}

}  // namespace

std::optional<DecodedPacket> decodeFrame(ByteView frame) {
  if (frame.be16(12) != kEtherTypeIPv4) {
    return std::nullopt;
  }
  const ByteView ip = frame.sub(kEthernetHeaderLength);
  const auto versionAndLength = ip.u8(0);
  if (!versionAndLength || !ip.has(0, 20) || (*versionAndLength >> 4) != 4) {
    return std::nullopt;
  }
  const std::size_t ipHeaderLength = std::size_t{*versionAndLength & 0x0Fu} * 4;
  if (ipHeaderLength < 20 || !ip.has(0, ipHeaderLength)) {
    return std::nullopt;
  }
  if ((*ip.be16(6) & kFragmentOffsetMask) != 0) {
    return std::nullopt;  // a later fragment carries no transport header
  }
  const std::uint8_t protocol = *ip.u8(9);
  const auto layout = layoutOf(protocol);
  const ByteView transport = ip.sub(ipHeaderLength);
  if (!layout || !transport.has(0, layout->headerBytesRead)) {
    return std::nullopt;
  }

  DecodedPacket packet;
  packet.protocol = protocol;
  packet.flow.saddr = addressAt(ip, 12);
  packet.flow.daddr = addressAt(ip, 16);
  if (protocol != ipproto::ICMP) {
    packet.flow.sport = portAt(transport, 0);
    packet.flow.dport = portAt(transport, 2);
  }
  if (protocol == ipproto::TCP) {
    packet.tcpFlags = *transport.u8(13);
  }
  packet.statedPayloadLength = std::int64_t{*ip.be16(2)} -
                               static_cast<std::int64_t>(ipHeaderLength) -
                               static_cast<std::int64_t>(layout->payloadOffset);
  if (packet.statedPayloadLength > 0) {
    packet.payload =
        transport.sub(layout->payloadOffset, static_cast<std::size_t>(packet.statedPayloadLength));
  }
  return packet;
}

}  // namespace wq
