// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// From each flow to the slots of its nodes in the node list, in ascending order. An open-addressing
// table with the first slot kept inline: most flows have one node, and those cost no allocation.
// An entry holds the flow's hash, not its key: the key is read from the node in the flow's lowest
// slot, so that entries stay small (four to a cache line) whatever the address family.

#include <cstdint>
#include <optional>
#include <vector>

#include "tracking/decode/FlowKey.h"
#include "tracking/nodes/WQMConnection.h"

namespace wq {

class FlowIndex {
 public:
  // `nodes` are the list's slots. A slot named to the index holds its node whenever the index
  // compares keys: when asked for a flow's slots, and when a slot is added.
  explicit FlowIndex(const std::vector<std::unique_ptr<WQMConnection>>& nodes) : nodes_(nodes) {}

  // The highest of the flow's slots whose node `accepts`.
  template <class Accept>
  std::optional<std::uint32_t> highestSlotWhere(const FlowKey& key, Accept accepts) const {
    const Entry* entry = find(key);
    if (entry == nullptr) {
      return std::nullopt;
    }
    if (entry->more != kNone) {
      const std::vector<std::uint32_t>& more = more_[entry->more];
      for (auto slot = more.rbegin(); slot != more.rend(); ++slot) {
        if (accepts(*nodes_[*slot])) {
          return *slot;
        }
      }
    }
    return accepts(*nodes_[entry->first]) ? std::optional(entry->first) : std::nullopt;
  }
  // Calls `visit` with each of the flow's slots, in ascending order.
  template <class Visit>
  void forEachSlot(const FlowKey& key, Visit visit) const {
    const Entry* entry = find(key);
    if (entry == nullptr) {
      return;
    }
    visit(entry->first);
    if (entry->more != kNone) {
      for (const std::uint32_t slot : more_[entry->more]) {
        visit(slot);
      }
    }
  }
  // `slot` must be greater than every slot the flow has.
  void add(const FlowKey& key, std::uint32_t slot);
  // `slot` may be empty already: the flow is found by the slot, not by its node's key.
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
    std::size_t hash = 0;
    std::uint32_t first = kNone;  // kNone marks an empty entry
    std::uint32_t more = kNone;   // index into more_ when the flow has further slots
  };

  std::size_t home(std::size_t hash) const { return hash & (entries_.size() - 1); }
  Entry* find(const FlowKey& key);
  const Entry* find(const FlowKey& key) const;
  // The entry of the flow that `slot` belongs to, found without reading any node.
  Entry* findHolding(const FlowKey& key, std::uint32_t slot);
  void removeSlot(Entry& entry, std::uint32_t slot);
  void erase(Entry& entry);
  void grow();

  std::vector<Entry> entries_;  // size is zero or a power of two
  std::size_t used_ = 0;
  std::vector<std::vector<std::uint32_t>> more_;
  std::vector<std::uint32_t> freeMore_;
  const std::vector<std::unique_ptr<WQMConnection>>& nodes_;
};

}  // namespace wq
