// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/ApplicationController.h"

namespace wq {

ApplicationController::ApplicationController(Defaults& defaults, const Clock& clock, LogSink& log,
                                             HostResolver& resolver)
    : defaults_(defaults),
      clock_(clock),
      log_(log),
      resolver_(resolver),
      tracker_(defaults, clock, log),
      view_(tracker_, log),
      refine_(tracker_, view_, clock) {}

std::string ApplicationController::reportText() const {
  std::string text;
  writeReport([&](std::string_view piece) { text += piece; });
  return text;
}

void ApplicationController::writeReport(const ReportSink& sink) const {
  const ReportOptions options{defaults_.boolValue(keys::ReportRecentNodesFirst),
                              defaults_.boolValue(keys::ReportResolveIPAddresses)};
  wq::writeReport(tracker_.connectionsArray(), options, clock_, resolver_, log_, sink);
}

}  // namespace wq
