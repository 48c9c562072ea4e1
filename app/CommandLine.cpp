#include "app/CommandLine.h"

#include <QCoreApplication>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wq {

namespace {

[[noreturn]] void refuse(const QString& message) {
  std::fprintf(stderr, "wirequill: %s\nTry 'wirequill --help' for more information.\n",
               qPrintable(message));
  std::exit(2);
}

}  // namespace

bool wantsNoWindow(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-window") == 0) {
      return true;
    }
  }
  return false;
}

RunOptions parseCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Watches the traffic on one network interface and keeps a live list of nodes.");
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption interfaceOption(
      {"i", "interface"}, "Capture on interface NAME for this run (not stored).", "NAME");
  const QCommandLineOption deviceOption(
      {"d", "device"}, "Give the capture helper PATH as its device for this run (not stored).",
      "PATH");
  const QCommandLineOption readOption(
      {"r", "read"}, "Read capture file FILE directly, at full speed, without the helper.", "FILE");
  const QCommandLineOption noWindowOption("no-window", "Run without a window.");
  const QCommandLineOption reportOption(
      "report", "With --no-window: write the report to FILE (- for standard output) at the end.",
      "FILE");
  const QCommandLineOption durationOption("duration", "With --no-window: stop after SECONDS.",
                                          "SECONDS");
  parser.addOptions(
      {interfaceOption, deviceOption, readOption, noWindowOption, reportOption, durationOption});
  parser.process(arguments);

  if (!parser.positionalArguments().isEmpty()) {
    refuse(QString("unexpected argument '%1'").arg(parser.positionalArguments().first()));
  }
  RunOptions options;
  options.noWindow = parser.isSet(noWindowOption);
  if (parser.isSet(interfaceOption)) {
    options.interfaceName = parser.value(interfaceOption);
  }
  if (parser.isSet(deviceOption)) {
    options.device = parser.value(deviceOption);
  }
  if (parser.isSet(readOption)) {
    options.readFile = parser.value(readOption);
  }
  if (parser.isSet(reportOption)) {
    options.reportPath = parser.value(reportOption);
  }
  if (parser.isSet(durationOption)) {
    bool ok = false;
    const double seconds = parser.value(durationOption).toDouble(&ok);
    constexpr double kYear = 365 * 24 * 3600;
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > kYear) {
      refuse(QString("--duration wants a number of seconds above 0 and at most a year (%1), not "
                     "'%2'")
                 .arg(kYear, 0, 'f', 0)
                 .arg(parser.value(durationOption)));
    }
    options.durationSeconds = seconds;
  }
  if (options.readFile && (options.interfaceName || options.device)) {
    refuse(
        "--read takes its packets from the file; it cannot be combined with --interface or "
        "--device");
  }
  if (!options.noWindow && (options.reportPath || options.durationSeconds)) {
    refuse("--report and --duration need --no-window");
  }
  return options;
}

}  // namespace wq
