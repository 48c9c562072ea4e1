#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wq {

// An IPv4 or IPv6 address, its bytes in network order. An IPv4 address fills the first four
// bytes and leaves the rest zero, so that equal addresses have equal bytes.
struct IpAddress {
  static constexpr std::uint8_t kV4 = 4;
  static constexpr std::uint8_t kV6 = 6;

  std::array<std::uint8_t, 16> bytes{};
  std::uint8_t family = kV4;

  // The address of `family` whose bytes (4 or 16 of them) start at `from`.
  static IpAddress of(std::uint8_t family, const std::uint8_t* from) {
    IpAddress address;
    address.family = family;
    std::memcpy(address.bytes.data(), from, family == kV4 ? 4 : 16);
    return address;
  }
  auto operator<=>(const IpAddress&) const = default;
};

// What the flow match compares: both addresses and both ports, in network byte order.
struct FlowKey {
  IpAddress saddr;
  IpAddress daddr;
  std::uint16_t sport = 0;
  std::uint16_t dport = 0;

  // Compared as the bytes they are: the layout has no padding.
  bool operator==(const FlowKey& other) const {
    return std::memcmp(this, &other, sizeof(FlowKey)) == 0;
  }
};
static_assert(sizeof(FlowKey) == 2 * sizeof(IpAddress) + 2 * sizeof(std::uint16_t));

struct IpAddressHash {
  std::size_t operator()(const IpAddress& address) const {
    std::uint64_t words[2];
    std::memcpy(words, address.bytes.data(), sizeof words);
    const std::uint64_t h =
        (words[0] * 0x9E3779B97F4A7C15ull) ^ ((words[1] + address.family) * 0xC2B2AE3D27D4EB4Full);
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

struct FlowKeyHash {
  std::size_t operator()(const FlowKey& key) const {
    // Each word is spread by a multiplication of its own, then the words are folded together.
    std::uint64_t source[2];
    std::uint64_t destination[2];
    std::memcpy(source, key.saddr.bytes.data(), sizeof source);
    std::memcpy(destination, key.daddr.bytes.data(), sizeof destination);
    std::uint64_t h =
        (source[0] * 0x9E3779B97F4A7C15ull) ^ (destination[0] * 0xC2B2AE3D27D4EB4Full);
    h ^= (source[1] ^ (destination[1] << 1)) * 0x165667B19E3779F9ull;
    h ^= (std::uint64_t{key.sport} << 16 | key.dport | std::uint64_t{key.saddr.family} << 32) *
         0xD6E8FEB86659FD93ull;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

}  // namespace wq
