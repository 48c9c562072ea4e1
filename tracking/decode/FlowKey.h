// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <climits>
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

// A flow's ends as values, for what outlives the flow's nodes (panels, texts).
struct FlowEnds {
  IpAddress source;
  IpAddress destination;
  std::uint16_t sport = 0;  // network byte order
  std::uint16_t dport = 0;
  bool operator==(const FlowEnds&) const = default;
};

// The IPv6 addresses of the nodes, each kept once under a number, so that a flow key holds 32 bits
// per address whatever the family and stays as small as an IPv4 one. A number lives while nodes
// hold it: the book is as large as the distinct IPv6 addresses of the nodes, however many
// addresses the traffic brings. Nodes are freed on other threads too, so the book locks.
class AddressBook {
 public:
  using V6Bytes = std::array<std::uint8_t, 16>;
  // A number no address has: a key that holds it matches no node.
  static constexpr std::uint32_t kNoNumber = UINT32_MAX;

  // The address's number, held once more.
  static std::uint32_t acquire(const std::uint8_t* bytes);
  // Lets go of one hold on the number; the last frees it for another address.
  static void release(std::uint32_t number);
  // The address's number if a node holds it, else kNoNumber.
  static std::uint32_t find(const std::uint8_t* bytes);
  static V6Bytes address(std::uint32_t number);
  // How many addresses are held.
  static std::size_t size();
};

// What the flow match compares: both addresses and both ports, in network byte order. An IPv6
// address stands as its number in the AddressBook.
struct FlowKey {
  std::uint32_t saddr = 0;
  std::uint32_t daddr = 0;
  std::uint16_t sport = 0;
  std::uint16_t dport = 0;
  std::uint8_t family = IpAddress::kV4;
  std::uint8_t unused[3] = {};  // always zero: every byte takes part in the comparison

  // The number that stands for an IPv4 address in a key.
  static std::uint32_t numberOf(const IpAddress& address) {
    std::uint32_t number;
    std::memcpy(&number, address.bytes.data(), sizeof number);
    return number;
  }
  IpAddress source() const { return addressOf(saddr); }
  IpAddress destination() const { return addressOf(daddr); }
  FlowEnds ends() const { return {source(), destination(), sport, dport}; }

  // Compared as the bytes they are: the layout has no padding.
  bool operator==(const FlowKey& other) const {
    return std::memcmp(this, &other, sizeof(FlowKey)) == 0;
  }

 private:
  IpAddress addressOf(std::uint32_t number) const {
    if (family == IpAddress::kV4) {
      return IpAddress::of(IpAddress::kV4, reinterpret_cast<const std::uint8_t*>(&number));
    }
    if (number == AddressBook::kNoNumber) {
      return IpAddress{{}, IpAddress::kV6};
    }
    const AddressBook::V6Bytes bytes = AddressBook::address(number);
    return IpAddress::of(IpAddress::kV6, bytes.data());
  }
};
static_assert(sizeof(FlowKey) == 16);

struct IpAddressHash {
  std::size_t operator()(const IpAddress& address) const {
    std::uint64_t words[2];
    std::memcpy(words, address.bytes.data(), sizeof words);
    const std::uint64_t h =
        (words[0] * 0x9E3779B97F4A7C15ull) ^ ((words[1] + address.family) * 0xC2B2AE3D27D4EB4Full);
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

struct FlowEndsHash {
  std::size_t operator()(const FlowEnds& ends) const {
    const std::size_t h = IpAddressHash{}(ends.source) * 31 + IpAddressHash{}(ends.destination);
    return h ^ ((std::size_t{ends.sport} << 16 | ends.dport) * 0x9E3779B97F4A7C15ull);
  }
};

struct FlowKeyHash {
  std::size_t operator()(const FlowKey& key) const {
    // Mix the 104 bits into one word; the multiplications spread the ports over the high bits.
    std::uint64_t h = (std::uint64_t{key.saddr} << 32 | key.daddr) * 0x9E3779B97F4A7C15ull;
    h ^= (std::uint64_t{key.sport} << 16 | key.dport | std::uint64_t{key.family} << 32) *
         0xC2B2AE3D27D4EB4Full;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
};

}  // namespace wq
