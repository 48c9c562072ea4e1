// Reading a capture file ahead on a thread of its own: every packet arrives once and in order,
// whether the batches are taken one by one or many at once; a cut file says why it ended; a
// reader nobody takes from stops when it is destroyed.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "app/FileReadAhead.h"
#include "stream/CaptureStreamFormat.h"
#include "tests/app/AppTestSupport.h"
#include "tracking/CaptureRecord.h"

namespace wq::apptest {
namespace {

using namespace wq::testing;

// A reader started on a file of `packets` datagrams a millisecond apart, its last `cut` bytes
// missing.
struct Reader {
  Reader(int packets, std::uintmax_t cut) {
    std::vector<TimedFrame> frames;
    for (int i = 0; i < packets; ++i) {
      frames.push_back({i * 0.001, udpFrame("10.0.0.1", 1, "10.0.0.2", 53, Bytes(1000, 'p'))});
    }
    const std::string path = scratch.file("numbered.pcap");
    EXPECT_TRUE(writeCaptureFile(path, frames));
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - cut);
    auto opened = netsiphon::openCaptureSource(path, "file", {.paced = false});
    ahead = std::make_unique<FileReadAhead>(std::move(opened.source), [this] { ++wakes; });
    ahead->start();
  }

  ScratchDirectory scratch;
  std::atomic<int> wakes = 0;
  std::unique_ptr<FileReadAhead> ahead;
};

TEST(FileReadAhead, EveryPacketOnceAndInOrder) {
  // 3 batches, all read before the first take (the reader wakes for the first and at the end);
  // more than the 4 batches held ahead, so the reader waits for room; those cut short.
  for (const auto& [packets, cut] : {std::pair{500, 0}, {6000, 0}, {6000, 1'000'017}}) {
    SCOPED_TRACE(::testing::Message() << packets << " packets, " << cut << " bytes cut");
    Reader reader(packets, cut);
    const int wakes = packets < 1000 ? 2 : 1;
    ASSERT_TRUE(pollUntil([&] { return reader.wakes >= wakes; }, milliseconds(10'000)));
    std::vector<std::uint64_t> times;
    std::size_t mostBatches = 0;
    for (FileReadAhead::Taken taken; !taken.ended;) {
      taken = reader.ahead->take();
      mostBatches = std::max(mostBatches, taken.batches.size());
      for (FileReadAhead::Batch& batch : taken.batches) {
        for (std::size_t at = 0; at < batch.size(); at += kChunkLength) {
          CaptureRecordCursor records(ByteView(batch.data() + at, kChunkLength));
          while (const auto record = records.next()) {
            times.push_back(std::uint64_t{record->seconds} * 1'000'000 + record->microseconds);
          }
        }
        reader.ahead->recycle(std::move(batch));
      }
      EXPECT_EQ(taken.failure.empty(), !taken.ended || cut == 0) << taken.failure;
    }
    EXPECT_GE(mostBatches, packets < 1000 ? 3u : 1u);
    EXPECT_EQ(times.size() == std::size_t(packets), cut == 0);
    EXPECT_GT(times.size() + 1000, std::size_t(packets));
    for (std::size_t i = 0; i < times.size(); ++i) {
      ASSERT_EQ(times[i] - times[0], i * 1000) << "record " << i;
    }
  }
  Reader untaken(6000, 0);
  ASSERT_TRUE(pollUntil([&] { return untaken.wakes >= 1; }, milliseconds(10'000)));
  untaken.ahead.reset();  // the reader waits for room that never comes: this must not hang
}

}  // namespace
}  // namespace wq::apptest
