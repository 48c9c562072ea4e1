#include "capture/ChunkAssembler.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tools/CaptureBuilder.h"

namespace netsiphon {
namespace {

using wq::testing::Bytes;

// How short records are packed, and that no empty chunk is sent, is checked on the built helper
// (NetsiphonTest.cpp); here, where long records go.

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

}  // namespace
}  // namespace netsiphon
