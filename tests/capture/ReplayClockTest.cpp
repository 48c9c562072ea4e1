#include "capture/ReplayClock.h"

#include <gtest/gtest.h>

namespace netsiphon {
namespace {

using std::chrono::microseconds;

const ReplayClock::Clock::time_point kStart = ReplayClock::Clock::time_point(std::chrono::hours(1));

TEST(ReplayClock, KeepsTheRecordedDistancesFromTheFirstPacket) {
  const ReplayClock clock({100, 999'999}, kStart, true);
  EXPECT_EQ(clock.dueTime({100, 999'999}), kStart);
  EXPECT_EQ(clock.dueTime({101, 0}), kStart + microseconds(1));
  EXPECT_EQ(clock.dueTime({102, 500'000}), kStart + microseconds(1'500'001));
}

TEST(ReplayClock, SendsPacketsStampedBeforeTheFirstAtOnce) {
  const ReplayClock clock({100, 0}, kStart, true);
  EXPECT_EQ(clock.dueTime({99, 999'999}), kStart);
  EXPECT_EQ(clock.dueTime({0, 0}), kStart);
}

TEST(ReplayClock, SpansTheWholeRangeOfTimeStamps) {
  const ReplayClock clock({0, 0}, kStart, true);
  EXPECT_EQ(clock.dueTime({0xFFFFFFFF, 999'999}),
            kStart + microseconds(std::int64_t{0xFFFFFFFF} * 1'000'000 + 999'999));
}

TEST(ReplayClock, WithoutPacingEveryPacketIsDueAtOnce) {
  const ReplayClock clock({100, 0}, kStart, false);
  EXPECT_EQ(clock.dueTime({5000, 0}), kStart);
}

}  // namespace
}  // namespace netsiphon
