// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/Conversation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "tracking/decode/PacketDecoder.h"
#include "tracking/view/NodeText.h"
#include "tracking/view/TextFormat.h"

namespace wq {

namespace {

bool isIcmp(std::uint32_t protocol) {
  return protocol == ipproto::ICMP || protocol == ipproto::ICMPv6;
}

// The identifier of an ICMP or ICMPv6 echo request or reply, read from the header that starts its
// payload; none for any other message.
std::optional<std::uint16_t> echoIdentifier(const WQMConnection& node) {
  const std::span<const std::uint8_t> header = node.packetData();
  if (header.size() < 6) {
    return std::nullopt;
  }
  const std::uint8_t type = header[0];
  const bool echo =
      node.protocol() == ipproto::ICMP ? type == 8 || type == 0 : type == 128 || type == 129;
  if (!echo) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(header[4] << 8 | header[5]);
}

TimePoint::duration distance(TimePoint a, TimePoint b) {
  return a < b ? b - a : a - b;
}

// `node` and the TCP node of the reverse flow whose first hit is nearest its own.
std::vector<ConversationNode> withReverseConnection(const NodeList& list,
                                                    const WQMConnection& node) {
  const WQMConnection* nearest = nullptr;
  list.forEachMatch(reversed(node.flowKey()), [&](const WQMConnection& other, NodeList::Handle) {
    if (other.protocol() != ipproto::TCP || &other == &node) {
      return;
    }
    if (!nearest || distance(other.startHit(), node.startHit()) <
                        distance(nearest->startHit(), node.startHit())) {
      nearest = &other;
    }
  });
  std::vector<ConversationNode> nodes{{&node, true}};
  if (nearest) {
    nodes.push_back({nearest, false});
  }
  return nodes;
}

// The nodes of `node`'s flow and of the reverse flow that `belongs` accepts, in list order, at
// most kMostConversationNodes of them around `node`.
template <class Belongs>
std::vector<ConversationNode> bothWays(const NodeList& list, const WQMConnection& node,
                                       Belongs belongs) {
  std::vector<std::pair<NodeList::Handle, ConversationNode>> found;
  const auto collect = [&](const FlowKey& key, bool forward) {
    list.forEachMatch(key, [&](const WQMConnection& other, NodeList::Handle handle) {
      if (belongs(other)) {
        found.push_back({handle, {&other, forward}});
      }
    });
  };
  const FlowKey reverse = reversed(node.flowKey());
  collect(node.flowKey(), true);
  if (!(reverse == node.flowKey())) {  // a flow from a host to itself runs both ways
    collect(reverse, false);
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  const auto at = std::find_if(found.begin(), found.end(),
                               [&](const auto& entry) { return entry.second.node == &node; });
  const std::size_t count = std::min(found.size(), kMostConversationNodes);
  const std::size_t around = static_cast<std::size_t>(at - found.begin());
  const std::size_t first = std::min(around - std::min(around, count / 2), found.size() - count);
  std::vector<ConversationNode> nodes;
  nodes.reserve(count);
  for (std::size_t i = first; i < first + count; ++i) {
    nodes.push_back(found[i].second);
  }
  return nodes;
}

}  // namespace

std::vector<ConversationNode> conversationOf(const NodeList& list, const WQMConnection& node,
                                             double purgeIdleSeconds) {
  const auto nearby = [&](const WQMConnection& other) {
    return other.protocol() == node.protocol() &&
           std::chrono::duration<double>(distance(other.startHit(), node.startHit())).count() <=
               purgeIdleSeconds;
  };
  if (node.protocol() == ipproto::TCP) {
    return withReverseConnection(list, node);
  }
  if (node.protocol() == ipproto::UDP) {
    return bothWays(list, node, nearby);
  }
  const std::optional<std::uint16_t> identifier =
      isIcmp(node.protocol()) ? echoIdentifier(node) : std::nullopt;
  if (!identifier) {
    return {{&node, true}};
  }
  return bothWays(list, node, [&](const WQMConnection& other) {
    return nearby(other) && echoIdentifier(other) == identifier;
  });
}

namespace {

// The part of a node's payload one turn brought: stored bytes [storedBegin, storedEnd), and
// [begin, end) of the payload in order (stored and not captured); its last growth at `time`.
struct Turn {
  std::uint32_t storedBegin = 0;
  std::uint32_t storedEnd = 0;
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  TimePoint time;
};

// A node of the conversation with what its text needs.
struct Speaker {
  bool forward;
  NodeFacts facts;
  std::vector<Turn> turns;
  std::vector<ByteRange> matches;
};

// A TCP node's turns: up to each turn end, then the rest, with the bytes held beyond holes, up
// to its last hit. Any other node is one turn, at its first hit.
std::vector<Turn> turnsOf(const WQMConnection& node, const NodeFacts& facts) {
  const auto stored = static_cast<std::uint32_t>(facts.payload.size());
  if (node.protocol() != ipproto::TCP) {
    return {{0, stored, 0, facts.byteCount, facts.startHit}};
  }
  std::vector<Turn> turns;
  TurnEnd start;
  for (const TurnEnd& end : node.turnEnds()) {
    turns.push_back({start.stored, end.stored, start.inOrder, end.inOrder, end.time});
    start = end;
  }
  turns.push_back({start.stored, stored, start.inOrder, facts.byteCount, facts.lastHit});
  return turns;
}

// The gaps among a turn's bytes, at offsets into its stored bytes. A gap that spans the end of a
// turn is split there: bytes missing at the end of one turn and at the start of the next make one
// gap in the payload.
std::vector<PayloadGap> gapsIn(std::span<const PayloadGap> gaps, const Turn& turn) {
  std::vector<PayloadGap> within;
  std::uint32_t missingBefore = 0;
  for (const PayloadGap& gap : gaps) {
    const std::uint32_t from = gap.at + missingBefore;
    missingBefore += gap.length;
    const std::uint32_t first = std::max(from, turn.begin);
    const std::uint32_t last = std::min(from + gap.length, turn.end);
    if (first < last && gap.at >= turn.storedBegin) {
      within.push_back({gap.at - turn.storedBegin, last - first});
    }
  }
  return within;
}

// The ranges of `matches` that fall in the turn's stored bytes, at offsets into them.
std::vector<ByteRange> matchesIn(const std::vector<ByteRange>& matches, const Turn& turn) {
  std::vector<ByteRange> within;
  for (const ByteRange& match : matches) {
    const std::uint32_t begin = std::max(match.begin, turn.storedBegin);
    const std::uint32_t end = std::min(match.end, turn.storedEnd);
    if (begin < end) {
      within.push_back({begin - turn.storedBegin, end - turn.storedBegin});
    }
  }
  return within;
}

// The order speakers take turns in: the one whose first turn came first leads, the earlier first
// hit on a tie, then the given order.
void orderSpeakers(std::vector<Speaker>& speakers) {
  std::stable_sort(speakers.begin(), speakers.end(), [](const Speaker& a, const Speaker& b) {
    const TimePoint firstA = a.turns.front().time;
    const TimePoint firstB = b.turns.front().time;
    return firstA != firstB ? firstA < firstB : a.facts.startHit < b.facts.startHit;
  });
}

// "12:00:01.250": the clock time with its milliseconds.
std::string clockTextWithMilliseconds(TimePoint time) {
  const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                time - std::chrono::floor<std::chrono::seconds>(time))
                                .count();
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(milliseconds));
  return clockText(time) + fraction;
}

// An end of a flow: "192.0.2.1:40000", "[2001:db8::1]:40000", or the address alone.
std::string endText(const IpAddress& address, std::uint16_t port, bool withPort, LogSink& log) {
  const bool bracketed = withPort && address.family == IpAddress::kV6;
  std::string text = bracketed ? "[" : "";
  text += addressText(address, log);
  if (bracketed) {
    text += ']';
  }
  if (withPort) {
    text += ':';
    text += std::to_string(hostOrderPort(port));
  }
  return text;
}

void appendStyled(PaneText& out, const std::string& text, TextStyle style) {
  out.ranges.push_back({out.text.size(), out.text.size() + text.size(), style});
  out.text += text;
}

void appendHeader(PaneText& out, const Speaker& speaker, const Turn& turn, LogSink& log) {
  const FlowEnds& flow = speaker.facts.flow;
  const bool withPorts = !isIcmp(speaker.facts.protocol);
  appendStyled(out,
               clockTextWithMilliseconds(turn.time) + " " +
                   endText(flow.source, flow.sport, withPorts, log) + " -> " +
                   endText(flow.destination, flow.dport, withPorts, log) + ", " +
                   std::to_string(turn.end - turn.begin) + " bytes\n",
               TextStyle::Header);
}

void appendTurn(PaneText& out, const Speaker& speaker, const Turn& turn, LogSink& log) {
  appendHeader(out, speaker, turn, log);
  if (turn.begin == 0 && speaker.facts.openBeforeCapture) {
    appendStyled(out, std::string(kOpenBeforeCaptureLine), TextStyle::Gap);  // what came first
  }
  const std::span<const std::uint8_t> payload = speaker.facts.payload;
  const std::size_t from = std::min<std::size_t>(turn.storedBegin, payload.size());
  const std::size_t to = std::clamp<std::size_t>(turn.storedEnd, from, payload.size());
  const std::size_t body = out.ranges.size();
  out.ranges.push_back(
      {out.text.size(), 0, speaker.forward ? TextStyle::Forward : TextStyle::Reverse});
  appendPayloadText(out, payload.subspan(from, to - from), gapsIn(speaker.facts.gaps, turn),
                    matchesIn(speaker.matches, turn), TextStyle::Match);
  out.ranges[body].end = out.text.size();
  if (out.ranges[body].end == out.ranges[body].begin) {
    out.ranges.pop_back();  // no text, so no match either
  }
  if (out.text.back() != '\n') {
    out.text += '\n';
  }
  out.text += '\n';
}

}  // namespace

PaneText conversationText(
    const std::vector<ConversationNode>& nodes, LogSink& log,
    const std::function<std::vector<ByteRange>(const NodeFacts&)>& matchesOf) {
  std::vector<Speaker> speakers;
  for (const ConversationNode& node : nodes) {
    NodeFacts facts = node.node->facts();
    std::vector<Turn> turns = turnsOf(*node.node, facts);
    std::vector<ByteRange> matches = matchesOf(facts);
    speakers.push_back({node.forward, std::move(facts), std::move(turns), std::move(matches)});
  }
  orderSpeakers(speakers);
  PaneText out;
  // Round by round, each speaker's next turn: TCP's two directions alternate, and other nodes,
  // one turn each, come in the speakers' order.
  std::size_t rounds = 0;
  for (const Speaker& speaker : speakers) {
    rounds = std::max(rounds, speaker.turns.size());
  }
  for (std::size_t round = 0; round < rounds; ++round) {
    for (const Speaker& speaker : speakers) {
      if (round < speaker.turns.size()) {
        appendTurn(out, speaker, speaker.turns[round], log);
      }
    }
  }
  const bool answered = std::any_of(nodes.begin(), nodes.end(),
                                    [](const ConversationNode& node) { return !node.forward; });
  if (!nodes.empty() && !answered) {
    appendStyled(out, "[no node of the other direction in the list]\n", TextStyle::Gap);
  }
  return out;
}

}  // namespace wq
