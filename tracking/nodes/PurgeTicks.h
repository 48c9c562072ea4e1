// SPDX-License-Identifier: GPL-3.0-or-later
// When the idle purge ticks while a capture file is read by its own time stamps: once a second of
// capture time, as in a live capture. A stretch without records that spans several ticks gets only
// its last one: with no packet between them, the earlier ticks would purge nothing that the last
// does not, and a crafted file whose stamps jump by hours costs one tick per jump, not thousands.
#pragma once

#include <optional>

#include "tracking/Platform.h"

namespace wq {

class PurgeTicks {
 public:
  // The tick to run before the record stamped `time` is tracked, if one is due. The first record
  // starts the count; a record stamped earlier than the one before waits for the capture time to
  // pass the next tick again.
  std::optional<TimePoint> tickBefore(TimePoint time);

 private:
  std::optional<TimePoint> next_;
};

}  // namespace wq
