// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The refine actions: narrowing the node list by protocol, by time since the last hit, by source
// or destination address and by source or destination port. Each halts both sides first, so the
// narrowed list stays as it is, and then shows the list from its first row.

#include <chrono>

#include "tracking/Platform.h"
#include "tracking/nodes/LateNodeFreer.h"
#include "tracking/nodes/NodeTracker.h"
#include "tracking/view/ViewController.h"

namespace wq {

class RefineActions {
 public:
  RefineActions(NodeTracker& tracker, ViewController& view, const Clock& clock)
      : tracker_(tracker), view_(view), clock_(clock) {}

  // The pop-ups pass the tag of their selected item (MenuTags.h).
  void refineProtocol(int tag);
  void refineLastHit(int tag);
  void refineSourceIP(SearchField& sender) { refineAddress(sender, true); }
  void refineDestinationIP(SearchField& sender) { refineAddress(sender, false); }
  void refineSourcePort(SearchField& sender) { refinePort(sender, true); }
  void refineDestinationPort(SearchField& sender) { refinePort(sender, false); }

 private:
  template <class Fails>
  void narrow(Fails fails);
  void refineAddress(SearchField& sender, bool source);
  void refinePort(SearchField& sender, bool source);

  NodeTracker& tracker_;
  ViewController& view_;
  const Clock& clock_;
  // Removed nodes are freed once the window has redrawn the narrowed list.
  LateNodeFreer freer_{std::chrono::milliseconds(250)};
};

}  // namespace wq
