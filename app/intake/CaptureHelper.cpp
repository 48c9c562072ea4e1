// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/CaptureHelper.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include "capture/CaptureSource.h"
#include "capture/Messages.h"

extern char** environ;

namespace wq {

namespace {

constexpr char kHelperName[] = "netsiphon";
// How long a program may take to end after the termination line before it is killed.
constexpr std::chrono::milliseconds kStopPatience{2000};
// How often an ended stream's program is looked for, and after how many looks it is killed.
constexpr int kReapIntervalMs = 20;
constexpr int kReapAttemptsBeforeKill = 100;
constexpr int kLingeringReapIntervalMs = 500;
// At most this much is read per wake-up, so that a flood cannot starve the window's other events.
constexpr std::size_t kMostReadPerWakeUp = 1 << 20;

// Whether the file carries CAP_NET_RAW and CAP_NET_ADMIN as permitted and effective file
// capabilities (as `setcap cap_net_raw,cap_net_admin+ep` gives it).
bool hasCaptureCapabilities(const QString& path) {
  std::array<std::uint32_t, 5> data{};  // magic and flags, then permitted/inheritable words
  const ssize_t length =
      getxattr(path.toLocal8Bit().constData(), "security.capability", data.data(), sizeof data);
  if (length < static_cast<ssize_t>(3 * sizeof(std::uint32_t))) {
    return false;
  }
  constexpr std::uint32_t kEffective = 0x1;
  constexpr std::uint32_t kNetAdmin = 1u << 12;
  constexpr std::uint32_t kNetRaw = 1u << 13;
  const std::uint32_t permitted = data[1];
  return (data[0] & kEffective) && (permitted & kNetAdmin) && (permitted & kNetRaw);
}

}  // namespace

CaptureHelper::CaptureHelper(std::function<void(ByteView)> deliver, QObject* parent)
    : QObject(parent), deliver_(std::move(deliver)) {
  reaper_.setInterval(kReapIntervalMs);
  connect(&reaper_, &QTimer::timeout, this, &CaptureHelper::reap);
  // A program that ignores the termination line is killed; its stream then ends, and it is
  // reaped as any other.
  stopDeadline_.setSingleShot(true);
  stopDeadline_.setInterval(kStopPatience);
  connect(&stopDeadline_, &QTimer::timeout, this, [this] {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
    }
  });
}

CaptureHelper::~CaptureHelper() {
  for (const int descriptor : {socket_, errors_}) {
    if (descriptor >= 0) {
      ::close(descriptor);
    }
  }
}

std::optional<QString> CaptureHelper::locate() {
  const QString programDir = QCoreApplication::applicationDirPath();
  for (const QString& candidate :
       {programDir + "/" + kHelperName, programDir + "/../libexec/wirequill/" + kHelperName,
        QString(WIREQUILL_LIBEXEC_DIR) + "/" + kHelperName}) {
    // Found even where this user may not run it (installed for the wirequill group alone):
    // pkexec runs it then.
    const QFileInfo info(candidate);
    if (info.isFile()) {
      return info.canonicalFilePath();
    }
  }
  return std::nullopt;
}

CaptureHelper::Launch CaptureHelper::launchFor(const QString& helperPath, const QString& device) {
  const bool mayRun = ::access(helperPath.toLocal8Bit().constData(), X_OK) == 0;
  if (mayRun && (geteuid() == 0 || !netsiphon::isLiveDevice(device.toStdString()) ||
                 hasCaptureCapabilities(helperPath))) {
    return Launch::Direct;
  }
  return Launch::Pkexec;
}

bool CaptureHelper::start(const QString& helperPath, const QString& device,
                          const QString& interfaceName, const QString& filter, QString* error) {
  Command command;
  if (launchFor(helperPath, device) == Launch::Pkexec) {
    const QString pkexec = QStandardPaths::findExecutable("pkexec");
    if (pkexec.isEmpty()) {
      *error = "Capturing needs administrator privileges, and pkexec is not installed.";
      return false;
    }
    command.arguments.push_back(pkexec.toLocal8Bit());
  }
  command.arguments.push_back(helperPath.toLocal8Bit());
  command.arguments.push_back(device.toLocal8Bit());
  command.arguments.push_back(interfaceName.toLocal8Bit());
  if (!filter.isEmpty()) {
    command.arguments.push_back(filter.toLocal8Bit());
  }
  command.readErrors = true;  // its counts of lost packets, while it captures
  return start(command, error);
}

bool CaptureHelper::start(const Command& command, QString* error) {
  const QString program = QString::fromLocal8Bit(command.arguments.front());
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    *error = QString("Could not make a pipe to %1: %2").arg(program, strerror(errno));
    return false;
  }
  const int ours = ends[0];
  const int theirs = ends[1];
  int errorEnds[2] = {-1, -1};
  if (command.readErrors && pipe2(errorEnds, O_CLOEXEC) != 0) {
    ::close(ours);
    ::close(theirs);
    *error = QString("Could not make a pipe to %1: %2").arg(program, strerror(errno));
    return false;
  }

  std::vector<QByteArray> arguments = command.arguments;
  std::vector<char*> argv;
  for (QByteArray& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, theirs, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, theirs, STDOUT_FILENO);
  if (command.readErrors) {
    posix_spawn_file_actions_adddup2(&actions, errorEnds[1], STDERR_FILENO);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The signals this program ignores for itself start out as usual there.
  sigset_t usual;
  sigemptyset(&usual);
  sigaddset(&usual, SIGPIPE);
  sigaddset(&usual, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &usual);
  posix_spawnattr_setflags(
      &attributes,
      static_cast<short>(POSIX_SPAWN_SETSIGDEF | (command.ownSession ? POSIX_SPAWN_SETSID : 0)));
  const int spawned = posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(theirs);
  if (command.readErrors) {
    ::close(errorEnds[1]);
  }
  if (spawned != 0) {
    ::close(ours);
    if (command.readErrors) {
      ::close(errorEnds[0]);
    }
    pid_ = -1;
    *error = QString("Could not start %1: %2").arg(program, strerror(spawned));
    return false;
  }

  socket_ = ours;
  fcntl(socket_, F_SETFL, fcntl(socket_, F_GETFL) | O_NONBLOCK);
  notifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &CaptureHelper::readAvailable);
  notifier_->setEnabled(!command.holdStream);
  streamOpen_ = true;
  if (command.readErrors) {
    errors_ = errorEnds[0];
    fcntl(errors_, F_SETFL, fcntl(errors_, F_GETFL) | O_NONBLOCK);
    errorNotifier_ = std::make_unique<QSocketNotifier>(errors_, QSocketNotifier::Read);
    connect(errorNotifier_.get(), &QSocketNotifier::activated, this, &CaptureHelper::readErrors);
  }
  return true;
}

void CaptureHelper::readStream() {
  notifier_->setEnabled(true);
}

int CaptureHelper::takeStream() {
  notifier_->setEnabled(false);
  streamOpen_ = false;
  const int taken = fcntl(socket_, F_DUPFD_CLOEXEC, 0);
  reapWhenDone();
  return taken;
}

void CaptureHelper::readAvailable() {
  // What one wake-up reads is delivered at once: the window then follows once per wake-up, not
  // once per read.
  static std::vector<std::uint8_t> buffer(kMostReadPerWakeUp);
  std::size_t filled = 0;
  bool ended = false;
  while (filled < buffer.size()) {
    const ssize_t length = ::read(socket_, buffer.data() + filled, buffer.size() - filled);
    if (length <= 0) {
      ended = !(length < 0 && (errno == EAGAIN || errno == EINTR));
      break;
    }
    filled += static_cast<std::size_t>(length);
  }
  if (filled > 0) {
    deliver_(ByteView(buffer.data(), filled));
  }
  if (ended) {
    // End of stream (or a failed read): intake has ended for the rest of the run.
    notifier_->setEnabled(false);
    streamOpen_ = false;
    reapWhenDone();
  }
}

void CaptureHelper::readErrors() {
  char buffer[4096];
  ssize_t length;
  while ((length = ::read(errors_, buffer, sizeof buffer)) > 0) {
    partialErrorLine_.append(buffer, length);
    qsizetype end;
    while ((end = partialErrorLine_.indexOf('\n')) >= 0) {
      emit errorLine(QString::fromLocal8Bit(partialErrorLine_.left(end)));
      partialErrorLine_.remove(0, end + 1);
    }
  }
  if (length < 0 && (errno == EAGAIN || errno == EINTR)) {
    return;
  }
  if (!partialErrorLine_.isEmpty()) {
    emit errorLine(QString::fromLocal8Bit(partialErrorLine_));
    partialErrorLine_.clear();
  }
  errorNotifier_.reset();
  ::close(errors_);
  errors_ = -1;
  if (!notifier_->isEnabled()) {
    streamOpen_ = false;  // still held: the program ended before it had a stream to read
  }
  reapWhenDone();
}

void CaptureHelper::reapWhenDone() {
  if (!streamOpen_ && errors_ < 0) {
    reapAttempts_ = 0;
    reap();
  }
}

void CaptureHelper::reap() {
  int status = 0;
  const pid_t reaped = waitpid(pid_, &status, WNOHANG);
  if (reaped == 0) {
    // Closed its end but still exiting: look again shortly. One that lingers is killed, and
    // waited for all the same (pkexec's, which runs as root, may only end by itself).
    if (++reapAttempts_ == kReapAttemptsBeforeKill && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reaper_.setInterval(kLingeringReapIntervalMs);
    }
    reaper_.start();
    return;
  }
  reaper_.stop();
  stopDeadline_.stop();
  const bool known = reaped == pid_;
  emit ended(known && WIFEXITED(status) ? WEXITSTATUS(status) : -1,
             known && WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void CaptureHelper::sendTerminationLine() {
  if (socket_ < 0) {
    return;
  }
  // Bare characters, no line end. A helper that has gone gets nothing, and no SIGPIPE either.
  (void)::send(socket_, netsiphon::kTerminationLine.data(), netsiphon::kTerminationLine.size(),
               MSG_NOSIGNAL);
  // And the end of its input, for a program that does not read it (tcpdump behind ssh) and
  // stops when it ends.
  ::shutdown(socket_, SHUT_WR);
  stopDeadline_.start();
}

}  // namespace wq
