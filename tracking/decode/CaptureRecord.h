// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The records of the capture helper's stream, as the tracker reads them (the layout is in
// stream/CaptureStreamFormat.h).

#include <cstdint>
#include <optional>

#include "stream/CaptureStreamFormat.h"
#include "tracking/decode/ByteView.h"

namespace wq {

struct CaptureRecord {
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  std::uint32_t capturedLength = 0;
  std::uint32_t wireLength = 0;
  ByteView frame;  // the captured bytes that are present; may be fewer than capturedLength
};

// Walks the records of one chunk, or of the chunks of a long record joined. Stops at the zero fill
// (a header length of 0), at a header that cannot be a record's, and after a record that runs past
// the chunk's end.
class CaptureRecordCursor {
 public:
  explicit CaptureRecordCursor(ByteView chunk) : chunk_(chunk) {}
  std::optional<CaptureRecord> next();

 private:
  ByteView chunk_;
  std::size_t offset_ = 0;
};

}  // namespace wq
