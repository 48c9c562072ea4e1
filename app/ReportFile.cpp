#include "app/ReportFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace wq {

bool writeReportFile(const QString& path, const std::function<void(const ReportSink&)>& produce,
                     QString* error) {
  const bool toStandardOutput = path == "-";
  std::FILE* file = toStandardOutput ? stdout : std::fopen(path.toLocal8Bit().constData(), "w");
  if (file == nullptr) {
    *error = QString("cannot write the report to %1: %2").arg(path, std::strerror(errno));
    return false;
  }
  int writeError = 0;
  produce([&](std::string_view piece) {
    if (writeError == 0 && std::fwrite(piece.data(), 1, piece.size(), file) != piece.size()) {
      writeError = errno;
    }
  });
  if (writeError == 0 && std::fflush(file) != 0) {
    writeError = errno;
  }
  if (!toStandardOutput && std::fclose(file) != 0 && writeError == 0) {
    writeError = errno;
  }
  if (writeError != 0) {
    *error = QString("cannot write the report to %1: %2")
                 .arg(toStandardOutput ? "standard output" : path, std::strerror(writeError));
    return false;
  }
  return true;
}

}  // namespace wq
