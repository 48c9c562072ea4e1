// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The user's settings: values stored in a SettingsStore, over a layer of registered defaults.
// Every value is read afresh at each use, so a stored change takes effect at the next read.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tracking/Platform.h"

namespace wq {

namespace keys {
inline constexpr std::string_view MaxPacketSize = "MaxPacketSize";
inline constexpr std::string_view BPFDevice = "BPFDevice";
inline constexpr std::string_view InterfaceDevice = "InterfaceDevice";
inline constexpr std::string_view CaptureFilter = "CaptureFilter";
// [USER@]HOST to capture on through ssh; empty for this machine.
inline constexpr std::string_view CaptureHost = "CaptureHost";
inline constexpr std::string_view PurgeIdleTime = "PurgeIdleTime";
inline constexpr std::string_view DropOnFIN = "DropOnFIN";
inline constexpr std::string_view DropOnRST = "DropOnRST";
// Data of a TCP connection that was open before capture started makes a node of its own.
inline constexpr std::string_view TrackOpenConnections = "TrackOpenConnections";
inline constexpr std::string_view ReportResolveIPAddresses = "ReportResolveIPAddresses";
inline constexpr std::string_view ReportRecentNodesFirst = "ReportRecentNodesFirst";
inline constexpr std::string_view ReportPrograms = "ReportPrograms";
inline constexpr std::string_view LookUpPrograms = "LookUpPrograms";
inline constexpr std::string_view ShowProgramColumn = "ShowProgramColumn";
}  // namespace keys

using SettingList = std::vector<std::pair<std::string, SettingValue>>;

// The settings with their types and defaults, in the order they are registered.
SettingList registeredDefaults();

class Defaults {
 public:
  explicit Defaults(SettingsStore& store) : store_(store) {}

  void registerDefaults(SettingList defaults) { registered_ = std::move(defaults); }

  // Conversions follow the usual rules of a defaults database: text is read as a number from its
  // leading characters (0 when it does not begin with one), integers are clamped to 32 bits, and
  // text is true when it begins with Y, T or a non-zero digit.
  int integerValue(std::string_view key) const;
  double doubleValue(std::string_view key) const;
  bool boolValue(std::string_view key) const;
  std::string stringValue(std::string_view key) const;

  void setValue(std::string_view key, const SettingValue& value) { store_.setValue(key, value); }

 private:
  std::optional<SettingValue> lookup(std::string_view key) const;

  SettingsStore& store_;
  SettingList registered_;
};

// The MaxPacketSize setting, or its default where it holds no size a payload can have (zero, a
// negative number, text that is no number).
int maxPacketSize(const Defaults& defaults);
// Why the MaxPacketSize setting is not used, or nothing when it is.
std::optional<std::string> maxPacketSizeProblem(const Defaults& defaults);

// Text to number as a defaults database reads it: leading blanks skipped, an optional sign and
// the following digits taken, 0 when the text does not begin with a number, and values beyond
// the 32-bit range clamped to its nearest limit.
int intValueOf(std::string_view text);
double doubleValueOf(std::string_view text);
bool boolValueOf(std::string_view text);

}  // namespace wq
