#include "capture/ReplayClock.h"

#include <gtest/gtest.h>

namespace netsiphon {
namespace {

using std::chrono::microseconds;

TEST(ReplayClock, MakesEachPacketDueAtItsRecordedDistanceFromTheFirst) {
  const ReplayClock::Clock::time_point start(std::chrono::hours(1));
  const ReplayClock clock({100, 999'999}, start, true);
  EXPECT_EQ(clock.dueTime({100, 999'999}), start);
  EXPECT_EQ(clock.dueTime({101, 0}), start + microseconds(1));
  EXPECT_EQ(clock.dueTime({102, 500'000}), start + microseconds(1'500'001));
  EXPECT_EQ(clock.dueTime({99, 999'999}), start) << "stamped before the first: at once";
  EXPECT_EQ(ReplayClock({0, 0}, start, true).dueTime({0xFFFFFFFF, 999'999}),
            start + microseconds(std::int64_t{0xFFFFFFFF} * 1'000'000 + 999'999));
  EXPECT_EQ(ReplayClock({100, 0}, start, false).dueTime({5000, 0}), start) << "unpaced: at once";
}

}  // namespace
}  // namespace netsiphon
