#pragma once

#include <QString>

#include "tracking/Report.h"

namespace wq {

// Writes the report that `produce` hands to its sink to `path` ("-" for standard output), directly,
// not through a temporary file. False with the reason when it could not be written whole.
bool writeReportFile(const QString& path, const std::function<void(const ReportSink&)>& produce,
                     QString* error);

}  // namespace wq
