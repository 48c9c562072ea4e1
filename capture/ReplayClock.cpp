// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ReplayClock.h"

namespace netsiphon {
namespace {

std::int64_t inMicroseconds(Timestamp time) {
  return std::int64_t{time.seconds} * 1'000'000 + time.microseconds;
}

}  // namespace

ReplayClock::ReplayClock(Timestamp first, Clock::time_point start, bool paced)
    : firstMicroseconds_(inMicroseconds(first)), start_(start), paced_(paced) {}

ReplayClock::Clock::time_point ReplayClock::dueTime(Timestamp recorded) const {
  const std::int64_t distance = inMicroseconds(recorded) - firstMicroseconds_;
  if (!paced_ || distance <= 0) {
    return start_;
  }
  return start_ + std::chrono::microseconds(distance);
}

}  // namespace netsiphon
