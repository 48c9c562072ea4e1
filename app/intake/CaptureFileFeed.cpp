// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/CaptureFileFeed.h"

#include <QFileInfo>

namespace wq {

bool isCaptureStream(const QString& path) {
  const QFileInfo info(path);
  return path == "-" || (info.exists() && !info.isFile() && !info.isDir());
}

QString captureInputName(const QString& path) {
  return path == "-" ? QString("standard input") : path;
}

CaptureFileFeed::CaptureFileFeed(Session& session, ManualClock* replayClock, QObject* parent)
    : QObject(parent), session_(session), replayClock_(replayClock) {}

CaptureFileFeed::~CaptureFileFeed() {
  readAhead_.reset();  // stops the reading thread while this object can still be woken
  if (replayClock_ && !finished_) {
    session_.tracker().setRecordObserver(nullptr);  // a file given up before its end
  }
}

bool CaptureFileFeed::open(const QString& path, const std::string& filter, QString* error) {
  netsiphon::OpenedSource opened = netsiphon::openCaptureSource(
      path.toStdString(), "file", {.paced = false, .filesOnly = true, .filter = filter});
  if (!opened.source) {
    *error = QString::fromStdString(opened.problem ? opened.problem->reason : "cannot be read");
    return false;
  }
  readAhead_ = std::make_unique<FileReadAhead>(std::move(opened.source), [this] { wake(); });
  session_.tracker().setRecordObserver(
      [this](const CaptureRecord& record) { followRecordTime(record); });
  return true;
}

void CaptureFileFeed::openStream(int descriptor, const QString& name, const std::string& filter) {
  readAhead_ =
      std::make_unique<FileReadAhead>(descriptor, name.toStdString(), filter, [this] { wake(); });
}

void CaptureFileFeed::wake() {
  QMetaObject::invokeMethod(this, &CaptureFileFeed::trackReadBatches, Qt::QueuedConnection);
}

void CaptureFileFeed::start() {
  readAhead_->start();
}

void CaptureFileFeed::trackReadBatches() {
  if (finished_) {
    return;
  }
  FileReadAhead::Taken taken = readAhead_->take();
  if (!taken.batches.empty()) {
    {
      const NodeTracker::ChangeRun run(session_.tracker());  // one view update for them all
      for (FileReadAhead::Batch& read : taken.batches) {
        session_.tracker().dataReceived(ByteView(read.data(), read.size()));
        readAhead_->recycle(std::move(read));
      }
    }
    emit changed();
  }
  if (taken.ended) {
    finished_ = true;
    session_.tracker().setRecordObserver(nullptr);
    session_.tracker().inputEnded();
    emit finished(QString::fromStdString(taken.failure));
  }
}

void CaptureFileFeed::followRecordTime(const CaptureRecord& record) {
  const TimePoint time = TimePoint{std::chrono::seconds(record.seconds) +
                                   std::chrono::microseconds(record.microseconds)};
  if (const std::optional<TimePoint> tick = purgeTicks_.tickBefore(time)) {
    replayClock_->set(*tick);
    session_.tracker().purgeNodes();
  }
  replayClock_->set(time);
}

}  // namespace wq
