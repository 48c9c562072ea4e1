// Reads the helper's standard output back: whole chunks of records, then its text.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace netsiphon::testing {

struct StreamRecord {
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  std::uint32_t capturedLength = 0;
  std::uint32_t wireLength = 0;
  std::vector<std::uint8_t> bytes;
  bool operator==(const StreamRecord&) const = default;
};

// Shows records readably in failed expectations.
void PrintTo(const StreamRecord& record, std::ostream* out);

struct ParsedStream {
  std::vector<StreamRecord> records;
  std::size_t chunkCount = 0;
  std::string text;                   // what follows the last whole chunk
  std::vector<std::string> problems;  // every way the chunks break the stream's layout
};

// Parses every whole chunk of `output`; the bytes after the last one are taken as text.
ParsedStream parseStream(std::string_view output);

}  // namespace netsiphon::testing
