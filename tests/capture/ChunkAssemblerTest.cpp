#include "capture/ChunkAssembler.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "tests/capture/CaptureFiles.h"
#include "tests/capture/CaptureStream.h"

namespace netsiphon {
namespace {

using testing::parseStream;
using testing::patternedBytes;

class RecordingSink : public ChunkSink {
 public:
  bool deliver(const Chunk& chunk) override {
    stream.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    return accepting;
  }
  std::size_t chunks() const { return stream.size() / wq::kChunkLength; }

  std::string stream;
  bool accepting = true;
};

Frame wholeFrame(const std::vector<std::uint8_t>& bytes) {
  return {{}, bytes, static_cast<std::uint32_t>(bytes.size())};
}

class ChunkAssemblerTest : public ::testing::Test {
 protected:
  testing::ParsedStream parsed() const {
    testing::ParsedStream stream = parseStream(sink.stream);
    EXPECT_EQ(stream.problems, std::vector<std::string>{});
    EXPECT_EQ(stream.text, "");
    return stream;
  }

  RecordingSink sink;
  ChunkAssembler assembler{sink};
};

TEST_F(ChunkAssemblerTest, WritesTheHeaderInHostOrderAndHoldsTheChunkUntilFlushed) {
  const std::vector<std::uint8_t> bytes = patternedBytes(5, 1);
  ASSERT_TRUE(assembler.add({0x01020304, 999'999}, {{}, bytes, 0xFFFFFFFF}));
  EXPECT_EQ(sink.chunks(), 0u);
  ASSERT_TRUE(assembler.flush());
  ASSERT_EQ(sink.chunks(), 1u);

  const std::string& chunk = sink.stream;
  if constexpr (std::endian::native == std::endian::little) {
    EXPECT_EQ(chunk.substr(0, 4), std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(chunk.substr(16, 2), std::string("\x12\x00", 2));
  }
  const auto records = parsed().records;
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], (testing::StreamRecord{0x01020304, 999'999, 5, 0xFFFFFFFF, bytes}));
  EXPECT_EQ(chunk.substr(18, 5), std::string(bytes.begin(), bytes.end()));
}

TEST_F(ChunkAssemblerTest, PadsEveryRecordToFourBytes) {
  for (std::uint8_t length = 0; length <= 4; ++length) {
    ASSERT_TRUE(assembler.add({length, 0}, wholeFrame(patternedBytes(length, length))));
  }
  ASSERT_TRUE(assembler.flush());
  const auto records = parsed().records;
  ASSERT_EQ(records.size(), 5u);
  // Records of 18 to 22 bytes take 20, 20, 20, 24 and 24.
  const std::size_t offsets[] = {0, 20, 40, 60, 84};
  for (std::size_t index = 0; index < 5; ++index) {
    std::uint16_t headerLength = 0;
    std::memcpy(&headerLength, sink.stream.data() + offsets[index] + 16, 2);
    EXPECT_EQ(headerLength, wq::kRecordHeaderLength) << "record " << index;
    EXPECT_EQ(records[index].bytes, patternedBytes(index, static_cast<std::uint8_t>(index)));
  }
}

TEST_F(ChunkAssemblerTest, StartsANewChunkWhenTheNextRecordDoesNotFit) {
  // 100-byte frames make 120-byte records: 34 fill 4080 bytes, the 35th needs another chunk.
  for (std::uint8_t index = 0; index < 35; ++index) {
    ASSERT_TRUE(assembler.add({index, 0}, wholeFrame(patternedBytes(100, index))));
  }
  EXPECT_EQ(sink.chunks(), 1u);
  ASSERT_TRUE(assembler.flush());
  const auto stream = parsed();
  ASSERT_EQ(stream.chunkCount, 2u);
  ASSERT_EQ(stream.records.size(), 35u);
  for (std::uint8_t index = 0; index < 35; ++index) {
    EXPECT_EQ(stream.records[index].seconds, index);
    EXPECT_EQ(stream.records[index].bytes, patternedBytes(100, index));
  }
}

TEST_F(ChunkAssemblerTest, ARecordThatFillsTheRestOfTheChunkStaysInIt) {
  ASSERT_TRUE(assembler.add({1, 0}, wholeFrame(patternedBytes(100, 1))));
  ASSERT_TRUE(assembler.add({2, 0}, wholeFrame(patternedBytes(kMaxCapturedLength - 120, 2))));
  EXPECT_EQ(sink.chunks(), 0u);
  ASSERT_TRUE(assembler.add({3, 0}, wholeFrame(patternedBytes(kMaxCapturedLength, 3))));
  EXPECT_EQ(sink.chunks(), 1u);
  ASSERT_TRUE(assembler.flush());
  const auto stream = parsed();
  ASSERT_EQ(stream.chunkCount, 2u);
  ASSERT_EQ(stream.records.size(), 3u);
  EXPECT_EQ(stream.records[2].capturedLength, kMaxCapturedLength);
  EXPECT_EQ(stream.records[2].wireLength, kMaxCapturedLength);
}

TEST_F(ChunkAssemblerTest, CutsAFrameTooLargeForAChunkAndKeepsItsWireLength) {
  const std::vector<std::uint8_t> header = patternedBytes(14, 9);
  const std::vector<std::uint8_t> body = patternedBytes(kMaxCapturedLength, 4);
  ASSERT_TRUE(assembler.add({7, 8}, {header, body, 9000}));
  ASSERT_TRUE(assembler.flush());
  const auto records = parsed().records;
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].capturedLength, kMaxCapturedLength);
  EXPECT_EQ(records[0].wireLength, 9000u);
  std::vector<std::uint8_t> expected = header;
  expected.insert(expected.end(), body.begin(), body.end() - 14);
  EXPECT_EQ(records[0].bytes, expected);
}

TEST_F(ChunkAssemblerTest, ReportsAReaderThatIsGoneAndSendsNoEmptyChunk) {
  ASSERT_TRUE(assembler.flush());
  EXPECT_EQ(sink.chunks(), 0u);
  sink.accepting = false;
  ASSERT_TRUE(assembler.add({1, 0}, wholeFrame(patternedBytes(1, 1))));
  EXPECT_FALSE(assembler.flush());
  ASSERT_TRUE(assembler.add({2, 0}, wholeFrame(patternedBytes(kMaxCapturedLength, 2))));
  EXPECT_FALSE(assembler.add({3, 0}, wholeFrame(patternedBytes(1, 3))));
}

}  // namespace
}  // namespace netsiphon
