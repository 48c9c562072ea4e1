// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Live capture here, or a capture file replayed at its pace, through the capture helper netsiphon:
// its chunk stream is tracked, its counts of lost packets taken from its standard error, and its
// own text at the end tells why it stopped.

#include <QStringList>

#include "app/intake/CaptureHelper.h"
#include "app/intake/Intake.h"
#include "tracking/Defaults.h"

namespace wq {

class HelperIntake final : public Intake {
  Q_OBJECT

 public:
  // With the BPFDevice, InterfaceDevice and CaptureFilter settings in force at start().
  HelperIntake(Session& session, Defaults& defaults, LogSink& log, QObject* parent = nullptr);

  bool start(QString* error) override;
  // Sends the helper the termination line; ended() follows once it has gone.
  void stop() override;
  QString source() const override { return source_; }
  std::string whyNoPrograms() const override;

 private:
  void helperEnded(int exitStatus, int signal);
  // A line of the helper's standard error: its counts are taken, anything else passed on.
  void errorLine(const QString& line);

  Defaults& defaults_;
  LogSink& log_;
  CaptureHelper helper_;
  QString source_;
  QString interfaceName_;
  QString helperPath_;
  QStringList otherLines_;  // what the helper, or pkexec, said on standard error but its counts
  bool stopping_ = false;
};

}  // namespace wq
