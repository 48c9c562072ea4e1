#pragma once

#include <cstddef>
#include <cstdint>

namespace wq {

// What the flow match compares: both addresses and both ports, in network byte order.
struct FlowKey {
  std::uint32_t saddr = 0;
  std::uint32_t daddr = 0;
  std::uint16_t sport = 0;
  std::uint16_t dport = 0;

  bool operator==(const FlowKey&) const = default;
};

struct FlowKeyHash {
  std::size_t operator()(const FlowKey& key) const {
    // Mix the 96 bits into one word; the multiplications spread the ports over the high bits.
    std::uint64_t h = (std::uint64_t{key.saddr} << 32 | key.daddr) * 0x9E3779B97F4A7C15ull;
    h ^= (std::uint64_t{key.sport} << 16 | key.dport) * 0xC2B2AE3D27D4EB4Full;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

}  // namespace wq
