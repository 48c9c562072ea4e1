#pragma once
// Runs the intake of one session: the capture helper (or a capture file read directly), the
// one-second purge timer, the launch log, and the termination line at the end.

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>

#include "app/CaptureFileFeed.h"
#include "app/CaptureHelper.h"
#include "tracking/ApplicationController.h"

namespace wq {

class Monitor : public QObject {
  Q_OBJECT

 public:
  // `replayClock` is the controller's clock when a capture file is read directly.
  Monitor(ApplicationController& controller, Defaults& defaults, LogSink& log,
          ManualClock* replayClock, QObject* parent = nullptr);

  // Starts the intake: `readFile` when given, otherwise the helper with the BPFDevice and
  // InterfaceDevice settings. Then logs the settings in force. False with a message when there
  // will be no intake at all.
  bool start(const std::optional<QString>& readFile, QString* error);
  // Logs "Terminating Wirequill.\n" and sends the termination line to a helper that was started.
  void shutdown();

 signals:
  // The controller has changed the list or the panels.
  void changed();
  // The input has ended: the file was read, or the helper stopped or failed (`failed`).
  void inputEnded(QString message, bool failed);
  // pkexec was refused or its dialog dismissed.
  void privilegesRefused();

 private:
  bool startFile(const QString& path, QString* error);
  bool startHelper(QString* error);
  void helperEnded(int exitStatus, int signal);

  ApplicationController& controller_;
  Defaults& defaults_;
  LogSink& log_;
  ManualClock* replayClock_;
  std::unique_ptr<CaptureHelper> helper_;
  std::unique_ptr<CaptureFileFeed> file_;
  QTimer purgeTimer_;
  bool shuttingDown_ = false;
};

// What the user is told when the helper's stream ends: its failure lines, and a hint where one
// helps. Empty when the text holds no failure.
QString helperFailureMessage(const std::string& helperText, const QString& interfaceName);

}  // namespace wq
