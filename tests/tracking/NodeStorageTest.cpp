// SPDX-License-Identifier: GPL-3.0-or-later
// The nodes' storage: the node record, whose payload is bounded by the buffer fixed when it was
// made and which gives spare room back; the pool its memory comes from, whose blocks are distinct,
// aligned and reused from whatever thread they are freed on; and the node list, which must keep
// the order and flow matches that a plain vector would give.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <thread>

#include "tests/tracking/ControllerRig.h"
#include "tracking/nodes/NodeList.h"
#include "tracking/nodes/NodePool.h"

namespace wq::testing {
namespace {

const std::uint8_t* bytes(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}
std::vector<PayloadGap> gapsOf(const WQMConnection& node) {
  return {node.gaps().begin(), node.gaps().end()};
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
  EXPECT_EQ(gapsOf(node), (std::vector<PayloadGap>{{2, 3}, {3, 3}}));
  EXPECT_EQ(node.byteCount(), 10u);
  node.setPacketData(bytes("ab"), 2, 20);
  EXPECT_EQ(gapsOf(node), (std::vector<PayloadGap>{{2, 8}}));
  EXPECT_EQ(node.byteCount(), 10u);

  WQMConnection none(kStartTime, -1);  // a size below 1 holds nothing
  none.setPacketData(bytes("x"), 1, 1);
  EXPECT_EQ(none.byteCount(), 0u);
}

TEST(WQMConnection, SpareRoomGoesBackWithoutTouchingThePayload) {
  // A payload that grows holds spare room; once it is given back, the bytes are the same and
  // the payload can still grow, up to the buffer and no further.
  WQMConnection node(kStartTime, 5000);
  const std::string first(300, 'a'), second(400, 'b'), rest(6000, 'z');
  node.augmentPacketData(bytes(first), 300);   // room for exactly these
  node.augmentPacketData(bytes(second), 400);  // room doubled
  node.releaseSpareRoom();
  node.releaseSpareRoom();  // nothing left to give back
  EXPECT_EQ(payloadOf(node), first + second);
  node.augmentPacketData(bytes(rest), 6000);
  EXPECT_EQ(payloadOf(node), first + second + rest.substr(0, 4300));
  // All room given back, then taken again.
  node.setPacketData(bytes(""), 0);
  node.releaseSpareRoom();
  node.augmentPacketData(bytes("ab"), 2);
  EXPECT_EQ(payloadOf(node), "ab");
}

TEST(NodePool, BlocksAreDistinctAlignedAndReusedAcrossSlabsAndThreads) {
  constexpr std::size_t kSize = 56;
  constexpr int kBlocks = 50000;  // more than one slab holds
  NodePool pool(kSize, 8);
  std::vector<void*> blocks;
  std::vector<std::uintptr_t> addresses;
  for (int i = 0; i < kBlocks; ++i) {
    blocks.push_back(pool.allocate());
    addresses.push_back(reinterpret_cast<std::uintptr_t>(blocks.back()));
    ASSERT_EQ(addresses.back() % 8, 0u);
  }
  // No block overlaps another.
  std::ranges::sort(addresses);
  for (std::size_t i = 1; i < addresses.size(); ++i) {
    ASSERT_GE(addresses[i] - addresses[i - 1], kSize);
  }
  // Half are freed on another thread; as many new ones come back from exactly those.
  const std::set<void*> freed(blocks.begin(), blocks.begin() + kBlocks / 2);
  std::thread([&] {
    for (void* block : freed) {
      pool.release(block);
    }
  }).join();
  pool.release(nullptr);
  std::set<void*> reused;
  for (int i = 0; i < kBlocks / 2; ++i) {
    reused.insert(pool.allocate());
  }
  EXPECT_EQ(reused, freed);
  for (void* block : blocks) {
    pool.release(block);
  }
}

// The list must keep the order, and the answers about a flow's highest index, of any node and of
// one that a test accepts, that a plain vector with linear scans gives.
TEST(NodeList, AgreesWithALinearListUnderRandomOperations) {
  NodeList list;
  std::vector<std::pair<FlowKey, int>> reference;  // flow and an identity
  std::mt19937 random(7);
  int nextId = 0;
  const auto idOf = [](const WQMConnection& node) {
    return static_cast<int>(node.initialSequence());
  };
  const auto odd = [&](const WQMConnection& node) { return idOf(node) % 2 == 1; };
  for (int step = 0; step < 20000; ++step) {
    FlowKey key;
    key.sport = static_cast<std::uint16_t>(random() % 15);
    const auto lastOfKey = std::find_if(reference.rbegin(), reference.rend(),
                                        [&](const auto& entry) { return entry.first == key; });
    const auto linear =
        lastOfKey == reference.rend() ? reference.end() : std::prev(lastOfKey.base());
    const auto match = list.lastMatchWhere(key, [](const WQMConnection&) { return true; });
    ASSERT_EQ(match.has_value(), linear != reference.end());
    if (match) {
      ASSERT_EQ(idOf(list.node(*match)), linear->second);  // the highest index
    }
    const auto lastOdd = std::find_if(reference.rbegin(), reference.rend(), [&](const auto& entry) {
      return entry.first == key && entry.second % 2 == 1;
    });
    const auto oddMatch = list.lastMatchWhere(key, odd);
    ASSERT_EQ(oddMatch.has_value(), lastOdd != reference.rend());
    if (oddMatch) {
      ASSERT_EQ(idOf(list.node(*oddMatch)), lastOdd->second);
    }
    switch (random() % 6) {
      case 0:
      case 1: {
        auto node = std::make_unique<WQMConnection>(kStartTime, 1);
        node->setInitialSequence(static_cast<std::uint32_t>(nextId));
        node->setsport(key.sport);
        list.append(std::move(node));
        reference.emplace_back(key, nextId++);
        break;
      }
      case 2:
        if (match) {
          list.moveToEnd(*match);
          std::rotate(linear, linear + 1, reference.end());
        }
        break;
      case 3:
        if (!reference.empty()) {
          const std::size_t index = random() % reference.size();
          ASSERT_EQ(idOf(*list.removeAt(index)), reference[index].second);
          reference.erase(reference.begin() + static_cast<long>(index));
        }
        break;
      case 4: {
        const auto removed = list.removeAllMatching(key);
        const auto kept = std::remove_if(reference.begin(), reference.end(),
                                         [&](const auto& entry) { return entry.first == key; });
        ASSERT_EQ(removed.size(), static_cast<std::size_t>(reference.end() - kept));
        reference.erase(kept, reference.end());
        break;
      }
      default: {
        const int divisor = 2 + static_cast<int>(random() % 30);
        const auto fails = [divisor](int id) { return id % divisor == 0; };
        list.removeIf([&](const WQMConnection& node) { return fails(idOf(node)); });
        std::erase_if(reference, [&](const auto& entry) { return fails(entry.second); });
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

}  // namespace
}  // namespace wq::testing
