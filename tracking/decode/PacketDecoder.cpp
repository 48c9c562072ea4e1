// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/decode/PacketDecoder.h"

#include <algorithm>
#include <cstring>

namespace wq {

namespace {

constexpr std::size_t kEthernetHeaderLength = 14;
constexpr std::size_t kVlanTagLength = 4;
constexpr int kMaxVlanTags = 2;
constexpr std::uint16_t kEtherTypeIPv4 = 0x0800;
constexpr std::uint16_t kEtherTypeIPv6 = 0x86DD;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;          // 802.1Q
constexpr std::uint16_t kEtherTypeProviderVlan = 0x88A8;  // 802.1ad
constexpr std::uint16_t kFragmentOffsetMask = 0x1FFF;
constexpr std::size_t kIPv6HeaderLength = 40;
constexpr std::size_t kMinimumTcpHeaderLength = 20;

// IPv6 extension headers walked on the way to the transport header.
namespace extension {
constexpr std::uint8_t kHopByHop = 0;
constexpr std::uint8_t kRouting = 43;
constexpr std::uint8_t kFragment = 44;
constexpr std::uint8_t kDestinationOptions = 60;
}  // namespace extension

struct TransportLayout {
  std::size_t headerBytesRead;  // bytes of the transport header that must be present
  std::size_t payloadOffset;    // where the stored payload begins
};

std::optional<TransportLayout> layoutOf(std::uint8_t protocol, std::uint8_t family) {
  switch (protocol) {
    case ipproto::ICMP:
      return family == IpAddress::kV4 ? std::optional(TransportLayout{0, 0}) : std::nullopt;
    case ipproto::ICMPv6:
      return family == IpAddress::kV6 ? std::optional(TransportLayout{0, 0}) : std::nullopt;
    case ipproto::UDP:
      return TransportLayout{8, 8};
    case ipproto::TCP:
      return TransportLayout{14, 20};  // flags in byte 13; the data offset moves the payload on
    default:
      return std::nullopt;
  }
}

std::uint16_t portAt(ByteView bytes, std::size_t offset) {
  std::uint16_t port;
  std::memcpy(&port, bytes.data() + offset, sizeof port);
  return port;
}

// What the network layer tells besides the addresses: the transport protocol, where the
// transport header starts in the frame, and how long the IP header says the transport header and
// payload are.
struct NetworkLayer {
  std::uint8_t protocol = 0;
  std::size_t transportOffset = 0;
  std::int64_t transportLength = 0;
};

// Reads the IPv4 header at `offset`, its addresses into `flow`; false for a later fragment or a
// header that is not all there.
bool readIPv4(ByteView frame, std::size_t offset, FlowKey& flow, FlowEnds& ends,
              NetworkLayer& layer) {
  const ByteView ip = frame.sub(offset);
  const auto versionAndLength = ip.u8(0);
  if (!versionAndLength || !ip.has(0, 20) || (*versionAndLength >> 4) != 4) {
    return false;
  }
  const std::size_t headerLength = std::size_t{*versionAndLength & 0x0Fu} * 4;
  if (headerLength < 20 || !ip.has(0, headerLength)) {
    return false;
  }
  if ((*ip.be16(6) & kFragmentOffsetMask) != 0) {
    return false;  // a later fragment carries no transport header
  }
  std::memcpy(&flow.saddr, ip.data() + 12, sizeof flow.saddr);
  std::memcpy(&flow.daddr, ip.data() + 16, sizeof flow.daddr);
  ends.source = IpAddress::of(IpAddress::kV4, ip.data() + 12);
  ends.destination = IpAddress::of(IpAddress::kV4, ip.data() + 16);
  layer = {*ip.u8(9), offset + headerLength,
           std::int64_t{*ip.be16(2)} - static_cast<std::int64_t>(headerLength)};
  return true;
}

// Reads the IPv6 header at `offset`, its addresses into `flow`, and walks the extension headers to
// the transport header; false for a later fragment, or for a header that is not all there.
bool readIPv6(ByteView frame, std::size_t offset, FlowKey& flow, FlowEnds& ends,
              NetworkLayer& layer) {
  const ByteView ip = frame.sub(offset);
  if (!ip.has(0, kIPv6HeaderLength) || (*ip.u8(0) >> 4) != 6) {
    return false;
  }
  flow.family = IpAddress::kV6;
  flow.saddr = AddressBook::find(ip.data() + 8);
  flow.daddr = AddressBook::find(ip.data() + 24);
  ends.source = IpAddress::of(IpAddress::kV6, ip.data() + 8);
  ends.destination = IpAddress::of(IpAddress::kV6, ip.data() + 24);
  layer = {*ip.u8(6), 0, std::int64_t{*ip.be16(4)}};
  std::size_t at = kIPv6HeaderLength;
  for (;;) {
    std::size_t length = 0;
    switch (layer.protocol) {
      case extension::kHopByHop:
      case extension::kRouting:
      case extension::kDestinationOptions: {
        const auto units = ip.u8(at + 1);
        if (!units) {
          return false;
        }
        length = (std::size_t{*units} + 1) * 8;
        break;
      }
      case extension::kFragment: {
        const auto offsetField = ip.be16(at + 2);
        if (!offsetField || (*offsetField >> 3) != 0) {
          return false;  // not all there, or a later fragment
        }
        length = 8;
        break;
      }
      default:
        layer.transportOffset = offset + at;
        return true;
    }
    if (!ip.has(at, length)) {
      return false;
    }
    layer.protocol = *ip.u8(at);
    layer.transportLength -= static_cast<std::int64_t>(length);
    at += length;
  }
}

}  // namespace

bool decodeFrame(ByteView frame, std::uint32_t wireLength, DecodedPacket& packet) {
  std::size_t networkOffset = kEthernetHeaderLength;
  std::optional<std::uint16_t> etherType = frame.be16(12);
  for (int tags = 0; tags < kMaxVlanTags && etherType &&
                     (*etherType == kEtherTypeVlan || *etherType == kEtherTypeProviderVlan);
       ++tags) {
    networkOffset += kVlanTagLength;
    etherType = frame.be16(networkOffset - 2);
  }
  packet = DecodedPacket{};
  NetworkLayer network;
  const bool read = etherType == kEtherTypeIPv4
                        ? readIPv4(frame, networkOffset, packet.flow, packet.ends, network)
                    : etherType == kEtherTypeIPv6
                        ? readIPv6(frame, networkOffset, packet.flow, packet.ends, network)
                        : false;
  if (!read) {
    return false;
  }
  const auto layout = layoutOf(network.protocol, packet.flow.family);
  const ByteView transport = frame.sub(network.transportOffset);
  if (!layout || !transport.has(0, layout->headerBytesRead)) {
    return false;
  }
  packet.protocol = network.protocol;
  if (layout->headerBytesRead > 0) {
    packet.flow.sport = packet.ends.sport = portAt(transport, 0);
    packet.flow.dport = packet.ends.dport = portAt(transport, 2);
  }
  std::size_t payloadOffset = layout->payloadOffset;
  if (packet.protocol == ipproto::TCP) {
    packet.tcpFlags = *transport.u8(13);
    packet.tcpSequence = std::uint32_t{*transport.be16(4)} << 16 | *transport.be16(6);
    payloadOffset = std::size_t{*transport.u8(12)} / 16 * 4;  // its high four bits count words
    const bool headerCut = !transport.has(0, payloadOffset) && frame.size() < wireLength;
    if (payloadOffset < kMinimumTcpHeaderLength ||
        static_cast<std::int64_t>(payloadOffset) > network.transportLength ||
        (!transport.has(0, payloadOffset) && !headerCut)) {
      return false;  // malformed: no header of that length fits the segment
    }
  }
  const std::int64_t stated = network.transportLength - static_cast<std::int64_t>(payloadOffset);
  if (stated <= 0) {
    return true;
  }
  packet.payload = transport.sub(payloadOffset, static_cast<std::size_t>(stated));
  packet.payloadLength = static_cast<std::uint32_t>(packet.payload.size());
  if (frame.size() < wireLength) {
    const std::size_t payloadStart = network.transportOffset + payloadOffset;
    const std::int64_t roomOnWire = std::int64_t{wireLength} - std::int64_t(payloadStart);
    const std::int64_t counted = std::min(stated, roomOnWire);
    packet.payloadLength = static_cast<std::uint32_t>(
        std::max<std::int64_t>(counted, static_cast<std::int64_t>(packet.payload.size())));
  }
  return true;
}

}  // namespace wq
