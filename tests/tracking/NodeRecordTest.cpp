// The node record and the node list.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include <algorithm>
#include <random>

#include "tests/tracking/ControllerRig.h"
#include "tracking/NodeList.h"

namespace wq::testing {
namespace {

const std::uint8_t* bytes(const char* text) {
  return reinterpret_cast<const std::uint8_t*>(text);
}

TEST(WQMConnection, FreshNodeAndPayloadOperations) {
  WQMConnection node(kStartTime, 24000);
  EXPECT_EQ(node.byteCount(), 0u);
  EXPECT_EQ(node.bufferSize(), 24000u);
  EXPECT_EQ(node.saddr(), 0u);
  EXPECT_EQ(node.sport(), 0);
  EXPECT_EQ(node.protocol(), 0u);
  EXPECT_EQ(node.startHit(), node.lastHit());

  node.setPacketData(bytes("hello"), 5);
  node.augmentPacketData(bytes("abc"), 3);
  node.augmentPacketData(bytes("defg"), 4);
  node.augmentPacketData(bytes(""), 0);
  EXPECT_EQ(payloadOf(node), "helloabcdefg");

  node.setPacketData(bytes("xy"), 2);  // replaces the longer payload
  EXPECT_EQ(payloadOf(node), "xy");
  node.setByteCount(4);  // grows with zero bytes
  EXPECT_EQ(payloadOf(node), std::string("xy\0\0", 4));
  node.setPacketData(bytes(""), 0);
  EXPECT_EQ(node.byteCount(), 0u);
}

TEST(WQMConnection, CopiesAreBoundedByTheBufferFixedAtCreation) {
  WQMConnection small(kStartTime, 4);
  const std::string big(100, 'b');
  small.setPacketData(bytes(big.c_str()), 100);
  EXPECT_EQ(small.byteCount(), 4u);
  small.augmentPacketData(bytes("more"), 4);
  EXPECT_EQ(small.byteCount(), 4u);
  small.setByteCount(50);
  EXPECT_EQ(small.byteCount(), 4u);

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
  EXPECT_EQ(payloadOf(node), expected);
  const std::string rest(6000, 'z');
  node.augmentPacketData(bytes(rest.c_str()), 6000);
  EXPECT_EQ(payloadOf(node), expected + rest.substr(0, 5000 - expected.size()));

  WQMConnection empty(kStartTime, 100);
  empty.releaseSpareRoom();
  empty.setByteCount(10);
  empty.setByteCount(0);
  empty.releaseSpareRoom();
  EXPECT_EQ(empty.byteCount(), 0u);
}

TEST(WQMConnection, FlowMatchIsDirectionalAndIgnoresProtocol) {
  const std::uint8_t a[] = {10, 0, 0, 2};
  const std::uint8_t b[] = {10, 0, 0, 9};
  WQMConnection tcp(kStartTime, 10);
  WQMConnection udp(kStartTime + std::chrono::hours(1), 10);
  WQMConnection reverse(kStartTime, 10);
  tcp.setProtocol(6);
  udp.setProtocol(17);
  for (WQMConnection* node : {&tcp, &udp}) {
    node->setsaddr(a);
    node->setdaddr(b);
    node->setsport(htons(52311));
    node->setdport(htons(80));
  }
  reverse.setsaddr(b);
  reverse.setdaddr(a);
  reverse.setsport(htons(80));
  reverse.setdport(htons(52311));
  EXPECT_TRUE(tcp.isEqual(udp));
  EXPECT_FALSE(tcp.isEqual(reverse));

  MemoryLog log;
  tcp.setLastHit(kStartTime + std::chrono::seconds(7));
  EXPECT_EQ(tcp.description(log),
            "Time: 14:03:27 Hosts: 10.0.0.2, Port: 52311->10.0.0.9, Port: 80\n");
}

// The list must keep the order and "lowest index" answers a plain vector with linear scans gives.
TEST(NodeList, AgreesWithALinearListUnderRandomOperations) {
  NodeList list;
  std::vector<std::pair<FlowKey, int>> reference;  // flow and an identity
  std::mt19937 random(7);
  int nextId = 0;
  const auto makeKey = [&] {
    return FlowKey{static_cast<std::uint32_t>(random() % 5), 1,
                   static_cast<std::uint16_t>(random() % 3), 2};
  };
  const auto idOf = [](const WQMConnection& node) { return static_cast<int>(node.protocol()); };
  for (int step = 0; step < 20000; ++step) {
    const FlowKey key = makeKey();
    const auto linearIndex = [&]() -> std::optional<std::size_t> {
      for (std::size_t i = 0; i < reference.size(); ++i) {
        if (reference[i].first == key) {
          return i;
        }
      }
      return std::nullopt;
    }();
    const auto match = list.firstMatch(key);
    ASSERT_EQ(match.has_value(), linearIndex.has_value());
    if (match) {
      ASSERT_EQ(idOf(list.node(*match)), reference[*linearIndex].second);  // the lowest index
    }
    switch (random() % 5) {
      case 0:
      case 1: {
        auto node = std::make_unique<WQMConnection>(kStartTime, 1);
        node->setProtocol(static_cast<std::uint32_t>(nextId));
        node->setsport(key.sport);
        std::uint8_t addr[4];
        std::memcpy(addr, &key.saddr, 4);
        node->setsaddr(addr);
        std::memcpy(addr, &key.daddr, 4);
        node->setdaddr(addr);
        node->setdport(key.dport);
        list.append(std::move(node));
        reference.emplace_back(key, nextId++);
        break;
      }
      case 2:
        if (linearIndex) {
          ASSERT_EQ(list.firstMatch(key).has_value(), true);
          list.moveToEnd(*list.firstMatch(key));
          auto moved = reference[*linearIndex];
          reference.erase(reference.begin() + static_cast<long>(*linearIndex));
          reference.push_back(moved);
        }
        break;
      case 3:
        if (!reference.empty()) {
          const std::size_t index = random() % reference.size();
          ASSERT_EQ(idOf(*list.removeAt(index)), reference[index].second);
          reference.erase(reference.begin() + static_cast<long>(index));
        }
        break;
      default: {
        const std::size_t removed = list.removeAllMatching(key).size();
        const auto kept = std::remove_if(reference.begin(), reference.end(),
                                         [&](const auto& entry) { return entry.first == key; });
        ASSERT_EQ(removed, static_cast<std::size_t>(reference.end() - kept));
        reference.erase(kept, reference.end());
        break;
      }
    }
    ASSERT_EQ(list.size(), reference.size());
    if (!reference.empty()) {
      const std::size_t probe = random() % reference.size();
      ASSERT_EQ(idOf(list.at(probe)), reference[probe].second);
    }
  }
  std::vector<int> order;
  list.forEach([&](const WQMConnection& node) { order.push_back(idOf(node)); });
  std::vector<int> expected;
  for (const auto& entry : reference) {
    expected.push_back(entry.second);
  }
  EXPECT_EQ(order, expected);
}

TEST(NodeList, RemoveIfKeepsTheOrderOfTheRest) {
  NodeList list;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    auto node = std::make_unique<WQMConnection>(kStartTime, 1);
    node->setProtocol(i);
    node->setsport(static_cast<std::uint16_t>(i % 7));
    list.append(std::move(node));
  }
  const auto removed =
      list.removeIf([](const WQMConnection& node) { return node.protocol() % 3 != 0; });
  EXPECT_EQ(removed.size(), 2000u);
  ASSERT_EQ(list.size(), 1000u);
  for (std::size_t i = 0; i < list.size(); ++i) {
    ASSERT_EQ(list.at(i).protocol(), 3 * i);
  }
  EXPECT_EQ(list.node(*list.firstMatch(FlowKey{0, 0, 3, 0})).protocol(), 3u);  // port 3 % 7
}

}  // namespace
}  // namespace wq::testing
