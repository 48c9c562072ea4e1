// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/HelperIntake.h"

#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/intake/HelperEnding.h"
#include "app/window/WQMPrefsController.h"
#include "capture/CaptureSource.h"

namespace wq {

HelperIntake::HelperIntake(Session& session, Defaults& defaults, LogSink& log, QObject* parent)
    : Intake(session, parent),
      defaults_(defaults),
      log_(log),
      helper_([this](ByteView bytes) { deliver(bytes); }) {
  connect(&helper_, &CaptureHelper::ended, this, &HelperIntake::helperEnded);
  connect(&helper_, &CaptureHelper::errorLine, this, &HelperIntake::errorLine);
}

std::string HelperIntake::whyNoPrograms() const {
  return netsiphon::isLiveDevice(defaults_.stringValue(keys::BPFDevice)) ? ""
                                                                         : "captured from a file";
}

bool HelperIntake::start(QString* error) {
  const std::optional<QString> path = CaptureHelper::locate();
  helperPath_ = path.value_or(QString());
  if (!path) {
    *error =
        "The capture helper netsiphon was not found beside wirequill or in its libexec "
        "folder: nothing will be captured.";
    return false;
  }
  const QString device = QString::fromStdString(defaults_.stringValue(keys::BPFDevice));
  interfaceName_ = QString::fromStdString(defaults_.stringValue(keys::InterfaceDevice));
  const bool live = netsiphon::isLiveDevice(device.toStdString());
  source_ = live ? interfaceName_ : QFileInfo(device).fileName();
  const QString filter = QString::fromStdString(defaults_.stringValue(keys::CaptureFilter));
  if (!helper_.start(*path, device, interfaceName_, filter, error)) {
    return false;
  }
  if (QFileInfo(device).isFile()) {
    rememberCaptureFile(defaults_, device.toStdString());  // offered again in Preferences
  }
  if (!live) {
    captureStarted();  // a capture file needs no rights: it is replayed at once
  }
  return true;
}

void HelperIntake::stop() {
  stopping_ = true;
  helper_.sendTerminationLine();
}

void HelperIntake::errorLine(const QString& line) {
  const QByteArray bytes = line.toLocal8Bit();
  const bool counts = takeCounts(std::string_view(bytes.constData(), bytes.size()));
  if (counts) {
    captureStarted();  // the helper tells its first counts as its capture starts
  }
  // Counts while the capture runs are shown, not printed; the helper's last ones, at its end, are
  // printed as it wrote them, with everything else it says.
  if (!counts || stopping_) {
    std::fprintf(stderr, "%s\n", bytes.constData());
  }
  if (!counts) {
    otherLines_ << line;
  }
}

void HelperIntake::helperEnded(int exitStatus, int signal) {
  trackDelivered();  // the stream's last records, before its end
  // Once ignored, the stream's reader belongs to the intake that replaced this one.
  const std::string text = ignored_ ? std::string() : endHelperStream(session_.tracker(), log_);
  // pkexec fails this way with no system bus, or no polkit agent to ask for the password.
  const auto cannotAsk = std::ranges::find_if(otherLines_, [](const QString& line) {
    return line.contains("No authentication agent") || line.contains("Error getting authority");
  });
  if (text.empty() && exitStatus == CaptureHelper::kPkexecNotAuthorized &&
      cannotAsk != otherLines_.end()) {
    finish({QString("Capture could not start: pkexec cannot ask for an administrator's password "
                    "here (%1). Join the wirequill group (sudo usermod -aG wirequill $USER, then "
                    "log in again), or give the helper the capture capabilities (sudo setcap "
                    "cap_net_raw,cap_net_admin+ep %2).")
                .arg(cannotAsk->trimmed(), helperPath_),
            true, otherLines_.join('\n')});
    return;
  }
  if (text.empty() && (exitStatus == CaptureHelper::kPkexecDismissed ||
                       exitStatus == CaptureHelper::kPkexecNotAuthorized)) {
    Ending refused;
    refused.privilegesRefused = true;
    finish(refused);
    return;
  }
  QString message = helperFailureMessage(text, interfaceName_);
  if (message.isEmpty() && signal != 0) {
    message = QString("Capture stopped: the capture helper was killed by signal %1 (%2).")
                  .arg(signal)
                  .arg(strsignal(signal));
  } else if (message.isEmpty()) {
    message = QString("Capture stopped: the capture helper ended (status %1).").arg(exitStatus);
  }
  finish({message, true, QString::fromLatin1(text.data(), text.size()).trimmed()});
}

}  // namespace wq
