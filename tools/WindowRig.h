// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window on a session wired to plain platform pieces: settings in memory, a clock that stands still
// until moved, a log, a resolver and sounds that only remember what they were asked. For tests,
// benchmarks and pictures of the window; the caller makes the QApplication first.

#include <chrono>
#include <memory>

#include "app/window/MainWindow.h"
#include "tools/CaptureBuilder.h"
#include "tracking/PlainPlatform.h"

namespace wq::testing {

struct WindowRig {
  // 2026-12-06 14:03:20 UTC.

  WindowRig() {
    storedDefaults.registerDefaults(registeredDefaults());
    window = std::make_unique<MainWindow>(session, storedDefaults, sounds);
  }

  MemorySettingsStore store;
  OverlaySettingsStore settings{store};  // with this run's own values over the stored ones
  ManualClock clock{TimePoint{std::chrono::seconds(kCaptureStart)}};
  MemoryLog log;
  TableHostResolver resolver;
  Session session{settings, clock, log, resolver};
  Defaults& defaults = session.defaults();
  Defaults storedDefaults{store};
  SilentSoundPlayer sounds;
  std::unique_ptr<MainWindow> window;
};

}  // namespace wq::testing
