// The capture stream cut back into chunks, and the records read from a chunk.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/tracking/ControllerRig.h"

namespace wq::testing {
namespace {

std::vector<Bytes> sampleFrames() {
  std::vector<Bytes> frames;
  for (int i = 0; i < 120; ++i) {
    const Bytes payload(static_cast<std::size_t>(1 + (i * 37) % 300),
                        static_cast<std::uint8_t>('a' + i % 26));
    frames.push_back(udpFrame("10.0.0.1", static_cast<std::uint16_t>(i), "10.0.0.2", 9, payload));
  }
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
  const std::string expected = reference.nodes();

  // One cut at every position of the first two chunks, then reads of many odd sizes.
  for (std::size_t cut = 0; cut <= 2 * kChunkLength; ++cut) {
    ControllerRig rig;
    rig.tracker.dataReceived(ByteView(whole.data(), cut));
    rig.tracker.dataReceived(ByteView(whole.data() + cut, whole.size() - cut));
    ASSERT_EQ(rig.nodes(), expected) << "cut at " << cut;
    ASSERT_EQ(rig.tracker.captureStreamEnded(), "Closing /dev/bpf device.\n");
  }
  for (std::size_t readSize : {1, 3, 100, 4095, 4097, 8191, 65536}) {
    ControllerRig rig;
    for (std::size_t at = 0; at < whole.size(); at += readSize) {
      rig.tracker.dataReceived(ByteView(whole.data() + at, std::min(readSize, whole.size() - at)));
    }
    ASSERT_EQ(rig.nodes(), expected) << "reads of " << readSize;
    EXPECT_EQ(rig.tracker.captureStreamEnded(), "Closing /dev/bpf device.\n");
  }
}

TEST(CaptureStream, RecordsAreFourByteAlignedAndTheCursorStopsAtTheFill) {
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
}

TEST(CaptureStream, ARecordRunningPastTheChunkEndIsCutThere) {
  Bytes chunk;
  appendRecord(chunk, udpFrame("10.0.0.2", 7, "10.0.0.9", 9, Bytes(200, 'r')));
  const std::uint32_t claimed = 5000;  // more than any chunk holds
  std::memcpy(chunk.data() + 8, &claimed, sizeof claimed);
  chunk.resize(120);  // the chunk ends inside the payload
  const auto record = CaptureRecordCursor(ByteView(chunk.data(), chunk.size())).next();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->frame.size(), 120u - kRecordHeaderLength);
}

}  // namespace
}  // namespace wq::testing
