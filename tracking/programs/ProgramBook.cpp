// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/programs/ProgramBook.h"

#include <utility>

#include "tracking/decode/PacketDecoder.h"

namespace wq {

void ProgramBook::lookUpThrough(ProgramSource& lookup) {
  lookup_ = &lookup;
  lookingUp_ = true;
  notLookedUp_ = {};
  if (!unknown_) {
    unknown_ = ProgramSlotRef(ProgramSlot::known({}));
  }
}

void ProgramBook::notLookedUp(std::string why) {
  lookingUp_ = false;
  notLookedUp_ = ProgramSlotRef(ProgramSlot::notLookedUp(std::move(why)));
}

void ProgramBook::letGoOfLookup() {
  takeAnswers();
  for (auto& [query, slot] : waiting_) {
    slot->fill({});
  }
  waiting_.clear();
  lookup_ = nullptr;
  lookingUp_ = false;
}

void ProgramBook::nodeAdded(WQMConnection& node) {
  if (!lookingUp_) {
    node.setPrograms(notLookedUp_);
    return;
  }
  // Only TCP and UDP sockets tell their ends.
  if (node.protocol() != ipproto::TCP && node.protocol() != ipproto::UDP) {
    node.setPrograms(unknown_);
    return;
  }
  const ProgramQuery query{static_cast<std::uint8_t>(node.protocol()), node.flowKey().ends()};
  if (const auto found = waiting_.find(query); found != waiting_.end()) {
    node.setPrograms(found->second);
    return;
  }
  if (waiting_.size() >= kMostWaiting) {
    node.setPrograms(unknown_);
    return;
  }
  ProgramSlotRef slot(ProgramSlot::lookingUp());
  waiting_.emplace(query, slot);
  node.setPrograms(std::move(slot));
  lookup_->ask(query);
}

bool ProgramBook::takeAnswers() {
  if (lookup_ == nullptr) {
    return false;
  }
  bool filled = false;
  for (ProgramAnswer& answer : lookup_->takeAnswers()) {
    const auto found = waiting_.find(answer.query);
    if (found != waiting_.end()) {
      found->second->fill(std::move(answer.programs));
      waiting_.erase(found);
      filled = true;
    }
  }
  return filled;
}

void ProgramBook::settle(std::chrono::milliseconds patience) {
  if (lookup_ != nullptr && !waiting_.empty()) {
    lookup_->settle(patience);
  }
}

}  // namespace wq
