// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include "tracking/view/Report.h"

namespace wq {

// Writes the report that `produce` hands to its sink to `path` ("-" for standard output). A file is
// written whole or not at all: through a temporary file beside it, renamed over it at the end, so
// a failure keeps the old report. Devices and FIFOs are written directly; waiting for a FIFO's
// reader, or for a slow one, ends when SIGINT or SIGTERM arrives. False with the reason when the
// report could not be written whole.
bool writeReportFile(const QString& path, const std::function<void(const ReportSink&)>& produce,
                     QString* error);

}  // namespace wq
