// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Gives each new node what can be known of the programs behind it: for capture on this machine,
// a slot that a lookup fills; otherwise one that says why there is none. Lookups are asked on the
// capture path and answered on another thread: the nodes of one flow that come while its lookup
// runs share it, and a flood of flows that outruns the lookups makes nodes whose programs are
// unknown, never a wait.

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "tracking/nodes/WQMConnection.h"
#include "tracking/programs/ProgramFacts.h"
#include "tracking/programs/ProgramSlot.h"
#include "tracking/programs/ProgramSource.h"

namespace wq {

class ProgramBook {
 public:
  // At most this many flows wait for their lookups; the nodes of others are given up as unknown.
  static constexpr std::size_t kMostWaiting = 4096;

  // Nodes made from now on were captured on this machine: their programs are asked of `lookup`,
  // which answers until it is let go.
  void lookUpThrough(ProgramSource& lookup);
  // Nodes made from now on are not looked up, for the reason `why` ("captured from a file"); the
  // lookup still answers those under way.
  void notLookedUp(std::string why);
  // The lookup is going away: nodes still waiting for it are left unknown.
  void letGoOfLookup();

  // Gives a new node its slot, and asks for its programs when there is something to ask.
  void nodeAdded(WQMConnection& node);
  // Fills the slots that have been answered; true when any was.
  bool takeAnswers();
  // Waits at most `patience` for the lookups under way to answer.
  void settle(std::chrono::milliseconds patience);

 private:
  ProgramSource* lookup_ = nullptr;
  bool lookingUp_ = false;      // whether new nodes are looked up
  ProgramSlotRef notLookedUp_;  // while nodes are not looked up
  ProgramSlotRef unknown_;      // known: no program can be named
  std::unordered_map<ProgramQuery, ProgramSlotRef, ProgramQueryHash> waiting_;
};

}  // namespace wq
