// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/Intake.h"

#include <chrono>

namespace wq {

namespace {

// Under load, delivered bytes wait at most this long to be tracked: well within the tenth of a
// second from the wire to the list, and long enough for the window to redraw once for many reads.
constexpr std::chrono::milliseconds kTrackingInterval{25};
// More than this is tracked at once.
constexpr std::size_t kMostWaiting = 8 << 20;

}  // namespace

Intake::Intake(Session& session, QObject* parent) : QObject(parent), session_(session) {
  trackingTimer_.setSingleShot(true);
  trackingTimer_.setInterval(kTrackingInterval);
  connect(&trackingTimer_, &QTimer::timeout, this, [this] {
    if (!delivered_.empty()) {
      trackDelivered();
      trackingTimer_.start();  // still busy: what comes next waits its turn
    }
  });
}

void Intake::ignore() {
  ignored_ = true;
  trackingTimer_.stop();
  delivered_.clear();
}

void Intake::deliver(ByteView bytes) {
  if (ignored_) {
    return;
  }
  delivered_.insert(delivered_.end(), bytes.data(), bytes.data() + bytes.size());
  // The first bytes after a quiet spell are tracked at once: a new flow is listed, and its
  // program looked up, while it may still last. Those that follow wait for the interval.
  if (delivered_.size() >= kMostWaiting || !trackingTimer_.isActive()) {
    trackDelivered();
    trackingTimer_.start();
  }
}

void Intake::trackDelivered() {
  if (delivered_.empty()) {
    return;
  }
  session_.tracker().dataReceived(ByteView(delivered_.data(), delivered_.size()));
  delivered_.clear();
  emit changed();
}

bool Intake::takeCounts(std::string_view line) {
  if (!loss_.take(line)) {
    return false;
  }
  emit lossChanged();
  return true;
}

void Intake::captureStarted() {
  if (!std::exchange(captured_, true)) {
    emit capturing();
  }
}

void Intake::finish(const Ending& ending) {
  if (!std::exchange(ended_, true)) {
    emit ended(ending);
  }
}

}  // namespace wq
