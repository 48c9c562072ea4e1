// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/nodes/DepartedFlows.h"

namespace wq {

namespace {

bool idleBeyond(TimePoint since, TimePoint now, double idleLimit) {
  return std::chrono::duration<double>(now - since).count() > idleLimit;
}

}  // namespace

void DepartedFlows::add(const FlowEnds& flow, TimePoint now) {
  lastSeen_[flow] = now;
  byTime_.push_back({flow, now});
}

bool DepartedFlows::seenAgain(const FlowEnds& flow, TimePoint now, double idleLimit) {
  const auto found = lastSeen_.find(flow);
  if (found == lastSeen_.end()) {
    return false;
  }
  if (idleBeyond(found->second, now, idleLimit)) {
    lastSeen_.erase(found);
    return false;
  }
  found->second = now;
  byTime_.push_back({flow, now});
  return true;
}

void DepartedFlows::forgetIdle(TimePoint now, double idleLimit) {
  // A clock set back leaves times ahead of `now` at the front; they wait until it passes them.
  while (!byTime_.empty() && idleBeyond(byTime_.front().time, now, idleLimit)) {
    const auto found = lastSeen_.find(byTime_.front().flow);
    if (found != lastSeen_.end() && found->second == byTime_.front().time) {
      lastSeen_.erase(found);
    }
    byTime_.pop_front();
  }
}

}  // namespace wq
