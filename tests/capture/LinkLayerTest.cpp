#include "capture/LinkLayer.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

#include <vector>

namespace netsiphon {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes concatenated(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The frame as the chunk assembler would write it: head, then body.
Bytes bytesOf(const EthernetFrame& converted) {
  const Frame frame = converted.frame();
  return concatenated(Bytes(frame.head.begin(), frame.head.end()),
                      Bytes(frame.body.begin(), frame.body.end()));
}

Bytes ethernetHeaderWith(std::uint16_t etherType) {
  Bytes header(kEthernetHeaderLength, 0);
  header[12] = static_cast<std::uint8_t>(etherType >> 8);
  header[13] = static_cast<std::uint8_t>(etherType);
  return header;
}

const Bytes kIpv4Packet = {0x45, 0x00, 0x00, 0x1c, 0xAA, 0xBB};
const Bytes kIpv6Packet = {0x60, 0x00, 0x00, 0x00, 0xCC};

// Expects the conversion to put an Ethernet header with `etherType` before `payload`.
void expectRewrapped(int linkType, const Bytes& captured, std::uint32_t wireLength,
                     std::uint16_t etherType, const Bytes& payload,
                     std::uint32_t expectedWireLength) {
  const std::optional<EthernetFrame> converted = toEthernet(linkType, captured, wireLength);
  ASSERT_TRUE(converted.has_value());
  EXPECT_EQ(bytesOf(*converted), concatenated(ethernetHeaderWith(etherType), payload));
  EXPECT_EQ(converted->frame().wireLength, expectedWireLength);
}

TEST(LinkLayer, PassesEthernetFramesThroughUnchanged) {
  const Bytes frame = concatenated(ethernetHeaderWith(kEtherTypeIpv4), kIpv4Packet);
  const std::optional<EthernetFrame> converted = toEthernet(DLT_EN10MB, frame, 1500);
  ASSERT_TRUE(converted.has_value());
  EXPECT_TRUE(converted->frame().head.empty());
  EXPECT_EQ(bytesOf(*converted), frame);
  EXPECT_EQ(converted->frame().wireLength, 1500u);
}

TEST(LinkLayer, TakesTheEtherTypeFromLinuxCookedHeaders) {
  // Version 1: packet type, address type, address length, 8 address bytes, protocol.
  const Bytes sll = {0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x86, 0xDD};
  expectRewrapped(DLT_LINUX_SLL, concatenated(sll, kIpv6Packet), 100, kEtherTypeIpv6, kIpv6Packet,
                  100 - 16 + 14);
  // Version 2: protocol, reserved, interface index, address type, packet type, address.
  const Bytes sll2 = {0x08, 0x00, 0, 0, 0, 0, 0, 3, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  expectRewrapped(DLT_LINUX_SLL2, concatenated(sll2, kIpv4Packet), 100, kEtherTypeIpv4, kIpv4Packet,
                  100 - 20 + 14);
  // A header and nothing after it still names its protocol.
  expectRewrapped(DLT_LINUX_SLL, sll, 16, kEtherTypeIpv6, {}, 14);
}

TEST(LinkLayer, TakesTheEtherTypeOfRawPacketsFromTheIpVersion) {
  for (const int linkType : {DLT_RAW, DLT_IPV4, DLT_IPV6}) {
    expectRewrapped(linkType, kIpv4Packet, 28, kEtherTypeIpv4, kIpv4Packet, 28 + 14);
    expectRewrapped(linkType, kIpv6Packet, 48, kEtherTypeIpv6, kIpv6Packet, 48 + 14);
    EXPECT_FALSE(toEthernet(linkType, Bytes{0x50, 0}, 2)) << "IP version 5";
    EXPECT_FALSE(toEthernet(linkType, Bytes{}, 0)) << "no bytes";
  }
}

TEST(LinkLayer, TakesTheEtherTypeOfLoopbackFramesFromTheAddressFamily) {
  // DLT_NULL holds the family in the capturing machine's byte order, either way round.
  expectRewrapped(DLT_NULL, concatenated({2, 0, 0, 0}, kIpv4Packet), 10, kEtherTypeIpv4,
                  kIpv4Packet, 10 - 4 + 14);
  expectRewrapped(DLT_NULL, concatenated({0, 0, 0, 2}, kIpv4Packet), 10, kEtherTypeIpv4,
                  kIpv4Packet, 10 - 4 + 14);
  for (const std::uint8_t inet6 : {10, 24, 28, 30}) {
    expectRewrapped(DLT_NULL, concatenated({inet6, 0, 0, 0}, kIpv6Packet), 9, kEtherTypeIpv6,
                    kIpv6Packet, 9 - 4 + 14);
  }
  // DLT_LOOP always holds it in network byte order.
  expectRewrapped(DLT_LOOP, concatenated({0, 0, 0, 30}, kIpv6Packet), 9, kEtherTypeIpv6,
                  kIpv6Packet, 9 - 4 + 14);
  EXPECT_FALSE(toEthernet(DLT_LOOP, concatenated({2, 0, 0, 0}, kIpv4Packet), 10));
  EXPECT_FALSE(toEthernet(DLT_NULL, concatenated({17, 0, 0, 0}, kIpv4Packet), 10)) << "AF 17";
}

TEST(LinkLayer, SkipsFramesCutShortInTheirLinkHeader) {
  EXPECT_FALSE(toEthernet(DLT_LINUX_SLL, Bytes(15, 0), 15));
  EXPECT_FALSE(toEthernet(DLT_LINUX_SLL2, Bytes(19, 0), 19));
  EXPECT_FALSE(toEthernet(DLT_NULL, Bytes{2, 0, 0}, 3));
  EXPECT_FALSE(toEthernet(DLT_LOOP, Bytes{}, 0));
}

TEST(LinkLayer, KeepsWireLengthsInRangeWhenTheyDisagreeWithTheHeader) {
  const Bytes sll = {0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x08, 0x00};
  // A wire length shorter than the link header itself leaves only the new Ethernet header.
  expectRewrapped(DLT_LINUX_SLL, sll, 4, kEtherTypeIpv4, {}, 14);
  // Adding the Ethernet header to the largest wire length must not wrap around.
  expectRewrapped(DLT_RAW, kIpv4Packet, 0xFFFFFFFF, kEtherTypeIpv4, kIpv4Packet, 0xFFFFFFFF);
}

TEST(LinkLayer, KnowsWhichLinkTypesItCanConvert) {
  for (const int linkType : {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_IPV4, DLT_IPV6,
                             DLT_NULL, DLT_LOOP}) {
    EXPECT_TRUE(isSupportedLinkType(linkType)) << linkType;
  }
  EXPECT_FALSE(isSupportedLinkType(DLT_IEEE802_11_RADIO));
  EXPECT_FALSE(toEthernet(DLT_IEEE802_11_RADIO, kIpv4Packet, 6));
}

}  // namespace
}  // namespace netsiphon
