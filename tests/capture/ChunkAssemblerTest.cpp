#include "capture/ChunkAssembler.h"

#include <gtest/gtest.h>

#include "tools/CaptureBuilder.h"

namespace netsiphon {
namespace {

// How chunks are packed, and that no empty one is sent, is checked on the built helper
// (NetsiphonTest.cpp).

struct GoneReader : ChunkSink {
  bool deliver(const Chunk&) override { return false; }
};

TEST(ChunkAssembler, ReportsAReaderThatIsGone) {
  GoneReader sink;
  ChunkAssembler assembler(sink);
  const wq::testing::Bytes bytes = wq::testing::patternedBytes(kMaxCapturedLength, 2);
  const Frame full{{}, bytes, kMaxCapturedLength};
  ASSERT_TRUE(assembler.add({}, full));
  EXPECT_FALSE(assembler.flush());
  ASSERT_TRUE(assembler.add({}, full));
  EXPECT_FALSE(assembler.add({}, full)) << "the chunk is full: it is sent, and refused";
}

}  // namespace
}  // namespace netsiphon
