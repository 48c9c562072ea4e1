#include "app/intake/Monitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/window/WQMPrefsController.h"
#include "capture/CaptureFilter.h"
#include "capture/CaptureSource.h"
#include "capture/Messages.h"
#include "tracking/LaunchLog.h"

namespace wq {

namespace {

constexpr int kPurgeIntervalMs = 1000;

}  // namespace

QString captureFilterRefusal(const Defaults& defaults) {
  const std::string filter = defaults.stringValue(keys::CaptureFilter);
  const std::optional<std::string> problem = netsiphon::captureFilterProblem(filter);
  if (!problem) {
    return {};
  }
  return QString(
             "The capture filter \"%1\" cannot be used: %2. Change it in Preferences, or give "
             "another with --filter.")
      .arg(QString::fromStdString(filter), QString::fromStdString(*problem));
}

std::string endHelperStream(NodeTracker& tracker, LogSink& log) {
  const std::string text = tracker.captureStreamEnded();
  for (const QString& line :
       QString::fromLatin1(text.data(), text.size()).split('\n', Qt::SkipEmptyParts)) {
    log.log("netsiphon: " + line.toStdString());
  }
  return text;
}

QString helperFailureMessage(const std::string& helperText, const QString& interfaceName) {
  QStringList failure;
  for (const QString& line :
       QString::fromLatin1(helperText.data(), helperText.size()).split('\n', Qt::SkipEmptyParts)) {
    const QByteArray bytes = line.toLatin1();
    if (!netsiphon::isProgressLine(std::string_view(bytes.constData(), bytes.size()))) {
      failure << line.trimmed();
    }
  }
  if (failure.isEmpty()) {
    return {};
  }
  // The interface step's failure is the common one: said plainly, the helper's lines stay in
  // the details.
  if (helperText.find(netsiphon::failureLine(netsiphon::Step::kInterface)) != std::string::npos) {
    return QString(
               "Capture stopped: the interface \"%1\" cannot be used. Choose one in "
               "Preferences, or give one with --interface.")
        .arg(interfaceName);
  }
  return "Capture stopped: " + failure.join(' ');
}

Monitor::Monitor(ApplicationController& controller, Defaults& defaults, LogSink& log,
                 ManualClock* replayClock, QObject* parent)
    : QObject(parent),
      controller_(controller),
      defaults_(defaults),
      log_(log),
      replayClock_(replayClock) {
  purgeTimer_.setInterval(kPurgeIntervalMs);
  connect(&purgeTimer_, &QTimer::timeout, this, [this] {
    controller_.tracker().purgeNodes();
    emit changed();
  });
}

bool Monitor::start(const std::optional<QString>& readFile, QString* error) {
  if (readFile && !replayClock_) {
    if (filterUsable(error) && openStream(*readFile, error)) {
      return true;  // its start has been told
    }
    return launched(false, *error);
  }
  const bool started =
      filterUsable(error) && (readFile ? startFile(*readFile, error) : startHelper(error));
  if (!readFile) {
    purgeTimer_.start();  // a file read directly ticks by its own time instead
  }
  return launched(started, *error);
}

bool Monitor::openStream(const QString& path, QString* error) {
  // A FIFO is opened without waiting for its writer; reads wait instead, and can be stopped.
  const int descriptor =
      path == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                  : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    *error = QString("%1: %2").arg(captureInputName(path), strerror(errno));
    return false;
  }
  startStream(descriptor, captureInputName(path));
  return true;
}

void Monitor::startStream(int descriptor, const QString& name) {
  source_ = name;
  makeFeed().openStream(descriptor, name, defaults_.stringValue(keys::CaptureFilter));
  file_->start();
  purgeTimer_.start();
  launched(true, {});
}

void Monitor::catchUp() {
  if (file_) {
    file_->trackReadBatches();
  }
}

bool Monitor::launched(bool started, const QString& error) {
  controller_.tracker().setCaptureEnded(!started);
  for (const std::string& line : launchSettingsLines(defaults_)) {
    log_.log(line);
  }
  if (started) {
    emit captureStarted();
  } else {
    log_.log(error.toStdString());
  }
  emit changed();
  return started;
}

template <class Intake>
void Monitor::retire(std::unique_ptr<Intake> intake) {
  Intake* retiring = intake.get();
  retiring_.push_back(std::move(intake));
  disconnect(retiring, nullptr, this, nullptr);
  retiring->ignoreStream();
  retiring->sendTerminationLine();
  connect(retiring, &Intake::ended, this, [this, retiring] {
    // Deleted once its signal has returned.
    const auto found = std::ranges::find_if(
        retiring_, [retiring](const auto& intake) { return intake.get() == retiring; });
    found->release()->deleteLater();
    retiring_.erase(found);
  });
}

bool Monitor::restartCapture(QString* error) {
  loss_ = CaptureLoss();  // the new capture counts from its own start
  emit lossChanged();
  if (helper_ || remote_) {
    // The reader of the stream starts afresh.
    helper_ ? retire(std::move(helper_)) : retire(std::move(remote_));
    (void)controller_.tracker().captureStreamEnded();
  }
  return launched(filterUsable(error) && startHelper(error), *error);
}

bool Monitor::filterUsable(QString* error) const {
  *error = captureFilterRefusal(defaults_);
  return error->isEmpty();
}

CaptureFileFeed& Monitor::makeFeed() {
  file_ = std::make_unique<CaptureFileFeed>(controller_, replayClock_);
  connect(file_.get(), &CaptureFileFeed::changed, this, &Monitor::changed);
  connect(file_.get(), &CaptureFileFeed::finished, this,
          [this](const QString& failure) { ended(failure, !failure.isEmpty()); });
  return *file_;
}

bool Monitor::startFile(const QString& path, QString* error) {
  source_ = QFileInfo(path).fileName();
  if (!makeFeed().open(path, defaults_.stringValue(keys::CaptureFilter), error)) {
    *error = QString("%1: %2").arg(path, *error);
    return false;
  }
  file_->start();
  return true;
}

bool Monitor::startHelper(QString* error) {
  const QString host = QString::fromStdString(defaults_.stringValue(keys::CaptureHost));
  if (!host.isEmpty()) {
    return startRemote(host, error);
  }
  const std::optional<QString> path = CaptureHelper::locate();
  if (!path) {
    *error =
        "The capture helper netsiphon was not found beside wirequill or in its libexec "
        "folder: nothing will be captured.";
    return false;
  }
  helper_ = std::make_unique<CaptureHelper>([this](ByteView bytes) {
    controller_.tracker().dataReceived(bytes);
    emit changed();
  });
  connect(helper_.get(), &CaptureHelper::ended, this, &Monitor::helperEnded);
  connect(helper_.get(), &CaptureHelper::errorLine, this, &Monitor::helperErrorLine);
  const QString device = QString::fromStdString(defaults_.stringValue(keys::BPFDevice));
  const QString interfaceName =
      QString::fromStdString(defaults_.stringValue(keys::InterfaceDevice));
  source_ =
      netsiphon::isLiveDevice(device.toStdString()) ? interfaceName : QFileInfo(device).fileName();
  const QString filter = QString::fromStdString(defaults_.stringValue(keys::CaptureFilter));
  if (!helper_->start(*path, device, interfaceName, filter, error)) {
    helper_.reset();
    return false;
  }
  intakeRunning_ = true;
  if (QFileInfo(device).isFile()) {
    rememberCaptureFile(defaults_, device.toStdString());  // offered again in Preferences
  }
  return true;
}

bool Monitor::startRemote(const QString& host, QString* error) {
  const QString device = QString::fromStdString(defaults_.stringValue(keys::BPFDevice));
  const RemoteTarget target{
      .host = host,
      .device = netsiphon::isLiveDevice(device.toStdString()) ? device : QString("/dev/bpf0"),
      .interfaceName = QString::fromStdString(defaults_.stringValue(keys::InterfaceDevice)),
      .filter = QString::fromStdString(defaults_.stringValue(keys::CaptureFilter)),
      .batchMode = !sshPrompts_};
  source_ = QString("%1 on %2").arg(target.interfaceName, host);
  remote_ = std::make_unique<RemoteCapture>(controller_, log_, loss_);
  connect(remote_.get(), &RemoteCapture::changed, this, &Monitor::changed);
  connect(remote_.get(), &RemoteCapture::lossChanged, this, &Monitor::lossChanged);
  connect(remote_.get(), &RemoteCapture::ended, this,
          [this](const QString& message, bool failed, const QString& details) {
            intakeEnded();
            if (!shuttingDown_) {
              logEnding(message);
              ended(message, failed, details);
            }
          });
  if (!remote_->start(target, error)) {
    remote_.reset();
    return false;
  }
  intakeRunning_ = true;
  return true;
}

void Monitor::helperEnded(int exitStatus, int signal) {
  const std::string text = endHelperStream(controller_.tracker(), log_);
  intakeEnded();
  if (shuttingDown_) {
    return;
  }
  if (text.empty() && (exitStatus == CaptureHelper::kPkexecDismissed ||
                       exitStatus == CaptureHelper::kPkexecNotAuthorized)) {
    emit privilegesRefused();
    return;
  }
  QString message = helperFailureMessage(
      text, QString::fromStdString(defaults_.stringValue(keys::InterfaceDevice)));
  if (message.isEmpty() && signal != 0) {
    message = QString("Capture stopped: the capture helper was killed by signal %1 (%2).")
                  .arg(signal)
                  .arg(strsignal(signal));
  } else if (message.isEmpty()) {
    message = QString("Capture stopped: the capture helper ended (status %1).").arg(exitStatus);
  }
  logEnding(message);
  ended(message, true, QString::fromLatin1(text.data(), text.size()).trimmed());
}

void Monitor::helperErrorLine(const QString& line) {
  const QByteArray bytes = line.toLocal8Bit();
  const bool counts = loss_.take(std::string_view(bytes.constData(), bytes.size()));
  if (counts) {
    emit lossChanged();
  }
  // Counts while the capture runs are shown, not printed; the helper's last ones, at its end, are
  // printed as it wrote them, with everything else it says.
  if (!counts || shuttingDown_) {
    std::fprintf(stderr, "%s\n", bytes.constData());
  }
}

void Monitor::logEnding(const QString& message) {
  if (logEndings_) {
    log_.log(message.toStdString());
  }
}

void Monitor::ended(const QString& message, bool failed, const QString& details) {
  controller_.tracker().setCaptureEnded(true);
  emit changed();
  emit inputEnded(message, failed, details);
}

void Monitor::shutdown() {
  shuttingDown_ = true;
  log_.log("Terminating Wirequill.\n");
  if (helper_) {
    helper_->sendTerminationLine();
  }
  if (remote_) {
    remote_->sendTerminationLine();
  }
  if (!intakeRunning_) {
    emit intakeStopped();
  }
}

void Monitor::intakeEnded() {
  intakeRunning_ = false;
  if (shuttingDown_) {
    emit intakeStopped();
  }
}

}  // namespace wq
