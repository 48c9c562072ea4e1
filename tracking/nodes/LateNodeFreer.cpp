// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/nodes/LateNodeFreer.h"

namespace wq {

LateNodeFreer::~LateNodeFreer() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (worker_.joinable()) {
    worker_.join();
  }
}

void LateNodeFreer::freeLater(std::vector<NodeList::NodePtr> nodes) {
  {
    const std::lock_guard lock(mutex_);
    waiting_.push_back({std::chrono::steady_clock::now() + delay_, std::move(nodes)});
    if (!worker_.joinable()) {
      worker_ = std::thread(&LateNodeFreer::run, this);
    }
  }
  wake_.notify_one();
}

void LateNodeFreer::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (waiting_.empty()) {
      if (stopping_) {
        return;
      }
      wake_.wait(lock);
      continue;
    }
    // When stopping, nothing is waited for: the rest is freed at once.
    if (!stopping_ && wake_.wait_until(lock, waiting_.front().due) == std::cv_status::no_timeout) {
      continue;  // woken early: look again
    }
    Batch due = std::move(waiting_.front());
    waiting_.pop_front();
    lock.unlock();
    due.nodes.clear();
    lock.lock();
  }
}

}  // namespace wq
