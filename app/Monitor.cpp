#include "app/Monitor.h"

#include <QFileInfo>
#include <QStringList>
#include <cstring>

#include "app/WQMPrefsController.h"
#include "capture/Messages.h"
#include "tracking/LaunchLog.h"

namespace wq {

namespace {

constexpr int kPurgeIntervalMs = 1000;

}  // namespace

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
  QString message = "Capture stopped: " + failure.join(' ');
  if (helperText.find(netsiphon::failureLine(netsiphon::Step::kInterface)) != std::string::npos) {
    message += QString(
                   " The interface \"%1\" cannot be used: choose one in Preferences, or give "
                   "one with --interface.")
                   .arg(interfaceName);
  }
  return message;
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
  const bool started = readFile ? startFile(*readFile, error) : startHelper(error);
  if (!readFile) {
    purgeTimer_.start();  // a file read directly ticks by its own time instead
  }
  for (const std::string& line : launchSettingsLines(defaults_)) {
    log_.log(line);
  }
  return started;
}

bool Monitor::startFile(const QString& path, QString* error) {
  file_ = std::make_unique<CaptureFileFeed>(controller_, *replayClock_);
  connect(file_.get(), &CaptureFileFeed::changed, this, &Monitor::changed);
  connect(file_.get(), &CaptureFileFeed::finished, this,
          [this](const QString& failure) { emit inputEnded(failure, !failure.isEmpty()); });
  if (!file_->open(path, error)) {
    *error = QString("%1: %2").arg(path, *error);
    return false;
  }
  file_->start();
  return true;
}

bool Monitor::startHelper(QString* error) {
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
  const QString device = QString::fromStdString(defaults_.stringValue(keys::BPFDevice));
  const QString interfaceName =
      QString::fromStdString(defaults_.stringValue(keys::InterfaceDevice));
  if (!helper_->start(*path, device, interfaceName, error)) {
    helper_.reset();
    return false;
  }
  if (QFileInfo(device).isFile()) {
    rememberCaptureFile(defaults_, device.toStdString());  // offered again in Preferences
  }
  return true;
}

void Monitor::helperEnded(int exitStatus, int signal) {
  const std::string text = controller_.tracker().captureStreamEnded();
  for (const QString& line :
       QString::fromLatin1(text.data(), text.size()).split('\n', Qt::SkipEmptyParts)) {
    log_.log("netsiphon: " + line.toStdString());
  }
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
  log_.log(message.toStdString());
  emit inputEnded(message, true);
}

void Monitor::shutdown() {
  shuttingDown_ = true;
  log_.log("Terminating Wirequill.\n");
  if (helper_) {
    helper_->sendTerminationLine();
  }
}

}  // namespace wq
