#pragma once
// A controller wired to plain platform pieces, with a clock that stands still until moved.

#include <chrono>

#include "ApplicationController.h"
#include "CaptureBuilder.h"
#include "PlainPlatform.h"

namespace wq::testing {

// 2026-12-06 14:03:20 UTC, a Sunday.
inline const TimePoint kStartTime = TimePoint{std::chrono::seconds{1796565800}};

struct ControllerRig {
  MemorySettingsStore store;
  Defaults defaults{store};
  ManualClock clock{kStartTime};
  MemoryLog log;
  TableHostResolver resolver;
  ApplicationController controller{defaults, clock, log, resolver};
  MemoryTableView table{[this] { return controller.numberOfRowsInTableView(); },
                        [this] { controller.updateDataTextView(); }};
  MemoryTextView pane;
  MemoryToggleButton addedSwitch;
  MemoryToggleButton droppedSwitch;
  MemoryWindow window;
  SilentSoundPlayer sounds;

  ControllerRig() {
    defaults.registerDefaults(registeredDefaults());
    controller.awakeFromNib({&table, &pane, &addedSwitch, &droppedSwitch, &window, &sounds});
  }

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
