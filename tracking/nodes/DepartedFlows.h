// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// TCP flows whose node has left the list (overflow, FIN or RST, purge, removal, refine), kept for
// as long as the idle purge time after their last segment: while tracking connections that were
// open before capture started, their later data must not start a new node as if it were such a
// connection.

#include <deque>
#include <unordered_map>

#include "tracking/Platform.h"
#include "tracking/decode/FlowKey.h"

namespace wq {

class DepartedFlows {
 public:
  void add(const FlowEnds& flow, TimePoint now);
  // Whether `flow` left, or was last seen, within `idleLimit` seconds of `now`; if so, it is kept
  // from `now` on.
  bool seenAgain(const FlowEnds& flow, TimePoint now, double idleLimit);
  // Forgets every flow idle for longer than `idleLimit` seconds; costs as much as it forgets.
  void forgetIdle(TimePoint now, double idleLimit);

 private:
  struct Seen {
    FlowEnds flow;
    TimePoint time;
  };

  std::unordered_map<FlowEnds, TimePoint, FlowEndsHash> lastSeen_;
  // Each time a flow was seen, oldest first; a time since renewed in lastSeen_ is passed over.
  std::deque<Seen> byTime_;
};

}  // namespace wq
