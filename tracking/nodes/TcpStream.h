// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A TCP node holds its direction's byte stream as the application sent it: each segment's bytes
// are placed by sequence number, bytes already held are not taken again (the first copy stays),
// and bytes that come ahead of a hole wait until the hole fills. Sequence numbers wrap at 2^32.

#include <cstdint>

#include "tracking/decode/ByteView.h"
#include "tracking/nodes/WQMConnection.h"

namespace wq {

// A segment's payload: `bytes` captured, then `length - bytes.size()` bytes not captured, the
// first of them with sequence number `sequence`.
struct SegmentData {
  std::uint32_t sequence = 0;
  ByteView bytes;
  std::uint32_t length = 0;
};

enum class Placement {
  Duplicate,  // every byte was held already: the stream did not grow
  Grew,       // bytes were added, in order or held beyond a hole
  Overflow,   // the stream would outgrow `limit`: nothing was added
};

// Bytes held beyond holes are bounded per node by the node's buffer and by this; once they reach
// it the first hole is given up and marked as not captured, and bytes that come for it later are
// not spliced in.
inline constexpr std::uint32_t kMostHeldBytes = 1 << 20;

// Places `data` in `node`'s stream, which may grow to `limit` bytes (holes and bytes not
// captured included).
Placement placeSegment(WQMConnection& node, const SegmentData& data, std::int64_t limit);

}  // namespace wq
