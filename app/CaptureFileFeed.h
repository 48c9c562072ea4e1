#pragma once
// Reads a capture file straight into the controller, at full speed and without the helper. The
// clock follows the records' time stamps and the idle purge ticks once per second of capture
// time, so the same file always gives the same list.

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

#include "ApplicationController.h"
#include "CaptureSource.h"
#include "PlainPlatform.h"

namespace wq {

class CaptureFileFeed : public QObject, private netsiphon::ChunkSink {
  Q_OBJECT

 public:
  CaptureFileFeed(ApplicationController& controller, ManualClock& clock, QObject* parent = nullptr);

  // Opens the file; false with a reason when it cannot be read as a capture file.
  bool open(const QString& path, QString* error);
  // Reads the file in slices from the event loop; `changed` after each, `finished` at the end.
  void start();

 signals:
  void changed();
  // The whole file has been read; `warning` tells why it ended early, if it did.
  void finished(QString warning);

 private:
  bool deliver(const netsiphon::Chunk& chunk) override;
  void readSlice();
  void followRecordTime(const CaptureRecord& record);

  ApplicationController& controller_;
  ManualClock& clock_;
  std::unique_ptr<netsiphon::CaptureSource> source_;
  netsiphon::ChunkAssembler assembler_{*this};
  std::optional<TimePoint> nextTick_;
  QTimer slices_;
};

}  // namespace wq
