// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/HostLookup.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace wq {

// Shared with the lookup threads, which may outlive the resolver.
struct BoundedHostResolver::Lookups {
  std::mutex mutex;
  std::condition_variable progress;
  std::vector<IpAddress> queue;
  std::size_t next = 0;
  std::size_t answered = 0;
  bool abandoned = false;
  std::map<IpAddress, std::optional<std::string>> names;
};

BoundedHostResolver::BoundedHostResolver(std::shared_ptr<HostResolver> inner,
                                         std::chrono::milliseconds budget)
    : inner_(std::move(inner)), budget_(budget) {}

BoundedHostResolver::~BoundedHostResolver() {
  if (lookups_) {
    const std::lock_guard lock(lookups_->mutex);
    lookups_->abandoned = true;
  }
}

void BoundedHostResolver::prepare(const std::vector<IpAddress>& addresses) {
  if (lookups_) {
    const std::lock_guard lock(lookups_->mutex);
    lookups_->abandoned = true;  // a previous round's stragglers stop taking work
  }
  lookups_ = std::make_shared<Lookups>();
  lookups_->queue = addresses;
  const auto threads = std::min<std::size_t>(kMaxThreads, addresses.size());
  for (std::size_t i = 0; i < threads; ++i) {
    std::thread([lookups = lookups_, inner = inner_] {
      std::unique_lock lock(lookups->mutex);
      while (!lookups->abandoned && lookups->next < lookups->queue.size()) {
        const IpAddress address = lookups->queue[lookups->next++];
        lock.unlock();
        std::optional<std::string> name = inner->hostName(address);
        lock.lock();
        lookups->names[address] = std::move(name);
        ++lookups->answered;
        lookups->progress.notify_all();
      }
    }).detach();
  }
  std::unique_lock lock(lookups_->mutex);
  lookups_->progress.wait_for(lock, budget_,
                              [&] { return lookups_->answered == lookups_->queue.size(); });
  lookups_->abandoned = true;
  names_ = lookups_->names;
}

std::optional<std::string> BoundedHostResolver::hostName(const IpAddress& address) {
  const auto found = names_.find(address);
  return found == names_.end() ? std::nullopt : found->second;
}

}  // namespace wq
