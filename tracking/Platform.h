// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the node tracker needs from the platform it runs on. The desktop application implements
// these with Qt; tests and the headless mode use the plain implementations in PlainPlatform.h.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tracking/decode/FlowKey.h"
#include "tracking/view/PaneText.h"

namespace wq {

using TimePoint = std::chrono::system_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
};

// The "system log": one line per call.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void log(std::string_view line) = 0;
};

// A stored setting. The store keeps whatever type it was given (or text, for stores that only
// hold text); Defaults converts on reading.
using SettingValue = std::variant<bool, std::int64_t, double, std::string>;

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual std::optional<SettingValue> value(std::string_view key) const = 0;
  virtual void setValue(std::string_view key, const SettingValue& value) = 0;
};

// Rows and the single-row selection of the nodes table. Row i shows node i of the node list.
class NodeTableView {
 public:
  static constexpr int kNoRow = -1;
  virtual ~NodeTableView() = default;
  // Asks the data source again for the number of rows and their texts.
  virtual void reloadData() = 0;
  // Shows the texts of the rows on screen again: the rows are the same, some of their texts not.
  virtual void redisplayRows() = 0;
  virtual int numberOfRows() const = 0;
  virtual int selectedRow() const = 0;  // kNoRow when nothing is selected
  virtual void scrollRowToVisible(int row) = 0;
  // Makes `row` the only selected row; a selection that changes is reported to the view
  // controller (ViewController::updateDataTextView) before this returns.
  virtual void selectRow(int row) = 0;
  // Gives the table the keyboard focus.
  virtual void setFocus() = 0;
};

// The detail pane: its whole text, and the styles of ranges of it, are replaced at once.
class TextView {
 public:
  virtual ~TextView() = default;
  virtual void setText(PaneText text) = 0;
};

class SoundPlayer {
 public:
  virtual ~SoundPlayer() = default;
  // Plays a sound of the application's resources by file name; a missing sound plays nothing.
  virtual void play(std::string_view name) = 0;
  virtual void beep() = 0;
};

// A two-state switch. Any state other than kOn (a mixed state) counts as off.
class ToggleButton {
 public:
  static constexpr int kOff = 0;
  static constexpr int kOn = 1;
  virtual ~ToggleButton() = default;
  virtual int state() const = 0;
  // Setting the state from code does not send the button's action.
  virtual void setState(int state) = 0;
};

// A search field of the refine box.
class SearchField {
 public:
  virtual ~SearchField() = default;
  virtual std::string stringValue() const = 0;
  virtual void setStringValue(std::string text) = 0;
  // Gives the keyboard focus up.
  virtual void clearFocus() = 0;
};

class WindowView {
 public:
  virtual ~WindowView() = default;
  virtual bool isVisible() const = 0;
  // Shows the window in front, with the keyboard focus.
  virtual void show() = 0;
  // Takes the window off the screen; it keeps all its contents.
  virtual void hide() = 0;
};

// Reverse lookup of an IPv4 or IPv6 address; nothing when no name is known.
class HostResolver {
 public:
  virtual ~HostResolver() = default;
  // Told, before a run of lookups, which addresses are coming, so that it can look them up
  // together.
  virtual void prepare(const std::vector<IpAddress>& /*addresses*/) {}
  virtual std::optional<std::string> hostName(const IpAddress& address) = 0;
};

}  // namespace wq
