#pragma once

#include <QString>
#include <string>

namespace wq {

// Writes a report to `path` ("-" for standard output) directly, not through a temporary file.
// False with the reason when it could not be written whole.
bool writeReportFile(const QString& path, const std::string& text, QString* error);

}  // namespace wq
