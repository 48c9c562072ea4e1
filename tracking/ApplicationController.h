// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The application's parts, made and connected: the node tracker, the view controller that shows
// its list, the refine actions that narrow it, and the report of it. It reaches the platform only
// through the interfaces of Platform.h, so it runs the same behind the window, headless and in
// tests.

#include <string>

#include "tracking/Defaults.h"
#include "tracking/Platform.h"
#include "tracking/nodes/NodeTracker.h"
#include "tracking/view/RefineActions.h"
#include "tracking/view/Report.h"
#include "tracking/view/ViewController.h"

namespace wq {

class ApplicationController {
 public:
  ApplicationController(Defaults& defaults, const Clock& clock, LogSink& log,
                        HostResolver& resolver);
  ApplicationController(const ApplicationController&) = delete;
  ApplicationController& operator=(const ApplicationController&) = delete;

  // Connects the interface elements the view drives.
  void connectOutlets(const Outlets& outlets) { view_.connect(outlets); }

  NodeTracker& tracker() { return tracker_; }
  const NodeTracker& tracker() const { return tracker_; }
  ViewController& view() { return view_; }
  const ViewController& view() const { return view_; }
  RefineActions& refine() { return refine_; }

  std::string reportText() const;
  void writeReport(const ReportSink& sink) const;

 private:
  Defaults& defaults_;
  const Clock& clock_;
  LogSink& log_;
  HostResolver& resolver_;
  NodeTracker tracker_;
  ViewController view_;
  RefineActions refine_;
};

}  // namespace wq
