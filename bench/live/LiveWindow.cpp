// SPDX-License-Identifier: GPL-3.0-or-later
// live_window INTERFACE REPORT: the main window capturing live on INTERFACE through netsiphon and
// redrawing as wirequill's does (offscreen under QT_QPA_PLATFORM=offscreen). At SIGTERM or SIGINT
// it writes the report of its list to REPORT and ends the capture, whose last counts netsiphon
// prints on standard error. For load.sh, which counts the report's nodes as it does those of
// wirequill --no-window.

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <fstream>

#include "app/SignalWatcher.h"
#include "app/intake/Monitor.h"
#include "tools/WindowRig.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "Usage: live_window INTERFACE REPORT\n");
    return 2;
  }
  wq::testing::WindowRig rig;
  wq::MainWindow& window = *rig.window;
  rig.defaults.setValue(wq::keys::InterfaceDevice, std::string(argv[1]));
  wq::Monitor monitor(rig.session, nullptr);
  QObject::connect(&monitor, &wq::Monitor::changed, &window, &wq::MainWindow::refresh);
  wq::SignalWatcher signalWatcher;
  QObject::connect(&signalWatcher, &wq::SignalWatcher::stopRequested, [&] {
    std::ofstream report(argv[2]);
    rig.session.writeReport([&](std::string_view piece) { report << piece; });
    QObject::connect(&monitor, &wq::Monitor::intakeStopped, &QCoreApplication::quit);
    QTimer::singleShot(2000, &QCoreApplication::quit);
    monitor.shutdown();
  });
  QString error;
  if (!monitor.start(std::nullopt, &error)) {
    std::fprintf(stderr, "live_window: %s\n", qPrintable(error));
    return 1;
  }
  window.show();
  return QApplication::exec();
}
