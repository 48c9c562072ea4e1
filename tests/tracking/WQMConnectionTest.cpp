// The node record: its payload, bounded by the buffer fixed when it was made, the spare room it
// gives back.

#include <gtest/gtest.h>

#include "tests/tracking/ControllerRig.h"

namespace wq::testing {
namespace {

const std::uint8_t* bytes(const char* text) {
  return reinterpret_cast<const std::uint8_t*>(text);
}

TEST(WQMConnection, PayloadAndItsGapsAreBoundedByTheBufferFixedAtCreation) {
  WQMConnection node(kStartTime, 10);
  node.setPacketData(bytes("hello"), 5);
  node.augmentPacketData(bytes("abc"), 3);
  node.augmentPacketData(bytes(""), 0);
  node.augmentPacketData(bytes("defg"), 4);
  EXPECT_EQ(payloadOf(node), "helloabcde");
  // Bytes that were not captured count against the buffer; gaps in a row make one.
  node.setPacketData(bytes("xy"), 2, 3);  // replaces the longer payload
  node.augmentPacketData(bytes("z"), 1, 1);
  node.augmentPacketData(bytes(""), 0, 2);
  node.augmentPacketData(bytes("abc"), 3, 5);
  EXPECT_EQ(payloadOf(node), "xyza");
  EXPECT_EQ(std::vector(node.gaps().begin(), node.gaps().end()),
            (std::vector<PayloadGap>{{2, 3}, {3, 3}}));
  EXPECT_EQ(node.byteCount(), 10u);
  node.setPacketData(bytes("ab"), 2, 20);
  EXPECT_EQ(std::vector(node.gaps().begin(), node.gaps().end()), (std::vector<PayloadGap>{{2, 8}}));
  EXPECT_EQ(node.byteCount(), 10u);

  for (int size : {0, -1, -24000}) {
    WQMConnection empty(kStartTime, size);
    EXPECT_EQ(empty.bufferSize(), 0u);
    empty.setPacketData(bytes("x"), 1);
    empty.augmentPacketData(bytes("x"), 1);
    EXPECT_EQ(empty.byteCount(), 0u);
  }
}

TEST(WQMConnection, SpareRoomGoesBackWithoutTouchingThePayload) {
  // A payload that grows holds spare room; once it is given back, the bytes are the same and
  // the payload can still grow, up to the buffer and no further.
  WQMConnection node(kStartTime, 5000);
  std::string expected;
  for (int segment = 0; segment < 7; ++segment) {
    const std::string piece(100 + segment, static_cast<char>('a' + segment));
    node.augmentPacketData(bytes(piece.c_str()), static_cast<std::uint32_t>(piece.size()));
    expected += piece;
    if (segment % 3 == 2) {
      node.releaseSpareRoom();
      EXPECT_EQ(payloadOf(node), expected);
    }
  }
  node.releaseSpareRoom();
  node.releaseSpareRoom();  // nothing left to give back
  const std::string rest(6000, 'z');
  node.augmentPacketData(bytes(rest.c_str()), 6000);
  EXPECT_EQ(payloadOf(node), expected + rest.substr(0, 5000 - expected.size()));

  WQMConnection empty(kStartTime, 100);
  empty.releaseSpareRoom();
  empty.setPacketData(bytes("0123456789"), 10);
  empty.setPacketData(bytes(""), 0);
  empty.releaseSpareRoom();
  EXPECT_EQ(empty.byteCount(), 0u);
}

}  // namespace
}  // namespace wq::testing
