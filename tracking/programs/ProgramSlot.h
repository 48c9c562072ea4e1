// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a node knows of the programs behind it, shared by the nodes it holds for: every node of a
// capture file shares one that says why there is nothing to know, and the nodes a flow makes while
// its lookup runs share the one that lookup fills. A node holds a single counted pointer, so that
// it grows by a word, and nodes freed on other threads may let go of it.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "tracking/programs/ProgramFacts.h"

namespace wq {

class ProgramSlot {
 public:
  enum class State : std::uint8_t {
    NotLookedUp,  // captured elsewhere, or lookups are off: `why()` says which
    LookingUp,
    Known,  // programs() holds what the lookup found
  };

  // A slot that explains why its nodes have no program: "captured from a file", say.
  static ProgramSlot* notLookedUp(std::string why) {
    return new ProgramSlot(State::NotLookedUp, std::move(why));
  }
  static ProgramSlot* lookingUp() { return new ProgramSlot(State::LookingUp, {}); }
  static ProgramSlot* known(NodePrograms programs) {
    return new ProgramSlot(State::Known, {}, std::move(programs));
  }

  State state() const { return state_; }
  const std::string& why() const { return why_; }
  const NodePrograms& programs() const { return programs_; }
  // The lookup has answered. Only the main thread fills and reads a slot.
  void fill(NodePrograms programs) {
    programs_ = std::move(programs);
    state_ = State::Known;
  }

 private:
  friend class ProgramSlotRef;
  ProgramSlot(State state, std::string why, NodePrograms programs = {})
      : state_(state), why_(std::move(why)), programs_(std::move(programs)) {}

  std::atomic<std::uint32_t> holders_{0};
  State state_;
  std::string why_;
  NodePrograms programs_;
};

// A counted hold on a slot; the last one frees it.
class ProgramSlotRef {
 public:
  ProgramSlotRef() = default;
  explicit ProgramSlotRef(ProgramSlot* slot) : slot_(slot) { hold(); }
  ProgramSlotRef(const ProgramSlotRef& other) : slot_(other.slot_) { hold(); }
  ProgramSlotRef(ProgramSlotRef&& other) noexcept : slot_(std::exchange(other.slot_, nullptr)) {}
  ProgramSlotRef& operator=(ProgramSlotRef other) noexcept {
    std::swap(slot_, other.slot_);
    return *this;
  }
  ~ProgramSlotRef() {
    if (slot_ != nullptr && slot_->holders_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete slot_;
    }
  }

  ProgramSlot* get() const { return slot_; }
  ProgramSlot* operator->() const { return slot_; }
  explicit operator bool() const { return slot_ != nullptr; }

 private:
  void hold() {
    if (slot_ != nullptr) {
      slot_->holders_.fetch_add(1, std::memory_order_relaxed);
    }
  }

  ProgramSlot* slot_ = nullptr;
};

}  // namespace wq
