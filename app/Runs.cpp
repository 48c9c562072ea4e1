// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Runs.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QTimer>
#include <QVersionNumber>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <utility>

#include "app/ReportFile.h"
#include "app/SignalWatcher.h"
#include "app/intake/Monitor.h"
#include "app/window/CaptureControl.h"
#include "app/window/MainWindow.h"
#include "tracking/view/PayloadSearch.h"

namespace wq {

namespace {

constexpr char kPrivilegesRefused[] = "Wirequill requires administrator privileges. Sorry.";
// How long a run without a window waits for its capture to end after telling it to: a helper
// that ignores the termination line is killed after two seconds.
constexpr std::chrono::milliseconds kHelperEndPatience{3000};

void complain(const QString& message) {
  std::fprintf(stderr, "wirequill: %s\n", qPrintable(message));
}

}  // namespace

bool checkQtVersion(LogSink& log, QString* required) {
  *required = QT_VERSION_STR;
  const QVersionNumber running = QVersionNumber::fromString(qVersion());
  if (running < QVersionNumber::fromString(QT_VERSION_STR)) {
    return false;
  }
  log.log(
      QString("Wirequill running on Qt version %1 or greater...\n").arg(*required).toStdString());
  return true;
}

int runWindow(const RunContext& context) {
  RunSession run(context);
  Monitor& monitor = run.monitor;
  Defaults storedDefaults(context.settings.stored());
  storedDefaults.registerDefaults(registeredDefaults());
  QtSoundPlayer sounds;
  MainWindow window(run.session, storedDefaults, sounds);

  QString required;
  if (!checkQtVersion(context.log, &required)) {
    QMessageBox::critical(
        nullptr, "Wirequill",
        QString("Wirequill requires Qt version %1 or greater. Sorry.").arg(required));
    context.log.log("Terminating Wirequill.\n");
    return 1;
  }

  // ssh asks through the desktop's askpass program where one is set; headless runs never ask.
  monitor.allowSshPrompts(!qEnvironmentVariableIsEmpty("SSH_ASKPASS"));
  QObject::connect(&monitor, &Monitor::changed, &window, &MainWindow::refresh);
  CaptureControl capture(window, monitor, context.settings, run.session.defaults(), storedDefaults,
                         context.options.readFile);
  QObject::connect(&monitor, &Monitor::privilegesRefused, &window, [&] {
    QMessageBox::warning(&window, "Wirequill", kPrivilegesRefused);
    QApplication::quit();
  });
  SignalWatcher signalWatcher;
  QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, qApp, &QApplication::quit);
  QObject::connect(qApp, &QCoreApplication::aboutToQuit, &monitor, &Monitor::shutdown);

  window.placeWindow();
  capture.start();
  return QApplication::exec();
}

int runHeadless(const RunContext& context) {
  RunSession run(context);
  Monitor& monitor = run.monitor;
  QString required;
  if (!checkQtVersion(context.log, &required)) {
    complain(QString("Wirequill requires Qt version %1 or greater.").arg(required));
    return 1;
  }

  // A stored filter that cannot be used is refused as a bad argument is, before anything starts.
  if (const QString refusal = captureFilterRefusal(run.session.defaults()); !refusal.isEmpty()) {
    complain(refusal);
    return 2;
  }
  monitor.logEndings(false);  // told once, as a complaint, below
  bool finished = false;
  const auto finish = [&](int status) {
    if (finished) {
      return;
    }
    finished = true;
    monitor.catchUp();
    if (context.options.match) {
      keepNodesHolding(run.session, PayloadPattern::text(context.options.match->toStdString()));
    }
    QString error;
    // A capture that never started has nothing to report: an earlier report stays as it was.
    if (!monitor.captured()) {
      if (context.options.reportPath) {
        complain("Capture never started: the report was not written.");
      }
      status = 1;
    } else if (context.options.reportPath &&
               !writeReportFile(
                   *context.options.reportPath,
                   [&](const ReportSink& sink) { run.session.writeReport(sink); }, &error)) {
      complain(error);
      status = 1;
    }
    // The helper's last counts come as it ends: the loss is told once it has, or after a while.
    const auto exit = [&monitor, status, done = std::make_shared<bool>(false)] {
      if (std::exchange(*done, true)) {
        return;
      }
      if (monitor.loss().told()) {
        complain(QString::fromStdString(monitor.loss().text()));
      }
      QCoreApplication::exit(status);
    };
    QObject::connect(&monitor, &Monitor::intakeStopped, exit);
    QTimer::singleShot(kHelperEndPatience, exit);
    monitor.shutdown();
  };
  QObject::connect(&monitor, &Monitor::inputEnded, [&](const QString& message, bool failed) {
    if (!message.isEmpty()) {
      complain(message);
    }
    finish(failed ? 1 : 0);
  });
  QObject::connect(&monitor, &Monitor::privilegesRefused, [&] {
    complain(kPrivilegesRefused);
    finish(1);
  });
  SignalWatcher signalWatcher;
  QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, [&] { finish(0); });
  // One Qt timer waits at most about 24 days, so a long duration is waited for a day at a time.
  // It counts from the start of capture: not while pkexec waits for a password, say.
  QDeadlineTimer deadline;
  QTimer durationTimer;
  durationTimer.setSingleShot(true);
  const auto waitOn = [&] {
    constexpr qint64 kDay = 24 * 3600 * 1000;
    durationTimer.start(static_cast<int>(std::min(deadline.remainingTime(), kDay)));
  };
  QObject::connect(&durationTimer, &QTimer::timeout,
                   [&] { deadline.hasExpired() ? finish(0) : waitOn(); });
  if (context.options.durationSeconds) {
    QObject::connect(&monitor, &Monitor::capturing, [&] {
      deadline.setRemainingTime(static_cast<qint64>(*context.options.durationSeconds * 1000));
      waitOn();
    });
  }

  QString error;
  if (!monitor.start(context.options.readFile, &error)) {
    complain(error);
    monitor.shutdown();
    return 1;
  }
  return QCoreApplication::exec();
}

}  // namespace wq
