// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Capture on another machine: ssh runs the remote command (RemoteCommand.h) on HOST, and what comes
// back is read like local capture: the helper's pcap stream, or tcpdump's, as a capture stream; an
// older helper's chunk stream as the local helper's. ssh never prompts on a terminal: it runs in a
// session of its own, and asks through the desktop's askpass program only when not in batch mode.

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

#include "app/intake/CaptureHelper.h"
#include "app/intake/FileIntake.h"
#include "app/intake/Intake.h"
#include "app/intake/RemoteCommand.h"

namespace wq {

class RemoteCapture final : public Intake {
  Q_OBJECT

 public:
  RemoteCapture(Session& session, LogSink& log, RemoteTarget target, QObject* parent = nullptr);

  // Starts ssh; false with a reason when it could not be started.
  bool start(QString* error) override;
  // Ends the capture on HOST: the helper gets the termination line, and the end of ssh's input
  // stops the helper or tcpdump, whichever runs. ended() follows once ssh has gone.
  void stop() override;
  void ignore() override;
  // Also what the pcap stream has read but not handed over.
  void catchUp() override;
  QString source() const override;
  std::string whyNoPrograms() const override {
    return "captured on " + target_.host.section(QChar('@'), -1).toStdString();
  }

 private:
  void errorLine(const QString& line);
  void readPcapStream();
  void sshEnded(int exitStatus, int signal);
  void endWhenBothDone();
  // Why the capture ended, from what the helper, ssh and the host said.
  Ending ending();

  LogSink& log_;
  RemoteTarget target_;
  CaptureHelper ssh_;
  RemoteStream stream_ = RemoteStream::kNone;
  std::unique_ptr<FileIntake> pcapStream_;  // the helper's or tcpdump's pcap stream
  std::string helperText_;  // the helper's own lines, when they come on standard error
  QStringList errorLines_;  // what ssh and the host said, but for the lines taken apart
  std::optional<int> sshStatus_;
  std::optional<QString> pcapFailure_;
};

}  // namespace wq
