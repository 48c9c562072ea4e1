// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The two ways wirequill runs: with its window, or headless on Qt's core event loop.

#include "app/CommandLine.h"
#include "app/intake/Monitor.h"
#include "tracking/PlainPlatform.h"
#include "tracking/Platform.h"
#include "tracking/Session.h"

namespace wq {

// What a run is given: the settings, the clock (the replay clock when a file is read directly),
// the log and the resolver.
struct RunContext {
  const RunOptions& options;
  OverlaySettingsStore& settings;  // the stored settings, under this run's own values
  const Clock& clock;
  ManualClock* replayClock;  // non-null when a capture file is read directly
  LogSink& log;
  HostResolver& resolver;
};

// The session of one run and the intake that feeds it, made from the run's context: the window
// and the headless run each attach to one.
struct RunSession {
  explicit RunSession(const RunContext& context)
      : session(context.settings, context.clock, context.log, context.resolver),
        monitor(session, context.replayClock) {}

  Session session;
  Monitor monitor;
};

// Whether the Qt running here is at least the one this build needs; logs the line that says so.
bool checkQtVersion(LogSink& log, QString* required);

int runWindow(const RunContext& context);
int runHeadless(const RunContext& context);

}  // namespace wq
