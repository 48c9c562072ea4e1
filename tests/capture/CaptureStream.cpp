#include "CaptureStream.h"

#include <algorithm>
#include <cstring>

#include "ChunkAssembler.h"

namespace netsiphon::testing {
namespace {

template <typename Value>
Value hostOrderAt(std::string_view chunk, std::size_t offset) {
  Value value{};
  std::memcpy(&value, chunk.data() + offset, sizeof value);
  return value;
}

bool allZero(std::string_view bytes) {
  return std::ranges::all_of(bytes, [](char byte) { return byte == 0; });
}

// Appends the records of one chunk, noting whatever does not follow the layout.
void parseChunk(std::string_view chunk, std::size_t index, ParsedStream& stream) {
  const std::string where = "chunk " + std::to_string(index) + ": ";
  std::size_t offset = 0;
  while (offset + kRecordHeaderLength <= chunk.size() &&
         hostOrderAt<std::uint16_t>(chunk, offset + 16) != 0) {
    StreamRecord record{hostOrderAt<std::uint32_t>(chunk, offset),
                        hostOrderAt<std::uint32_t>(chunk, offset + 4),
                        hostOrderAt<std::uint32_t>(chunk, offset + 8),
                        hostOrderAt<std::uint32_t>(chunk, offset + 12),
                        {}};
    const auto header_length = hostOrderAt<std::uint16_t>(chunk, offset + 16);
    const std::size_t end = offset + kRecordHeaderLength + record.captured_length;
    if (header_length != kRecordHeaderLength || end > chunk.size()) {
      stream.problems.push_back(where + "bad record header at " + std::to_string(offset));
      return;
    }
    const std::string_view bytes =
        chunk.substr(offset + kRecordHeaderLength, record.captured_length);
    record.bytes.assign(bytes.begin(), bytes.end());
    stream.records.push_back(std::move(record));
    const std::size_t next = (end + kRecordAlignment - 1) / kRecordAlignment * kRecordAlignment;
    if (!allZero(chunk.substr(end, next - end))) {
      stream.problems.push_back(where + "padding not zero at " + std::to_string(end));
    }
    offset = next;
  }
  if (offset == 0) {
    stream.problems.push_back(where + "holds no record");
  }
  if (!allZero(chunk.substr(std::min(offset, chunk.size())))) {
    stream.problems.push_back(where + "fill not zero after " + std::to_string(offset));
  }
}

std::vector<std::string_view> wholeChunks(std::string_view output) {
  std::vector<std::string_view> chunks;
  for (std::size_t offset = 0; offset + kChunkLength <= output.size(); offset += kChunkLength) {
    chunks.push_back(output.substr(offset, kChunkLength));
  }
  return chunks;
}

}  // namespace

void PrintTo(const StreamRecord& record, std::ostream* out) {
  *out << "{" << record.seconds << "." << record.microseconds << " s, captured "
       << record.captured_length << ", wire " << record.wire_length << ", " << record.bytes.size()
       << " bytes}";
}

ParsedStream parseStream(std::string_view output) {
  ParsedStream stream;
  const std::vector<std::string_view> chunks = wholeChunks(output);
  for (std::size_t index = 0; index < chunks.size(); ++index) {
    parseChunk(chunks[index], index, stream);
  }
  stream.chunk_count = chunks.size();
  stream.text = output.substr(chunks.size() * kChunkLength);
  return stream;
}

}  // namespace netsiphon::testing
