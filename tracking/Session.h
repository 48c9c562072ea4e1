// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One session of Wirequill: the settings in force and the node tracker that capture data fills,
// followed by any number of subscribers (the window's view, a test, a later view). Each subscriber
// is told of every change to the list in batches: one per delivery of capture data, purge tick
// or action. Whatever makes a node leave (refine, removal, purge, overflow, FIN or RST), every
// subscriber is told before it is freed.

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tracking/Defaults.h"
#include "tracking/Platform.h"
#include "tracking/nodes/LateNodeFreer.h"
#include "tracking/nodes/NodeTracker.h"
#include "tracking/programs/ProgramBook.h"
#include "tracking/view/Report.h"

namespace wq {

// What one batch changed.
struct NodeChanges {
  // A node was added, or grew and moved to the end, or a purge tick ran: the newest row is to be
  // shown.
  bool newestChanged = false;
  std::size_t removed = 0;     // nodes that left the list
  bool programsKnown = false;  // lookups told nodes their programs
  bool operator==(const NodeChanges&) const = default;
};

class SessionSubscriber {
 public:
  virtual ~SessionSubscriber() = default;
  // `node` has left the list and is about to be freed; its address may later hold another node.
  virtual void nodeLeaving(const WQMConnection& /*node*/) {}
  // A batch of changes has ended; the list is as it now stands.
  virtual void nodesChanged(const NodeChanges& changes) = 0;
};

class Session : private NodeListObserver {
 public:
  // `store` holds the settings in force; the registered defaults stand for what it lacks.
  Session(SettingsStore& store, const Clock& clock, LogSink& log, HostResolver& resolver);
  ~Session() override;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Defaults& defaults() { return defaults_; }
  const Defaults& defaults() const { return defaults_; }
  const Clock& clock() const { return clock_; }
  LogSink& log() { return log_; }
  NodeTracker& tracker() { return tracker_; }
  const NodeTracker& tracker() const { return tracker_; }
  // Where the programs behind new nodes are to be learnt, or why not (the intake says).
  ProgramBook& programs() { return programs_; }
  // Fills in the programs that lookups have found since, as one batch.
  void takeProgramAnswers();

  // Subscribers may come and go at any time, even while being told of a change: one that leaves
  // is told nothing more.
  void subscribe(SessionSubscriber& subscriber);
  void unsubscribe(SessionSubscriber& subscriber);

  // Whether subscribers are told once per batch (the default) or after every single change, which
  // is slower and ends in the same state.
  void setBatched(bool batched) { batched_ = batched; }

  // Removes, as one batch, every node for which `fails` holds, keeping the order of the rest.
  // Their TCP flows are remembered as departed. Returns how many left.
  template <class Fails>
  std::size_t narrow(Fails fails) {
    const NodeTracker::ChangeRun run(tracker_);
    return nodesLeft(tracker_.connectionsArray().removeIf(fails));
  }
  // Removes the node on `row`, shown in the dropped panel.
  void removeNode(std::size_t row);

  // With ReportPrograms on, lookups under way are given a moment to answer first.
  void writeReport(const ReportSink& sink);
  std::string reportText();

 private:
  void changesBegin() override;
  void changesEnd() override;
  void lastNodeChanged() override;
  void nodeAdded(WQMConnection& node) override { programs_.nodeAdded(node); }
  void nodeLeaving(const WQMConnection& node) override;
  std::size_t nodesLeft(std::vector<NodeList::NodePtr> removed);
  // Tells every subscriber the changes gathered so far.
  void tell();
  template <class Tell>
  void forEachSubscriber(Tell tell);

  Defaults defaults_;
  const Clock& clock_;
  LogSink& log_;
  HostResolver& resolver_;
  NodeTracker tracker_;
  ProgramBook programs_;
  std::vector<SessionSubscriber*> subscribers_;  // null: left while being told something
  int telling_ = 0;                              // nested tellings under way
  bool batched_ = true;
  int depth_ = 0;
  NodeChanges pending_;
  // The newest node of the batch, which the added panel shows at its end, or as it leaves before.
  const WQMConnection* panelNode_ = nullptr;
  // Many nodes removed at once are freed once the window has redrawn the narrowed list.
  LateNodeFreer freer_{std::chrono::milliseconds(250)};
};

}  // namespace wq
