// SPDX-License-Identifier: GPL-3.0-or-later
// grab_main_window CAPTURE OUT.png [ROW]: reads a capture file into the main window, selects a
// row, and saves a picture of the window as it looks while capturing (nothing in the status
// bar). Run it with QT_QPA_PLATFORM=offscreen.

#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "app/intake/Monitor.h"
#include "app/window/MainWindow.h"
#include "tools/WindowRig.h"
#include "ui_MainWindow.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QCoreApplication::setOrganizationName("Wirequill");
  QCoreApplication::setApplicationName("Wirequill");
  const QStringList arguments = QCoreApplication::arguments();
  if (arguments.size() < 3) {
    std::fprintf(stderr, "Usage: grab_main_window CAPTURE OUT.png [ROW]\n");
    return 2;
  }
  wq::testing::WindowRig rig;
  wq::MainWindow& window = *rig.window;
  wq::Monitor monitor(rig.session, &rig.clock);
  QObject::connect(&monitor, &wq::Monitor::changed, &window, &wq::MainWindow::refresh);
  const int row = arguments.size() > 3 ? arguments[3].toInt() : -1;
  QObject::connect(&monitor, &wq::Monitor::inputEnded, &window, [&] {
    if (row >= 0) {
      window.ui().nodesTableView->selectRow(row);
    }
    rig.session.tracker().setCaptureEnded(false);  // the intake light as while capturing
    window.refresh();
    // Let the window lay itself out before the picture is taken.
    QTimer::singleShot(200, [&] {
      const bool saved = window.grab().save(arguments[2]);
      QCoreApplication::exit(saved ? 0 : 1);
    });
  });
  QString error;
  if (!monitor.start(arguments[1], &error)) {
    std::fprintf(stderr, "grab_main_window: %s\n", qPrintable(error));
    return 1;
  }
  window.resize(1140, 640);
  window.show();
  return QApplication::exec();
}
