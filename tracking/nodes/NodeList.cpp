// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/nodes/NodeList.h"

#include <algorithm>
#include <bit>

namespace wq {

void NodeList::OccupancyTree::pushBack(bool occupied) {
  // Node i covers (i - lowbit(i), i]: its own slot plus the ranges already summed before it.
  const std::size_t i = tree_.size() + 1;
  const std::size_t lowBit = i & (~i + 1);
  const std::size_t covered = countBefore(i - 1) - countBefore(i - lowBit);
  tree_.push_back(static_cast<std::uint32_t>(covered) + (occupied ? 1 : 0));
}

void NodeList::OccupancyTree::assign(const std::vector<NodePtr>& slots) {
  // Each entry, once complete, is added into the one entry whose range next covers it.
  tree_.assign(slots.size(), 0);
  for (std::size_t i = 1; i <= tree_.size(); ++i) {
    tree_[i - 1] += slots[i - 1] ? 1 : 0;
    const std::size_t parent = i + (i & (~i + 1));
    if (parent <= tree_.size()) {
      tree_[parent - 1] += tree_[i - 1];
    }
  }
}

void NodeList::OccupancyTree::add(std::size_t slot, int delta) {
  for (std::size_t i = slot + 1; i <= tree_.size(); i += i & (~i + 1)) {
    tree_[i - 1] += static_cast<std::uint32_t>(delta);
  }
}

std::size_t NodeList::OccupancyTree::countBefore(std::size_t slot) const {
  std::size_t count = 0;
  for (std::size_t i = slot; i > 0; i -= i & (~i + 1)) {
    count += tree_[i - 1];
  }
  return count;
}

std::size_t NodeList::OccupancyTree::slotOfRank(std::size_t rank) const {
  std::size_t position = 0;
  std::size_t remaining = rank + 1;
  for (std::size_t step = std::bit_floor(tree_.size()); step > 0; step >>= 1) {
    if (position + step <= tree_.size() && tree_[position + step - 1] < remaining) {
      position += step;
      remaining -= tree_[position - 1];
    }
  }
  return position;
}

std::size_t NodeList::slotOf(std::size_t index) const {
  return occupancy_.slotOfRank(index);
}

WQMConnection& NodeList::at(std::size_t index) {
  return *slots_[slotOf(index)];
}

const WQMConnection& NodeList::at(std::size_t index) const {
  return *slots_[slotOf(index)];
}

NodeList::Handle NodeList::append(NodePtr node) {
  const auto slot = static_cast<std::uint32_t>(slots_.size());
  index_.add(node->flowKey(), slot);
  slots_.push_back(std::move(node));
  occupancy_.pushBack(true);
  ++size_;
  compactIfSparse();
  return static_cast<Handle>(slots_.size() - 1);
}

NodeList::NodePtr NodeList::takeSlot(std::size_t slot) {
  NodePtr node = std::move(slots_[slot]);
  occupancy_.add(slot, -1);
  --size_;
  index_.remove(node->flowKey(), static_cast<std::uint32_t>(slot));
  return node;
}

NodeList::NodePtr NodeList::removeAt(std::size_t index) {
  return takeSlot(slotOf(index));
}

void NodeList::forgetRemoved(const std::vector<NodePtr>& removed,
                             const std::vector<std::uint32_t>& emptied) {
  if (emptied.empty()) {
    return;
  }
  size_ -= emptied.size();
  // Each removal from the index is a lookup at a random place in a large table: when most nodes
  // leave, a fresh index and occupancy count of the few that stay are cheaper.
  if (emptied.size() > size_) {
    occupancy_.assign(slots_);
    index_.clear();
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
      if (slots_[slot]) {
        index_.add(slots_[slot]->flowKey(), static_cast<std::uint32_t>(slot));
      }
    }
    return;
  }
  for (std::size_t i = 0; i < emptied.size(); ++i) {
    occupancy_.add(emptied[i], -1);
    index_.remove(removed[i]->flowKey(), emptied[i]);
  }
}

std::vector<NodeList::NodePtr> NodeList::removeAllMatching(const FlowKey& key) {
  std::vector<NodePtr> removed;
  for (std::uint32_t slot : index_.takeAll(key)) {
    removed.push_back(std::move(slots_[slot]));
    occupancy_.add(slot, -1);
  }
  size_ -= removed.size();
  return removed;
}

void NodeList::moveToEnd(Handle from) {
  const auto to = static_cast<std::uint32_t>(slots_.size());
  index_.move(slots_[from]->flowKey(), from, to);
  slots_.push_back(std::move(slots_[from]));
  occupancy_.add(from, -1);
  occupancy_.pushBack(true);
  compactIfSparse();
}

void NodeList::clear() {
  slots_.clear();
  occupancy_.clear();
  index_.clear();
  size_ = 0;
}

void NodeList::compactIfSparse() {
  constexpr std::size_t kSlack = 1024;
  if (slots_.size() < 2 * size_ + kSlack) {
    return;
  }
  std::vector<std::uint32_t> newSlot(slots_.size());
  std::size_t next = 0;
  for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot]) {
      newSlot[slot] = static_cast<std::uint32_t>(next);
      slots_[next++] = std::move(slots_[slot]);
    }
  }
  slots_.resize(next);
  occupancy_.assign(slots_);
  // Squeezing keeps the order, so each flow's slots stay ascending.
  index_.renumber(newSlot);
}

}  // namespace wq
