// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Frees nodes on a worker thread of its own, a moment after they were handed over. Freeing a
// great many nodes takes longer than the redraw the user waits for, and both need the allocator,
// so the freeing waits until the redraw is over. The worker starts on first use; destroying the
// freer frees what is still waiting and joins it.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "tracking/nodes/NodeList.h"

namespace wq {

class LateNodeFreer {
 public:
  explicit LateNodeFreer(std::chrono::milliseconds delay) : delay_(delay) {}
  ~LateNodeFreer();
  LateNodeFreer(const LateNodeFreer&) = delete;
  LateNodeFreer& operator=(const LateNodeFreer&) = delete;

  void freeLater(std::vector<NodeList::NodePtr> nodes);

 private:
  struct Batch {
    std::chrono::steady_clock::time_point due;
    std::vector<NodeList::NodePtr> nodes;
  };

  void run();

  const std::chrono::milliseconds delay_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Batch> waiting_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace wq
