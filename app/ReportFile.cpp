#include "app/ReportFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/SignalWatcher.h"
#include "capture/DescriptorSink.h"

namespace wq {

namespace {

// Writes the whole report to `file`; the errno of the first failure, or 0.
int writeAll(std::FILE* file, const std::function<void(const ReportSink&)>& produce) {
  int writeError = 0;
  produce([&](std::string_view piece) {
    if (writeError == 0 && std::fwrite(piece.data(), 1, piece.size(), file) != piece.size()) {
      writeError = errno;
    }
  });
  if (writeError == 0 && std::fflush(file) != 0) {
    writeError = errno;
  }
  return writeError;
}

// The mode a file made by open(2) would get, or the mode of the report it replaces.
mode_t modeForReport(const struct stat* existing) {
  if (existing != nullptr) {
    return existing->st_mode & 07777;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Writes next to `target` and renames over it once every byte is on disk, so that a failed write
// leaves the old report as it was and no fragment behind.
int replaceWhole(const std::string& target, const struct stat* existing,
                 const std::function<void(const ReportSink&)>& produce) {
  const std::filesystem::path path(target);
  std::string temporary =
      (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  const int descriptor = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (descriptor < 0) {
    return errno;
  }
  std::FILE* file = ::fdopen(descriptor, "w");
  if (file == nullptr) {
    const int error = errno;
    ::close(descriptor);
    ::unlink(temporary.c_str());
    return error;
  }
  int error = writeAll(file, produce);
  if (error == 0 &&
      (::fchmod(descriptor, modeForReport(existing)) != 0 || ::fsync(descriptor) != 0)) {
    error = errno;
  }
  if (std::fclose(file) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && std::rename(temporary.c_str(), target.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlink(temporary.c_str());
  }
  return error;
}

// Whether a stop signal arrives within `waitMs`.
bool stopArrives(int waitMs) {
  pollfd stop{SignalWatcher::stopDescriptor(), POLLIN, 0};
  return ::poll(&stop, 1, waitMs) > 0;
}

// Opens a FIFO or a device for writing without blocking: a FIFO with no reader yet is tried again
// until one comes, so that a stop signal can still end the run. The descriptor, or -1 and errno.
int openDirectly(const std::string& target) {
  constexpr int kReaderLookMs = 100;
  for (;;) {
    const int descriptor = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor >= 0 || errno != ENXIO) {
      return descriptor;
    }
    if (stopArrives(kReaderLookMs)) {
      errno = ECANCELED;
      return -1;
    }
  }
}

// Writes all of `bytes`, waiting for a slow reader as long as no stop signal comes; an errno.
int writeWhole(int descriptor, std::string_view bytes) {
  return netsiphon::writeWhole(
      descriptor, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
      SignalWatcher::stopDescriptor());
}

// Devices and FIFOs cannot be renamed over: they are written directly.
int writeDirectly(const std::string& target,
                  const std::function<void(const ReportSink&)>& produce) {
  const int descriptor = openDirectly(target);
  if (descriptor < 0) {
    return errno;
  }
  constexpr std::size_t kBufferLength = 1 << 16;
  std::string buffer;
  int error = 0;
  produce([&](std::string_view piece) {
    if (error != 0) {
      return;
    }
    buffer += piece;
    if (buffer.size() >= kBufferLength) {
      error = writeWhole(descriptor, buffer);
      buffer.clear();
    }
  });
  if (error == 0) {
    error = writeWhole(descriptor, buffer);
  }
  ::close(descriptor);
  return error;
}

}  // namespace

bool writeReportFile(const QString& path, const std::function<void(const ReportSink&)>& produce,
                     QString* error) {
  int writeError = 0;
  if (path == "-") {
    writeError = writeAll(stdout, produce);
  } else {
    // A link is followed: the report replaces the file it names, not the link.
    std::string target = path.toLocal8Bit().toStdString();
    std::error_code resolveError;
    if (const auto resolved = std::filesystem::canonical(target, resolveError); !resolveError) {
      target = resolved.string();
    }
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
      writeError = EISDIR;
    } else if (exists && !S_ISREG(existing.st_mode)) {
      writeError = writeDirectly(target, produce);
    } else {
      writeError = replaceWhole(target, exists ? &existing : nullptr, produce);
    }
  }
  if (writeError != 0) {
    *error = QString("cannot write the report to %1: %2")
                 .arg(path == "-" ? "standard output" : path,
                      writeError == ECANCELED ? "stopped by a signal before it was read whole"
                                              : std::strerror(writeError));
    return false;
  }
  return true;
}

}  // namespace wq
