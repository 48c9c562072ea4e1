// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The application controller wired to the plain platform pieces: the application without a window.
// Used by the headless mode, the tests, the fuzz targets and the benchmarks.

#include "tracking/ApplicationController.h"
#include "tracking/PlainPlatform.h"

namespace wq {

struct PlainApplication {
  PlainApplication(SettingsStore& store, const Clock& clock, LogSink& log, HostResolver& resolver)
      : defaults(store), controller(defaults, clock, log, resolver) {
    defaults.registerDefaults(registeredDefaults());
    controller.connectOutlets({&table, &pane, &addedSwitch, &droppedSwitch, &window, &sounds});
  }
  PlainApplication(const PlainApplication&) = delete;
  PlainApplication& operator=(const PlainApplication&) = delete;

  Defaults defaults;
  ApplicationController controller;
  MemoryTableView table{[this] { return controller.view().numberOfRowsInTableView(); },
                        [this] { controller.view().updateDataTextView(); }};
  MemoryTextView pane;
  MemoryToggleButton addedSwitch;
  MemoryToggleButton droppedSwitch;
  MemoryWindow window;
  SilentSoundPlayer sounds;
};

}  // namespace wq
