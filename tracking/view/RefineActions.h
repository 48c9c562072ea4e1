// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The refine actions: narrowing the node list by protocol, by time since the last hit, by source
// or destination address, by source or destination port, by what the payload holds and by the
// program behind a node. Each halts
// both sides first, so the narrowed list stays as it is, and then shows the list from its first
// row.

#include "tracking/Platform.h"
#include "tracking/Session.h"
#include "tracking/view/ViewController.h"

namespace wq {

class RefineActions {
 public:
  RefineActions(Session& session, ViewController& view) : session_(session), view_(view) {}

  // The pop-ups pass the tag of their selected item (MenuTags.h).
  void refineProtocol(int tag);
  void refineLastHit(int tag);
  void refineSourceIP(SearchField& sender) { refineAddress(sender, true); }
  void refineDestinationIP(SearchField& sender) { refineAddress(sender, false); }
  void refineSourcePort(SearchField& sender) { refinePort(sender, true); }
  void refineDestinationPort(SearchField& sender) { refinePort(sender, false); }
  // Keeps the nodes whose payload holds the field's text, in any ASCII case.
  void refinePayload(SearchField& sender);
  // Keeps the nodes with a program whose name holds the field's text, in any ASCII case.
  void refineProgram(SearchField& sender);

 private:
  void refineAddress(SearchField& sender, bool source);
  void refinePort(SearchField& sender, bool source);
  // After a field's refine: the field shows what it searches again, and the list its first row.
  void showNarrowed(SearchField& sender, const char* placeholder);

  Session& session_;
  ViewController& view_;
};

}  // namespace wq
