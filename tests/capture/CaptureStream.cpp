#include "tests/capture/CaptureStream.h"

#include <algorithm>
#include <cstring>

#include "stream/CaptureStreamFormat.h"

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
  while (offset + wq::kRecordHeaderLength <= chunk.size() &&
         hostOrderAt<std::uint16_t>(chunk, offset + wq::kRecordHeaderLengthOffset) != 0) {
    StreamRecord record{hostOrderAt<std::uint32_t>(chunk, offset + wq::kRecordSecondsOffset),
                        hostOrderAt<std::uint32_t>(chunk, offset + wq::kRecordMicrosecondsOffset),
                        hostOrderAt<std::uint32_t>(chunk, offset + wq::kRecordCapturedLengthOffset),
                        hostOrderAt<std::uint32_t>(chunk, offset + wq::kRecordWireLengthOffset),
                        {}};
    const auto headerLength =
        hostOrderAt<std::uint16_t>(chunk, offset + wq::kRecordHeaderLengthOffset);
    const std::size_t end = offset + wq::kRecordHeaderLength + record.capturedLength;
    if (headerLength != wq::kRecordHeaderLength || end > chunk.size()) {
      stream.problems.push_back(where + "bad record header at " + std::to_string(offset));
      return;
    }
    const std::string_view bytes =
        chunk.substr(offset + wq::kRecordHeaderLength, record.capturedLength);
    record.bytes.assign(bytes.begin(), bytes.end());
    stream.records.push_back(std::move(record));
    const std::size_t next = offset + wq::paddedRecordLength(end - offset);
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
  for (std::size_t offset = 0; offset + wq::kChunkLength <= output.size();
       offset += wq::kChunkLength) {
    chunks.push_back(output.substr(offset, wq::kChunkLength));
  }
  return chunks;
}

}  // namespace

void PrintTo(const StreamRecord& record, std::ostream* out) {
  *out << "{" << record.seconds << "." << record.microseconds << " s, captured "
       << record.capturedLength << ", wire " << record.wireLength << ", " << record.bytes.size()
       << " bytes}";
}

ParsedStream parseStream(std::string_view output) {
  ParsedStream stream;
  const std::vector<std::string_view> chunks = wholeChunks(output);
  for (std::size_t index = 0; index < chunks.size(); ++index) {
    parseChunk(chunks[index], index, stream);
  }
  stream.chunkCount = chunks.size();
  stream.text = output.substr(chunks.size() * wq::kChunkLength);
  return stream;
}

}  // namespace netsiphon::testing
