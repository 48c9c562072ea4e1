// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ReportFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/SignalWatcher.h"
#include "capture/DescriptorSink.h"

namespace wq {

namespace {

// A link that the kernel's rule for links in sticky folders would not follow (an errno of ours).
constexpr int kProtectedLink = -1;

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
// until one comes, so that a stop signal can still end the run; anything else that cannot be
// opened at once (a socket, a terminal that is not there) is refused. The descriptor, or -1 and
// errno.
int openDirectly(const std::string& target, bool fifo) {
  constexpr int kReaderLookMs = 100;
  for (;;) {
    const int descriptor = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor >= 0 || errno != ENXIO || !fifo) {
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
int writeDirectly(const std::string& target, bool fifo,
                  const std::function<void(const ReportSink&)>& produce) {
  const int descriptor = openDirectly(target, fifo);
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

// Writes a file whole, through a temporary file; anything else but a folder directly.
int writeTo(const std::string& target, const std::function<void(const ReportSink&)>& produce) {
  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) {
    return EISDIR;
  }
  if (exists && !S_ISREG(existing.st_mode)) {
    return writeDirectly(target, S_ISFIFO(existing.st_mode), produce);
  }
  return replaceWhole(target, exists ? &existing : nullptr, produce);
}

// Why a write failed, in words.
QString reason(int writeError) {
  switch (writeError) {
    case ECANCELED:
      return "stopped by a signal before it was read whole";
    case kProtectedLink:
      return "it is a symbolic link, in a folder that anyone may write to, owned by another user; "
             "the system does not follow such links, and neither does Wirequill";
    default:
      return std::strerror(writeError);
  }
}

// Resolves `path` link by link as the kernel would, into the file it names (which need not
// exist yet), to write there rather than over the link. A link in a sticky folder that anyone may
// write to is followed only when this user or the folder's owner owns it, the kernel's own rule
// for such links (fs.protected_symlinks): another user may have planted it to point elsewhere.
// 0, or an errno (kProtectedLink for such a link).
int followLinks(const std::string& path, std::string* target) {
  constexpr int kMostLinks = 40;  // as the kernel's ELOOP
  std::filesystem::path resolved = path.starts_with('/') ? "/" : std::filesystem::current_path();
  std::vector<std::string> left;  // the components still to resolve, the next one last
  const auto push = [&left](const std::filesystem::path& more) {
    std::vector<std::string> parts;
    for (const auto& part : more.relative_path()) {
      parts.push_back(part.string());
    }
    left.insert(left.end(), parts.rbegin(), parts.rend());
  };
  push(path);
  for (int links = 0; !left.empty();) {
    const std::string part = left.back();
    left.pop_back();
    if (part.empty() || part == ".") {
      continue;
    }
    if (part == "..") {
      resolved = resolved.parent_path();
      continue;
    }
    const std::filesystem::path next = resolved / part;
    struct stat link {};
    if (::lstat(next.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
      resolved = next;  // missing or not a link: open() says what is wrong, if anything
      continue;
    }
    struct stat folder {};
    if (++links > kMostLinks) {
      return ELOOP;
    }
    if (::stat(resolved.c_str(), &folder) == 0 && (folder.st_mode & S_ISVTX) &&
        (folder.st_mode & S_IWOTH) && link.st_uid != ::geteuid() && link.st_uid != folder.st_uid) {
      return kProtectedLink;
    }
    std::string linked(PATH_MAX, '\0');
    const ssize_t length = ::readlink(next.c_str(), linked.data(), linked.size());
    if (length < 0) {
      return errno;
    }
    linked.resize(static_cast<std::size_t>(length));
    if (linked.starts_with('/')) {
      resolved = "/";
    }
    push(linked);
  }
  *target = resolved.string();
  return 0;
}

}  // namespace

bool writeReportFile(const QString& path, const std::function<void(const ReportSink&)>& produce,
                     QString* error) {
  int writeError = 0;
  if (path == "-") {
    writeError = writeAll(stdout, produce);
  } else {
    // A link is followed: the report replaces the file it names, not the link.
    std::string target;
    writeError = followLinks(path.toLocal8Bit().toStdString(), &target);
    if (writeError == 0) {
      writeError = writeTo(target, produce);
    }
  }
  if (writeError != 0) {
    *error = QString("cannot write the report to %1: %2")
                 .arg(path == "-" ? "standard output" : path, reason(writeError));
    return false;
  }
  return true;
}

}  // namespace wq
