// When the idle purge ticks while a capture file is read: once a second of capture time, and once
// only for a stretch without records, however long.
#include "tracking/PurgeTicks.h"

#include <gtest/gtest.h>

namespace wq {
namespace {

using Seconds = std::chrono::duration<double>;

TimePoint at(double seconds) {
  return TimePoint{} + std::chrono::duration_cast<TimePoint::duration>(Seconds(seconds));
}

TEST(PurgeTicks, OneTickASecondAndOneForAStretchWithoutRecords) {
  // Record times, and the tick due before each (negative: none).
  const std::pair<double, double> records[] = {
      {100.0, -1}, {100.5, -1},    {101.0, 101.0},
      {101.7, -1}, {102.0, 102.0}, {120.4, 120.0},  // a stretch of 18 s: its last tick only
      {110.0, -1},  // stamped earlier: no tick until capture time passes the next one again
      {120.9, -1}, {121.0, 121.0}, {121.0, -1},
  };
  PurgeTicks ticks;
  for (const auto& [time, tick] : records) {
    const std::optional<TimePoint> due = ticks.tickBefore(at(time));
    EXPECT_EQ(due, tick < 0 ? std::nullopt : std::optional(at(tick))) << time;
  }
  // Stamps that jump by three hours: one tick per jump.
  int ticked = 0;
  for (int record = 0; record < 1000; ++record) {
    ticked += ticks.tickBefore(at(200.0 + record * 3 * 3600.0)).has_value();
  }
  EXPECT_EQ(ticked, 1000);
}

}  // namespace
}  // namespace wq
