// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <variant>

#include "capture/CaptureFilter.h"

namespace wq {

namespace {

[[noreturn]] void refuse(const QString& message) {
  std::fprintf(stderr, "wirequill: %s\nTry 'wirequill --help' for more information.\n",
               qPrintable(message));
  std::exit(2);
}

// The options of wirequill, described once for both parses.
struct Options {
  explicit Options(QCommandLineParser& parser)
      : help(parser.addHelpOption()), version(parser.addVersionOption()) {
    parser.setApplicationDescription(
        "Watches the traffic on one network interface and keeps a live list of nodes.");
    parser.addOptions({interfaceName, device, filter, host, read, openConnections, noWindow, report,
                       duration, match, programs});
  }

  QCommandLineOption help;
  QCommandLineOption version;
  QCommandLineOption interfaceName{
      {"i", "interface"}, "Capture on interface NAME for this run (not stored).", "NAME"};
  QCommandLineOption device{{"d", "device"},
                            "Give the capture helper PATH as its device for this run (not stored).",
                            "PATH"};
  QCommandLineOption filter{
      {"f", "filter"},
      "Capture only the packets that match the libpcap filter EXPR for this run (not stored).",
      "EXPR"};
  QCommandLineOption host{"host",
                          "Capture on [USER@]HOST through ssh for this run (not stored; empty: "
                          "this machine).",
                          "HOST"};
  QCommandLineOption read{{"r", "read"},
                          "Read capture file FILE directly, at full speed, without the helper; "
                          "read standard input (-) or a FIFO as the capture arrives.",
                          "FILE"};
  QCommandLineOption openConnections{
      "open-connections",
      "Track TCP connections that were open before capture started, from their first data, for "
      "this run (not stored)."};
  QCommandLineOption noWindow{"no-window", "Run without a window."};
  QCommandLineOption programs{
      "programs", "Reports name the program behind each node, for this run (not stored)."};
  QCommandLineOption report{
      "report", "With --no-window: write the report to FILE (- for standard output) at the end.",
      "FILE"};
  QCommandLineOption duration{"duration", "With --no-window: stop after SECONDS.", "SECONDS"};
  QCommandLineOption match{"match",
                           "With --no-window: report only the nodes whose payload holds TEXT, in "
                           "any ASCII case.",
                           "TEXT"};
};

// The options the parsed arguments give, or why they are refused.
std::variant<RunOptions, QString> readOptions(const QCommandLineParser& parser, const Options& o) {
  if (!parser.positionalArguments().isEmpty()) {
    return QString("unexpected argument '%1'").arg(parser.positionalArguments().first());
  }
  RunOptions options;
  options.noWindow = parser.isSet(o.noWindow);
  options.trackOpenConnections = parser.isSet(o.openConnections);
  options.reportPrograms = parser.isSet(o.programs);
  if (parser.isSet(o.interfaceName)) {
    options.interfaceName = parser.value(o.interfaceName);
  }
  if (parser.isSet(o.device)) {
    options.device = parser.value(o.device);
  }
  if (parser.isSet(o.filter)) {
    options.captureFilter = parser.value(o.filter);
    if (const auto problem =
            netsiphon::captureFilterProblem(options.captureFilter->toStdString())) {
      return QString("cannot use the capture filter '%1': %2")
          .arg(*options.captureFilter, QString::fromStdString(*problem));
    }
  }
  if (parser.isSet(o.host)) {
    options.captureHost = parser.value(o.host);
    if (options.captureHost->startsWith('-') ||
        std::ranges::any_of(*options.captureHost, [](QChar c) {
          return c.isSpace() || c.category() == QChar::Other_Control;
        })) {
      return QString("cannot capture on host '%1': not a host name").arg(*options.captureHost);
    }
  }
  if (parser.isSet(o.read)) {
    options.readFile = parser.value(o.read);
  }
  if (parser.isSet(o.report)) {
    options.reportPath = parser.value(o.report);
  }
  if (parser.isSet(o.duration)) {
    bool ok = false;
    const double seconds = parser.value(o.duration).toDouble(&ok);
    constexpr double kYear = 365 * 24 * 3600;
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > kYear) {
      return QString(
                 "--duration wants a number of seconds above 0 and at most a year (%1), not "
                 "'%2'")
          .arg(kYear, 0, 'f', 0)
          .arg(parser.value(o.duration));
    }
    options.durationSeconds = seconds;
  }
  if (parser.isSet(o.match)) {
    options.match = parser.value(o.match);
    if (options.match->isEmpty()) {
      return QString("--match wants a text to look for in the payloads");
    }
  }
  if (options.readFile && (options.interfaceName || options.device || options.captureHost)) {
    return QString(
        "--read takes its packets from the file; it cannot be combined with --interface, "
        "--device or --host");
  }
  if (!options.noWindow && (options.reportPath || options.durationSeconds || options.match)) {
    return QString("--report, --duration and --match need --no-window");
  }
  return options;
}

}  // namespace

bool needsNoWindow(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) {
    arguments << QString::fromLocal8Bit(argv[i]);
  }
  QCommandLineParser parser;
  const Options o(parser);
  if (!parser.parse(arguments) || parser.isSet(o.help) || parser.isSet("help-all") ||
      parser.isSet(o.version)) {
    return true;
  }
  const auto options = readOptions(parser, o);
  return std::holds_alternative<QString>(options) || std::get<RunOptions>(options).noWindow;
}

RunOptions parseCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  const Options o(parser);
  if (!parser.parse(arguments)) {
    refuse(parser.errorText());
  }
  if (parser.isSet(o.help) || parser.isSet("help-all")) {
    parser.showHelp(0);
  }
  if (parser.isSet(o.version)) {
    parser.showVersion();
  }
  auto options = readOptions(parser, o);
  if (const QString* problem = std::get_if<QString>(&options)) {
    refuse(*problem);
  }
  return std::get<RunOptions>(options);
}

}  // namespace wq
