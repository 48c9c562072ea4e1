#include "capture/ChunkAssembler.h"

#include <gtest/gtest.h>

#include "tools/CaptureBuilder.h"

namespace netsiphon {
namespace {

using wq::testing::Bytes;

// How chunks are packed is checked on the built helper (NetsiphonTest.cpp).

// Keeps the chunks it is given; refuses them once nobody reads any more.
struct RecordingSink : ChunkSink {
  bool deliver(const Chunk& chunk) override {
    stream.insert(stream.end(), chunk.begin(), chunk.end());
    return accepting;
  }
  Bytes stream;
  bool accepting = true;
};

TEST(ChunkAssembler, ReportsAReaderThatIsGoneAndSendsNoEmptyChunk) {
  RecordingSink sink;
  ChunkAssembler assembler(sink);
  ASSERT_TRUE(assembler.flush());
  EXPECT_TRUE(sink.stream.empty());
  sink.accepting = false;
  const Bytes full = wq::testing::patternedBytes(kMaxCapturedLength, 2);
  ASSERT_TRUE(assembler.add({}, {{}, full, kMaxCapturedLength}));
  EXPECT_FALSE(assembler.flush());
  ASSERT_TRUE(assembler.add({}, {{}, full, kMaxCapturedLength}));
  EXPECT_FALSE(assembler.add({}, {{}, full, kMaxCapturedLength}));
}

}  // namespace
}  // namespace netsiphon
