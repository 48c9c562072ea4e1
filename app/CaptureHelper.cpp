#include "app/CaptureHelper.h"

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
#include <cstring>

#include "capture/CaptureSource.h"
#include "capture/Messages.h"

extern char** environ;

namespace wq {

namespace {

constexpr char kHelperName[] = "netsiphon";
constexpr std::size_t kReadSize = 1 << 16;
// Reads per wake-up, so that a flood cannot starve the window's other events.
constexpr int kReadsPerWakeUp = 16;

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
  reaper_.setInterval(20);
  connect(&reaper_, &QTimer::timeout, this, &CaptureHelper::reap);
}

CaptureHelper::~CaptureHelper() {
  if (socket_ >= 0) {
    ::close(socket_);
  }
}

std::optional<QString> CaptureHelper::locate() {
  const QString programDir = QCoreApplication::applicationDirPath();
  for (const QString& candidate :
       {programDir + "/" + kHelperName, programDir + "/../libexec/wirequill/" + kHelperName,
        QString(WIREQUILL_LIBEXEC_DIR) + "/" + kHelperName}) {
    const QFileInfo info(candidate);
    if (info.isFile() && info.isExecutable()) {
      return info.canonicalFilePath();
    }
  }
  return std::nullopt;
}

CaptureHelper::Launch CaptureHelper::launchFor(const QString& helperPath, const QString& device) {
  if (geteuid() == 0 || !netsiphon::isLiveDevice(device.toStdString()) ||
      hasCaptureCapabilities(helperPath)) {
    return Launch::Direct;
  }
  return Launch::Pkexec;
}

bool CaptureHelper::start(const QString& helperPath, const QString& device,
                          const QString& interfaceName, const QString& filter, QString* error) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    *error = QString("Could not make a pipe to the capture helper: %1").arg(strerror(errno));
    return false;
  }
  const int ours = ends[0];
  const int theirs = ends[1];

  std::vector<QByteArray> arguments;
  if (launchFor(helperPath, device) == Launch::Pkexec) {
    const QString pkexec = QStandardPaths::findExecutable("pkexec");
    if (pkexec.isEmpty()) {
      ::close(ours);
      ::close(theirs);
      *error = "Capturing needs administrator privileges, and pkexec is not installed.";
      return false;
    }
    arguments.push_back(pkexec.toLocal8Bit());
  }
  arguments.push_back(helperPath.toLocal8Bit());
  arguments.push_back(device.toLocal8Bit());
  arguments.push_back(interfaceName.toLocal8Bit());
  if (!filter.isEmpty()) {
    arguments.push_back(filter.toLocal8Bit());
  }
  std::vector<char*> argv;
  for (QByteArray& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, theirs, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, theirs, STDOUT_FILENO);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(theirs);
  if (spawned != 0) {
    ::close(ours);
    pid_ = -1;
    *error = QString("Could not start %1: %2").arg(helperPath, strerror(spawned));
    return false;
  }

  socket_ = ours;
  fcntl(socket_, F_SETFL, fcntl(socket_, F_GETFL) | O_NONBLOCK);
  notifier_ = std::make_unique<QSocketNotifier>(socket_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &CaptureHelper::readAvailable);
  return true;
}

void CaptureHelper::readAvailable() {
  static std::array<std::uint8_t, kReadSize> buffer;
  for (int reads = 0; reads < kReadsPerWakeUp; ++reads) {
    const ssize_t length = ::read(socket_, buffer.data(), buffer.size());
    if (length > 0) {
      deliver_(ByteView(buffer.data(), static_cast<std::size_t>(length)));
      continue;
    }
    if (length < 0 && (errno == EAGAIN || errno == EINTR)) {
      return;
    }
    // End of stream (or a failed read): intake has ended for the rest of the run.
    notifier_->setEnabled(false);
    reapAttempts_ = 0;
    reap();
    return;
  }
}

void CaptureHelper::reap() {
  int status = 0;
  const pid_t reaped = waitpid(pid_, &status, WNOHANG);
  if (reaped == 0 && ++reapAttempts_ < 100) {
    reaper_.start();  // closed its end but still exiting: look again shortly
    return;
  }
  reaper_.stop();
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
}

}  // namespace wq
