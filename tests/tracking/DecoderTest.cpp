// Capture chunks in, node-list changes out.

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

Bytes filled(std::size_t count, char c = 'x') {
  return Bytes(count, static_cast<std::uint8_t>(c));
}

Bytes syn(const Bytes& options = filled(20, '\x01')) {
  return tcpFrame(kClient, 52311, kServer, 80, SYN, options);
}
Bytes data(const Bytes& payload, std::uint8_t flags = ACK) {
  return tcpFrame(kClient, 52311, kServer, 80, flags, payload);
}

TEST(Decoder, IcmpEchoRequestBecomesOneNodeHoldingTheWholeMessage) {
  ControllerRig rig;
  const Bytes echo = icmpFrame("192.168.1.5", "192.168.1.1", filled(56, 'p'));  // total length 84
  rig.feed({echo});

  ASSERT_EQ(rig.nodeCount(), 1u);
  const WQMConnection& node = rig.node(0);
  EXPECT_EQ(node.protocol(), 1u);
  EXPECT_EQ(node.byteCount(), 64u);
  EXPECT_EQ(node.packetData()[0], 8);  // the ICMP type byte starts the payload
  EXPECT_EQ(node.sport(), 0);
  EXPECT_EQ(node.dport(), 0);
  EXPECT_EQ(node.saddr(), addressOf("192.168.1.5"));
  EXPECT_EQ(rig.controller.nodeAddedBox().protocolField(), "ICMP Packet");
  EXPECT_EQ(rig.controller.nodeAddedBox().sourcePortField(), "0");
  EXPECT_EQ(rig.table.selectedRow(), 0);

  // Every ICMP message is a node of its own, even between the same hosts.
  rig.feed({echo});
  EXPECT_EQ(rig.nodeCount(), 2u);
}

TEST(Decoder, SynCarriesItsOptionsAsPayloadAndBareSynMakesNothing) {
  ControllerRig rig;
  rig.feed({syn(Bytes{})});  // total length 40: nothing to keep
  EXPECT_EQ(rig.nodeCount(), 0u);

  rig.feed({syn()});  // total length 60
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).byteCount(), 20u);
  EXPECT_EQ(rig.node(0).protocol(), 6u);
  EXPECT_EQ(rig.node(0).sport(), portOf(52311));
  EXPECT_EQ(rig.node(0).dport(), portOf(80));
  EXPECT_EQ(rig.controller.nodeAddedBox().destinationPortField(), "80");
  EXPECT_EQ(rig.controller.nodeAddedBox().sourcePortField(), "52311");
}

TEST(Decoder, DataGrowsTheLowestMatchAndMovesItToTheEnd) {
  ControllerRig rig;
  rig.feed({syn()});
  rig.feed({udpFrame("10.0.0.3", 53, "10.0.0.4", 53, filled(10))});
  rig.clock.advance(5s);
  rig.feed({data(bytesOf(std::string(100, 'd')))});

  ASSERT_EQ(rig.nodeCount(), 2u);
  const WQMConnection& grown = rig.node(1);
  EXPECT_EQ(grown.protocol(), 6u);
  EXPECT_EQ(grown.byteCount(), 120u);
  EXPECT_EQ(payloadOf(grown).substr(20), std::string(100, 'd'));
  EXPECT_EQ(grown.lastHit(), kStartTime + 5s);
  EXPECT_EQ(grown.startHit(), kStartTime);
  EXPECT_EQ(rig.table.selectedRow(), 1);
  EXPECT_EQ(rig.table.scrolledTo, 1);
  EXPECT_EQ(rig.controller.nodeAddedBox().lastHitField(), "14:03:25");
}

TEST(Decoder, RetransmittedSynMakesATwinAndDataAlternatesBetweenThem) {
  ControllerRig rig;
  rig.feed({syn(bytesOf("A"))});
  rig.feed({syn(bytesOf("B"))});
  rig.feed({data(bytesOf("1"))});
  rig.feed({data(bytesOf("2"))});
  rig.feed({data(bytesOf("3"))});

  ASSERT_EQ(rig.nodeCount(), 2u);
  EXPECT_EQ(payloadOf(rig.node(0)), "B2");
  EXPECT_EQ(payloadOf(rig.node(1)), "A13");
}

TEST(Decoder, DataForAnUnknownFlowChangesNothingWhateverItsFlags) {
  ControllerRig rig;
  rig.set(keys::DropOnFIN, true);
  rig.feed({data(filled(10), ACK | FIN)});
  rig.feed({data(filled(10), ACK | RST)});
  EXPECT_EQ(rig.nodeCount(), 0u);
  EXPECT_TRUE(rig.log.lines.empty());
  EXPECT_EQ(rig.table.reloads, 0);
}

TEST(Decoder, OverflowBoundaryAndDrop) {
  ControllerRig rig;
  rig.set(keys::MaxPacketSize, std::int64_t{1000});
  rig.feed({syn(filled(950))});
  rig.feed({data(filled(50))});
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).byteCount(), 1000u);  // exactly full is still fine

  rig.clock.advance(3s);
  rig.feed({data(filled(1))});
  EXPECT_EQ(rig.nodeCount(), 0u);
  const WQMNodeBox& dropped = rig.controller.nodeDroppedBox();
  EXPECT_EQ(dropped.protocolField(), "TCP Packet");
  EXPECT_EQ(dropped.sourceIPField(), kClient);
  EXPECT_EQ(dropped.destinationIPField(), kServer);
  EXPECT_EQ(dropped.sourcePortField(), "52311");
  EXPECT_EQ(dropped.lastHitField(), "14:03:23");  // the time of the drop
  EXPECT_TRUE(rig.log.lines.empty());
  EXPECT_EQ(rig.table.selectedRow(), NodeTableView::kNoRow);

  // A segment as large as the limit neither makes nor grows a node.
  rig.feed({syn(filled(1000))});
  EXPECT_EQ(rig.nodeCount(), 0u);
  rig.feed({syn(filled(999))});
  EXPECT_EQ(rig.nodeCount(), 1u);
}

TEST(Decoder, FinAndRstDropTheLowestMatchWhenTheirSettingIsOn) {
  ControllerRig rig;
  rig.feed({syn(), syn()});
  rig.feed({data(Bytes{}, ACK | FIN)});
  EXPECT_EQ(rig.nodeCount(), 2u);  // DropOnFIN is off by default

  rig.set(keys::DropOnFIN, true);
  rig.feed({data(Bytes{}, ACK | FIN)});
  EXPECT_EQ(rig.nodeCount(), 1u);
  ASSERT_EQ(rig.log.lines.size(), 1u);
  EXPECT_EQ(rig.log.lines[0], "Dropping node on FIN...");

  rig.set(keys::DropOnFIN, false);
  rig.set(keys::DropOnRST, true);
  rig.feed({data(Bytes{}, ACK | FIN | RST)});
  EXPECT_EQ(rig.nodeCount(), 0u);
  EXPECT_EQ(rig.log.lines.back(), "Dropping node on RST...");
  // Neither panel tells of these drops.
  EXPECT_EQ(rig.controller.nodeDroppedBox().sourceIPField(), "");
}

TEST(Decoder, FinForAnAbsentFlowDoesNotFallThroughToRst) {
  ControllerRig rig;
  rig.feed({tcpFrame("10.0.0.7", 1, "10.0.0.8", 2, SYN, filled(4))});
  rig.set(keys::DropOnFIN, true);
  rig.set(keys::DropOnRST, true);
  rig.feed({tcpFrame("10.0.0.7", 1, "10.0.0.8", 3, FIN | RST, Bytes{})});
  EXPECT_EQ(rig.nodeCount(), 1u);
  EXPECT_TRUE(rig.log.lines.empty());
}

TEST(Decoder, DataWithFinIsSettledByTheDataRowsAlone) {
  ControllerRig rig;
  rig.set(keys::DropOnFIN, true);
  rig.feed({syn()});
  rig.feed({data(filled(5), ACK | FIN)});
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).byteCount(), 25u);
  EXPECT_TRUE(rig.log.lines.empty());
}

TEST(Decoder, ANodeKeepsGrowingAfterAFinOrTheEndOfInputGaveItsRoomBack) {
  // With DropOnFIN off a FIN changes nothing that can be seen: data that comes after it (out of
  // order, or after the end of one capture file) still grows the node byte for byte.
  ControllerRig rig;
  rig.feed({syn(bytesOf("opts"))});
  rig.feed({data(filled(3000, 'a'))});
  rig.feed({data(filled(10, 'b'), ACK | FIN)});
  rig.feed({data(Bytes{}, ACK | FIN)});
  rig.feed({data(filled(7, 'c'))});
  rig.controller.inputEnded();
  rig.feed({data(filled(5, 'd'))});
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(payloadOf(rig.node(0)), "opts" + std::string(3000, 'a') + std::string(10, 'b') +
                                        std::string(7, 'c') + std::string(5, 'd'));
  EXPECT_TRUE(rig.log.lines.empty());
}

TEST(Decoder, EveryUdpDatagramWithPayloadIsANodeOfItsOwn) {
  ControllerRig rig;
  rig.feed({udpFrame(kClient, 5353, kServer, 53, Bytes{})});  // total length 28
  EXPECT_EQ(rig.nodeCount(), 0u);
  rig.feed({udpFrame(kClient, 5353, kServer, 53, bytesOf("query"))});
  rig.feed({udpFrame(kClient, 5353, kServer, 53, bytesOf("again"))});
  ASSERT_EQ(rig.nodeCount(), 2u);
  EXPECT_EQ(payloadOf(rig.node(1)), "again");
  EXPECT_EQ(rig.controller.nodeAddedBox().protocolField(), "UDP Packet");
  EXPECT_EQ(rig.controller.nodeAddedBox().destinationPortField(), "53");
}

TEST(Decoder, TcpDataGrowsAUdpNodeWithTheSamePortsAndThePanelSaysTcp) {
  ControllerRig rig;
  rig.feed({udpFrame(kClient, 52311, kServer, 80, bytesOf("u"))});
  rig.feed({data(bytesOf("t"))});
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).protocol(), 17u);
  EXPECT_EQ(payloadOf(rig.node(0)), "ut");
  EXPECT_EQ(rig.controller.nodeAddedBox().protocolField(), "TCP Packet");
}

TEST(Decoder, HaltedIntakeChangesNothingAtAll) {
  ControllerRig rig;
  rig.set(keys::MaxPacketSize, std::int64_t{30});
  rig.set(keys::DropOnFIN, true);
  rig.set(keys::DropOnRST, true);
  rig.feed({syn(filled(25))});
  MemoryToggleButton on;
  on.setState(ToggleButton::kOn);
  rig.controller.nodeAddedHalt(on);
  const int reloads = rig.table.reloads;

  rig.feed({icmpFrame(kClient, kServer, filled(8)), udpFrame(kClient, 1, kServer, 2, filled(3)),
            syn(), data(filled(10)), data(Bytes{}, FIN), data(Bytes{}, RST)});
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).byteCount(), 25u);
  EXPECT_EQ(rig.table.reloads, reloads);
  EXPECT_TRUE(rig.log.lines.empty());

  MemoryToggleButton off;
  rig.controller.nodeAddedHalt(off);
  rig.feed({udpFrame(kClient, 1, kServer, 2, filled(3))});
  EXPECT_EQ(rig.nodeCount(), 2u);
}

TEST(Decoder, ZeroFillAndGarbageChangeNothing) {
  ControllerRig rig;
  const Bytes zeros(kChunkLength, 0);
  rig.controller.decodeCaptureBuffer(ByteView(zeros.data(), zeros.size()));
  const Bytes text = bytesOf("Attempting to open Berkeley Packet Filter device: /dev/bpf0...\n");
  rig.controller.decodeCaptureBuffer(ByteView(text.data(), text.size()));
  EXPECT_EQ(rig.nodeCount(), 0u);
  EXPECT_EQ(rig.table.reloads, 0);
}

// --- What the decoder does beyond taking the first record of a chunk at fixed offsets.

TEST(DecoderMends, EveryRecordOfAChunkIsDecodedInOrder) {
  ControllerRig rig;
  std::vector<Bytes> frames;
  for (int i = 0; i < 40; ++i) {
    frames.push_back(
        udpFrame(kClient, static_cast<std::uint16_t>(1000 + i), kServer, 53, filled(3 + i % 4)));
  }
  rig.feed(frames);
  ASSERT_EQ(rig.nodeCount(), 40u);
  for (std::size_t i = 0; i < 40; ++i) {
    EXPECT_EQ(rig.node(i).sport(), portOf(static_cast<std::uint16_t>(1000 + i)));
    EXPECT_EQ(rig.node(i).byteCount(), 3 + i % 4);
  }
  EXPECT_EQ(rig.table.selectedRow(), 39);
}

TEST(DecoderMends, OnlyEthernetFramesCarryingIpv4AreDecoded) {
  ControllerRig rig;
  Bytes arp = udpFrame(kClient, 1, kServer, 2, filled(30));
  arp[12] = 0x08;
  arp[13] = 0x06;
  Bytes ipv6 = udpFrame(kClient, 1, kServer, 2, filled(30));
  ipv6[12] = 0x86;
  ipv6[13] = 0xDD;
  Ipv4Options version6;
  version6.version = 6;
  rig.feed({arp, ipv6, udpFrame(kClient, 1, kServer, 2, filled(30), version6)});
  EXPECT_EQ(rig.nodeCount(), 0u);
}

TEST(DecoderMends, HeaderLengthIsHonouredAndLaterFragmentsIgnored) {
  ControllerRig rig;
  Ipv4Options withOptions;
  withOptions.headerWords = 6;
  rig.feed({udpFrame(kClient, 4000, kServer, 53, bytesOf("payload"), withOptions)});
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).sport(), portOf(4000));
  EXPECT_EQ(payloadOf(rig.node(0)), "payload");

  Ipv4Options laterFragment;
  laterFragment.fragmentField = 185;  // offset 1480 bytes
  Ipv4Options firstFragment;
  firstFragment.fragmentField = 0x2000;  // more fragments, offset 0
  rig.feed({udpFrame(kClient, 4000, kServer, 53, bytesOf("tail"), laterFragment),
            udpFrame(kClient, 4001, kServer, 53, bytesOf("head"), firstFragment)});
  ASSERT_EQ(rig.nodeCount(), 2u);
  EXPECT_EQ(payloadOf(rig.node(1)), "head");

  Ipv4Options tooShort;
  tooShort.headerWords = 4;
  rig.feed({udpFrame(kClient, 4000, kServer, 53, bytesOf("x"), tooShort)});
  EXPECT_EQ(rig.nodeCount(), 2u);
}

TEST(DecoderMends, APacketIsTakenOnlyAsFarAsItsBytesGo) {
  ControllerRig rig;
  // The IPv4 header states 1000 payload bytes; only 100 were captured.
  Bytes cut = udpFrame(kClient, 7, kServer, 9, filled(1000, 'c'));
  cut.resize(14 + 20 + 8 + 100);
  // Ethernet padding after the stated length is not payload.
  Bytes padded = udpFrame(kClient, 7, kServer, 10, bytesOf("ab"));
  padded.resize(60, 0xEE);
  // Headers themselves cut short: nothing to decode.
  Bytes noPorts = udpFrame(kClient, 7, kServer, 11, filled(10));
  noPorts.resize(14 + 20 + 3);
  Bytes noFlags = tcpFrame(kClient, 7, kServer, 12, SYN, filled(10));
  noFlags.resize(14 + 20 + 13);
  rig.feed({cut, padded, noPorts, noFlags});

  ASSERT_EQ(rig.nodeCount(), 2u);
  EXPECT_EQ(payloadOf(rig.node(0)), std::string(100, 'c'));
  EXPECT_EQ(payloadOf(rig.node(1)), "ab");
}

TEST(DecoderMends, ARecordRunningPastTheChunkEndIsCutThere) {
  ControllerRig rig;
  Bytes chunk;
  appendRecord(chunk, udpFrame(kClient, 7, kServer, 9, filled(200, 'r')));
  std::uint32_t claimed = 5000;  // more than any chunk holds
  std::memcpy(chunk.data() + 8, &claimed, sizeof claimed);
  chunk.resize(120);  // the chunk ends inside the payload
  rig.controller.decodeCaptureBuffer(ByteView(chunk.data(), chunk.size()));
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).byteCount(), 120u - 18 - 42);
}

TEST(DecoderMends, OddMaxPacketSizesNeitherCrashNorAllocateAbsurdly) {
  for (std::int64_t size : {std::int64_t{0}, std::int64_t{-5}, std::int64_t{INT_MIN}}) {
    ControllerRig rig;
    rig.set(keys::MaxPacketSize, size);
    rig.feed({syn(), udpFrame(kClient, 1, kServer, 2, filled(3)), icmpFrame(kClient, kServer, {})});
    EXPECT_EQ(rig.nodeCount(), 0u) << size;
  }
  ControllerRig rig;
  rig.set(keys::MaxPacketSize, std::int64_t{INT_MAX});
  rig.feed({syn()});
  for (int i = 0; i < 50; ++i) {
    rig.feed({data(filled(1400))});
  }
  ASSERT_EQ(rig.nodeCount(), 1u);
  EXPECT_EQ(rig.node(0).byteCount(), 20u + 50 * 1400);
  EXPECT_EQ(rig.node(0).bufferSize(), static_cast<std::uint32_t>(INT_MAX));

  // Stored as text, as some settings stores keep everything.
  rig.set(keys::MaxPacketSize, std::string("99999999999999999999"));
  rig.feed({udpFrame(kClient, 1, kServer, 2, filled(3))});
  EXPECT_EQ(rig.nodeCount(), 2u);
}

TEST(DecoderMends, ANodeNeverGrowsPastItsOwnBufferAfterTheLimitIsRaised) {
  ControllerRig rig;
  rig.set(keys::MaxPacketSize, std::int64_t{1000});
  rig.feed({syn(filled(900))});
  rig.set(keys::MaxPacketSize, std::int64_t{24000});
  rig.feed({data(filled(100))});
  EXPECT_EQ(rig.node(0).byteCount(), 1000u);
  EXPECT_EQ(rig.node(0).bufferSize(), 1000u);
  rig.feed({data(filled(1))});
  EXPECT_EQ(rig.nodeCount(), 0u);  // dropped as an overflow of its own buffer
  EXPECT_EQ(rig.controller.nodeDroppedBox().protocolField(), "TCP Packet");
}

}  // namespace
}  // namespace wq::testing
