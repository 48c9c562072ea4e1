// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/programs/ProgramLookup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "tracking/PlainPlatform.h"
#include "tracking/programs/SystemSockets.h"

namespace wq {

namespace {

std::vector<ProgramQuery> distinct(std::vector<ProgramQuery> queries) {
  std::unordered_set<ProgramQuery, ProgramQueryHash> seen;
  std::erase_if(queries, [&seen](const ProgramQuery& query) { return !seen.insert(query).second; });
  return queries;
}

}  // namespace

ProgramLookup::ProgramLookup(std::unique_ptr<ProgramFinder> finder)
    : finder_(std::move(finder)), descriptor_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (descriptor_ < 0) {
    throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  thread_ = std::jthread([this](std::stop_token stop) { lookUp(stop); });
}

ProgramLookup::~ProgramLookup() {
  thread_.request_stop();
  thread_.join();
  close(descriptor_);
}

void ProgramLookup::ask(const ProgramQuery& query) {
  {
    const std::lock_guard lock(mutex_);
    waiting_.push_back(query);
    ++askedCount_;
  }
  asked_.notify_one();
}

std::vector<ProgramAnswer> ProgramLookup::takeAnswers() {
  const std::lock_guard lock(mutex_);
  std::uint64_t posted;
  // Nothing to read (EAGAIN) when no answers wait: the descriptor is empty either way after.
  [[maybe_unused]] const ssize_t drained = read(descriptor_, &posted, sizeof posted);
  return std::exchange(answers_, {});
}

bool ProgramLookup::settle(std::chrono::milliseconds patience) {
  std::unique_lock lock(mutex_);
  const std::uint64_t asked = askedCount_;
  return answered_.wait_for(lock, patience, [&] { return answeredCount_ >= asked; });
}

void ProgramLookup::lookUp(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (asked_.wait(lock, stop, [this] { return !waiting_.empty(); }) && !stop.stop_requested()) {
    const std::vector<ProgramQuery> batch = distinct(std::exchange(waiting_, {}));
    const std::uint64_t asked = askedCount_;
    lock.unlock();
    std::vector<NodePrograms> programs = finder_->find(batch, stop);
    lock.lock();
    post(batch, std::move(programs));
    answeredCount_ = asked;
    answered_.notify_all();
  }
}

void ProgramLookup::post(const std::vector<ProgramQuery>& batch,
                         std::vector<NodePrograms> programs) {
  for (std::size_t i = 0; i < batch.size(); ++i) {
    answers_.push_back({batch[i], std::move(programs[i])});
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t signalled = write(descriptor_, &one, sizeof one);
}

std::unique_ptr<ProgramLookup> ProgramLookup::forThisMachine() {
  static const SystemClock clock;
  return std::make_unique<ProgramLookup>(std::make_unique<ProgramFinder>(
      std::make_unique<SystemSockets>(), "/proc", clock, geteuid()));
}

}  // namespace wq
