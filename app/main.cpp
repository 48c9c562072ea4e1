// wirequill: the desktop application, or with --no-window a headless monitor.

#include <QApplication>
#include <memory>

#include "app/CommandLine.h"
#include "app/QtSettingsStore.h"
#include "app/Runs.h"
#include "app/intake/CaptureFileFeed.h"
#include "tracking/Defaults.h"
#include "tracking/HostLookup.h"
#include "tracking/PlainPlatform.h"

int main(int argc, char** argv) {
  const bool noWindow = wq::needsNoWindow(argc, argv);
  std::unique_ptr<QCoreApplication> application =
      noWindow ? std::make_unique<QCoreApplication>(argc, argv)
               : std::make_unique<QApplication>(argc, argv);
  QCoreApplication::setOrganizationName("Wirequill");
  QCoreApplication::setApplicationName("Wirequill");
  QCoreApplication::setApplicationVersion(WIREQUILL_VERSION);
  const wq::RunOptions options = wq::parseCommandLine(QCoreApplication::arguments());

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
