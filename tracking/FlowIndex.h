#pragma once
// From each flow to the slots of its nodes in the node list, in ascending order. An open-addressing
// table with the first slot kept inline: most flows have one node, and those cost no allocation.

#include <cstdint>
#include <optional>
#include <vector>

#include "tracking/FlowKey.h"

namespace wq {

class FlowIndex {
 public:
  std::optional<std::uint32_t> lowestSlot(const FlowKey& key) const;
  // `slot` must be greater than every slot the flow has.
  void add(const FlowKey& key, std::uint32_t slot);
  void remove(const FlowKey& key, std::uint32_t slot);
  // Removes `from` and adds `to`, which is greater than every slot the flow has.
  void move(const FlowKey& key, std::uint32_t from, std::uint32_t to);
  // Removes the flow and hands back its slots.
  std::vector<std::uint32_t> takeAll(const FlowKey& key);
  // Gives every slot s the number newSlotOf[s]; the order of slots must not change.
  void renumber(const std::vector<std::uint32_t>& newSlotOf);
  void clear();

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  struct Entry {
    FlowKey key;
    std::uint32_t first = kNone;  // kNone marks an empty entry
    std::uint32_t more = kNone;   // index into more_ when the flow has further slots
  };

  std::size_t home(const FlowKey& key) const { return FlowKeyHash{}(key) & (entries_.size() - 1); }
  Entry* find(const FlowKey& key);
  const Entry* find(const FlowKey& key) const;
  void removeSlot(Entry& entry, std::uint32_t slot);
  void erase(Entry& entry);
  void grow();

  std::vector<Entry> entries_;  // size is zero or a power of two
  std::size_t used_ = 0;
  std::vector<std::vector<std::uint32_t>> more_;
  std::vector<std::uint32_t> freeMore_;
};

}  // namespace wq
