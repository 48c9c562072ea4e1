// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/RecordOutput.h"

#include <algorithm>

namespace netsiphon {

bool RecordOutput::flush() {
  if (const auto wait = timeUntilDue(); wait && wait->count() > 0) {
    return true;  // more records may still join these
  }
  return send();
}

std::optional<std::chrono::nanoseconds> RecordOutput::timeUntilDue() const {
  if (!pending() || holdFor_.count() == 0) {
    return std::nullopt;
  }
  return std::max(std::chrono::nanoseconds::zero(),
                  firstHeld_ + holdFor_ - std::chrono::steady_clock::now());
}

void RecordOutput::beforeAdding() {
  const auto now = std::chrono::steady_clock::now();
  if (!pending() && holdFor_.count() > 0) {
    // After a quiet spell a record is due at once: a lone packet loses no time (a short-lived
    // program can still be found behind it), while packets at high rates still share writes.
    firstHeld_ = now - lastAdded_ >= holdFor_ ? now - holdFor_ : now;
  }
  lastAdded_ = now;
}

}  // namespace netsiphon
