// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/FileIntake.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace wq {

std::unique_ptr<FileIntake> FileIntake::file(Session& session, ManualClock& replayClock,
                                             const QString& path, const std::string& filter) {
  std::unique_ptr<FileIntake> intake(new FileIntake(session, &replayClock, filter));
  intake->path_ = path;
  return intake;
}

std::unique_ptr<FileIntake> FileIntake::stream(Session& session, const QString& path,
                                               const std::string& filter) {
  std::unique_ptr<FileIntake> intake(new FileIntake(session, nullptr, filter));
  intake->path_ = path;
  intake->name_ = captureInputName(path);
  return intake;
}

std::unique_ptr<FileIntake> FileIntake::stream(Session& session, int descriptor,
                                               const QString& name, const std::string& filter) {
  std::unique_ptr<FileIntake> intake(new FileIntake(session, nullptr, filter));
  intake->descriptor_ = descriptor;
  intake->name_ = name;
  return intake;
}

FileIntake::FileIntake(Session& session, ManualClock* replayClock, std::string filter)
    : Intake(session), replayClock_(replayClock), filter_(std::move(filter)) {}

FileIntake::~FileIntake() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
  }
}

bool FileIntake::start(QString* error) {
  feed_ = std::make_unique<CaptureFileFeed>(session_, replayClock_);
  if (replayClock_) {
    if (!feed_->open(*path_, filter_, error)) {
      *error = QString("%1: %2").arg(*path_, *error);
      return false;
    }
  } else {
    if (path_ && !openStream(error)) {
      return false;
    }
    feed_->openStream(std::exchange(descriptor_, -1), name_, filter_);
  }
  connect(feed_.get(), &CaptureFileFeed::changed, this, &Intake::changed);
  connect(feed_.get(), &CaptureFileFeed::finished, this, [this](const QString& failure) {
    finish({failure, !failure.isEmpty(), {}});
  });
  feed_->start();
  captureStarted();
  return true;
}

bool FileIntake::openStream(QString* error) {
  // A FIFO is opened without waiting for its writer; reads wait instead, and can be stopped.
  descriptor_ = *path_ == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                              : ::open(QFile::encodeName(*path_).constData(),
                                       O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor_ < 0) {
    *error = QString("%1: %2").arg(name_, strerror(errno));
    return false;
  }
  return true;
}

void FileIntake::stop() {
  feed_.reset();  // ends its reading thread
  finish({});
}

void FileIntake::ignore() {
  Intake::ignore();
  feed_.reset();  // nothing more is read, or told
}

void FileIntake::catchUp() {
  if (feed_) {
    feed_->trackReadBatches();
  }
}

QString FileIntake::source() const {
  return replayClock_ ? QFileInfo(*path_).fileName() : name_;
}

}  // namespace wq
