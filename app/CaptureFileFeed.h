#pragma once
// Reads a capture file straight into the controller, at full speed and without the helper. The
// clock follows the records' time stamps and the idle purge ticks by capture time (PurgeTicks),
// so the same file always gives the same list.

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

#include "app/FileReadAhead.h"
#include "tracking/ApplicationController.h"
#include "tracking/PlainPlatform.h"
#include "tracking/PurgeTicks.h"

namespace wq {

class CaptureFileFeed : public QObject {
  Q_OBJECT

 public:
  CaptureFileFeed(ApplicationController& controller, ManualClock& clock, QObject* parent = nullptr);
  ~CaptureFileFeed() override;

  // Opens the file, to keep only the packets that match `filter` (a libpcap expression; empty
  // keeps them all); false with a reason when it cannot be read as a capture file.
  bool open(const QString& path, const std::string& filter, QString* error);
  // Reads the file on its own thread; `changed` after each stretch of it has been tracked,
  // `finished` at the end.
  void start();

 signals:
  void changed();
  // The file has been read as far as it could be; `failure` ("PATH ends early: ...") tells why it
  // could not be read to its end, if it could not.
  void finished(QString failure);

 private:
  void trackReadBatches();
  void followRecordTime(const CaptureRecord& record);

  ApplicationController& controller_;
  ManualClock& clock_;
  std::unique_ptr<FileReadAhead> readAhead_;
  PurgeTicks purgeTicks_;
  bool finished_ = false;
};

}  // namespace wq
