// SPDX-License-Identifier: GPL-3.0-or-later
// The capture stream cut back into chunks, the records read from a chunk, the counts of lost
// packets told beside the stream, and when the idle purge ticks while a capture file is read: once
// a second of capture time, and once only for a stretch without records, however long.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/tracking/ControllerRig.h"
#include "tracking/CaptureLoss.h"
#include "tracking/nodes/PurgeTicks.h"

namespace wq::testing {
namespace {

// Datagrams of many sizes; the first and the sixty-first make records too long for a chunk: the
// shortest such, and the longest (its frame padded out behind the datagram). The last fills its
// chunk exactly.
std::vector<Bytes> sampleFrames() {
  std::vector<Bytes> frames;
  for (int i = 0; i < 120; ++i) {
    const std::size_t length = i == 0     ? kMaxFrameInOneChunk + 1 - 42
                               : i == 60  ? 20'000
                               : i == 119 ? kMaxFrameInOneChunk - 42
                                          : static_cast<std::size_t>(1 + (i * 37) % 300);
    const Bytes payload(length, static_cast<std::uint8_t>('a' + i % 26));
    frames.push_back(udpFrame("10.0.0.1", static_cast<std::uint16_t>(i), "10.0.0.2", 9, payload));
  }
  frames[60].resize(kMaxSnapshotLength, 0);
  return frames;
}

TEST(CaptureStream, SameResultWhereverTheReadsAreCut) {
  const Bytes stream = streamOf(sampleFrames());
  ASSERT_GT(stream.size(), 3 * kChunkLength);
  const Bytes helperText = bytesOf("Closing /dev/bpf device.\n");
  Bytes whole = stream;
  whole.insert(whole.end(), helperText.begin(), helperText.end());

  ControllerRig reference;
  reference.tracker.dataReceived(ByteView(stream.data(), stream.size()));
  ASSERT_EQ(reference.nodeCount(), 120u);
  // One read's records, however many chunks they take, cost the table one reload.
  EXPECT_EQ(reference.table.reloads, 1);
  EXPECT_EQ(reference.table.selectedRow(), 119);
  const std::string expected = reference.nodes();
  ASSERT_NE(expected.find("17#4037@"), std::string::npos) << expected;
  ASSERT_NE(expected.find("17#20000@"), std::string::npos) << expected;

  // A first read of `first` bytes, then reads of `size` bytes: the nodes and the helper's text.
  const auto readIn = [&](std::size_t first, std::size_t size) {
    ControllerRig rig;
    rig.tracker.dataReceived(ByteView(whole.data(), first));
    for (std::size_t at = first; at < whole.size(); at += size) {
      rig.tracker.dataReceived(ByteView(whole.data() + at, std::min(size, whole.size() - at)));
    }
    return rig.nodes() + "|" + rig.tracker.captureStreamEnded();
  };
  // One cut at every position of the first two chunks, then reads of many odd sizes.
  for (std::size_t cut = 0; cut <= 2 * kChunkLength; ++cut) {
    ASSERT_EQ(readIn(cut, whole.size()), expected + "|Closing /dev/bpf device.\n") << cut;
  }
  for (const std::size_t size : {1ul, 3ul, 100ul, 4095ul, 4097ul, 8191ul, 65536ul, whole.size()}) {
    ASSERT_EQ(readIn(size, size), expected + "|Closing /dev/bpf device.\n") << size;
  }
}

TEST(CaptureStream, RecordsAreFourByteAlignedAndEndAtTheFillOrTheChunksEnd) {
  Bytes chunk;
  appendRecord(chunk, Bytes(5, 1), 10, 20);  // 18 + 5 = 23 → 24
  appendRecord(chunk, Bytes(2, 2), 11, 21);  // 18 + 2 = 20
  ASSERT_EQ(chunk.size(), 44u);
  chunk.resize(kChunkLength, 0);
  std::string seen;  // seconds.microseconds:first byte x frame length, for each record
  CaptureRecordCursor cursor(ByteView(chunk.data(), chunk.size()));
  while (const auto record = cursor.next()) {
    seen += std::to_string(record->seconds) + "." + std::to_string(record->microseconds) + ":" +
            std::to_string(*record->frame.u8(0)) + "x" + std::to_string(record->frame.size()) + " ";
  }
  EXPECT_EQ(seen, "10.20:1x5 11.21:2x2 ");
  // A header length too small to be a record's ends the chunk, as does a torn header.
  Bytes bad(kChunkLength, 0);
  bad[16] = 17;
  EXPECT_FALSE(CaptureRecordCursor(ByteView(bad.data(), bad.size())).next());
  EXPECT_FALSE(CaptureRecordCursor(ByteView(bad.data(), 17)).next());
  // A record claiming more than the chunk holds is cut at the chunk's end.
  const std::uint32_t claimed = 5000;
  std::memcpy(chunk.data() + kRecordCapturedLengthOffset, &claimed, sizeof claimed);
  const auto record = CaptureRecordCursor(ByteView(chunk.data(), 120)).next();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->frame.size(), 120u - kRecordHeaderLength);
  // Text where a chunk should be makes no node.
  ControllerRig rig;
  const Bytes text = bytesOf("Attempting to open Berkeley Packet Filter device: /dev/bpf0...\n");
  rig.tracker.decodeCaptureBuffer(ByteView(text.data(), text.size()));
  EXPECT_EQ(rig.nodeCount(), 0u);
}

TEST(CaptureStream, ALongRecordTornByTheEndIsDroppedAndAClaimPastTheSnapshotLengthIsNotJoined) {
  // Two of a long record's three chunks, then the helper's text.
  Bytes torn = streamOf({udpFrame("10.0.0.1", 1, "10.0.0.2", 9, Bytes(9000, 't'))});
  ASSERT_EQ(torn.size(), 3 * kChunkLength);
  torn.resize(2 * kChunkLength);
  const Bytes text = bytesOf("Closing /dev/bpf device.\n");
  torn.insert(torn.end(), text.begin(), text.end());
  ControllerRig rig;
  rig.tracker.dataReceived(ByteView(torn.data(), torn.size()));
  EXPECT_EQ(rig.tracker.captureStreamEnded(), "Closing /dev/bpf device.\n");
  EXPECT_EQ(rig.nodeCount(), 0u);

  // A first header claiming more than any snapshot holds is taken as far as its chunk goes.
  Bytes bogus = streamOf({udpFrame("10.0.0.1", 1, "10.0.0.2", 9, bytesOf("bogus")),
                          udpFrame("10.0.0.1", 2, "10.0.0.2", 9, Bytes(4000, 'f'))});
  const auto claimed = static_cast<std::uint32_t>(kMaxSnapshotLength + 1);
  std::memcpy(bogus.data() + kRecordCapturedLengthOffset, &claimed, sizeof claimed);
  rig.tracker.dataReceived(ByteView(bogus.data(), bogus.size()));
  EXPECT_EQ(rig.nodes(), "17:bogus@0-0 17#4000@0-0");
  EXPECT_EQ(rig.tracker.captureStreamEnded(), "");
}

// The helper's count lines replace what was told; tcpdump's lines at its end add the kernel's
// and the interface's drops; anything else tells nothing.
TEST(CaptureLoss, TakesTheCountsOfTheHelperAndOfTcpdump) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"netsiphon: 20 packets received, 0 dropped by the capture library, 0 dropped by the "
        "interface."},
       "0 packets dropped by the kernel since capture started"},
      {{"netsiphon: 99999 packets received, 12000 dropped by the capture library, 431 dropped "
        "by the interface.",
        "netsiphon: 7 packets received, 1 dropped by the capture library, 0 dropped by the "
        "interface."},
       "1 packet dropped by the kernel since capture started"},
      {{"1234567 packets dropped by kernel", "1000 packets dropped by interface"},
       "1,235,567 packets dropped by the kernel since capture started"},
      {{"netsiphon: 5 packets received, 1 dropped by the capture library.",
        "netsiphon: x packets received, 1 dropped by the capture library, 0 dropped by the "
        "interface.",
        "netsiphon: 2 skipped records.", "1402 packets captured", "2000 packets received by filter",
        "packets dropped by kernel", "-1 packets dropped by kernel",
        "18446744073709551616 packets dropped by kernel", ""},
       ""},
  };
  for (const auto& [lines, text] : cases) {
    CaptureLoss loss;
    for (const std::string& line : lines) {
      EXPECT_EQ(loss.take(line), !text.empty()) << line;
    }
    EXPECT_EQ(loss.told() ? loss.text() : "", text);
  }
}

using Seconds = std::chrono::duration<double>;

TimePoint at(double seconds) {
  return TimePoint{} + std::chrono::duration_cast<TimePoint::duration>(Seconds(seconds));
}

TEST(PurgeTicks, OneTickASecondAndOneForAStretchWithoutRecords) {
  // Record times, and the tick due before each (negative: none).
  const std::pair<double, double> records[] = {
      {100.0, -1}, {100.5, -1},    {101.0, 101.0},
      {101.7, -1}, {102.0, 102.0}, {120.4, 120.0},  // a stretch of 18 s: its last tick only
      {110.0, -1},  // stamped earlier: no tick until capture time passes the next one again
      {120.9, -1}, {121.0, 121.0}, {121.0, -1},
  };
  PurgeTicks ticks;
  for (const auto& [time, tick] : records) {
    const std::optional<TimePoint> due = ticks.tickBefore(at(time));
    EXPECT_EQ(due, tick < 0 ? std::nullopt : std::optional(at(tick))) << time;
  }
  // Stamps that jump by three hours: one tick per jump.
  int ticked = 0;
  for (int record = 0; record < 1000; ++record) {
    ticked += ticks.tickBefore(at(200.0 + record * 3 * 3600.0)).has_value();
  }
  EXPECT_EQ(ticked, 1000);
}

}  // namespace
}  // namespace wq::testing
