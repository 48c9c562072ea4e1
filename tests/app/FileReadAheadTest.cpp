// Reading a capture file ahead on a thread of its own: every packet arrives once and in order,
// however the batches are taken; a cut file says why it ended; a reader nobody takes from stops
// when it is destroyed.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "app/FileReadAhead.h"
#include "stream/CaptureStreamFormat.h"
#include "tests/support/ScratchFiles.h"
#include "tracking/CaptureRecord.h"

namespace wq::testing {
namespace {

// More packets than the batches held ahead can take, so the reader has to wait for the consumer.
constexpr int kPackets = 6000;

std::string writeNumberedCapture(const ScratchDirectory& scratch) {
  std::vector<TimedFrame> frames;
  for (int i = 0; i < kPackets; ++i) {
    frames.push_back({i * 0.001, udpFrame("10.0.0.1", static_cast<std::uint16_t>(1000 + i % 50000),
                                          "10.0.0.2", 53, patternedBytes(1000, 7))});
  }
  const std::string path = scratch.file("numbered.pcap");
  EXPECT_TRUE(writeCaptureFile(path, frames));
  return path;
}

std::unique_ptr<FileReadAhead> openReadAhead(const std::string& path, std::atomic<int>& wakes) {
  netsiphon::OpenedSource opened = netsiphon::openCaptureSource(path, "file", {.paced = false});
  EXPECT_TRUE(opened.source);
  return std::make_unique<FileReadAhead>(std::move(opened.source), [&wakes] { ++wakes; });
}

// Takes batches until the reader says it has ended; the records' time stamps in order.
std::vector<std::uint32_t> takeAll(FileReadAhead& reader, std::string* failure) {
  std::vector<std::uint32_t> microseconds;
  for (;;) {
    FileReadAhead::Taken taken = reader.take();
    for (FileReadAhead::Batch& batch : taken.batches) {
      EXPECT_EQ(batch.size() % kChunkLength, 0u);
      for (std::size_t at = 0; at < batch.size(); at += kChunkLength) {
        CaptureRecordCursor records(ByteView(batch.data() + at, kChunkLength));
        while (const auto record = records.next()) {
          microseconds.push_back(record->seconds * 1'000'000 + record->microseconds);
        }
      }
      reader.recycle(std::move(batch));
    }
    if (taken.ended) {
      *failure = taken.failure;
      return microseconds;
    }
    std::this_thread::yield();
  }
}

TEST(FileReadAhead, EveryPacketOnceAndInOrder) {
  ScratchDirectory scratch;
  std::atomic<int> wakes = 0;
  auto reader = openReadAhead(writeNumberedCapture(scratch), wakes);
  reader->start();
  std::string failure;
  const std::vector<std::uint32_t> times = takeAll(*reader, &failure);
  ASSERT_EQ(times.size(), static_cast<std::size_t>(kPackets));
  for (int i = 1; i < kPackets; ++i) {
    EXPECT_EQ(times[i] - times[i - 1], 1000u) << "record " << i;
  }
  EXPECT_EQ(failure, "");
  EXPECT_GE(wakes.load(), 1);
}

TEST(FileReadAhead, CutFileEndsWithItsReason) {
  ScratchDirectory scratch;
  const std::string whole = writeNumberedCapture(scratch);
  const std::string cut = scratch.file("cut.pcap");
  {
    std::ifstream in(whole, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    bytes.resize(bytes.size() / 2 + 17);  // ends inside a record
    std::ofstream(cut, std::ios::binary) << bytes;
  }
  std::atomic<int> wakes = 0;
  auto reader = openReadAhead(cut, wakes);
  reader->start();
  std::string failure;
  const std::vector<std::uint32_t> times = takeAll(*reader, &failure);
  EXPECT_GT(times.size(), static_cast<std::size_t>(kPackets / 2 - 100));
  EXPECT_LT(times.size(), static_cast<std::size_t>(kPackets / 2 + 100));
  EXPECT_NE(failure, "");
}

TEST(FileReadAhead, StopsWhenDestroyedWhileNobodyTakes) {
  ScratchDirectory scratch;
  std::atomic<int> wakes = 0;
  auto reader = openReadAhead(writeNumberedCapture(scratch), wakes);
  reader->start();
  while (wakes.load() == 0) {
    std::this_thread::yield();
  }
  reader.reset();  // the reader waits for room that never comes; this must not hang
  SUCCEED();
}

}  // namespace
}  // namespace wq::testing
