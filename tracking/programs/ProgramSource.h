// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <vector>

#include "tracking/programs/ProgramFacts.h"

namespace wq {

// Where lookups go: a thread that looks programs up (ProgramLookup), or a test's stand-in.
class ProgramSource {
 public:
  virtual ~ProgramSource() = default;
  // Asks for the programs behind a flow's ends; never waits for the answer.
  virtual void ask(const ProgramQuery& query) = 0;
  // The answers that have come since the last call.
  virtual std::vector<ProgramAnswer> takeAnswers() = 0;
  // Waits at most `patience` until every query asked so far is answered; true when all were.
  virtual bool settle(std::chrono::milliseconds patience) = 0;
};

}  // namespace wq
