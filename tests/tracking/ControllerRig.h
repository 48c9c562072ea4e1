#pragma once
// A controller wired to plain platform pieces, with a clock that stands still until moved.

#include <chrono>

#include "tools/CaptureBuilder.h"
#include "tracking/PlainApplication.h"

namespace wq::testing {

// 2026-12-06 14:03:20 UTC, a Sunday.
inline const TimePoint kStartTime = TimePoint{std::chrono::seconds{1796565800}};

struct ControllerRig {
  MemorySettingsStore store;
  ManualClock clock{kStartTime};
  MemoryLog log;
  TableHostResolver resolver;
  PlainApplication app{store, clock, log, resolver};
  ApplicationController& controller = app.controller;
  MemoryTableView& table = app.table;
  MemoryTextView& pane = app.pane;
  MemoryToggleButton& addedSwitch = app.addedSwitch;
  MemoryToggleButton& droppedSwitch = app.droppedSwitch;
  MemoryWindow& window = app.window;
  SilentSoundPlayer& sounds = app.sounds;

  void feed(const std::vector<Bytes>& frames) { controller.decodeCaptureBuffer(chunk(frames)); }
  void set(std::string_view key, SettingValue value) { store.setValue(key, value); }
  const WQMConnection& node(std::size_t index) const {
    return controller.connectionsArray().at(index);
  }
  std::size_t nodeCount() const { return controller.connectionsArray().size(); }

 private:
  Bytes chunkStorage_;
  ByteView chunk(const std::vector<Bytes>& frames) {
    chunkStorage_ = chunkOf(frames);
    return ByteView(chunkStorage_.data(), chunkStorage_.size());
  }
};

inline std::string payloadOf(const WQMConnection& node) {
  const auto data = node.packetData();
  return std::string(data.begin(), data.end());
}

}  // namespace wq::testing
