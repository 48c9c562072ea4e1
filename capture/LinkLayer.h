// SPDX-License-Identifier: GPL-3.0-or-later
// Hands out frames of every supported link type in Ethernet framing, since the application decodes
// Ethernet frames only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "capture/RecordOutput.h"

namespace netsiphon {

inline constexpr std::size_t kEthernetHeaderLength = 14;
inline constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;

// A frame in Ethernet framing: either the captured Ethernet frame itself, or the payload of another
// link type behind a made-up Ethernet header (zero addresses, the payload's EtherType).
class EthernetFrame {
 public:
  static EthernetFrame unchanged(std::span<const std::uint8_t> captured, std::uint32_t wireLength);
  static EthernetFrame withHeader(std::uint16_t etherType, std::span<const std::uint8_t> payload,
                                  std::uint32_t payloadWireLength);

  // Valid while this object and the captured bytes live.
  Frame frame() const;

 private:
  std::array<std::uint8_t, kEthernetHeaderLength> header_{};
  bool hasHeader_ = false;
  std::span<const std::uint8_t> body_;
  std::uint32_t wireLength_ = 0;
};

// Whether frames of this DLT_ link type can be handed out in Ethernet framing.
bool isSupportedLinkType(int linkType);

// The frame in Ethernet framing, or nothing when its link header is cut short or its payload is not
// an IP packet that an EtherType can name.
std::optional<EthernetFrame> toEthernet(int linkType, std::span<const std::uint8_t> captured,
                                        std::uint32_t wireLength);

}  // namespace netsiphon
