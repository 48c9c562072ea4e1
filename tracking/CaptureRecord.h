#pragma once
// The capture stream from the capture helper: chunks of 4096 bytes, each holding whole records
// followed by zero fill. A record is an 18-byte header in the host's byte order (time stamp
// seconds and microseconds, captured length, length on the wire, header length), then the
// captured frame, padded to a 4-byte boundary.

#include <cstdint>
#include <optional>

#include "ByteView.h"

namespace wq {

inline constexpr std::size_t kChunkLength = 4096;
inline constexpr std::size_t kRecordHeaderLength = 18;

struct CaptureRecord {
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  std::uint32_t capturedLength = 0;
  std::uint32_t wireLength = 0;
  ByteView frame;  // the captured bytes that are present; may be fewer than capturedLength
};

// Walks the records of one chunk. Stops at the zero fill (a header length of 0), at a header
// that cannot be a record's, and after a record that runs past the chunk's end.
class CaptureRecordCursor {
 public:
  explicit CaptureRecordCursor(ByteView chunk) : chunk_(chunk) {}
  std::optional<CaptureRecord> next();

 private:
  ByteView chunk_;
  std::size_t offset_ = 0;
};

}  // namespace wq
