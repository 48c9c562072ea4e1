// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads a capture file straight into the session, at full speed and without the helper. The
// clock follows the records' time stamps and the idle purge ticks by capture time (PurgeTicks),
// so the same file always gives the same list. Or reads a capture stream (pcap or pcapng arriving
// on a pipe, a FIFO, a socket) as it arrives, like live capture: the session's clock is the
// wall clock and whoever runs the feed purges idle nodes on a timer.

#include <QObject>
#include <QString>
#include <memory>
#include <optional>

#include "app/intake/FileReadAhead.h"
#include "tracking/PlainPlatform.h"
#include "tracking/Session.h"
#include "tracking/nodes/PurgeTicks.h"

namespace wq {

class CaptureFileFeed : public QObject {
  Q_OBJECT

 public:
  // `replayClock` is the session's clock when a file is opened, unused for a stream.
  CaptureFileFeed(Session& session, ManualClock* replayClock, QObject* parent = nullptr);
  // Also ends a reading thread that waits for a quiet stream.
  ~CaptureFileFeed() override;

  // Opens the file, to keep only the packets that match `filter` (a libpcap expression; empty
  // keeps them all); false with a reason when it cannot be read as a capture file.
  bool open(const QString& path, const std::string& filter, QString* error);
  // Takes over `descriptor`, open for reading, to read a capture stream from it, keeping the
  // packets that match `filter` as open() does; `name` stands for it in failures. Whatever has
  // arrived is tracked whenever the stream pauses. A stream that is no capture stream, or that
  // the filter cannot be set on, finishes at once with "NAME: " and the reason.
  void openStream(int descriptor, const QString& name, const std::string& filter);
  // Reads the file or stream on its own thread; `changed` after each stretch of it has been
  // tracked, `finished` at the end.
  void start();
  // Tracks at once what has been read but not yet tracked, so that a report made now holds it.
  void trackReadBatches();

 signals:
  void changed();
  // The file has been read as far as it could be; `failure` ("PATH ends early: ...") tells why it
  // could not be read to its end, if it could not.
  void finished(QString failure);

 private:
  // Called on the reading thread: batches are ready.
  void wake();
  void followRecordTime(const CaptureRecord& record);

  Session& session_;
  ManualClock* replayClock_;
  std::unique_ptr<FileReadAhead> readAhead_;
  PurgeTicks purgeTicks_;
  bool finished_ = false;
};

// Whether `path` names a capture stream rather than a file: "-" (standard input), or anything that
// exists and is neither a regular file nor a folder (a FIFO, a character device).
bool isCaptureStream(const QString& path);

// How the capture file or stream at `path` is named in messages: "standard input" for "-", else
// its path.
QString captureInputName(const QString& path);

}  // namespace wq
