// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A conversation: the highlighted node and the nodes of the other direction that answer it, told
// as the parts came on the wire, each part (a turn) under a header line of its own.

#include <cstddef>
#include <functional>
#include <vector>

#include "tracking/Platform.h"
#include "tracking/nodes/NodeList.h"
#include "tracking/view/PaneText.h"

namespace wq {

// A conversation of UDP datagrams or ICMP echoes shows at most this many of them.
inline constexpr std::size_t kMostConversationNodes = 1000;

// A node that a conversation shows, and whether it runs in the highlighted node's direction.
struct ConversationNode {
  const WQMConnection* node;
  bool forward;
};

// The nodes of `node`'s conversation, `node` (which is in `list`) among them. TCP: the node and,
// of the reverse flow's TCP nodes, the one whose first hit is nearest the node's. UDP: the nodes
// of the flow and of the reverse flow whose first hit is within `purgeIdleSeconds` of the node's,
// in list order. ICMP and ICMPv6 echo requests and replies: those with the node's identifier
// between the same two addresses either way, within the same time; any other message stands
// alone. Of more than kMostConversationNodes, those around the node in list order.
std::vector<ConversationNode> conversationOf(const NodeList& list, const WQMConnection& node,
                                             double purgeIdleSeconds);

// The conversation's text: each turn in the order they came, under the header
// "12:00:01.250 192.0.2.1:40000 -> [2001:db8::1]:80, 143 bytes" (ICMP: the addresses alone; the
// count includes the bytes not captured), its payload text styled Forward or Reverse, the ranges
// `matchesOf` gives for the node's payload styled Match where they fall in the turn, and a blank
// line. TCP turns alternate, led by the direction whose first turn came first (the earlier first
// hit on a tie); other nodes come by first hit, then in the given order. Without a node of the
// other direction, the line "[no node of the other direction in the list]" ends the text.
PaneText conversationText(const std::vector<ConversationNode>& nodes, LogSink& log,
                          const std::function<std::vector<ByteRange>(const NodeFacts&)>& matchesOf);

}  // namespace wq
