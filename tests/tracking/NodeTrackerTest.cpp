// The node tracker: capture records in, node-list changes out, by the packet rules; the halts,
// the idle purge and removal.

#include <gtest/gtest.h>

#include <climits>

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
Bytes syn(const std::string& options = filled(20, '\x01')) {
  return tcpFrame(kClient, 52311, kServer, 80, SYN, bytesOf(options));
}
Bytes data(const std::string& payload, std::uint8_t flags = ACK) {
  return tcpFrame(kClient, 52311, kServer, 80, flags, bytesOf(payload));
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

struct RuleCase {
  const char* name;
  // "max=N" for MaxPacketSize, "fin" and "rst" for DropOnFIN, DropOnRST, "snap=N" for frames
  // captured to at most N bytes
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
  const auto snap = settings.find("snap=");
  for (const Bytes& frame : c.frames) {
    if (snap != std::string::npos) {
      rig.feedCaptured(frame, std::stoul(settings.substr(snap + 5)));
    } else {
      rig.feed({frame});
    }
    rig.clock.advance(std::chrono::seconds(1));
  }
  std::string result = rig.nodes();
  for (const std::string& line : rig.log.lines) {
    result += "!" + line;
  }
  return result;
}

TEST(NodeTracker, PacketRules) {
  std::vector<Bytes> nineLargeSegments(9, data(filled(3000)));
  nineLargeSegments.insert(nineLargeSegments.begin(), syn("s"));
  // clang-format off
  const RuleCase cases[] = {
      {"every ICMP message is a node holding the whole message", "",
       {icmpFrame(kClient, kServer, bytesOf(filled(56, 'p'))), icmpFrame(kClient, kServer, bytesOf(filled(56, 'p')))}, "1#64@0-0 1#64@1-1"},
      {"a SYN carries its options as payload; a bare SYN makes nothing", "",
       {syn(""), syn()}, "6#20@1-1"},
      {"data grows the lowest match and moves it to the end", "",
       {syn("s"), udpFrame("10.0.0.3", 53, "10.0.0.4", 53, bytesOf("u")), data("d")}, "17:u@1-1 6:sd@0-2"},
      {"a retransmitted SYN makes a twin; data goes to the lowest match", "",
       {syn("A"), syn("B"), data("1"), data("2"), data("3")}, "6:B2@1-3 6:A13@0-4"},
      {"data for an unknown flow changes nothing, whatever its flags", "fin rst",
       {data("x", ACK | FIN), data("x", ACK | RST)}, ""},
      {"a payload exactly filling MaxPacketSize fits", "max=1000",
       {syn(filled(950)), data(filled(50))}, "6#1000@0-1"},
      {"a SYN as large as MaxPacketSize makes no node", "max=1000",
       {syn(filled(1000)), syn(filled(999))}, "6#999@1-1"},
      {"a data segment as large as MaxPacketSize overflows its node, FIN unseen", "max=1000 fin",
       {syn("s"), data(filled(1000), ACK | FIN)}, ""},
      {"FIN changes nothing while DropOnFIN is off", "",
       {syn("A"), data("", ACK | FIN)}, "6:A@0-0"},
      {"RST changes nothing while DropOnRST is off", "fin",
       {syn("A"), data("", ACK | RST)}, "6:A@0-0"},
      {"FIN drops the lowest match, and RST is not looked at then", "fin rst",
       {syn("A"), syn("B"), data("", ACK | FIN | RST)}, "6:B@1-1!Dropping node on FIN..."},
      {"RST drops the lowest match when DropOnRST is on", "rst",
       {syn("A"), data("", ACK | FIN | RST)}, "!Dropping node on RST..."},
      {"FIN and RST for an absent flow drop nothing", "fin rst",
       {syn("A"), tcpFrame(kClient, 52311, kServer, 81, FIN | RST, {})}, "6:A@0-0"},
      {"data with FIN is settled by the data rules alone", "fin",
       {syn("A"), data("b", ACK | FIN)}, "6:Ab@0-1"},
      {"every UDP datagram with payload is a node of its own", "",
       {udp(""), udp("query"), udp("again")}, "17:query@1-1 17:again@2-2"},
      {"TCP data grows a UDP node of the same flow", "",
       {udp("u"), data("t")}, "17:ut@0-1"},
      {"a flow has a direction: the answer grows nothing", "",
       {syn("A"), tcpFrame(kServer, 80, kClient, 52311, ACK, bytesOf("x"))}, "6:A@0-0"},
      {"only Ethernet frames carrying IPv4 or IPv6 are decoded, each by its own version", "",
       {withEtherType(udp("arp"), 0x08, 0x06), withEtherType(udp("v6"), 0x86, 0xDD), udp("v6", {.version = 6})}, ""},
      {"IPv6 makes nodes by the same rules, through its extension headers", "",
       {udpFrame(kClient6, 53, kServer6, 53, bytesOf("hop"), {.extensions = {0, 60}}),
        icmpFrame(kClient6, kServer6, bytesOf("ping")),
        tcpFrame(kClient6, 52311, kServer6, 80, SYN, bytesOf("s"), {.extensions = {43}}),
        tcpFrame(kClient6, 52311, kServer6, 80, ACK, bytesOf("d")),
        udpFrame(kClient6, 53, kServer6, 53, bytesOf("head"), {.fragmentField = 0x0001, .extensions = {44}}),
        udpFrame(kClient6, 53, kServer6, 53, bytesOf("tail"), {.fragmentField = 185 << 3, .extensions = {44}}),
        udpFrame(kClient6, 53, kServer6, 53, bytesOf("unknown"), {.extensions = {59}}),
        cut(udpFrame(kClient6, 53, kServer6, 53, bytesOf("cut"), {.extensions = {0, 0, 0}}), 14 + 40 + 20)},
       "17:hop@0-0 58#12@1-1 6:sd@2-3 17:head@4-4"},
      {"one or two VLAN tags are skipped, a third is not", "",
       {withVlanTags(udp("q"), {0x8100}), withVlanTags(udpFrame(kClient6, 1, kServer6, 2, bytesOf("ad")), {0x88A8, 0x8100}),
        withVlanTags(udp("three"), {0x88A8, 0x8100, 0x8100})}, "17:q@0-0 17:ad@1-1"},
      {"bytes not captured are counted, not stored", "snap=60",
       {udpFrame(kClient, 7, kServer, 7, bytesOf(filled(100, 'c'))), syn("s"), data(filled(100))}, "17#18+82@0-0 6:sxxxxxx+94@1-2"},
      {"but no more than the wire held", "snap=60",
       {udp(std::string(100, 'c'), {.totalLengthDelta = 1000})}, "17#18+82@0-0"},
      {"and count towards MaxPacketSize as if captured", "max=100 snap=60",
       {syn("s"), data(filled(98))}, "6:sxxxxxx+92@0-1"},
      {"so that the next one overflows", "max=100 snap=60",
       {syn("s"), data(filled(99)), data("x")}, ""},
      {"the IPv4 header length is honoured; later fragments are ignored", "",
       {udp("options", {.headerWords = 6}), udp("tail", {.fragmentField = 185}), udp("head", {.fragmentField = 0x2000}), udp("short", {.headerWords = 4})},
       "17:options@0-0 17:head@2-2"},
      {"a packet is taken only as far as its bytes go", "",
       {cut(udp(std::string(1000, 'c')), 14 + 28 + 100), cut(udp("ab"), 60), cut(udp("no ports"), 14 + 20 + 3),
        cut(syn(), 14 + 20 + 13)}, "17#100@0-0 17:ab@1-1"},
      {"a MaxPacketSize of 0 or less keeps nothing", "max=-2147483648",
       {syn(), udp("u"), icmpFrame(kClient, kServer, {})}, ""},
      {"a MaxPacketSize too large for an int is the largest int", "max=99999999999999999999",
       nineLargeSegments, "6#27001@0-9"},
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
    for (int i = 0; i < 50; ++i) {
      frames.push_back(
          udpFrame("2001:db8::" + std::to_string(100 + i), 53, kServer6, 53, bytesOf("query")));
    }
    frames.push_back(tcpFrame(kClient6, 52311, kServer6, 80, SYN, bytesOf("s")));
    const Bytes stream = streamOf(frames);
    rig.tracker.dataReceived(ByteView(stream.data(), stream.size()));
    EXPECT_EQ(AddressBook::size(), before + 52);
    rig.clock.advance(10s);
    rig.feed({tcpFrame(kClient6, 52311, kServer6, 80, ACK, bytesOf("d"))});
    rig.clock.advance(10s);
    rig.tracker.purgeNodes();  // the datagrams leave; the grown flow stays
    EXPECT_EQ(rig.nodes(), "6:sd@0-10");
    EXPECT_EQ(AddressBook::size(), before + 2);
    EXPECT_EQ(rig.tracker.nodeDroppedBox().sourceIPField(), "2001:db8::149");  // the last to leave
  }
  EXPECT_EQ(AddressBook::size(), before);
  // An address no node holds has no number, so its flows match no node.
  EXPECT_EQ(AddressBook::find(ip("2001:db8::2").bytes.data()), AddressBook::kNoNumber);
}

TEST(NodeTracker, OverflowAndGrowthShowInThePanels) {
  ControllerRig rig;
  rig.set(keys::MaxPacketSize, std::int64_t{1000});
  rig.feed({syn(filled(900))});
  rig.set(keys::MaxPacketSize, std::int64_t{24000});  // a node keeps the buffer it was made with
  rig.clock.advance(5s);
  rig.feed({data(filled(100))});
  EXPECT_EQ(rig.tracker.nodeAddedBox().lastHitField(), "14:03:25");
  EXPECT_EQ(rig.nodes(), "6#1000@0-5");
  rig.clock.advance(3s);
  rig.feed({data("1")});
  EXPECT_EQ(rig.nodeCount(), 0u);  // shown at the time of the drop:
  EXPECT_EQ(panelText(rig.tracker.nodeDroppedBox()),
            "TCP Packet|10.0.0.2|10.0.0.9|52311|80|14:03:28|WQMBoxStatus3");
}

TEST(NodeTracker, ANodeKeepsGrowingAfterAFinOrTheEndOfInputGaveItsRoomBack) {
  ControllerRig rig;
  rig.feed({syn("opts"), data(filled(3000, 'a')), data("b", ACK | FIN), data("", ACK | FIN)});
  rig.tracker.inputEnded();
  rig.feed({data("c")});
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(payloadOf(rig.node(0)), "opts" + std::string(3000, 'a') + "bc");
}

TEST(NodeTracker, HaltsChangeNothingAndTheLightsSaySo) {
  ControllerRig rig;
  const auto lights = [&] {
    return rig.tracker.nodeAddedBox().statusLight() + rig.tracker.nodeDroppedBox().statusLight();
  };
  EXPECT_EQ(lights(), "WQMBoxStatus2WQMBoxStatus3");
  // An ended capture shows in the intake light, unless intake is halted.
  rig.tracker.setCaptureEnded(true);
  EXPECT_EQ(lights(), "WQMBoxStatus0WQMBoxStatus3");
  rig.tracker.setNodeAddedHalted(true);
  rig.tracker.setNodeAddedHalted(false);
  EXPECT_EQ(lights(), "WQMBoxStatus0WQMBoxStatus3");
  rig.tracker.setCaptureEnded(false);
  EXPECT_EQ(lights(), "WQMBoxStatus2WQMBoxStatus3");
  rig.set(keys::DropOnFIN, true);
  rig.set(keys::DropOnRST, true);
  rig.feed({syn("A")});
  rig.tracker.setNodeAddedHalted(true);
  rig.tracker.setNodeDroppedHalted(true);
  EXPECT_EQ(lights(), "WQMBoxStatus1WQMBoxStatus1");
  rig.feed({icmpFrame(kClient, kServer, bytesOf(filled(8))), udp("u"), syn(), data("d"),
            data("", ACK | FIN), data("", RST)});
  rig.clock.advance(1h);
  rig.tracker.purgeNodes();
  EXPECT_EQ(rig.nodes(), "6:A@0-0");
  EXPECT_TRUE(rig.log.lines.empty());

  rig.tracker.setNodeAddedHalted(false);  // intake again; the purge stays halted
  EXPECT_EQ(lights(), "WQMBoxStatus2WQMBoxStatus1");
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

}  // namespace
}  // namespace wq::testing
