// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One way packets come in, whichever the run asked for: the capture helper here (HelperIntake),
// capture on another host (RemoteCapture), a capture file or a capture stream (FileIntake).
// Monitor drives each of them through this interface alone.

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tracking/CaptureLoss.h"
#include "tracking/Session.h"
#include "tracking/decode/ByteView.h"

namespace wq {

class Intake : public QObject {
  Q_OBJECT

 public:
  // How an intake ended.
  struct Ending {
    QString message;  // one line that tells why, or empty when there is nothing to tell
    bool failed = false;
    QString details;                 // what the capture program said, when it said anything
    bool privilegesRefused = false;  // pkexec's dialog was dismissed, or pkexec refused
  };

  explicit Intake(Session& session, QObject* parent = nullptr);

  // Starts reading; false with a reason when there will be no intake at all (and no ended()).
  virtual bool start(QString* error) = 0;
  // Asks the intake to end; ended() follows once it has, at once when nothing needs waiting for.
  virtual void stop() = 0;
  // From now on nothing that arrives is tracked: a restart has replaced this intake.
  virtual void ignore();
  // Tracks at once what has arrived but is not tracked yet, so that a report made now holds it.
  virtual void catchUp() { trackDelivered(); }
  // What it reads, for the title and messages: an interface, "INTERFACE on HOST", a file.
  virtual QString source() const = 0;
  // Why the programs behind the nodes it brings cannot be looked up here ("captured from a
  // file"), or empty when they can: its packets are captured live on this machine. Known before
  // start().
  virtual std::string whyNoPrograms() const = 0;

  // The packets that the capture has told lost so far.
  const CaptureLoss& loss() const { return loss_; }
  bool hasEnded() const { return ended_; }
  // Whether packets are being captured, or have been: the intake has got past everything that
  // may keep it from starting (pkexec's password, ssh's connection).
  bool hasCaptured() const { return captured_; }

 signals:
  // Packets have been tracked.
  void changed();
  // Capture has started: hasCaptured() holds from now on.
  void capturing();
  // loss() tells new counts.
  void lossChanged();
  void ended(const wq::Intake::Ending& ending);

 protected:
  // Takes bytes of the helper's capture stream, unless ignored: the one way they arrive. Those
  // that follow a quiet spell are tracked at once; under load they are tracked together a little
  // later (kTrackingInterval), or at once when many have come, so that the list and the window
  // follow a few dozen times a second, not at every read.
  void deliver(ByteView bytes);
  // Tracks the bytes delivered so far; before the stream's end is told, say.
  void trackDelivered();
  // Takes the counts a line of the capture program's standard error tells; false when it tells
  // none.
  bool takeCounts(std::string_view line);
  // Tells capturing() once.
  void captureStarted();
  // Tells ended() once.
  void finish(const Ending& ending);

  Session& session_;
  bool ignored_ = false;

 private:
  CaptureLoss loss_;
  bool captured_ = false;
  bool ended_ = false;
  std::vector<std::uint8_t> delivered_;  // not tracked yet
  QTimer trackingTimer_;
};

}  // namespace wq
