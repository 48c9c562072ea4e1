// The node list: order, rows and lowest-index flow matches as a plain vector would give them.

#include <gtest/gtest.h>

#include <cstring>

#include <algorithm>
#include <random>

#include "tests/tracking/ControllerRig.h"
#include "tracking/NodeList.h"

namespace wq::testing {
namespace {

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
