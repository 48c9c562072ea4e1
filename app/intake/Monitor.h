// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Runs the intake of one session: whichever Intake the run asked for (the capture helper here or
// on another host, a capture file or stream), the one-second purge timer, the launch log, and the
// termination line at the end.

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>
#include <vector>

#include "app/intake/Intake.h"
#include "tracking/CaptureLoss.h"
#include "tracking/Defaults.h"
#include "tracking/PlainPlatform.h"
#include "tracking/Session.h"
#include "tracking/programs/ProgramLookup.h"

namespace wq {

class Monitor : public QObject {
  Q_OBJECT

 public:
  // `replayClock` is the session's clock when a capture file is read directly; null when the
  // session follows the wall clock (live capture, capture streams).
  Monitor(Session& session, ManualClock* replayClock, QObject* parent = nullptr);
  ~Monitor() override;

  // Starts the intake: `readFile` when given (read directly with a replay clock, else as a capture
  // stream, see isCaptureStream), otherwise the helper with the BPFDevice and InterfaceDevice
  // settings, here or on the CaptureHost, either keeping what the CaptureFilter setting matches.
  // Then logs the settings in force. False with a message (logged too) when there will be no
  // intake at all, as when the filter cannot be used.
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
  // Stops the capture and starts another with the settings now in force; the list stays. False
  // with a message when the new one could not be started.
  bool restartCapture(QString* error);
  // What the intake reads: the interface, or the capture file.
  QString source() const;
  // The packets that the capture, here or on another host, has told lost.
  const CaptureLoss& loss() const;
  // Whether the intake has started capturing (see Intake::hasCaptured).
  bool captured() const { return intake_ && intake_->hasCaptured(); }
  // Logs "Terminating Wirequill.\n" and stops the intake.
  void shutdown();
  // Whether why the intake failed goes to the log (the default); a run without a window tells it
  // once itself instead.
  void logEndings(bool logged) { logEndings_ = logged; }
  // Whether ssh may ask for a host key or password, through the desktop's askpass program, when
  // capturing on another host. Without it a key must be set up beforehand.
  void allowSshPrompts(bool allowed) { sshPrompts_ = allowed; }

 signals:
  // The session has changed the list or the panels.
  void changed();
  // The intake has started reading source().
  void captureStarted();
  // Packets are being captured: past pkexec's password or ssh's connection.
  void capturing();
  // The input has ended: the file was read, or the capture stopped or failed (`failed`).
  // `details` is the capture program's own text, when it told why.
  void inputEnded(QString message, bool failed, QString details);
  // pkexec was refused or its dialog dismissed.
  void privilegesRefused();
  // The capture told new counts of lost packets: loss().text() says how many.
  void lossChanged();
  // After shutdown(): the intake has ended, or there was none running.
  void intakeStopped();

 private:
  // The intake the settings ask for: `readFile`, else capture here or on the CaptureHost.
  std::unique_ptr<Intake> makeIntake(const std::optional<QString>& readFile);
  // Starts the intake and makes it the current one; false with a reason when it did not start.
  bool run(std::unique_ptr<Intake> intake, QString* error);
  // False with captureFilterRefusal's message when the filter in force cannot be used.
  bool filterUsable(QString* error) const;
  // Tells what a start of intake came to: the intake light, the launch log, captureStarted.
  bool launched(bool started, const QString& error);
  void intakeEnded(const Intake::Ending& ending);
  // Lets an intake go once it has ended; what still arrives from it is not tracked.
  void retire(std::unique_ptr<Intake> intake);
  // The nodes `intake` brings learn the programs behind them from lookups here, or why not.
  void followPrograms(const Intake& intake);

  Session& session_;
  Defaults& defaults_;
  LogSink& log_;
  ManualClock* replayClock_;
  std::unique_ptr<Intake> intake_;
  // Intakes stopped for a restart, until they have ended.
  std::vector<std::unique_ptr<Intake>> retiring_;
  bool sshPrompts_ = false;
  bool logEndings_ = true;
  QTimer purgeTimer_;
  bool shuttingDown_ = false;
  // Made for the first capture on this machine, and kept: nodes may still wait for answers.
  std::unique_ptr<ProgramLookup> programLookup_;
  std::unique_ptr<QSocketNotifier> programAnswers_;
};

// Why the CaptureFilter in force cannot be used (libpcap's reason and what to do), or empty.
QString captureFilterRefusal(const Defaults& defaults);

}  // namespace wq
