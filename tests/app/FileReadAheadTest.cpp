// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a capture file ahead on a thread of its own: every packet arrives once and in order,
// whether the batches are taken one by one or many at once; a reader nobody takes from stops when
// it is destroyed. (How a cut file ends is seen in the program's answers, ProgramTest.)
#include <gtest/gtest.h>

#include <atomic>

#include "app/intake/FileReadAhead.h"
#include "stream/CaptureStreamFormat.h"
#include "tests/app/AppTestSupport.h"
#include "tracking/decode/CaptureRecord.h"

namespace wq::apptest {
namespace {

using namespace wq::testing;

// A reader started on a file of `packets` datagrams a millisecond apart.
struct Reader {
  explicit Reader(int packets) {
    std::vector<TimedFrame> frames;
    for (int i = 0; i < packets; ++i) {
      frames.push_back({i * 0.001, udpFrame("10.0.0.1", 1, "10.0.0.2", 53, Bytes(1000, 'p'))});
    }
    const std::string path = scratch.file("numbered.pcap");
    EXPECT_TRUE(writeCaptureFile(path, frames));
    auto opened = netsiphon::openCaptureSource(path, "file", {.paced = false});
    ahead = std::make_unique<FileReadAhead>(std::move(opened.source), [this] { ++wakes; });
    ahead->start();
  }

  ScratchDirectory scratch;
  std::atomic<int> wakes = 0;
  std::unique_ptr<FileReadAhead> ahead;
};

TEST(FileReadAhead, EveryPacketOnceAndInOrderAndAnUntakenReaderStopsWhenDestroyed) {
  {
    Reader untaken(6000);  // it waits for room that never comes: its end must not hang
    ASSERT_TRUE(pollUntil([&] { return untaken.wakes >= 1; }, milliseconds(10'000)));
  }
  // 3 batches, all read before the first take (the reader wakes for the first and at the end);
  // more than the 4 batches held ahead, so that the reader waits for room.
  for (const int packets : {500, 6000}) {
    SCOPED_TRACE(packets);
    Reader reader(packets);
    const int wakes = packets < 1000 ? 2 : 1;
    ASSERT_TRUE(pollUntil([&] { return reader.wakes >= wakes; }, milliseconds(10'000)));
    std::uint64_t counted = 0;  // each record's time tells its place: a millisecond apart
    std::size_t mostBatches = 0;
    for (FileReadAhead::Taken taken; !taken.ended;) {
      taken = reader.ahead->take();
      mostBatches = std::max(mostBatches, taken.batches.size());
      for (FileReadAhead::Batch& batch : taken.batches) {
        for (std::size_t at = 0; at < batch.size(); at += kChunkLength) {
          CaptureRecordCursor records(ByteView(batch.data() + at, kChunkLength));
          while (const auto record = records.next()) {
            ASSERT_EQ((record->seconds - kCaptureStart) * 1'000'000 + record->microseconds,
                      counted++ * 1000);
          }
        }
        reader.ahead->recycle(std::move(batch));
      }
      EXPECT_EQ(taken.failure, "");
    }
    EXPECT_GE(mostBatches, packets < 1000 ? 3u : 1u);
    EXPECT_EQ(counted, std::uint64_t(packets));
  }
}

}  // namespace
}  // namespace wq::apptest
