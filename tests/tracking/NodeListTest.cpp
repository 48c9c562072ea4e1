// The node list: order, rows and highest-index flow matches as a plain vector would give them.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/tracking/ControllerRig.h"
#include "tracking/NodeList.h"

namespace wq::testing {
namespace {

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
