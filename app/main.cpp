// SPDX-License-Identifier: GPL-3.0-or-later
// wirequill: the desktop application, or with --no-window a headless monitor.

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <csignal>
#include <cstdio>
#include <memory>

#include "app/CommandLine.h"
#include "app/QtSettingsStore.h"
#include "app/Runs.h"
#include "app/intake/CaptureFileFeed.h"
#include "tracking/Defaults.h"
#include "tracking/HostLookup.h"
#include "tracking/PlainPlatform.h"

int main(int argc, char** argv) {
  // A write that fails is told in words: a reader of the report that has gone, or a file-size
  // limit, ends the run with a message, never by a signal that leaves nothing said.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // With standard input closed, the next descriptor opened (one of Qt's) would take its number
  // and be read as the capture stream of -r -.
  const bool inputClosed = fcntl(STDIN_FILENO, F_GETFD) < 0;
  if (inputClosed) {
    (void)open("/dev/null", O_RDONLY);
  }
  const bool noWindow = wq::needsNoWindow(argc, argv);
  std::unique_ptr<QCoreApplication> application =
      noWindow ? std::make_unique<QCoreApplication>(argc, argv)
               : std::make_unique<QApplication>(argc, argv);
  QCoreApplication::setOrganizationName("Wirequill");
  QCoreApplication::setApplicationName("Wirequill");
  QCoreApplication::setApplicationVersion(WIREQUILL_VERSION);
  const wq::RunOptions options = wq::parseCommandLine(QCoreApplication::arguments());
  if (inputClosed && options.readFile == "-") {
    std::fprintf(stderr, "wirequill: -r -: standard input is closed: there is nothing to read.\n");
    return 1;
  }

  wq::QtSettingsStore storedSettings;
  wq::OverlaySettingsStore settings(storedSettings);
  if (options.device) {
    settings.overrideForThisRun(wq::keys::BPFDevice, options.device->toStdString());
  }
  if (options.interfaceName) {
    settings.overrideForThisRun(wq::keys::InterfaceDevice, options.interfaceName->toStdString());
  }
  if (options.captureFilter) {
    settings.overrideForThisRun(wq::keys::CaptureFilter, options.captureFilter->toStdString());
  }
  if (options.captureHost) {
    settings.overrideForThisRun(wq::keys::CaptureHost, options.captureHost->toStdString());
  }
  if (options.trackOpenConnections) {
    settings.overrideForThisRun(wq::keys::TrackOpenConnections, true);
  }
  if (options.reportPrograms) {
    settings.overrideForThisRun(wq::keys::ReportPrograms, true);
  }
  wq::SystemLog log;
  // Reverse lookups for reports: all of a report's addresses at once, within two seconds.
  wq::BoundedHostResolver resolver(std::make_shared<wq::SystemHostResolver>(),
                                   std::chrono::seconds(2));
  wq::SystemClock systemClock;
  wq::ManualClock replayClock;
  // A capture stream follows the wall clock, like live capture.
  const bool replaying = options.readFile && !wq::isCaptureStream(*options.readFile);
  const wq::RunContext context{options,
                               settings,
                               replaying ? static_cast<const wq::Clock&>(replayClock) : systemClock,
                               replaying ? &replayClock : nullptr,
                               log,
                               resolver};
  return noWindow ? wq::runHeadless(context) : wq::runWindow(context);
}
