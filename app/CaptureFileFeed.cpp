#include "CaptureFileFeed.h"

namespace wq {

namespace {

constexpr auto kTick = std::chrono::seconds(1);
// A gap in the capture longer than this is not replayed tick by tick: every node idle before it
// is purged by the first ticks, and the rest would change nothing.
constexpr auto kLongestCatchUp = std::chrono::hours(1);

}  // namespace

CaptureFileFeed::CaptureFileFeed(ApplicationController& controller, ManualClock& clock,
                                 QObject* parent)
    : QObject(parent), controller_(controller), clock_(clock) {
  slices_.setInterval(0);
  connect(&slices_, &QTimer::timeout, this, &CaptureFileFeed::readSlice);
}

bool CaptureFileFeed::open(const QString& path, QString* error) {
  netsiphon::OpenedSource opened =
      netsiphon::openCaptureSource(path.toStdString(), "file", {.paced = false});
  if (!opened.source) {
    *error = QString::fromStdString(opened.problem ? opened.problem->reason : "cannot be read");
    return false;
  }
  source_ = std::move(opened.source);
  controller_.setRecordObserver([this](const CaptureRecord& record) { followRecordTime(record); });
  return true;
}

void CaptureFileFeed::start() {
  slices_.start();
}

bool CaptureFileFeed::deliver(const netsiphon::Chunk& chunk) {
  controller_.dataReceived(ByteView(chunk.data(), chunk.size()));
  return true;
}

void CaptureFileFeed::readSlice() {
  {
    const ApplicationController::ViewBatch batch(controller_);  // one view update per slice
    source_->relayReady(assembler_, 0);
  }
  emit changed();
  if (!source_->timeUntilDue()) {
    slices_.stop();
    controller_.setRecordObserver(nullptr);
    emit finished(QString::fromStdString(source_->failure()));
  }
}

void CaptureFileFeed::followRecordTime(const CaptureRecord& record) {
  const TimePoint time = TimePoint{std::chrono::seconds(record.seconds) +
                                   std::chrono::microseconds(record.microseconds)};
  if (!nextTick_) {
    nextTick_ = time + kTick;
  }
  if (time - *nextTick_ > kLongestCatchUp) {
    nextTick_ = time - kLongestCatchUp;
  }
  while (*nextTick_ <= time) {
    clock_.set(*nextTick_);
    controller_.purgeNodes();
    *nextTick_ += kTick;
  }
  clock_.set(time);
}

}  // namespace wq
