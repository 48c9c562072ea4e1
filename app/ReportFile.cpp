#include "ReportFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace wq {

bool writeReportFile(const QString& path, const std::string& text, QString* error) {
  const bool toStandardOutput = path == "-";
  std::FILE* file = toStandardOutput ? stdout : std::fopen(path.toLocal8Bit().constData(), "w");
  if (file == nullptr) {
    *error = QString("cannot write the report to %1: %2").arg(path, std::strerror(errno));
    return false;
  }
  const bool written =
      std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
  const int writeError = errno;
  const bool closed = toStandardOutput || std::fclose(file) == 0;
  if (!written || !closed) {
    *error = QString("cannot write the report to %1: %2")
                 .arg(toStandardOutput ? "standard output" : path,
                      std::strerror(written ? errno : writeError));
    return false;
  }
  return true;
}

}  // namespace wq
