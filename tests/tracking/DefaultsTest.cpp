// The settings: registered defaults under stored values, and text read as numbers and flags.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "tracking/Defaults.h"
#include "tracking/LaunchLog.h"
#include "tracking/PlainPlatform.h"

namespace wq::testing {
namespace {

TEST(Defaults, RegisteredDefaultsAndStoredValues) {
  MemorySettingsStore store;
  Defaults defaults(store);
  defaults.registerDefaults(registeredDefaults());
  EXPECT_EQ(defaults.integerValue(keys::MaxPacketSize), 24000);
  EXPECT_EQ(defaults.doubleValue(keys::PurgeIdleTime), 15.0);
  EXPECT_EQ(launchSettingsLines(defaults).at(3), "Launching Wirequill using no capture filter.\n");
  store.setValue(keys::CaptureFilter, std::string("udp port 53"));
  EXPECT_EQ(launchSettingsLines(defaults).at(3),
            "Launching Wirequill using capture filter \"udp port 53\".\n");
  EXPECT_EQ(launchSettingsLines(defaults).at(4),
            "Launching Wirequill capturing on this machine.\n");
  store.setValue(keys::CaptureHost, std::string("admin@web1"));
  EXPECT_EQ(launchSettingsLines(defaults).at(4),
            "Launching Wirequill capturing on host admin@web1.\n");

  // Stores that keep only text.
  store.setValue(keys::MaxPacketSize, std::string(" 1500 bytes"));
  store.setValue(keys::PurgeIdleTime, std::string("2.5"));
  store.setValue(keys::DropOnFIN, std::string("true"));
  store.setValue(keys::DropOnRST, std::string("false"));
  EXPECT_EQ(defaults.integerValue(keys::MaxPacketSize), 1500);
  EXPECT_EQ(defaults.doubleValue(keys::PurgeIdleTime), 2.5);
  EXPECT_TRUE(defaults.boolValue(keys::DropOnFIN));
  EXPECT_FALSE(defaults.boolValue(keys::DropOnRST));

  store.setValue(keys::MaxPacketSize, 1e12);
  EXPECT_EQ(defaults.integerValue(keys::MaxPacketSize), INT_MAX);
  store.setValue(keys::MaxPacketSize, std::int64_t{-5000000000});
  EXPECT_EQ(defaults.integerValue(keys::MaxPacketSize), INT_MIN);
  store.setValue(keys::PurgeIdleTime, std::int64_t{5});
  EXPECT_EQ(defaults.doubleValue(keys::PurgeIdleTime), 5.0);
  EXPECT_EQ(defaults.stringValue(keys::PurgeIdleTime), "5");
}

TEST(Defaults, TextAsANumberOrAFlag) {
  EXPECT_EQ(intValueOf("80"), 80);
  EXPECT_EQ(intValueOf("  -17abc"), -17);
  EXPECT_EQ(intValueOf("Port"), 0);
  EXPECT_EQ(intValueOf(""), 0);
  EXPECT_EQ(intValueOf("2147483648"), INT_MAX);
  EXPECT_EQ(intValueOf("-99999999999999999999"), INT_MIN);
  EXPECT_EQ(doubleValueOf(" 15.5s"), 15.5);
  EXPECT_EQ(doubleValueOf("-.5"), -0.5);
  EXPECT_EQ(doubleValueOf("nan"), 0.0);
  EXPECT_EQ(doubleValueOf("inf"), 0.0);
  EXPECT_EQ(doubleValueOf("1e999"), HUGE_VAL);
  EXPECT_EQ(doubleValueOf("1e-999"), 0.0);
  EXPECT_TRUE(boolValueOf("YES"));
  EXPECT_TRUE(boolValueOf("007"));
  EXPECT_FALSE(boolValueOf("000"));
  EXPECT_FALSE(boolValueOf("no"));
  EXPECT_FALSE(boolValueOf(""));
}

}  // namespace
}  // namespace wq::testing
