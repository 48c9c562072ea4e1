#pragma once
// Capture on another machine: ssh runs the remote command (RemoteCommand.h) on HOST, and what comes
// back is read like local capture: the helper's chunk stream as the helper's, tcpdump's pcap stream
// as a capture stream. ssh never prompts on a terminal: it runs in a session of its own, and
// asks through the desktop's askpass program only when not in batch mode.

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

#include "app/intake/CaptureFileFeed.h"
#include "app/intake/CaptureHelper.h"
#include "app/intake/RemoteCommand.h"
#include "tracking/ApplicationController.h"
#include "tracking/CaptureLoss.h"

namespace wq {

class RemoteCapture : public QObject {
  Q_OBJECT

 public:
  // `loss` takes the counts the host's helper or tcpdump tells.
  RemoteCapture(ApplicationController& controller, LogSink& log, CaptureLoss& loss,
                QObject* parent = nullptr);

  // Starts ssh; false with a reason when it could not be started.
  bool start(const RemoteTarget& target, QString* error);
  // Ends the capture on HOST: the helper gets the termination line, and the end of ssh's input
  // stops the helper or tcpdump, whichever runs. ended() follows once ssh has gone.
  void sendTerminationLine();
  // From now on, what still arrives is dropped.
  void ignoreStream();

 signals:
  void changed();
  // The capture has ended; `message` tells why in one line when it failed, `details` holds what
  // the host said.
  void ended(QString message, bool failed, QString details);
  // The host told new counts of packets received and lost.
  void lossChanged();

 private:
  void errorLine(const QString& line);
  void sshEnded(int exitStatus, int signal);
  void endWhenBothDone();

  ApplicationController& controller_;
  LogSink& log_;
  CaptureLoss& loss_;
  RemoteTarget target_;
  bool deliver_ = true;
  CaptureHelper ssh_;
  std::unique_ptr<CaptureFileFeed> pcapStream_;
  QStringList errorLines_;  // what ssh and the host said, but for the stream line
  std::optional<int> sshStatus_;
  std::optional<QString> pcapFailure_;
  bool helperStream_ = false;
};

}  // namespace wq
