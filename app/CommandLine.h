// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line of wirequill.

#include <QCommandLineParser>
#include <QString>
#include <optional>

namespace wq {

struct RunOptions {
  std::optional<QString> interfaceName;  // for this run only, not stored
  std::optional<QString> device;         // for this run only, not stored
  std::optional<QString> captureFilter;  // for this run only, not stored; libpcap compiles it
  std::optional<QString> captureHost;    // [USER@]HOST, through ssh; for this run only
  std::optional<QString> readFile;       // a capture file read at full speed, or a stream
  bool trackOpenConnections = false;     // for this run only: on, whatever is stored
  bool reportPrograms = false;           // for this run only: on, whatever is stored
  bool noWindow = false;
  std::optional<QString> reportPath;  // "-" for standard output
  std::optional<double> durationSeconds;
  std::optional<QString> match;  // the report keeps the nodes whose payload holds it
};

// Whether the arguments need no window: a run with --no-window, --help, --version, or arguments
// that will be refused. Known before the application object (with or without widgets) is made,
// so that these work without a display.
bool needsNoWindow(int argc, char** argv);

// Parses the arguments of the running application. --help and --version print and exit; a wrong
// argument prints one message and exits with status 2.
RunOptions parseCommandLine(const QStringList& arguments);

}  // namespace wq
