// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A capture file read directly, at full speed, its records' time stamps driving the session's
// clock; or a capture stream (a pipe, a FIFO, standard input) read as it arrives, at the wall
// clock's time.

#include <QString>
#include <memory>
#include <optional>
#include <string>

#include "app/intake/CaptureFileFeed.h"
#include "app/intake/Intake.h"

namespace wq {

class FileIntake final : public Intake {
  Q_OBJECT

 public:
  // The capture file at `path`; `replayClock` is the session's clock.
  static std::unique_ptr<FileIntake> file(Session& session, ManualClock& replayClock,
                                          const QString& path, const std::string& filter);
  // The capture stream that `path` names ("-": standard input).
  static std::unique_ptr<FileIntake> stream(Session& session, const QString& path,
                                            const std::string& filter);
  // The capture stream arriving on `descriptor`, open for reading and taken over; `name` stands
  // for it in messages.
  static std::unique_ptr<FileIntake> stream(Session& session, int descriptor, const QString& name,
                                            const std::string& filter);
  ~FileIntake() override;

  // Keeps the packets that `filter` matches. A stream starts at once: whether it is a capture
  // stream shows as it is read, and a stream that is none ends the intake ("NAME: " and why).
  bool start(QString* error) override;
  // Stops reading; ended() follows at once.
  void stop() override;
  void ignore() override;
  void catchUp() override;
  QString source() const override;
  std::string whyNoPrograms() const override {
    return replayClock_ ? "captured from a file" : "captured from a stream";
  }

 private:
  FileIntake(Session& session, ManualClock* replayClock, std::string filter);
  // Opens the stream `path_` names, without waiting for its writer.
  bool openStream(QString* error);

  ManualClock* replayClock_;  // null for a stream
  std::string filter_;
  std::optional<QString> path_;
  int descriptor_ = -1;  // a stream's, until start() hands it on
  QString name_;
  std::unique_ptr<CaptureFileFeed> feed_;
};

}  // namespace wq
