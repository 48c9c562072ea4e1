// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The ordered node list. Row i of the nodes table shows node i.
//
// Nodes sit in slots in list order; a node that leaves only empties its slot, and a count of
// occupied slots (a Fenwick tree) turns a row into its slot and back in logarithmic time. So
// appending, moving a node to the end, removing by position and reading a row stay cheap with
// hundreds of thousands of nodes. A hash index from flow to the slots of its nodes answers the
// flow-match searches without a scan. Empty slots are squeezed out now and then on append.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tracking/decode/FlowKey.h"
#include "tracking/nodes/FlowIndex.h"
#include "tracking/nodes/WQMConnection.h"

namespace wq {

class NodeList {
 public:
  using NodePtr = std::unique_ptr<WQMConnection>;

  NodeList() = default;
  NodeList(const NodeList&) = delete;  // the index reads this list's own slots
  NodeList& operator=(const NodeList&) = delete;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  WQMConnection& at(std::size_t index);
  const WQMConnection& at(std::size_t index) const;
  // The newest node sits in the last slot unless that node has since left.
  WQMConnection& back() { return slots_.back() ? *slots_.back() : at(size_ - 1); }

  // Where a node sits, valid until the list next changes. The decoder works with these, since it
  // never needs a node's row.
  using Handle = std::uint32_t;

  Handle append(NodePtr node);

  // The node with the highest index among those that match `key` and that `accepts`.
  template <class Accept>
  std::optional<Handle> lastMatchWhere(const FlowKey& key, Accept accepts) const {
    return index_.highestSlotWhere(key, accepts);
  }
  // Calls `visit(node, handle)` for each node that matches `key`, in list order.
  template <class Visit>
  void forEachMatch(const FlowKey& key, Visit visit) const {
    index_.forEachSlot(key, [&](std::uint32_t slot) {
      visit(static_cast<const WQMConnection&>(*slots_[slot]), Handle{slot});
    });
  }
  WQMConnection& node(Handle handle) { return *slots_[handle]; }
  NodePtr remove(Handle handle) { return takeSlot(handle); }
  void moveToEnd(Handle handle);

  // Removes the node at `index` alone, and hands it back.
  NodePtr removeAt(std::size_t index);
  // Removes every node that matches `key`, and hands them back.
  std::vector<NodePtr> removeAllMatching(const FlowKey& key);
  // Removes every node for which `fails` holds, keeping the order of the rest; hands them back.
  template <class Predicate>
  std::vector<NodePtr> removeIf(Predicate fails) {
    std::vector<NodePtr> removed;
    std::vector<std::uint32_t> emptied;  // the slot each removed node left
    // Nodes lie all over the heap: asking for one a few slots ahead hides most of the wait for
    // memory when the list is long.
    constexpr std::size_t kAhead = 8;
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
      if (slot + kAhead < slots_.size()) {
        __builtin_prefetch(slots_[slot + kAhead].get());
      }
      if (slots_[slot] && fails(static_cast<const WQMConnection&>(*slots_[slot]))) {
        emptied.push_back(static_cast<std::uint32_t>(slot));
        removed.push_back(std::move(slots_[slot]));
      }
    }
    forgetRemoved(removed, emptied);
    return removed;
  }
  void clear();

  template <class Visit>
  void forEach(Visit visit) const {
    for (const NodePtr& node : slots_) {
      if (node) {
        visit(static_cast<const WQMConnection&>(*node));
      }
    }
  }

  // Visits the nodes in list order. `visit` may remove nodes (any of them) but must not append;
  // nodes that leave before their turn are not visited.
  template <class Visit>
  void forEach(Visit visit) {
    const std::size_t end = slots_.size();
    for (std::size_t slot = 0; slot < end; ++slot) {
      if (slots_[slot]) {
        visit(*slots_[slot]);
      }
    }
  }

 private:
  // A Fenwick tree of slot occupancy (1 occupied, 0 empty).
  class OccupancyTree {
   public:
    void pushBack(bool occupied);
    void assign(const std::vector<NodePtr>& slots);  // in linear time
    void add(std::size_t slot, int delta);
    std::size_t countBefore(std::size_t slot) const;  // occupied slots before `slot`
    std::size_t slotOfRank(std::size_t rank) const;   // the slot of the rank-th occupied one
    void clear() { tree_.clear(); }

   private:
    std::vector<std::uint32_t> tree_;  // 1-based: tree_[i - 1] covers (i - lowbit(i), i]
  };

  std::size_t slotOf(std::size_t index) const;
  NodePtr takeSlot(std::size_t slot);
  // Brings the count, occupancy and index up to date after the `removed` nodes left the
  // `emptied` slots.
  void forgetRemoved(const std::vector<NodePtr>& removed,
                     const std::vector<std::uint32_t>& emptied);
  void compactIfSparse();

  std::vector<NodePtr> slots_;
  OccupancyTree occupancy_;
  FlowIndex index_{slots_};
  std::size_t size_ = 0;
};

}  // namespace wq
