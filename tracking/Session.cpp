// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/Session.h"

#include <algorithm>

namespace wq {

Session::Session(SettingsStore& store, const Clock& clock, LogSink& log, HostResolver& resolver)
    : defaults_(store),
      clock_(clock),
      log_(log),
      resolver_(resolver),
      tracker_(defaults_, clock, log) {
  defaults_.registerDefaults(registeredDefaults());
  tracker_.setObserver(this);
}

Session::~Session() {
  tracker_.setObserver(nullptr);
}

void Session::subscribe(SessionSubscriber& subscriber) {
  if (std::find(subscribers_.begin(), subscribers_.end(), &subscriber) == subscribers_.end()) {
    subscribers_.push_back(&subscriber);
  }
}

void Session::unsubscribe(SessionSubscriber& subscriber) {
  const auto found = std::find(subscribers_.begin(), subscribers_.end(), &subscriber);
  if (found == subscribers_.end()) {
    return;
  }
  if (telling_ > 0) {
    *found = nullptr;  // taken out once the telling is over
  } else {
    subscribers_.erase(found);
  }
}

template <class Tell>
void Session::forEachSubscriber(Tell tell) {
  // One subscriber, told something, may make others come or go: those that leave meanwhile are
  // only marked, and told nothing more; those that come are told from the next time on. Told of
  // each of a million nodes leaving, this costs no allocation.
  ++telling_;
  const std::size_t count = subscribers_.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (subscribers_[i] != nullptr) {
      tell(*subscribers_[i]);
    }
  }
  if (--telling_ == 0) {
    std::erase(subscribers_, nullptr);
  }
}

void Session::removeNode(std::size_t row) {
  const NodeTracker::ChangeRun run(tracker_);
  tracker_.removeNode(row);
}

std::size_t Session::nodesLeft(std::vector<NodeList::NodePtr> removed) {
  // One pass over nodes that lie all over the heap.
  for (const NodeList::NodePtr& node : removed) {
    tracker_.nodeLeft(*node);
    nodeLeaving(*node);
  }
  // A few nodes are freed at once; many would hold up the redraw.
  constexpr std::size_t kFreedInPlace = 10000;
  const std::size_t count = removed.size();
  if (count > kFreedInPlace) {
    freer_.freeLater(std::move(removed));
  }
  return count;
}

void Session::takeProgramAnswers() {
  const NodeTracker::ChangeRun run(tracker_);
  pending_.programsKnown = programs_.takeAnswers() || pending_.programsKnown;
}

void Session::writeReport(const ReportSink& sink) {
  const ReportOptions options{defaults_.boolValue(keys::ReportRecentNodesFirst),
                              defaults_.boolValue(keys::ReportResolveIPAddresses),
                              defaults_.boolValue(keys::ReportPrograms)};
  if (options.programs) {
    // Most lookups take a few milliseconds; a report is not held up for long by the rest.
    programs_.settle(std::chrono::milliseconds(1000));
    takeProgramAnswers();
  }
  wq::writeReport(tracker_.connectionsArray(), options, clock_, resolver_, log_, sink);
}

std::string Session::reportText() {
  std::string text;
  writeReport([&](std::string_view piece) { text += piece; });
  return text;
}

// --- Batches

void Session::changesBegin() {
  ++depth_;
}

void Session::changesEnd() {
  if (--depth_ == 0) {
    tell();
  }
}

void Session::lastNodeChanged() {
  pending_.newestChanged = true;
  if (!tracker_.connectionsArray().empty()) {
    panelNode_ = &tracker_.connectionsArray().back();
  }
  if (!batched_) {
    tell();
  }
}

void Session::nodeLeaving(const WQMConnection& node) {
  // The panel would have shown it as it came: it shows it now, before it is gone.
  if (panelNode_ == &node) {
    tracker_.nodeAddedBox().showNode(node);
    panelNode_ = nullptr;
  }
  ++pending_.removed;
  forEachSubscriber([&](SessionSubscriber& subscriber) { subscriber.nodeLeaving(node); });
  if (!batched_) {
    tell();
  }
}

void Session::tell() {
  if (const WQMConnection* node = std::exchange(panelNode_, nullptr)) {
    tracker_.nodeAddedBox().showNode(*node);
  }
  const NodeChanges changes = std::exchange(pending_, {});
  if (changes == NodeChanges{}) {
    return;
  }
  forEachSubscriber([&](SessionSubscriber& subscriber) { subscriber.nodesChanged(changes); });
}

}  // namespace wq
