// SPDX-License-Identifier: GPL-3.0-or-later
// Conversations: the turns the tracker records, the nodes a highlighted node's conversation takes
// in, and the conversation's text with its styles.

#include "tracking/view/Conversation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "tests/tracking/ControllerRig.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;

const char* kClient = "192.0.2.1";
const char* kServer = "192.0.2.2";
const TcpSender kClientEnd(kClient, 40000, kServer, 80, 1000);
const TcpSender kServerEnd(kServer, 80, kClient, 40000, 9000);

Bytes syn() {
  return kClientEnd.syn();
}
Bytes synAck() {
  return kServerEnd.syn(tcpflags::SYN | tcpflags::ACK);
}
// Bytes at `offset` in the client's or the server's stream.
Bytes c(std::uint32_t offset, std::string_view text) {
  return kClientEnd.at(offset, bytesOf(text));
}
Bytes s(std::uint32_t offset, std::string_view text) {
  return kServerEnd.at(offset, bytesOf(text));
}
Bytes ping(const char* from, const char* to, std::uint8_t type, std::uint8_t identifier) {
  return ipFrame(ipproto::ICMP, from, to, {type, 0, 0, 0, 0, identifier, 0, 1, 'p', 'i', 'n', 'g'});
}

// A frame captured to `captured` bytes, then `after` until the next; without a frame, the first
// node is removed.
struct Step {
  Bytes frame;
  std::size_t captured = SIZE_MAX;
  std::chrono::milliseconds after = 250ms;
};
template <class... Steps>
std::vector<Step> steps(const Steps&... each) {
  return {Step{each}...};
}

// Feeds the steps, from kStartTime on.
void feed(ControllerRig& rig, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    if (step.frame.empty()) {
      rig.tracker.removeNode(0);
    } else {
      rig.feedCaptured(step.frame, step.captured);
    }
    rig.clock.advance(step.after);
  }
}

const std::vector<Step> kExchange = steps(syn(), synAck(), c(0, "hello "), c(6, "there"),
                                          s(0, "hi"), c(0, "hello "),  // a retransmission
                                          c(11, "bye"), s(2, "!"), s(3, "ok"));

// Each node's turn ends as "stored/inOrder@milliseconds after kStartTime", nodes apart by '|'.
std::string turnEnds(const ControllerRig& rig) {
  std::string text;
  for (std::size_t i = 0; i < rig.nodeCount(); ++i) {
    text += i ? "|" : "";
    for (const TurnEnd& end : rig.node(i).turnEnds()) {
      text += std::to_string(end.stored) + "/" + std::to_string(end.inOrder) + "@" +
              std::to_string((end.time - kStartTime) / 1ms) + " ";
    }
  }
  return text;
}

TEST(Conversation, TurnsEndWhenTheOtherDirectionGrew) {
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::string turnEnds;  // of the nodes in list order
  } cases[] = {
      {"exchange", kExchange, "11/11@750 |2/2@1000 "},
      {"pure ACK and retransmissions",
       steps(syn(), synAck(), c(0, "hello"), s(0, "hi"), c(5, "bye"), kServerEnd.at(2, {}),
             s(0, "hi"), c(5, "bye"), c(8, "!")),
       "|5/5@500 "},
      {"server speaks first", steps(syn(), synAck(), s(0, "220"), c(0, "helo")), "|"},
      {"reverse grew at the same moment",
       steps(syn(), synAck(), Step{c(0, "hi"), SIZE_MAX, 0ms}, s(0, "yo"), c(2, "!")), "|"},
      {"reverse without data", steps(syn(), c(0, "a"), synAck(), c(1, "b")), "|"},
      {"held bytes wait for the stream to grow",
       steps(syn(), synAck(), c(0, "abc"), s(0, "hi"), c(6, "ghi"), c(3, "def")), "|3/3@500 "},
  };
  for (const auto& c : cases) {
    ControllerRig rig;
    feed(rig, c.steps);
    EXPECT_EQ(turnEnds(rig), c.turnEnds) << c.name;
  }
}

// The text with each styled range between tags: <H>eader, <F>orward, <R>everse, <G>ap, <M>atch.
std::string tagged(const PaneText& pane) {
  std::string out;
  std::vector<const StyledRange*> open;
  std::size_t next = 0;
  for (std::size_t at = 0; at <= pane.text.size(); ++at) {
    while (!open.empty() && open.back()->end == at) {
      out += std::string("</") + "HFRGM"[static_cast<int>(open.back()->style)] + ">";
      open.pop_back();
    }
    for (; next < pane.ranges.size() && pane.ranges[next].begin == at; ++next) {
      out += std::string("<") + "HFRGM"[static_cast<int>(pane.ranges[next].style)] + ">";
      open.push_back(&pane.ranges[next]);
    }
    out += pane.text.substr(at, 1);
  }
  return out;
}

// Where `found` stands in the payload.
std::vector<ByteRange> matchesOf(const NodeFacts& facts, std::string_view found) {
  std::vector<ByteRange> matches;
  const std::string payload(facts.payload.begin(), facts.payload.end());
  for (auto at = payload.find(found); at != std::string::npos; at = payload.find(found, at + 1)) {
    matches.push_back(
        {static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(at + found.size())});
  }
  return matches;
}

// A turn's header, tagged: its time after 14:03, its ends and its byte count.
std::string head(const char* time, const char* ends, int bytes) {
  return "<H>14:03:" + std::string(time) + ends + ", " + std::to_string(bytes) + " bytes\n</H>";
}

TEST(Conversation, TextTellsTheTurnsInOrder) {
  const char* up = " 192.0.2.1:40000 -> 192.0.2.2:80";
  const char* down = " 192.0.2.2:80 -> 192.0.2.1:40000";
  const std::string noReverse = "<G>[no node of the other direction in the list]\n</G>";
  const TcpSender reuse(kClient, 40000, kServer, 80, 5000);
  const TcpSender reuseAnswer(kServer, 80, kClient, 40000, 9500);
  const char* client6 = "2001:db8::1";
  const char* server6 = "2001:db8::2";
  const struct {
    const char* name;
    std::vector<Step> steps;
    std::size_t highlighted;
    const char* found;
    std::string text;
  } cases[] = {
      {"TCP", kExchange, 0, "e",
       head("20.750", up, 11) + "<F>h<M>e</M>llo th<M>e</M>r<M>e</M></F>\n\n" +
           head("21.000", down, 2) + "<R>hi</R>\n\n" + head("21.500", up, 3) +
           "<F>by<M>e</M></F>\n\n" + head("22.000", down, 3) + "<R>!ok</R>\n\n"},
      {"TCP, both at one moment",
       steps(syn(), synAck(), Step{c(0, "hi"), SIZE_MAX, 0ms}, s(0, "yo")), 1, "x",
       head("20.500", up, 2) + "<R>hi</R>\n\n" + head("20.500", down, 2) + "<F>yo</F>\n\n"},
      {"TCP, ports reused",
       steps(syn(), synAck(), c(0, "one"), s(0, "1"), reuse.syn(),
             reuseAnswer.syn(tcpflags::SYN | tcpflags::ACK), reuse.at(0, bytesOf("two")),
             reuseAnswer.at(0, bytesOf("2"))),
       0, "x", head("20.500", up, 3) + "<F>one</F>\n\n" + head("20.750", down, 1) + "<R>1</R>\n\n"},
      {"lone SYN", steps(syn()), 0, "x", head("20.000", up, 0) + "\n" + noReverse},
      {"reverse removed", steps(syn(), synAck(), c(0, "hello"), s(0, "hi"), c(5, "bye"), Step{}), 0,
       "x",
       head("20.500", up, 5) + "<F>hello</F>\n\n" + head("21.000", up, 3) + "<F>bye</F>\n\n" +
           noReverse},
      {"bytes not captured",
       steps(syn(), synAck(), Step{c(0, "abcdefgh"), 58}, c(8, "ijkl"), Step{c(12, "mnop"), 56},
             s(0, "ok"), Step{c(16, "qr"), 54}, s(2, "!"), c(18, "st")),
       1, "nst",
       head("21.000", up, 16) +
           "<F>abcd\n[4 bytes not captured]\nijklm<M>n</M>\n[2 bytes not captured]\n</F>\n" +
           head("21.250", down, 2) + "<R>ok</R>\n\n" + head("21.500", up, 2) +
           "<F>[2 bytes not captured]\n</F>\n" + head("21.750", down, 1) + "<R>!</R>\n\n" +
           head("22.000", up, 2) + "<F><M>st</M></F>\n\n"},
      {"open before capture", steps(c(0, "mid"), s(0, "ok")), 1, "x",
       head("20.000", up, 3) + "<G>[connection open before capture started]\n</G><R>mid</R>\n\n" +
           head("20.250", down, 2) +
           "<G>[connection open before capture started]\n</G><F>ok</F>\n\n"},
      {"DNS over IPv6",
       steps(udpFrame(client6, 5353, server6, 53, bytesOf("query")),
             udpFrame(client6, 5354, server6, 53, bytesOf("other port")),
             udpFrame(server6, 53, client6, 5353, bytesOf("answer"))),
       2, "?",
       head("20.000", " [2001:db8::1]:5353 -> [2001:db8::2]:53", 5) + "<R>query</R>\n\n" +
           head("20.500", " [2001:db8::2]:53 -> [2001:db8::1]:5353", 6) + "<F>answer</F>\n\n"},
      {"ping",
       steps(ping(kClient, kServer, 8, 7), ping(kClient, kServer, 8, 9),
             Step{ping(kServer, kClient, 0, 7), SIZE_MAX, 20s}, ping(kClient, kServer, 8, 7)),
       0, "in",
       head("20.000", " 192.0.2.1 -> 192.0.2.2", 12) + "<F>p<M>in</M>g</F>\n\n" +
           head("20.500", " 192.0.2.2 -> 192.0.2.1", 12) + "<R>p<M>in</M>g</R>\n\n"},
  };
  for (const auto& c : cases) {
    ControllerRig rig;
    rig.set(keys::TrackOpenConnections, true);
    feed(rig, c.steps);
    const auto nodes =
        conversationOf(rig.tracker.connectionsArray(), rig.node(c.highlighted), 15.0);
    const PaneText pane = conversationText(
        nodes, rig.log, [&](const NodeFacts& facts) { return matchesOf(facts, c.found); });
    EXPECT_EQ(tagged(pane), c.text) << c.name;
  }
}

TEST(Conversation, TakesTheMostNodesAroundTheHighlightedOne) {
  ControllerRig rig;
  const std::size_t count = kMostConversationNodes + 200;
  for (std::size_t i = 0; i < count; ++i) {
    rig.feedCaptured(udpFrame(kClient, 5353, kServer, 53, bytesOf("q")), SIZE_MAX);
  }
  for (const std::size_t highlighted : {std::size_t{0}, count / 2, count - 1}) {
    const WQMConnection& node = rig.node(highlighted);
    const auto nodes = conversationOf(rig.tracker.connectionsArray(), node, 15.0);
    EXPECT_EQ(nodes.size(), kMostConversationNodes);
    EXPECT_TRUE(std::any_of(nodes.begin(), nodes.end(), [&](const ConversationNode& each) {
      return each.node == &node;
    })) << highlighted;
  }
}

}  // namespace
}  // namespace wq::testing
