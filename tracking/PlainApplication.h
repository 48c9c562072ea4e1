// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A session with its view and refine actions wired to plain platform pieces held in memory: the
// window's logic without a window. Used by the tests, the fuzz targets and the benchmarks.

#include "tracking/PlainPlatform.h"
#include "tracking/Session.h"
#include "tracking/view/RefineActions.h"
#include "tracking/view/ViewController.h"

namespace wq {

struct PlainApplication {
  PlainApplication(SettingsStore& store, const Clock& clock, LogSink& log, HostResolver& resolver)
      : session(store, clock, log, resolver) {
    view.connect({&table, &pane, &addedSwitch, &droppedSwitch, &window, &sounds});
  }
  PlainApplication(const PlainApplication&) = delete;
  PlainApplication& operator=(const PlainApplication&) = delete;

  Session session;
  ViewController view{session};
  RefineActions refine{session, view};
  MemoryTableView table{[this] { return view.numberOfRowsInTableView(); },
                        [this] { view.updateDataTextView(); }};
  MemoryTextView pane;
  MemoryToggleButton addedSwitch;
  MemoryToggleButton droppedSwitch;
  MemoryWindow window;
  SilentSoundPlayer sounds;
};

}  // namespace wq
