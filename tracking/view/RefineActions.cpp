// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/RefineActions.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>

#include "tracking/Defaults.h"
#include "tracking/view/MenuTags.h"
#include "tracking/view/ProgramText.h"
#include "tracking/view/TextFormat.h"

namespace wq {

void RefineActions::refineProtocol(int tag) {
  view_.sounds().play(sounds::PopUpClick);
  view_.haltAll();
  const std::uint32_t wanted = tag == tags::KeepICMP  ? ipproto::ICMP
                               : tag == tags::KeepTCP ? ipproto::TCP
                               : tag == tags::KeepUDP ? ipproto::UDP
                                                      : 0;
  if (wanted != 0) {
    // The ICMP item keeps ICMPv6 messages too.
    session_.narrow([wanted](const WQMConnection& node) {
      const std::uint32_t protocol =
          node.protocol() == ipproto::ICMPv6 ? std::uint32_t{ipproto::ICMP} : node.protocol();
      return protocol != wanted;
    });
  }
  view_.revealFirstNode();
}

void RefineActions::refineLastHit(int tag) {
  const TimePoint now = session_.clock().now();
  view_.sounds().play(sounds::PopUpClick);
  view_.haltAll();
  const bool hasLimit = tag >= tags::kShortestLastHit && tag <= tags::kLongestLastHit &&
                        tag % tags::kLastHitStep == 0;
  if (hasLimit) {
    const double limit = tag;
    session_.narrow([now, limit](const WQMConnection& node) {
      return std::chrono::duration<double>(now - node.lastHit()).count() > limit;
    });
  }
  view_.revealFirstNode();
}

void RefineActions::refineAddress(SearchField& sender, bool source) {
  view_.haltAll();
  const std::optional<IpAddress> address = parseAddress(sender.stringValue());
  if (!address) {
    view_.sounds().beep();
    return;
  }
  view_.sounds().play(sounds::SearchFieldClick);
  session_.narrow([wanted = *address, source](const WQMConnection& node) {
    return (source ? node.saddr() : node.daddr()) != wanted;
  });
  showNarrowed(sender, source ? "Source IP" : "Destination IP");
}

void RefineActions::refinePort(SearchField& sender, bool source) {
  const auto wanted = static_cast<std::uint16_t>(intValueOf(sender.stringValue()));
  view_.sounds().play(sounds::SearchFieldClick);
  view_.haltAll();
  session_.narrow([wanted, source](const WQMConnection& node) {
    return hostOrderPort(source ? node.sport() : node.dport()) != wanted;
  });
  showNarrowed(sender, "Port");
}

void RefineActions::refinePayload(SearchField& sender) {
  view_.sounds().play(sounds::SearchFieldClick);
  view_.haltAll();
  // An empty field keeps every node, as the pop-ups' "any" items do.
  keepNodesHolding(session_, PayloadPattern::text(sender.stringValue()));
  showNarrowed(sender, "Payload");
}

void RefineActions::refineProgram(SearchField& sender) {
  view_.sounds().play(sounds::SearchFieldClick);
  view_.haltAll();
  const std::string text = sender.stringValue();
  if (!text.empty()) {
    session_.narrow(
        [&](const WQMConnection& node) { return !programNameHolds(node.programs(), text); });
  }
  showNarrowed(sender, "Program");
}

void RefineActions::showNarrowed(SearchField& sender, const char* placeholder) {
  sender.setStringValue(placeholder);
  sender.clearFocus();
  view_.revealFirstNode();
}

}  // namespace wq
