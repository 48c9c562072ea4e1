#include "capture/LinkLayer.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

#include <vector>

namespace netsiphon {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Converted = std::optional<std::pair<Bytes, std::uint32_t>>;  // the frame, its wire length

Bytes joined(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST(LinkLayer, HandsOutEveryLinkTypeAsEthernetFramesAndSkipsWhatItCannotName) {
  const Bytes ipv4 = {0x45, 0x00, 0x00, 0x1c, 0xAA, 0xBB};
  const Bytes ipv6 = {0x60, 0x00, 0x00, 0x00, 0xCC};
  // The made-up Ethernet headers: zero addresses and the payload's EtherType.
  const Bytes v4 = joined(Bytes(12), joined({0x08, 0x00}, ipv4));
  const Bytes v6 = joined(Bytes(12), joined({0x86, 0xDD}, ipv6));
  // Version 1: packet type, address type, address length, 8 address bytes, protocol.
  const Bytes sll = {0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x86, 0xDD};
  // Version 2: protocol, reserved, interface index, address type, packet type, address.
  const Bytes sll2 = {0x08, 0x00, 0, 0, 0, 0, 0, 3, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  const std::tuple<int, Bytes, std::uint32_t, Converted> cases[] = {
      {DLT_EN10MB, v4, 1500, {{v4, 1500}}},
      {DLT_LINUX_SLL, joined(sll, ipv6), 100, {{v6, 100 - 16 + 14}}},
      // A header alone, with a wire length shorter than itself.
      {DLT_LINUX_SLL, sll, 4, {{Bytes(v6.begin(), v6.begin() + 14), 14}}},
      {DLT_LINUX_SLL, Bytes(15, 0), 15, {}},
      {DLT_LINUX_SLL2, joined(sll2, ipv4), 100, {{v4, 100 - 20 + 14}}},
      {DLT_LINUX_SLL2, Bytes(19, 0), 19, {}},
      {DLT_RAW, ipv4, 28, {{v4, 28 + 14}}},
      {DLT_IPV4, ipv6, 48, {{v6, 48 + 14}}},
      {DLT_IPV6, ipv4, 0xFFFFFFFF, {{v4, 0xFFFFFFFF}}},  // no wrap-around
      {DLT_RAW, {0x50, 0}, 2, {}},                       // IP version 5
      {DLT_IPV6, {}, 0, {}},
      // DLT_NULL holds the address family in the capturing machine's byte order, either way round;
      // AF_INET6 is 10, 24, 28 or 30 depending on that machine's system.
      {DLT_NULL, joined({2, 0, 0, 0}, ipv4), 10, {{v4, 10 - 4 + 14}}},
      {DLT_NULL, joined({0, 0, 0, 2}, ipv4), 10, {{v4, 10 - 4 + 14}}},
      {DLT_NULL, joined({10, 0, 0, 0}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_NULL, joined({0, 0, 0, 24}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_NULL, joined({28, 0, 0, 0}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_NULL, joined({30, 0, 0, 0}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_NULL, joined({17, 0, 0, 0}, ipv4), 10, {}},
      {DLT_NULL, {2, 0, 0}, 3, {}},
      // DLT_LOOP always holds it in network byte order.
      {DLT_LOOP, joined({0, 0, 0, 30}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_LOOP, joined({2, 0, 0, 0}, ipv4), 10, {}},
      {DLT_IEEE802_11_RADIO, ipv4, 6, {}},
  };
  for (std::size_t index = 0; index < std::size(cases); ++index) {
    const auto& [linkType, captured, wireLength, expected] = cases[index];
    EXPECT_EQ(isSupportedLinkType(linkType), linkType != DLT_IEEE802_11_RADIO) << index;
    const std::optional<EthernetFrame> converted = toEthernet(linkType, captured, wireLength);
    Converted got;
    if (converted) {
      const Frame frame = converted->frame();
      got = {joined(Bytes(frame.head.begin(), frame.head.end()),
                    Bytes(frame.body.begin(), frame.body.end())),
             frame.wireLength};
      EXPECT_EQ(frame.head.empty(), linkType == DLT_EN10MB) << "Ethernet frames are not copied";
    }
    EXPECT_EQ(got, expected) << "case " << index;
  }
}

}  // namespace
}  // namespace netsiphon
