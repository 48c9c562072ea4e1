#pragma once
// Runs the intake of one session: the capture helper (or a capture file or stream read
// directly), the one-second purge timer, the launch log, and the termination line at the end.

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>
#include <vector>

#include "app/intake/CaptureFileFeed.h"
#include "app/intake/CaptureHelper.h"
#include "app/intake/RemoteCapture.h"
#include "tracking/ApplicationController.h"
#include "tracking/CaptureLoss.h"

namespace wq {

class Monitor : public QObject {
  Q_OBJECT

 public:
  // `replayClock` is the controller's clock when a capture file is read directly; null when the
  // controller follows the wall clock (live capture, capture streams).
  Monitor(ApplicationController& controller, Defaults& defaults, LogSink& log,
          ManualClock* replayClock, QObject* parent = nullptr);

  // Starts the intake: `readFile` when given (a capture stream without a replay clock, see
  // isCaptureStream), otherwise the helper with the BPFDevice and InterfaceDevice settings, either
  // keeping what the CaptureFilter setting matches. Then logs the settings in force. False with a
  // message (logged too) when there will be no intake at all, as when the filter cannot be used.
  bool start(const std::optional<QString>& readFile, QString* error);
  // Starts the intake on a capture stream (pcap or pcapng) arriving on `descriptor`, open for
  // reading and taken over: the output of another program, say. `name` stands for it in the title
  // and in messages. Packets that the CaptureFilter setting matches are tracked as they arrive, at
  // the wall clock's time, and the purge timer purges idle nodes. The stream's end ends the intake
  // (inputEnded), failed when it is no capture stream, the filter cannot be set on it, or it is
  // cut inside a record ("NAME ends early: ...").
  void startStream(int descriptor, const QString& name);
  // Tracks what a capture file or stream has read but not yet handed over, so that a report made
  // now holds everything that arrived before.
  void catchUp();
  // Stops the helper and starts another with the settings now in force; the list stays. False
  // with a message when the new one could not be started.
  bool restartCapture(QString* error);
  // What the intake reads: the interface, or the capture file.
  QString source() const { return source_; }
  // The packets that live capture, here or on another host, has told it lost.
  const CaptureLoss& loss() const { return loss_; }
  // Logs "Terminating Wirequill.\n" and sends the termination line to a helper that was started.
  void shutdown();
  // Whether why the helper or remote capture ended goes to the log (the default); a run without
  // a window tells it once itself instead.
  void logEndings(bool logged) { logEndings_ = logged; }
  // Whether ssh may ask for a host key or password, through the desktop's askpass program, when
  // capturing on another host. Without it a key must be set up beforehand.
  void allowSshPrompts(bool allowed) { sshPrompts_ = allowed; }

 signals:
  // The controller has changed the list or the panels.
  void changed();
  // The intake has started reading source().
  void captureStarted();
  // The input has ended: the file was read, or the helper stopped or failed (`failed`).
  // `details` is the helper's own text, when it told why.
  void inputEnded(QString message, bool failed, QString details);
  // pkexec was refused or its dialog dismissed.
  void privilegesRefused();
  // The capture told new counts of lost packets: loss().text() says how many.
  void lossChanged();
  // After shutdown(): the helper or remote capture has ended, or there was none running.
  void intakeStopped();

 private:
  // False with captureFilterRefusal's message when the filter in force cannot be used.
  bool filterUsable(QString* error) const;
  bool startFile(const QString& path, QString* error);
  // Opens the stream `path` names ("-": standard input) and reads it.
  bool openStream(const QString& path, QString* error);
  CaptureFileFeed& makeFeed();
  bool startHelper(QString* error);
  bool startRemote(const QString& host, QString* error);
  // Lets an intake go once it has ended; its last bytes belong to a stream no longer read.
  template <class Intake>
  void retire(std::unique_ptr<Intake> intake);
  // Tells what a start of intake came to: the intake light, the launch log, captureStarted.
  bool launched(bool started, const QString& error);
  void helperEnded(int exitStatus, int signal);
  void logEnding(const QString& message);
  // The helper or remote capture has ended.
  void intakeEnded();
  // A line of the local helper's standard error: its counts are taken, anything else passed on.
  void helperErrorLine(const QString& line);
  void ended(const QString& message, bool failed, const QString& details = {});

  ApplicationController& controller_;
  Defaults& defaults_;
  LogSink& log_;
  ManualClock* replayClock_;
  std::unique_ptr<CaptureHelper> helper_;
  // Helpers stopped for a restart, until they have ended: their streams are not read.
  std::vector<std::unique_ptr<QObject>> retiring_;
  std::unique_ptr<RemoteCapture> remote_;
  bool sshPrompts_ = false;
  QString source_;
  CaptureLoss loss_;
  bool logEndings_ = true;
  bool intakeRunning_ = false;  // a helper or remote capture that has not ended
  std::unique_ptr<CaptureFileFeed> file_;
  QTimer purgeTimer_;
  bool shuttingDown_ = false;
};

// Why the CaptureFilter in force cannot be used (libpcap's reason and what to do), or empty.
QString captureFilterRefusal(const Defaults& defaults);

// Ends the helper's stream in the tracker and logs the helper's own text, a line at a time, which
// it returns.
std::string endHelperStream(NodeTracker& tracker, LogSink& log);

// What the user is told when the helper's stream ends: its failure lines, and a hint where one
// helps. Empty when the text holds no failure.
QString helperFailureMessage(const std::string& helperText, const QString& interfaceName);

}  // namespace wq
