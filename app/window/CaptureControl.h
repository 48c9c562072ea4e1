// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Starts the window's capture, and moves it when Preferences stores another device, interface or
// capture filter:
// live capture on an interface this machine lacks (the stored default on a first start, say)
// first asks for one of the machine's interfaces, and stores the choice.

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

#include "app/intake/Monitor.h"
#include "app/window/MainWindow.h"
#include "tracking/PlainPlatform.h"

namespace wq {

class CaptureControl : public QObject {
  Q_OBJECT

 public:
  // `settings` holds this run's own values over the stored ones, which `storedDefaults` reads.
  CaptureControl(MainWindow& window, Monitor& monitor, OverlaySettingsStore& settings,
                 Defaults& defaults, Defaults& storedDefaults, std::optional<QString> readFile);

  // Starts the intake, once an interface is chosen if one must be.
  void start();

 private:
  // Runs `capture` at once, or once the chooser has been answered.
  void withInterface(const std::function<void()>& capture);
  void tell(bool started, const QString& error);

  MainWindow& window_;
  Monitor& monitor_;
  OverlaySettingsStore& settings_;
  Defaults& defaults_;
  Defaults& storedDefaults_;
  std::optional<QString> readFile_;
};

}  // namespace wq
