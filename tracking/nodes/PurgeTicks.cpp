// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/nodes/PurgeTicks.h"

namespace wq {

namespace {

constexpr auto kTick = std::chrono::seconds(1);

}  // namespace

std::optional<TimePoint> PurgeTicks::tickBefore(TimePoint time) {
  if (!next_) {
    next_ = time + kTick;
    return std::nullopt;
  }
  if (time < *next_) {
    return std::nullopt;
  }
  const TimePoint last = *next_ + (time - *next_) / kTick * kTick;
  next_ = last + kTick;
  return last;
}

}  // namespace wq
