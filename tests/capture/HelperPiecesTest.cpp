// SPDX-License-Identifier: GPL-3.0-or-later
// The helper's pieces on their own: frames of every link type handed out as Ethernet frames,
// records packed into chunks, the replay's pace, its text lines and the account it runs as. How
// short records are packed, and that no empty chunk is sent, is checked on the built helper
// (NetsiphonTest.cpp).
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <pwd.h>

#include <cstring>
#include <map>
#include <string>

#include "capture/ChunkAssembler.h"
#include "capture/LinkLayer.h"
#include "capture/LiveSource.h"
#include "capture/Messages.h"
#include "capture/Privileges.h"
#include "capture/ReplayClock.h"
#include "tools/CaptureBuilder.h"

namespace netsiphon {
namespace {

using wq::testing::Bytes;

using Converted = std::optional<std::pair<Bytes, std::uint32_t>>;  // the frame, its wire length

Bytes joined(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST(LinkLayer, HandsOutEveryLinkTypeAsEthernetFramesAndSkipsWhatItCannotName) {
  const Bytes ipv4 = {0x45, 0x00, 0x00, 0x1c, 0xAA, 0xBB};
  const Bytes ipv6 = {0x60, 0x00, 0x00, 0x00, 0xCC};
  // The made-up Ethernet headers: zero addresses and the payload's EtherType.
  const Bytes v4 = joined(Bytes(12), joined({0x08, 0x00}, ipv4));
  const Bytes v6 = joined(Bytes(12), joined({0x86, 0xDD}, ipv6));
  // Version 1: packet type, address type, address length, 8 address bytes, protocol.
  const Bytes sll = {0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x86, 0xDD};
  // Version 2: protocol, reserved, interface index, address type, packet type, address.
  const Bytes sll2 = {0x08, 0x00, 0, 0, 0, 0, 0, 3, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  const std::tuple<int, Bytes, std::uint32_t, Converted> cases[] = {
      {DLT_EN10MB, v4, 1500, {{v4, 1500}}},
      {DLT_LINUX_SLL, joined(sll, ipv6), 100, {{v6, 100 - 16 + 14}}},
      // A header alone, with a wire length shorter than itself.
      {DLT_LINUX_SLL, sll, 4, {{Bytes(v6.begin(), v6.begin() + 14), 14}}},
      {DLT_LINUX_SLL, Bytes(15, 0), 15, {}},
      {DLT_LINUX_SLL2, joined(sll2, ipv4), 100, {{v4, 100 - 20 + 14}}},
      {DLT_LINUX_SLL2, Bytes(19, 0), 19, {}},
      {DLT_RAW, ipv4, 28, {{v4, 28 + 14}}},
      {DLT_IPV4, ipv6, 48, {{v6, 48 + 14}}},
      {DLT_IPV6, ipv4, 0xFFFFFFFF, {{v4, 0xFFFFFFFF}}},  // no wrap-around
      {DLT_RAW, {0x50, 0}, 2, {}},                       // IP version 5
      {DLT_IPV6, {}, 0, {}},
      // DLT_NULL holds the address family in the capturing machine's byte order, either way round;
      // AF_INET6 is 10, 24, 28 or 30 depending on that machine's system.
      {DLT_NULL, joined({2, 0, 0, 0}, ipv4), 10, {{v4, 10 - 4 + 14}}},
      {DLT_NULL, joined({0, 0, 0, 2}, ipv4), 10, {{v4, 10 - 4 + 14}}},
      {DLT_NULL, joined({10, 0, 0, 0}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_NULL, joined({0, 0, 0, 24}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_NULL, joined({28, 0, 0, 0}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_NULL, joined({30, 0, 0, 0}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_NULL, joined({17, 0, 0, 0}, ipv4), 10, {}},
      {DLT_NULL, {2, 0, 0}, 3, {}},
      // DLT_LOOP always holds it in network byte order.
      {DLT_LOOP, joined({0, 0, 0, 30}, ipv6), 9, {{v6, 9 - 4 + 14}}},
      {DLT_LOOP, joined({2, 0, 0, 0}, ipv4), 10, {}},
      {DLT_IEEE802_11_RADIO, ipv4, 6, {}},
  };
  for (std::size_t index = 0; index < std::size(cases); ++index) {
    const auto& [linkType, captured, wireLength, expected] = cases[index];
    EXPECT_EQ(isSupportedLinkType(linkType), linkType != DLT_IEEE802_11_RADIO) << index;
    const std::optional<EthernetFrame> converted = toEthernet(linkType, captured, wireLength);
    Converted got;
    if (converted) {
      const Frame frame = converted->frame();
      got = {joined(Bytes(frame.head.begin(), frame.head.end()),
                    Bytes(frame.body.begin(), frame.body.end())),
             frame.wireLength};
      EXPECT_EQ(frame.head.empty(), linkType == DLT_EN10MB) << "Ethernet frames are not copied";
    }
    EXPECT_EQ(got, expected) << "case " << index;
  }
}

struct GoneReader : ByteSink {
  bool deliver(std::span<const std::uint8_t>) override { return false; }
};

struct KeptStream : ByteSink {
  bool deliver(std::span<const std::uint8_t> chunk) override {
    stream.insert(stream.end(), chunk.begin(), chunk.end());
    return true;
  }
  Bytes stream;
};

TEST(ChunkAssembler, ALongRecordStartsAChunkAndRunsOnThroughChunksOfItsOwn) {
  struct Case {
    std::vector<std::size_t> frameLengths;
    std::vector<std::size_t> starts;  // where each record starts in the stream
    std::size_t chunks;
  };
  const Case cases[] = {
      {{100, 9000, 50}, {0, wq::kChunkLength, 4 * wq::kChunkLength}, 5},
      {{100, wq::kMaxFrameInOneChunk, wq::kMaxFrameInOneChunk + 1, 2 * wq::kChunkLength - 18, 10},
       {0, wq::kChunkLength, 2 * wq::kChunkLength, 4 * wq::kChunkLength, 6 * wq::kChunkLength},
       7},
      {{300'000}, {0}, 65},  // cut to the longest snapshot
  };
  for (const Case& c : cases) {
    KeptStream sink;
    ChunkAssembler assembler(sink);
    Bytes expected(c.chunks * wq::kChunkLength, 0);
    for (std::size_t index = 0; index < c.frameLengths.size(); ++index) {
      const auto length = static_cast<std::uint32_t>(c.frameLengths[index]);
      const Bytes bytes = wq::testing::patternedBytes(length, static_cast<std::uint8_t>(index));
      const std::size_t head = std::min<std::size_t>(14, length);
      const auto seconds = static_cast<std::uint32_t>(index);
      ASSERT_TRUE(assembler.add(
          {seconds, 7}, {std::span(bytes).first(head), std::span(bytes).subspan(head), length}));
      const std::size_t captured = std::min<std::size_t>(length, wq::kMaxSnapshotLength);
      wq::storeRecordHeader(expected.data() + c.starts[index],
                            {seconds, 7, static_cast<std::uint32_t>(captured), length});
      std::memcpy(expected.data() + c.starts[index] + wq::kRecordHeaderLength, bytes.data(),
                  captured);
    }
    ASSERT_TRUE(assembler.flush());
    EXPECT_TRUE(sink.stream == expected) << "frames from " << c.frameLengths[0] << ": "
                                         << sink.stream.size() / wq::kChunkLength << " chunks";
  }
}

TEST(ChunkAssembler, ReportsAReaderThatIsGone) {
  GoneReader sink;
  ChunkAssembler assembler(sink);
  const Bytes bytes = wq::testing::patternedBytes(9000, 2);
  const Frame full{{}, std::span(bytes).first(wq::kMaxFrameInOneChunk), 9000};
  ASSERT_TRUE(assembler.add({}, full));
  EXPECT_FALSE(assembler.flush());
  ASSERT_TRUE(assembler.add({}, full));
  EXPECT_FALSE(assembler.add({}, full)) << "the chunk is full: it is sent, and refused";
  EXPECT_FALSE(assembler.add({}, {{}, bytes, 9000})) << "a long record's first chunk is refused";
}

TEST(ReplayClock, MakesEachPacketDueAtItsRecordedDistanceFromTheFirst) {
  const ReplayClock::Clock::time_point start(std::chrono::hours(1));
  const ReplayClock clock({100, 999'999}, start, true);
  EXPECT_EQ(clock.dueTime({100, 999'999}), start);
  EXPECT_EQ(clock.dueTime({101, 0}), start + std::chrono::microseconds(1));
  EXPECT_EQ(clock.dueTime({102, 500'000}), start + std::chrono::microseconds(1'500'001));
  EXPECT_EQ(clock.dueTime({99, 999'999}), start) << "stamped before the first: at once";
  EXPECT_EQ(ReplayClock({0, 0}, start, true).dueTime({0xFFFFFFFF, 999'999}),
            start + std::chrono::microseconds(std::int64_t{0xFFFFFFFF} * 1'000'000 + 999'999));
  EXPECT_EQ(ReplayClock({100, 0}, start, false).dueTime({5000, 0}), start) << "unpaced: at once";
}

TEST(Messages, TellProgressLinesFromReasonsAndPlaceCaptureLibraryErrorsAtTheirStep) {
  std::string progress;
  for (const char* line : {"Attempting to open Berkeley Packet Filter device: /dev/bpf0...",
                           "Successfully set immediate mode.", "Closing /dev/bpf device.",
                           "Could not set Berkeley Packet Filter interface!",
                           "Capturing without promiscuous mode: not supported", ""}) {
    progress += isProgressLine(line) ? '1' : '0';
  }
  EXPECT_EQ(progress, "111000");
  // Capture library errors belong to the step they stop (0: open, 1: interface, 3: promiscuous
  // mode, 4: immediate mode).
  std::string steps;
  for (const int error :
       {PCAP_ERROR_PERM_DENIED, PCAP_ERROR, PCAP_ERROR_NO_SUCH_DEVICE, PCAP_ERROR_IFACE_NOT_UP,
        PCAP_ERROR_RFMON_NOTSUP, PCAP_ERROR_PROMISC_PERM_DENIED, PCAP_ERROR_CANTSET_TSTAMP_TYPE,
        PCAP_ERROR_TSTAMP_PRECISION_NOTSUP}) {
    steps += std::to_string(static_cast<int>(stepOfActivationError(error)));
  }
  EXPECT_EQ(steps, "00111344");
}

TEST(Privileges, RunAsTheUserWhoInvokedTheHelperElseAsNobody) {
  const passwd* entry = getpwnam("nobody");
  ASSERT_TRUE(entry != nullptr && entry->pw_uid != 0) << "this system has no user nobody";
  const Account nobody{entry->pw_uid, entry->pw_gid};
  entry = getpwuid(4321);
  const Account pkexecUser{4321, entry != nullptr ? entry->pw_gid : 4321};
  const std::pair<std::map<std::string, std::string>, Account> cases[] = {
      {{{"PKEXEC_UID", "4321"}, {"SUDO_UID", "1000"}}, pkexecUser},
      {{{"SUDO_UID", "1000"}, {"SUDO_GID", "1001"}}, {1000, 1001}},
      {{}, nobody},
      {{{"PKEXEC_UID", "0"}}, nobody},
      {{{"PKEXEC_UID", ""}}, nobody},
      {{{"PKEXEC_UID", "12x"}}, nobody},
      {{{"PKEXEC_UID", "-5"}}, nobody},
      {{{"PKEXEC_UID", "4294967295"}}, nobody},
      {{{"PKEXEC_UID", "99999999999"}}, nobody},
      {{{"SUDO_UID", "1000"}}, nobody},
      {{{"SUDO_UID", "0"}, {"SUDO_GID", "0"}}, nobody},
  };
  for (const auto& [settings, account] : cases) {
    EXPECT_EQ(accountToRunAs([&environment = settings](const char* name) -> const char* {
                const auto found = environment.find(name);
                return found == environment.end() ? nullptr : found->second.c_str();
              }),
              account)
        << (settings.empty() ? "" : settings.begin()->first + "=" + settings.begin()->second);
  }
}

}  // namespace
}  // namespace netsiphon
