// SPDX-License-Identifier: GPL-3.0-or-later
// The node tracker: capture records in, node-list changes out, by the packet rules; the halts,
// the idle purge and removal.

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>

#include "tests/tracking/ControllerRig.h"

namespace wq::testing {
namespace {

using namespace std::chrono_literals;
using tcpflags::ACK;
using tcpflags::FIN;
using tcpflags::RST;
using tcpflags::SYN;

const char* kClient = "10.0.0.2";
const char* kServer = "10.0.0.9";
const char* kClient6 = "2001:db8::2";
const char* kServer6 = "2001:db8::9";

std::string filled(std::size_t count, char c = 'x') {
  return std::string(count, c);
}
// The client's end of one connection, and of another on the same ports (port reuse).
const TcpSender kSender(kClient, 52311, kServer, 80);
const TcpSender kReuse(kClient, 52311, kServer, 80, 5000);
Bytes syn() {
  return kSender.syn();
}
// Bytes at `offset` in the client's stream.
Bytes data(std::uint32_t offset, const std::string& payload, std::uint8_t flags = ACK) {
  return kSender.at(offset, bytesOf(payload), flags);
}
Bytes udp(std::string_view payload, const IpOptions& options = {}) {
  return udpFrame(kClient, 52311, kServer, 80, bytesOf(payload), options);
}
Bytes cut(Bytes frame, std::size_t length) {
  frame.resize(length, 0xEE);
  return frame;
}
Bytes withEtherType(Bytes frame, std::uint8_t high, std::uint8_t low) {
  frame[12] = high;
  frame[13] = low;
  return frame;
}
Bytes withDataOffsetDelta(std::uint32_t offset, const std::string& payload, int delta) {
  return tcpFrame(kClient, 52311, kServer, 80, ACK, bytesOf(payload), {},
                  {1001 + offset, {}, delta});
}

struct RuleCase {
  const char* name;
  // "max=N" for MaxPacketSize, "fin", "rst" and "open" for DropOnFIN, DropOnRST and
  // TrackOpenConnections, "snap=N" for frames captured to at most N bytes
  const char* settings;
  std::vector<Bytes> frames;  // frame i arrives at second i, in a chunk of its own
  std::string result;         // the nodes as ControllerRig::nodes() shows them, then "!" and
                              // each line logged
};

std::string resultOf(const RuleCase& c) {
  ControllerRig rig;
  const std::string settings = c.settings;
  if (const auto max = settings.find("max="); max != std::string::npos) {
    rig.set(keys::MaxPacketSize, settings.substr(max + 4, settings.find(' ', max) - max - 4));
  }
  rig.set(keys::DropOnFIN, settings.find("fin") != std::string::npos);
  rig.set(keys::DropOnRST, settings.find("rst") != std::string::npos);
  rig.set(keys::TrackOpenConnections, settings.find("open") != std::string::npos);
  const auto snap = settings.find("snap=");
  const std::size_t snapshot =
      snap == std::string::npos ? SIZE_MAX : std::stoul(settings.substr(snap + 5));
  for (const Bytes& frame : c.frames) {
    rig.feedCaptured(frame, snapshot);
    rig.clock.advance(1s);
  }
  std::string result = rig.nodes();
  for (const std::string& line : rig.log.lines) {
    result += "!" + line;
  }
  return result;
}

TEST(NodeTracker, PacketRules) {
  std::vector<Bytes> nineLargeSegments{syn()};
  for (std::uint32_t i = 0; i < 9; ++i) {
    nineLargeSegments.push_back(data(i * 3000, filled(3000)));
  }
  // clang-format off
  const RuleCase cases[] = {
      {"every ICMP message is a node holding the whole message", "",
       {icmpFrame(kClient, kServer, bytesOf(filled(56, 'p'))), icmpFrame(kClient, kServer, bytesOf(filled(56, 'p')))}, "1#64@0-0 1#64@1-1"},
      {"a SYN starts its node empty, options or not; sent again it is the same node", "",
       {kSender.syn(SYN, {}), syn(), kSender.syn(SYN | ACK)}, "6:@0-0"},
      {"data follows the TCP header's options", "",
       {syn(), kSender.at(0, bytesOf("GET /"), ACK, kTimestampOptions), kSender.at(5, bytesOf(" HTTP"), ACK, kTimestampOptions)},
       "6:GET / HTTP@0-2"},
      {"data grows its node and moves it to the end", "",
       {syn(), udpFrame("10.0.0.3", 53, "10.0.0.4", 53, bytesOf("u")), data(0, "d")}, "17:u@1-1 6:d@0-2"},
      {"data on a SYN is the stream's first bytes", "",
       {kSender.at(-1, bytesOf("fast"), SYN), data(4, "open")}, "6:fastopen@0-1"},
      {"a retransmission adds nothing and leaves the last hit", "",
       {syn(), data(0, "abc"), data(0, "abc"), data(3, "def")}, "6:abcdef@0-3"},
      {"an overlapping one adds only its new bytes; the first copy stays", "",
       {syn(), data(0, "abc"), data(1, "XYZW"), data(-2, "..ab")}, "6:abcZW@0-2"},
      {"a segment ahead of a hole, even of one byte, waits for it", "",
       {syn(), data(1, "bcd"), data(4, "e"), data(0, "a")}, "6:abcde@0-3"},
      {"a hole that never fills shows in place", "",
       {syn(), data(0, "ab"), data(5, "fg"), data(9, "j"), data(6, "XYZ")}, "6:abfgYZj+3@0-4"},
      {"a SYN with another initial sequence number starts a new connection", "",
       {syn(), data(0, "old"), kReuse.syn(), kReuse.at(0, bytesOf("new")), data(3, "late")}, "6:old@0-1 6:new@2-3"},
      {"a data offset below five words or past the segment makes it malformed", "",
       {syn(), withDataOffsetDelta(0, "abcd", -1), withDataOffsetDelta(0, "abcd", 2), data(0, "ok")}, "6:ok@0-3"},
      {"a header longer than the IP packet states is malformed, whatever the frame holds after it", "fin",
       {syn(), data(0, "A"), tcpFrame(kClient, 52311, kServer, 80, ACK | FIN, bytesOf("pad"), {.totalLengthDelta = -4}, {1002})},
       "6:A@0-1"},
      {"data for an unknown flow changes nothing, whatever its flags", "fin rst",
       {data(0, "x", ACK | FIN), data(0, "x", ACK | RST)}, ""},
      {"a payload exactly filling MaxPacketSize fits", "max=1000",
       {syn(), data(0, filled(950)), data(950, filled(50))}, "6#1000@0-2"},
      {"a segment ahead of a hole may not pass it either", "max=1000",
       {syn(), data(0, "a"), data(1000, "b")}, ""},
      {"a data segment past MaxPacketSize overflows its node, FIN unseen", "max=1000 fin",
       {syn(), data(0, "a"), data(1, filled(1000), ACK | FIN)}, ""},
      {"FIN changes nothing while DropOnFIN is off", "",
       {syn(), data(0, "A"), data(1, "", ACK | FIN)}, "6:A@0-1"},
      {"RST changes nothing while DropOnRST is off", "fin",
       {syn(), data(0, "A"), data(1, "", ACK | RST)}, "6:A@0-1"},
      {"FIN drops the newest connection's node, and RST is not looked at then", "fin rst",
       {syn(), kReuse.syn(), data(0, "", ACK | FIN | RST)}, "6:@0-0!Dropping node on FIN..."},
      {"RST drops the node when DropOnRST is on", "rst",
       {syn(), data(0, "", ACK | FIN | RST)}, "!Dropping node on RST..."},
      {"FIN and RST for an absent flow drop nothing", "fin rst",
       {syn(), tcpFrame(kClient, 52311, kServer, 81, FIN | RST, {})}, "6:@0-0"},
      {"data with FIN is settled by the data rules alone", "fin",
       {syn(), data(0, "A"), data(1, "b", ACK | FIN)}, "6:Ab@0-2"},
      {"every UDP datagram with payload is a node of its own", "",
       {udp(""), udp("query"), udp("again")}, "17:query@1-1 17:again@2-2"},
      {"TCP data never grows a UDP node of the same ports", "",
       {udp("u"), data(0, "t")}, "17:u@0-0"},
      {"a flow has a direction: the answer grows nothing", "",
       {syn(), tcpFrame(kServer, 80, kClient, 52311, ACK, bytesOf("x"))}, "6:@0-0"},
      {"data of a connection open before capture is ignored by default", "",
       {data(0, "mid"), data(3, "dle")}, ""},
      {"and starts a node at its first segment when tracked", "open",
       {data(7, "dle"), data(4, "mid"), data(10, "!")}, "6o:dle!@0-2"},
      {"a tracked flow that overflowed, or left on FIN, starts no new node", "open max=10 fin",
       {data(0, filled(8)), data(8, filled(5)), data(13, "more"), syn(), data(0, "", ACK | FIN), data(0, "after")},
       "!Dropping node on FIN..."},
      {"only Ethernet frames carrying IPv4 or IPv6 are decoded, each by its own version", "",
       {withEtherType(udp("arp"), 0x08, 0x06), withEtherType(udp("v6"), 0x86, 0xDD), udp("v6", {.version = 6})}, ""},
      {"IPv6 makes nodes by the same rules, through its extension headers", "",
       {udpFrame(kClient6, 53, kServer6, 53, bytesOf("hop"), {.extensions = {0, 60}}),
        icmpFrame(kClient6, kServer6, bytesOf("ping")),
        tcpFrame(kClient6, 52311, kServer6, 80, SYN, bytesOf("s"), {.extensions = {43}}),
        tcpFrame(kClient6, 52311, kServer6, 80, ACK, bytesOf("d"), {}, {.sequence = 2}),
        udpFrame(kClient6, 53, kServer6, 53, bytesOf("head"), {.fragmentField = 0x0001, .extensions = {44}}),
        udpFrame(kClient6, 53, kServer6, 53, bytesOf("tail"), {.fragmentField = 185 << 3, .extensions = {44}}),
        udpFrame(kClient6, 53, kServer6, 53, bytesOf("unknown"), {.extensions = {59}}),
        cut(udpFrame(kClient6, 53, kServer6, 53, bytesOf("cut"), {.extensions = {0, 0, 0}}), 14 + 40 + 20)},
       "17:hop@0-0 58#12@1-1 6:sd@2-3 17:head@4-4"},
      {"one or two VLAN tags are skipped, a third is not", "",
       {withVlanTags(udp("q"), {0x8100}), withVlanTags(udpFrame(kClient6, 1, kServer6, 2, bytesOf("ad")), {0x88A8, 0x8100}),
        withVlanTags(udp("three"), {0x88A8, 0x8100, 0x8100})}, "17:q@0-0 17:ad@1-1"},
      {"bytes not captured are counted, not stored, also when the TCP header is cut", "snap=60",
       {udpFrame(kClient, 7, kServer, 7, bytesOf(filled(100, 'c'))), syn(), data(0, filled(100)),
        kSender.at(100, bytesOf(filled(100)), ACK, kTimestampOptions)}, "17#18+82@0-0 6:xxxxxx+194@1-3"},
      {"a segment held beyond a hole keeps its bytes not captured", "snap=60",
       {syn(), data(100, filled(100, 'y')), data(0, filled(100))}, "6:xxxxxxyyyyyy+188@0-2"},
      {"but no more than the wire held", "snap=60",
       {udp(std::string(100, 'c'), {.totalLengthDelta = 1000})}, "17#18+82@0-0"},
      {"and count towards MaxPacketSize as if captured", "max=100 snap=60",
       {syn(), data(0, filled(100))}, "6:xxxxxx+94@0-1"},
      {"so that the next one overflows", "max=100 snap=60",
       {syn(), data(0, filled(100)), data(100, "x")}, ""},
      {"the IPv4 header length is honoured; later fragments are ignored", "",
       {udp("options", {.headerWords = 6}), udp("tail", {.fragmentField = 185}), udp("head", {.fragmentField = 0x2000}), udp("short", {.headerWords = 4})},
       "17:options@0-0 17:head@2-2"},
      {"a packet is taken only as far as its bytes go", "",
       {cut(udp(std::string(1000, 'c')), 14 + 28 + 100), cut(udp("ab"), 60), cut(udp("no ports"), 14 + 20 + 3),
        cut(syn(), 14 + 20 + 13), cut(syn(), 14 + 20 + 30)}, "17#100@0-0 17:ab@1-1"},
      {"a MaxPacketSize of 0 or less is no size: the default is used", "max=-2147483648",
       {syn(), udp("u"), icmpFrame(kClient, kServer, {})}, "6:@0-0 17:u@1-1 1#8@2-2"},
      {"a MaxPacketSize too large for an int is the largest int", "max=99999999999999999999",
       nineLargeSegments, "6#27000@0-9"},
  };
  // clang-format on
  for (const RuleCase& c : cases) {
    EXPECT_EQ(resultOf(c), c.result) << c.name;
  }
}

// A flow key holds a number for each IPv6 address, kept while nodes hold it: the book grows
// with the nodes and shrinks as they leave, and a flow still matches its node meanwhile.
TEST(NodeTracker, IPv6AddressesAreKeptOnlyWhileNodesHoldThem) {
  const std::size_t before = AddressBook::size();
  {
    ControllerRig rig;
    std::vector<Bytes> frames;
    for (int i = 0; i < 20; ++i) {
      frames.push_back(
          udpFrame("2001:db8::" + std::to_string(100 + i), 53, kServer6, 53, bytesOf("query")));
    }
    frames.push_back(tcpFrame(kClient6, 52311, kServer6, 80, SYN, bytesOf("s")));  // data at 1
    rig.feed(frames);
    EXPECT_EQ(AddressBook::size(), before + 22);
    rig.clock.advance(10s);
    rig.feed({tcpFrame(kClient6, 52311, kServer6, 80, ACK, bytesOf("d"), {}, {.sequence = 2})});
    rig.clock.advance(10s);
    rig.tracker.purgeNodes();  // the datagrams leave; the grown flow stays
    EXPECT_EQ(rig.nodes(), "6:sd@0-10");
    EXPECT_EQ(AddressBook::size(), before + 2);
    EXPECT_EQ(rig.tracker.nodeDroppedBox().sourceIPField(), "2001:db8::119");  // the last to leave
  }
  EXPECT_EQ(AddressBook::size(), before);
  // An address no node holds has no number, so its flows match no node.
  EXPECT_EQ(AddressBook::find(ip("2001:db8::2").bytes.data()), AddressBook::kNoNumber);
}

// A node keeps the buffer it was made with; it grows after a FIN or the end of input gave its
// spare room back; its drop shows in the panel as the node was at that time.
TEST(NodeTracker, ANodeKeepsItsBufferAndGrowsAfterGivingRoomBack) {
  ControllerRig rig;
  rig.set(keys::MaxPacketSize, std::int64_t{1000});
  rig.feed({syn(), data(0, "a"), data(1, "b", ACK | FIN), data(2, "", ACK | FIN)});
  rig.tracker.inputEnded();
  rig.set(keys::MaxPacketSize, std::int64_t{24000});
  rig.clock.advance(5s);
  rig.feed({data(2, filled(998))});
  EXPECT_EQ(payloadOf(rig.node(0)), "ab" + filled(998));
  EXPECT_EQ(rig.tracker.nodeAddedBox().lastHitField(), "14:03:25");
  rig.clock.advance(3s);
  rig.feed({data(1000, "1")});
  EXPECT_EQ(rig.nodeCount(), 0u);
  EXPECT_EQ(panelText(rig.tracker.nodeDroppedBox()),
            "TCP Packet|10.0.0.2|10.0.0.9|52311|80|14:03:28|WQMBoxStatus3");
}

// Halted intake adds, grows and drops nothing; a halted purge removes nothing. (The lights that
// show the halts are checked with the view.)
TEST(NodeTracker, HaltsChangeNothing) {
  ControllerRig rig;
  rig.set(keys::DropOnFIN, true);
  rig.set(keys::DropOnRST, true);
  rig.feed({syn(), data(0, "A")});
  rig.tracker.setNodeAddedHalted(true);
  rig.tracker.setNodeDroppedHalted(true);
  rig.feed({icmpFrame(kClient, kServer, bytesOf(filled(8))), udp("u"), kReuse.syn(), data(1, "d"),
            data(1, "", ACK | FIN), data(1, "", RST)});
  rig.clock.advance(1h);
  rig.tracker.purgeNodes();
  EXPECT_EQ(rig.nodes(), "6:A@0-0");
  EXPECT_TRUE(rig.log.lines.empty());

  rig.tracker.setNodeAddedHalted(false);  // intake again; the purge stays halted
  rig.feed({udpFrame(kClient, 9, kServer, 9, bytesOf("u"))});
  rig.tracker.purgeNodes();
  EXPECT_EQ(rig.nodeCount(), 2u);
  rig.tracker.setNodeDroppedHalted(false);
  rig.tracker.purgeNodes();
  EXPECT_EQ(rig.nodes(), "17:u@3600-3600");
}

TEST(NodeTracker, PurgeRemovesNodesIdleBeyondTheLimitWithAllTheirMatches) {
  ControllerRig rig;
  rig.feed({udpFrame("10.0.0.1", 7, kServer, 53, bytesOf("old"))});
  rig.clock.advance(500ms);
  rig.feed({udpFrame("10.0.0.2", 7, kServer, 53, bytesOf("boundary"))});
  rig.clock.advance(15s);  // the first idle 15.5 s, the second exactly the limit of 15 s
  rig.feed({udpFrame("10.0.0.1", 7, kServer, 53, bytesOf("new"))});  // matches the old one
  rig.tracker.purgeNodes();
  EXPECT_EQ(rig.nodes(), "17:boundary@0-0");
  EXPECT_EQ(rig.tracker.nodeDroppedBox().sourceIPField(), "10.0.0.1");

  rig.clock.advance(-1h);  // the clock was set back: a node from the future stays
  rig.tracker.purgeNodes();
  EXPECT_EQ(rig.nodeCount(), 1u);
  rig.clock.advance(1h + 1us);
  rig.set(keys::PurgeIdleTime, 0.0);
  rig.tracker.purgeNodes();
  EXPECT_EQ(rig.nodeCount(), 0u);
  EXPECT_TRUE(rig.log.lines.empty());
}

// The stream a node holds, as the pane shows it: the bytes, with "[N]" for each gap.
std::string streamOf(const WQMConnection& node) {
  const NodeFacts facts = node.facts();
  std::string text;
  std::size_t done = 0;
  for (const PayloadGap& gap : facts.gaps) {
    text.append(facts.payload.begin() + done, facts.payload.begin() + gap.at);
    text += "[" + std::to_string(gap.length) + "]";
    done = gap.at;
  }
  return text.append(facts.payload.begin() + done, facts.payload.end());
}

// A random stream of any bytes, cut into segments of random lengths, sent out of order within a
// window, some bytes sent again in segments cut elsewhere, across the sequence wrap in some rounds:
// the node holds exactly the stream. With some segments never sent, it holds the stream up to
// its last byte sent, each hole marked in place.
TEST(NodeTracker, SegmentsInAnyOrderGiveTheStream) {
  std::mt19937 random(19);
  for (int round = 0; round < 60; ++round) {
    const bool drops = round % 2 == 1;
    std::string stream(1 + random() % 30000, '\0');
    std::generate(stream.begin(), stream.end(), [&] { return static_cast<char>(random()); });
    const std::uint32_t isn = round % 3 == 0 ? 0xFFFFFFFF - random() % 40000 : random();
    std::vector<std::pair<std::uint32_t, std::uint32_t>> segments;  // offset and length
    for (std::uint32_t at = 0; at < stream.size();) {
      const auto length = std::min<std::uint32_t>(1 + random() % 1460, stream.size() - at);
      if (!drops || random() % 8 != 0) {
        segments.emplace_back(at, length);
      }
      at += length;
    }
    for (std::size_t again = segments.size() / 4; again > 0; --again) {
      const auto from = static_cast<std::uint32_t>(random() % stream.size());
      const auto to = std::min<std::uint32_t>(from + 1 + random() % 1460, stream.size());
      const std::size_t place = random() % (segments.size() + 1);
      // Bytes sent again are bytes sent before, also when segments are dropped.
      const bool sent = std::any_of(segments.begin(), segments.end(), [&](const auto& s) {
        return s.first <= from && to <= s.first + s.second;
      });
      if (sent) {
        segments.insert(segments.begin() + static_cast<long>(place), {from, to - from});
      }
    }
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
      std::swap(segments[i], segments[std::min(segments.size() - 1, i + random() % 8)]);
    }
    ControllerRig rig;
    rig.set(keys::MaxPacketSize, std::int64_t{1} << 20);
    const TcpSender sender(kClient, 52311, kServer, 80, isn);
    rig.feed({sender.syn()});
    std::string expected;
    std::vector<bool> received(stream.size());
    for (const auto& [at, length] : segments) {
      rig.feed({sender.at(at, bytesOf(std::string_view(stream).substr(at, length)))});
      std::fill_n(received.begin() + at, length, true);
    }
    const auto end = std::find(received.rbegin(), received.rend(), true).base() - received.begin();
    for (long at = 0; at < end;) {
      const long run = std::find(received.begin() + at, received.begin() + end, !received[at]) -
                       (received.begin() + at);
      expected += received[at] ? stream.substr(at, run) : "[" + std::to_string(run) + "]";
      at += run;
    }
    ASSERT_EQ(rig.nodeCount(), 1u);
    EXPECT_EQ(streamOf(rig.node(0)), expected) << "round " << round;
    EXPECT_EQ(rig.node(0).byteCount(), static_cast<std::uint32_t>(end)) << "round " << round;
  }
}

// Bytes held beyond a hole are bounded: once they reach 1 MiB the hole is given up and marked,
// and its bytes coming later are not spliced in.
TEST(NodeTracker, AHoleIsGivenUpWhenTheBytesHeldReachTheirBound) {
  ControllerRig rig;
  rig.set(keys::MaxPacketSize, std::int64_t{4} << 20);
  rig.feed({syn()});
  const std::uint32_t segment = 1024;
  std::uint32_t sent = 10;
  rig.feed({data(0, filled(10, 'a'))});
  for (; sent < 10 + (1 << 20); sent += segment) {
    rig.feed({data(sent + 7, filled(segment, 'b'))});  // 7 bytes missing at offset 10
  }
  rig.feed({data(10, filled(7, 'c'))});
  EXPECT_EQ(streamOf(rig.node(0)).substr(0, 20), "aaaaaaaaaa[7]bbbbbbb");
  EXPECT_EQ(rig.node(0).heldCount(), 0u);
  EXPECT_EQ(rig.node(0).byteCount(), sent + 7);
}

}  // namespace
}  // namespace wq::testing
