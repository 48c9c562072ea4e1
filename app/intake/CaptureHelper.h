// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Starts the capture helper netsiphon and reads its capture stream. The helper's standard input
// and standard output are one socket: the stream comes in on it, the termination line goes out.

#include <sys/types.h>

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "tracking/decode/ByteView.h"

namespace wq {

class CaptureHelper : public QObject {
  Q_OBJECT

 public:
  enum class Launch { Direct, Pkexec };

  // pkexec's exit statuses for a dismissed dialog and for a refusal.
  static constexpr int kPkexecDismissed = 126;
  static constexpr int kPkexecNotAuthorized = 127;

  // `deliver` receives the stream's bytes as they arrive.
  explicit CaptureHelper(std::function<void(ByteView)> deliver, QObject* parent = nullptr);
  ~CaptureHelper() override;

  // The helper beside this program, or in its libexec folder, whether this user may run it or not.
  static std::optional<QString> locate();
  // Started directly when this user may run the helper (a member of its group, where the package
  // gives it to the wirequill group alone) and this process is root, the helper has the capture
  // capabilities, or DEVICE is not a live device (a capture file is opened with the user's rights
  // anyway); through pkexec otherwise.
  static Launch launchFor(const QString& helperPath, const QString& device);

  // Starts the helper with its arguments, the filter only when there is one; false with a reason
  // when it could not be started.
  bool start(const QString& helperPath, const QString& device, const QString& interfaceName,
             const QString& filter, QString* error);

  // Any program whose standard input and output carry the stream (ssh, for capture elsewhere).
  struct Command {
    std::vector<QByteArray> arguments;  // a program's path, or a name found on the PATH, first
    bool ownSession = false;            // in a session of its own: no terminal to prompt on
    bool readErrors = false;            // its standard error comes back line by line (errorLine)
    bool holdStream = false;            // the stream waits until readStream() or takeStream()
  };
  bool start(const Command& command, QString* error);
  // Starts reading a held stream.
  void readStream();
  // Hands a held stream over, as a non-blocking descriptor of its own; this object no longer reads
  // it, but still sends the termination line and tells when the program has ended.
  int takeStream();
  // Writes the termination line to the helper and closes its input; it closes its capture and
  // exits. No waiting: one still running two seconds later is killed.
  void sendTerminationLine();
  pid_t pid() const { return pid_; }

 signals:
  // The stream has ended (the helper exited or closed it). `exitStatus` is the helper's (or
  // pkexec's) status, or -1 when it could not be learned or the helper was killed; `signal` is the
  // signal that killed it, or 0.
  void ended(int exitStatus, int signal);
  // A line of the program's standard error, without its line end (readErrors only).
  void errorLine(const QString& line);

 private:
  void readAvailable();
  void readErrors();
  // Reaps the program once neither its stream nor its standard error is still read.
  void reapWhenDone();
  void reap();

  std::function<void(ByteView)> deliver_;
  int socket_ = -1;
  pid_t pid_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool streamOpen_ = false;  // read here and not at its end yet
  int errors_ = -1;
  std::unique_ptr<QSocketNotifier> errorNotifier_;
  QByteArray partialErrorLine_;
  QTimer reaper_;
  int reapAttempts_ = 0;
  QTimer stopDeadline_;  // from the termination line until the program has ended
};

}  // namespace wq
