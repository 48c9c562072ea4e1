// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the capture helper's own text says when its capture ends, here or on another host.

#include <QString>
#include <string>

#include "tracking/Platform.h"
#include "tracking/nodes/NodeTracker.h"

namespace wq {

// Ends the helper's chunk stream in the tracker and logs the helper's own text, which followed
// the last chunk, a line at a time; returns the text.
std::string endHelperStream(NodeTracker& tracker, LogSink& log);

// What the user is told when the helper's capture ends: its failure lines, and a hint where one
// helps. Empty when the text holds no failure.
QString helperFailureMessage(const std::string& helperText, const QString& interfaceName);

}  // namespace wq
