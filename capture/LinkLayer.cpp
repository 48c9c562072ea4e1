// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/LinkLayer.h"

#include <pcap/dlt.h>

#include <algorithm>
#include <limits>

namespace netsiphon {
namespace {

// Linux cooked capture, version 1 (the "any" interface): the protocol follows 14 bytes of
// packet type, address type, address length and address.
constexpr std::size_t kSllHeaderLength = 16;
constexpr std::size_t kSllProtocolOffset = 14;
// Version 2 puts the protocol first.
constexpr std::size_t kSll2HeaderLength = 20;
constexpr std::size_t kSll2ProtocolOffset = 0;
// BSD loopback: a 4-byte address family.
constexpr std::size_t kLoopbackHeaderLength = 4;

constexpr std::uint32_t kFamilyInet = 2;
// AF_INET6 differs between the systems that write loopback captures: Linux, NetBSD and OpenBSD,
// FreeBSD, Darwin.
constexpr std::array<std::uint32_t, 4> kFamiliesInet6 = {10, 24, 28, 30};

std::optional<std::uint8_t> readByte(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (bytes.size() <= offset) {
    return std::nullopt;
  }
  return bytes[offset];
}

std::optional<std::uint16_t> readBigEndian16(std::span<const std::uint8_t> bytes,
                                             std::size_t offset) {
  if (bytes.size() < offset + 2) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

std::optional<std::uint32_t> readBigEndian32(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) {
    return std::nullopt;
  }
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
         std::uint32_t{bytes[2]} << 8 | bytes[3];
}

std::uint32_t byteSwapped(std::uint32_t value) {
  return (value & 0xFF) << 24 | (value & 0xFF00) << 8 | (value >> 8 & 0xFF00) | value >> 24;
}

// The wire length of what follows a link header of `headerLength`, behind an Ethernet header.
std::uint32_t rewrappedWireLength(std::uint32_t wireLength, std::size_t headerLength) {
  const std::uint64_t payload = wireLength > headerLength ? wireLength - headerLength : 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(
      payload + kEthernetHeaderLength, std::numeric_limits<std::uint32_t>::max()));
}

std::optional<EthernetFrame> rewrapped(std::optional<std::uint16_t> etherType,
                                       std::span<const std::uint8_t> captured,
                                       std::size_t headerLength, std::uint32_t wireLength) {
  if (!etherType || captured.size() < headerLength) {
    return std::nullopt;
  }
  return EthernetFrame::withHeader(*etherType, captured.subspan(headerLength),
                                   rewrappedWireLength(wireLength, headerLength));
}

std::optional<std::uint16_t> etherTypeOfIpVersion(std::span<const std::uint8_t> packet) {
  const std::optional<std::uint8_t> first = readByte(packet, 0);
  if (!first) {
    return std::nullopt;
  }
  switch (*first >> 4) {
    case 4:
      return kEtherTypeIpv4;
    case 6:
      return kEtherTypeIpv6;
    default:
      return std::nullopt;
  }
}

std::optional<std::uint16_t> etherTypeOfFamily(std::optional<std::uint32_t> family) {
  if (family == kFamilyInet) {
    return kEtherTypeIpv4;
  }
  if (family && std::ranges::find(kFamiliesInet6, *family) != kFamiliesInet6.end()) {
    return kEtherTypeIpv6;
  }
  return std::nullopt;
}

// DLT_NULL stores the family in the byte order of the machine that captured: a family is a small
// number, so a value with high bits set was written the other way round.
std::optional<std::uint32_t> nullFamily(std::span<const std::uint8_t> captured) {
  const std::optional<std::uint32_t> bigEndian = readBigEndian32(captured);
  if (!bigEndian) {
    return std::nullopt;
  }
  return *bigEndian > 0xFFFF ? byteSwapped(*bigEndian) : *bigEndian;
}

}  // namespace

EthernetFrame EthernetFrame::unchanged(std::span<const std::uint8_t> captured,
                                       std::uint32_t wireLength) {
  EthernetFrame frame;
  frame.body_ = captured;
  frame.wireLength_ = wireLength;
  return frame;
}

EthernetFrame EthernetFrame::withHeader(std::uint16_t etherType,
                                        std::span<const std::uint8_t> payload,
                                        std::uint32_t wireLength) {
  EthernetFrame frame;
  frame.header_[12] = static_cast<std::uint8_t>(etherType >> 8);
  frame.header_[13] = static_cast<std::uint8_t>(etherType & 0xFF);
  frame.hasHeader_ = true;
  frame.body_ = payload;
  frame.wireLength_ = wireLength;
  return frame;
}

Frame EthernetFrame::frame() const {
  const std::span<const std::uint8_t> head =
      hasHeader_ ? std::span<const std::uint8_t>(header_) : std::span<const std::uint8_t>();
  return Frame{head, body_, wireLength_};
}

bool isSupportedLinkType(int linkType) {
  switch (linkType) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
    case DLT_NULL:
    case DLT_LOOP:
      return true;
    default:
      return false;
  }
}

std::optional<EthernetFrame> toEthernet(int linkType, std::span<const std::uint8_t> captured,
                                        std::uint32_t wireLength) {
  switch (linkType) {
    case DLT_EN10MB:
      return EthernetFrame::unchanged(captured, wireLength);
    case DLT_LINUX_SLL:
      return rewrapped(readBigEndian16(captured, kSllProtocolOffset), captured, kSllHeaderLength,
                       wireLength);
    case DLT_LINUX_SLL2:
      return rewrapped(readBigEndian16(captured, kSll2ProtocolOffset), captured, kSll2HeaderLength,
                       wireLength);
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
      return rewrapped(etherTypeOfIpVersion(captured), captured, 0, wireLength);
    case DLT_NULL:
      return rewrapped(etherTypeOfFamily(nullFamily(captured)), captured, kLoopbackHeaderLength,
                       wireLength);
    case DLT_LOOP:
      return rewrapped(etherTypeOfFamily(readBigEndian32(captured)), captured,
                       kLoopbackHeaderLength, wireLength);
    default:
      return std::nullopt;
  }
}

}  // namespace netsiphon
