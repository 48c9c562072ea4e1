// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/CaptureControl.h"

#include "app/intake/CaptureFileFeed.h"
#include "app/window/InterfaceChooser.h"
#include "capture/CaptureSource.h"

namespace wq {

CaptureControl::CaptureControl(MainWindow& window, Monitor& monitor, OverlaySettingsStore& settings,
                               Defaults& defaults, Defaults& storedDefaults,
                               std::optional<QString> readFile)
    : window_(window),
      monitor_(monitor),
      settings_(settings),
      defaults_(defaults),
      storedDefaults_(storedDefaults),
      readFile_(std::move(readFile)) {
  connect(&monitor_, &Monitor::captureStarted, &window_,
          [this] { window_.showCaptureSource(monitor_.source(), true); });
  connect(&monitor_, &Monitor::lossChanged, &window_, [this] {
    window_.showCaptureLoss(monitor_.loss().told() ? QString::fromStdString(monitor_.loss().text())
                                                   : QString());
  });
  connect(&monitor_, &Monitor::inputEnded, &window_,
          [this](const QString& message, bool, const QString& details) {
            window_.showCaptureEnded(message.isEmpty() && readFile_
                                         ? QString("Read %1.").arg(captureInputName(*readFile_))
                                         : message,
                                     details);
            window_.showCaptureSource(monitor_.source(), false);
          });
  // The run follows what Preferences stored, whatever the command line gave for it.
  connect(&window_, &MainWindow::captureSettingsChanged, this, [this] {
    if (readFile_) {
      return;
    }
    settings_.dropOverride(keys::BPFDevice);
    settings_.dropOverride(keys::InterfaceDevice);
    settings_.dropOverride(keys::CaptureFilter);
    settings_.dropOverride(keys::CaptureHost);
    withInterface([this] {
      QString error;
      tell(monitor_.restartCapture(&error), error);
    });
  });
}

void CaptureControl::start() {
  withInterface([this] {
    QString error;
    tell(monitor_.start(readFile_, &error), error);
  });
}

void CaptureControl::withInterface(const std::function<void()>& capture) {
  const std::string interfaceName = defaults_.stringValue(keys::InterfaceDevice);
  // On another host the interface is that host's: the remote command checks it there, and says
  // so when it has none of that name.
  if (readFile_ || !netsiphon::isLiveDevice(defaults_.stringValue(keys::BPFDevice)) ||
      !defaults_.stringValue(keys::CaptureHost).empty() ||
      !netsiphon::liveInterfaceProblem(interfaceName)) {
    capture();
    return;
  }
  auto* chooser =
      new InterfaceChooser(QString::fromStdString(interfaceName), machineInterfaces(), &window_);
  chooser->setAttribute(Qt::WA_DeleteOnClose);
  connect(chooser, &QDialog::finished, this, [this, chooser, capture, interfaceName](int result) {
    if (result != QDialog::Accepted || chooser->choice().isEmpty()) {
      // Nothing is started on an interface that is not there.
      window_.showCaptureNotStarted(QString::fromStdString(interfaceName),
                                    "Capture has not started: choose an interface in "
                                    "Preferences, or give one with --interface.");
      return;
    }
    storedDefaults_.setValue(keys::InterfaceDevice, chooser->choice().toStdString());
    settings_.dropOverride(keys::InterfaceDevice);
    capture();
  });
  chooser->open();
}

void CaptureControl::tell(bool started, const QString& error) {
  if (!started) {
    window_.showCaptureEnded(error);
  }
}

}  // namespace wq
