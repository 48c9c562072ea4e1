// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/nodes/FlowIndex.h"

#include <algorithm>

namespace wq {

const FlowIndex::Entry* FlowIndex::find(const FlowKey& key) const {
  if (entries_.empty()) {
    return nullptr;
  }
  const std::size_t hash = FlowKeyHash{}(key);
  const std::size_t mask = entries_.size() - 1;
  for (std::size_t i = home(hash);; i = (i + 1) & mask) {
    const Entry& entry = entries_[i];
    if (entry.first == kNone) {
      return nullptr;
    }
    if (entry.hash == hash && nodes_[entry.first]->flowKey() == key) {
      return &entry;
    }
  }
}

FlowIndex::Entry* FlowIndex::find(const FlowKey& key) {
  return const_cast<Entry*>(static_cast<const FlowIndex*>(this)->find(key));
}

FlowIndex::Entry* FlowIndex::findHolding(const FlowKey& key, std::uint32_t slot) {
  if (entries_.empty()) {
    return nullptr;
  }
  const std::size_t hash = FlowKeyHash{}(key);
  const std::size_t mask = entries_.size() - 1;
  for (std::size_t i = home(hash);; i = (i + 1) & mask) {
    Entry& entry = entries_[i];
    if (entry.first == kNone) {
      return nullptr;
    }
    if (entry.hash == hash &&
        (entry.first == slot ||
         (entry.more != kNone &&
          std::binary_search(more_[entry.more].begin(), more_[entry.more].end(), slot)))) {
      return &entry;
    }
  }
}

void FlowIndex::add(const FlowKey& key, std::uint32_t slot) {
  if (Entry* entry = find(key)) {
    if (entry->more == kNone) {
      if (freeMore_.empty()) {
        entry->more = static_cast<std::uint32_t>(more_.size());
        more_.emplace_back();
      } else {
        entry->more = freeMore_.back();
        freeMore_.pop_back();
      }
    }
    more_[entry->more].push_back(slot);
    return;
  }
  if (2 * (used_ + 1) > entries_.size()) {
    grow();
  }
  const std::size_t hash = FlowKeyHash{}(key);
  const std::size_t mask = entries_.size() - 1;
  std::size_t i = home(hash);
  while (entries_[i].first != kNone) {
    i = (i + 1) & mask;
  }
  entries_[i] = Entry{hash, slot, kNone};
  ++used_;
}

void FlowIndex::removeSlot(Entry& entry, std::uint32_t slot) {
  if (entry.more == kNone) {
    erase(entry);
    return;
  }
  std::vector<std::uint32_t>& more = more_[entry.more];
  if (entry.first == slot) {
    entry.first = more.front();
    more.erase(more.begin());
  } else {
    more.erase(std::lower_bound(more.begin(), more.end(), slot));
  }
  if (more.empty()) {
    more.shrink_to_fit();
    freeMore_.push_back(entry.more);
    entry.more = kNone;
  }
}

void FlowIndex::remove(const FlowKey& key, std::uint32_t slot) {
  if (Entry* entry = findHolding(key, slot)) {
    removeSlot(*entry, slot);
  }
}

void FlowIndex::move(const FlowKey& key, std::uint32_t from, std::uint32_t to) {
  Entry* entry = findHolding(key, from);
  if (entry == nullptr) {
    return;
  }
  if (entry->more == kNone) {
    entry->first = to;  // the flow's only node
    return;
  }
  removeSlot(*entry, from);
  add(key, to);
}

std::vector<std::uint32_t> FlowIndex::takeAll(const FlowKey& key) {
  std::vector<std::uint32_t> slots;
  Entry* entry = find(key);
  if (entry == nullptr) {
    return slots;
  }
  slots.push_back(entry->first);
  if (entry->more != kNone) {
    std::vector<std::uint32_t>& more = more_[entry->more];
    slots.insert(slots.end(), more.begin(), more.end());
    more.clear();
    more.shrink_to_fit();
    freeMore_.push_back(entry->more);
    entry->more = kNone;
  }
  erase(*entry);
  return slots;
}

void FlowIndex::erase(Entry& entry) {
  // Backward-shift deletion: pull later entries of the probe run into the hole, so that lookups
  // never stop early at it.
  const std::size_t mask = entries_.size() - 1;
  std::size_t hole = static_cast<std::size_t>(&entry - entries_.data());
  for (std::size_t i = (hole + 1) & mask; entries_[i].first != kNone; i = (i + 1) & mask) {
    const std::size_t wanted = home(entries_[i].hash);
    if (((i - wanted) & mask) >= ((i - hole) & mask)) {
      entries_[hole] = entries_[i];
      hole = i;
    }
  }
  entries_[hole] = Entry{};
  --used_;
}

void FlowIndex::grow() {
  std::vector<Entry> old = std::move(entries_);
  entries_.assign(std::max<std::size_t>(16, old.size() * 2), Entry{});
  const std::size_t mask = entries_.size() - 1;
  for (const Entry& entry : old) {
    if (entry.first == kNone) {
      continue;
    }
    std::size_t i = home(entry.hash);
    while (entries_[i].first != kNone) {
      i = (i + 1) & mask;
    }
    entries_[i] = entry;
  }
}

void FlowIndex::renumber(const std::vector<std::uint32_t>& newSlotOf) {
  for (Entry& entry : entries_) {
    if (entry.first == kNone) {
      continue;
    }
    entry.first = newSlotOf[entry.first];
    if (entry.more != kNone) {
      for (std::uint32_t& slot : more_[entry.more]) {
        slot = newSlotOf[slot];
      }
    }
  }
}

void FlowIndex::clear() {
  entries_.clear();
  used_ = 0;
  more_.clear();
  freeMore_.clear();
}

}  // namespace wq
