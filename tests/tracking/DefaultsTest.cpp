// SPDX-License-Identifier: GPL-3.0-or-later
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
  EXPECT_EQ(launchSettingsLines(defaults).at(3), "Launching Wirequill using no capture filter.\n");
  store.setValue(keys::CaptureFilter, std::string("udp port 53"));
  EXPECT_EQ(launchSettingsLines(defaults).at(3),
            "Launching Wirequill using capture filter \"udp port 53\".\n");
  EXPECT_EQ(launchSettingsLines(defaults).at(4),
            "Launching Wirequill capturing on this machine.\n");
  store.setValue(keys::CaptureHost, std::string("admin@web1"));
  EXPECT_EQ(launchSettingsLines(defaults).at(4),
            "Launching Wirequill capturing on host admin@web1.\n");
  // A MaxPacketSize that is no size is refused in the log, and the default used.
  for (const SettingValue& odd : {SettingValue(std::int64_t{-1}), SettingValue(std::string("big")),
                                  SettingValue(std::int64_t{0})}) {
    store.setValue(keys::MaxPacketSize, odd);
    const std::vector<std::string> lines = launchSettingsLines(defaults);
    EXPECT_EQ(lines.at(0), "The MaxPacketSize setting \"" +
                               defaults.stringValue(keys::MaxPacketSize) +
                               "\" is no size in bytes above 0: the default, 24000, is used.\n");
    EXPECT_EQ(lines.at(1), "Launching Wirequill with MAXPACKETSIZE of 24000.\n");
    EXPECT_EQ(maxPacketSize(defaults), 24000);
  }
  store.setValue(keys::MaxPacketSize, std::int64_t{1});
  EXPECT_EQ(launchSettingsLines(defaults).at(0), "Launching Wirequill with MAXPACKETSIZE of 1.\n");

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
  const std::vector<int> ints = {intValueOf("80"),         intValueOf("  -17abc"),
                                 intValueOf("Port"),       intValueOf(""),
                                 intValueOf("2147483648"), intValueOf("-99999999999999999999")};
  EXPECT_EQ(ints, (std::vector{80, -17, 0, 0, INT_MAX, INT_MIN}));
  const std::vector<double> doubles = {doubleValueOf(" 15.5s"), doubleValueOf("-.5"),
                                       doubleValueOf("nan"),    doubleValueOf("inf"),
                                       doubleValueOf("1e999"),  doubleValueOf("1e-999")};
  EXPECT_EQ(doubles, (std::vector{15.5, -0.5, 0.0, 0.0, HUGE_VAL, 0.0}));
  std::string flags;
  for (const char* text : {"YES", "007", "000", "no", ""}) {
    flags += boolValueOf(text) ? '1' : '0';
  }
  EXPECT_EQ(flags, "11000");
}

}  // namespace
}  // namespace wq::testing
