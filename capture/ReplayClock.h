// SPDX-License-Identifier: GPL-3.0-or-later
// When each packet of a capture file is due, so that a replay keeps the recorded pace.
#pragma once

#include <chrono>
#include <cstdint>

#include "capture/RecordOutput.h"

namespace netsiphon {

class ReplayClock {
 public:
  using Clock = std::chrono::steady_clock;

  // The packet stamped `first` is due at `start`; with pacing off every packet is due at once.
  ReplayClock(Timestamp first, Clock::time_point start, bool paced);

  // Later packets follow after their recorded distance from the first; a packet stamped earlier
  // than the first is due at once.
  Clock::time_point dueTime(Timestamp recorded) const;

 private:
  std::int64_t firstMicroseconds_;
  Clock::time_point start_;
  bool paced_;
};

}  // namespace netsiphon
