// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Program lookups on a thread of their own, so that reading /proc never holds up the caller: the
// queries asked while a lookup runs are looked up together as soon as it ends, and the answers
// wait behind a descriptor that the caller's event loop watches.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tracking/programs/ProgramFacts.h"
#include "tracking/programs/ProgramFinder.h"
#include "tracking/programs/ProgramSource.h"

namespace wq {

class ProgramLookup : public ProgramSource {
 public:
  explicit ProgramLookup(std::unique_ptr<ProgramFinder> finder);
  // Does not wait for the lookup under way to finish: it stops at its next step.
  ~ProgramLookup() override;
  ProgramLookup(const ProgramLookup&) = delete;
  ProgramLookup& operator=(const ProgramLookup&) = delete;

  // Queues the query for the lookup thread and returns at once.
  void ask(const ProgramQuery& query) override;
  // The answers ready so far, once each; the descriptor reads as empty again.
  std::vector<ProgramAnswer> takeAnswers() override;
  // Readable while answers wait to be taken.
  int answersDescriptor() const { return descriptor_; }
  // Waits until every query asked so far is answered, or `patience` runs out; whether all were.
  bool settle(std::chrono::milliseconds patience) override;

  // Lookups of this machine's sockets and processes, as the user running this.
  static std::unique_ptr<ProgramLookup> forThisMachine();

 private:
  void lookUp(std::stop_token stop);
  void post(const std::vector<ProgramQuery>& batch, std::vector<NodePrograms> programs);

  std::unique_ptr<ProgramFinder> finder_;
  int descriptor_;
  std::mutex mutex_;
  std::condition_variable_any asked_;
  std::condition_variable answered_;
  std::vector<ProgramQuery> waiting_;
  std::vector<ProgramAnswer> answers_;
  std::uint64_t askedCount_ = 0;
  std::uint64_t answeredCount_ = 0;  // of the queries asked, how many have been answered
  std::jthread thread_;              // last: starts once the rest is ready
};

}  // namespace wq
