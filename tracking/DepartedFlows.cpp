#include "tracking/DepartedFlows.h"

namespace wq {

namespace {

bool idleBeyond(TimePoint since, TimePoint now, double idleLimit) {
  return std::chrono::duration<double>(now - since).count() > idleLimit;
}

}  // namespace

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
  return true;
}

void DepartedFlows::forgetIdle(TimePoint now, double idleLimit) {
  std::erase_if(lastSeen_,
                [&](const auto& entry) { return idleBeyond(entry.second, now, idleLimit); });
}

}  // namespace wq
