// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Plain implementations of the platform interfaces, for tests and for running without a window.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tracking/Platform.h"

namespace wq {

class SystemClock : public Clock {
 public:
  TimePoint now() const override { return std::chrono::system_clock::now(); }
};

// A clock that shows what it is set to.
class ManualClock : public Clock {
 public:
  explicit ManualClock(TimePoint start = TimePoint{}) : now_(start) {}
  TimePoint now() const override { return now_; }
  void set(TimePoint time) { now_ = time; }
  void advance(std::chrono::system_clock::duration by) { now_ += by; }

 private:
  TimePoint now_;
};

// The system log: syslog(3) with the ident "Wirequill", copied to standard error.
class SystemLog : public LogSink {
 public:
  SystemLog();
  ~SystemLog() override;
  void log(std::string_view line) override;
};

class MemoryLog : public LogSink {
 public:
  void log(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

class MemorySettingsStore : public SettingsStore {
 public:
  std::optional<SettingValue> value(std::string_view key) const override;
  void setValue(std::string_view key, const SettingValue& value) override;
  void remove(std::string_view key);

 private:
  std::map<std::string, SettingValue, std::less<>> values_;
};

// Values that hold for this run only, read before those of the store below them and never
// written to it.
class OverlaySettingsStore : public SettingsStore {
 public:
  explicit OverlaySettingsStore(SettingsStore& base) : base_(base) {}
  void overrideForThisRun(std::string_view key, const SettingValue& value);
  // The stored value holds again for this run.
  void dropOverride(std::string_view key) { overrides_.remove(key); }
  SettingsStore& stored() { return base_; }
  std::optional<SettingValue> value(std::string_view key) const override;
  void setValue(std::string_view key, const SettingValue& value) override {
    base_.setValue(key, value);
  }

 private:
  SettingsStore& base_;
  MemorySettingsStore overrides_;
};

// A table without pixels: it keeps the row count it last loaded and a single selected row.
// A reload forgets a selected row that no longer exists.
class MemoryTableView : public NodeTableView {
 public:
  MemoryTableView(std::function<int()> rowCountSource, std::function<void()> selectionDidChange)
      : rowCountSource_(std::move(rowCountSource)),
        selectionDidChange_(std::move(selectionDidChange)) {}

  void reloadData() override;
  void redisplayRows() override { ++redisplays; }
  int numberOfRows() const override { return rows_; }
  int selectedRow() const override { return selected_; }
  void scrollRowToVisible(int row) override { scrolledTo = row; }
  void selectRow(int row) override;
  void setFocus() override { ++focusRequests; }

  int reloads = 0;
  int redisplays = 0;
  int scrolledTo = kNoRow;
  int focusRequests = 0;

 private:
  std::function<int()> rowCountSource_;
  std::function<void()> selectionDidChange_;
  int rows_ = 0;
  int selected_ = kNoRow;
};

class MemoryTextView : public TextView {
 public:
  void setText(PaneText newText) override {
    text = std::move(newText.text);
    ranges = std::move(newText.ranges);
  }
  std::string text;
  std::vector<StyledRange> ranges;
};

// Plays nothing; remembers what it was asked to play.
class SilentSoundPlayer : public SoundPlayer {
 public:
  void play(std::string_view name) override { played.emplace_back(name); }
  void beep() override { ++beeps; }
  std::vector<std::string> played;
  int beeps = 0;
};

class MemoryToggleButton : public ToggleButton {
 public:
  int state() const override { return state_; }
  void setState(int state) override { state_ = state; }

 private:
  int state_ = kOff;
};

class MemorySearchField : public SearchField {
 public:
  explicit MemorySearchField(std::string text = {}) : text_(std::move(text)) {}
  std::string stringValue() const override { return text_; }
  void setStringValue(std::string text) override { text_ = std::move(text); }
  void clearFocus() override { ++focusCleared; }
  int focusCleared = 0;

 private:
  std::string text_;
};

class MemoryWindow : public WindowView {
 public:
  bool isVisible() const override { return visible_; }
  void show() override { visible_ = true; }
  void hide() override { visible_ = false; }

 private:
  bool visible_ = true;
};

// Reverse lookups through the system's resolver.
class SystemHostResolver : public HostResolver {
 public:
  std::optional<std::string> hostName(const IpAddress& address) override;
};

// A resolver that knows the names it was given and nothing else.
class TableHostResolver : public HostResolver {
 public:
  std::optional<std::string> hostName(const IpAddress& address) override;
  std::map<IpAddress, std::string> names;
  std::vector<IpAddress> asked;
};

}  // namespace wq
