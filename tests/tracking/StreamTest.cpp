// The capture stream cut back into chunks, and the settings read from a store.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

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

std::vector<std::pair<std::uint16_t, std::uint32_t>> portsAndSizes(const ControllerRig& rig) {
  std::vector<std::pair<std::uint16_t, std::uint32_t>> seen;
  for (std::size_t i = 0; i < rig.nodeCount(); ++i) {
    seen.emplace_back(rig.node(i).sport(), rig.node(i).byteCount());
  }
  return seen;
}

TEST(CaptureStream, SameResultWhereverTheReadsAreCut) {
  const Bytes stream = streamOf(sampleFrames());
  ASSERT_GT(stream.size(), 3 * kChunkLength);
  const Bytes helperText = bytesOf("Closing /dev/bpf device.\n");
  Bytes whole = stream;
  whole.insert(whole.end(), helperText.begin(), helperText.end());

  ControllerRig reference;
  reference.controller.dataReceived(ByteView(stream.data(), stream.size()));
  ASSERT_EQ(reference.nodeCount(), 120u);
  const auto expected = portsAndSizes(reference);

  // One cut at every position of the first two chunks, then reads of many odd sizes.
  for (std::size_t cut = 0; cut <= 2 * kChunkLength; ++cut) {
    ControllerRig rig;
    rig.controller.dataReceived(ByteView(whole.data(), cut));
    rig.controller.dataReceived(ByteView(whole.data() + cut, whole.size() - cut));
    ASSERT_EQ(portsAndSizes(rig), expected) << "cut at " << cut;
    ASSERT_EQ(rig.controller.captureStreamEnded(), "Closing /dev/bpf device.\n");
  }
  for (std::size_t readSize : {1, 3, 100, 4095, 4097, 8191, 65536}) {
    ControllerRig rig;
    for (std::size_t at = 0; at < whole.size(); at += readSize) {
      rig.controller.dataReceived(
          ByteView(whole.data() + at, std::min(readSize, whole.size() - at)));
    }
    ASSERT_EQ(portsAndSizes(rig), expected) << "reads of " << readSize;
    EXPECT_EQ(rig.controller.captureStreamEnded(), "Closing /dev/bpf device.\n");
  }
}

TEST(CaptureStream, RecordsAreFourByteAlignedAndTheCursorStopsAtTheFill) {
  Bytes chunk;
  appendRecord(chunk, Bytes(5, 1), 10, 20);  // 18 + 5 = 23 → 24
  appendRecord(chunk, Bytes(2, 2), 11, 21);  // 18 + 2 = 20
  ASSERT_EQ(chunk.size(), 44u);
  chunk.resize(kChunkLength, 0);
  CaptureRecordCursor cursor(ByteView(chunk.data(), chunk.size()));
  const auto first = cursor.next();
  const auto second = cursor.next();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->seconds, 10u);
  EXPECT_EQ(first->microseconds, 20u);
  EXPECT_EQ(first->frame.size(), 5u);
  EXPECT_EQ(second->seconds, 11u);
  EXPECT_EQ(*second->frame.u8(0), 2);
  EXPECT_FALSE(cursor.next());

  // A header length too small to be a record's ends the chunk.
  Bytes bad(kChunkLength, 0);
  bad[16] = 17;
  EXPECT_FALSE(CaptureRecordCursor(ByteView(bad.data(), bad.size())).next());
  // A torn header at the very end.
  EXPECT_FALSE(CaptureRecordCursor(ByteView(bad.data(), 17)).next());
}

TEST(Settings, RegisteredDefaultsAndStoredValues) {
  MemorySettingsStore store;
  Defaults defaults(store);
  defaults.registerDefaults(registeredDefaults());
  EXPECT_EQ(defaults.integerValue(keys::MaxPacketSize), 24000);
  EXPECT_EQ(defaults.stringValue(keys::BPFDevice), "/dev/bpf0");
  EXPECT_EQ(defaults.stringValue(keys::InterfaceDevice), "en1");
  EXPECT_EQ(defaults.doubleValue(keys::PurgeIdleTime), 15.0);
  EXPECT_FALSE(defaults.boolValue(keys::DropOnFIN));
  EXPECT_FALSE(defaults.boolValue(keys::ReportRecentNodesFirst));

  // Stores that keep only text.
  store.setValue(keys::MaxPacketSize, std::string(" 1500 bytes"));
  store.setValue(keys::PurgeIdleTime, std::string("2.5"));
  store.setValue(keys::DropOnFIN, std::string("true"));
  store.setValue(keys::DropOnRST, std::string("false"));
  EXPECT_EQ(defaults.integerValue(keys::MaxPacketSize), 1500);
  EXPECT_EQ(defaults.doubleValue(keys::PurgeIdleTime), 2.5);
  EXPECT_TRUE(defaults.boolValue(keys::DropOnFIN));
  EXPECT_FALSE(defaults.boolValue(keys::DropOnRST));

  store.setValue(keys::MaxPacketSize, 1e12);
  EXPECT_EQ(defaults.integerValue(keys::MaxPacketSize), INT_MAX);
  store.setValue(keys::MaxPacketSize, std::int64_t{-5000000000});
  EXPECT_EQ(defaults.integerValue(keys::MaxPacketSize), INT_MIN);
  store.setValue(keys::PurgeIdleTime, std::int64_t{5});
  EXPECT_EQ(defaults.doubleValue(keys::PurgeIdleTime), 5.0);
  EXPECT_EQ(defaults.stringValue(keys::PurgeIdleTime), "5");
}

TEST(Settings, TextAsANumberOrAFlag) {
  EXPECT_EQ(intValueOf("80"), 80);
  EXPECT_EQ(intValueOf("  -17abc"), -17);
  EXPECT_EQ(intValueOf("Port"), 0);
  EXPECT_EQ(intValueOf(""), 0);
  EXPECT_EQ(intValueOf("2147483648"), INT_MAX);
  EXPECT_EQ(intValueOf("-99999999999999999999"), INT_MIN);
  EXPECT_EQ(doubleValueOf(" 15.5s"), 15.5);
  EXPECT_EQ(doubleValueOf("-.5"), -0.5);
  EXPECT_EQ(doubleValueOf("nan"), 0.0);
  EXPECT_EQ(doubleValueOf("inf"), 0.0);
  EXPECT_EQ(doubleValueOf("1e999"), HUGE_VAL);
  EXPECT_EQ(doubleValueOf("1e-999"), 0.0);
  EXPECT_TRUE(boolValueOf("YES"));
  EXPECT_TRUE(boolValueOf("007"));
  EXPECT_FALSE(boolValueOf("000"));
  EXPECT_FALSE(boolValueOf("no"));
  EXPECT_FALSE(boolValueOf(""));
}

}  // namespace
}  // namespace wq::testing
