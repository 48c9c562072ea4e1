// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A TCP node holds its direction's byte stream as the application sent it: each segment's bytes
// are placed by sequence number, bytes already held are not taken again (the first copy stays),
// and bytes that come ahead of a hole wait until the hole fills. Sequence numbers wrap at 2^32.

#include <cstdint>
#include <vector>

#include "tracking/decode/ByteView.h"
#include "tracking/decode/FlowKey.h"
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

// Which direction of each TCP connection grew last, for as many connections as a small table
// holds: most data segments continue their sender's turn, and need not look up the node of the
// other direction to learn that it has not grown since.
class LastSpeakers {
 public:
  // Notes that `flow` grew. False when the table holds that `flow`'s direction grew last before
  // this (or, rarely, another connection whose hash agrees in 45 bits).
  bool otherMayHaveGrown(const FlowKey& flow);

 private:
  static constexpr std::size_t kSlots = 1 << 14;
  // A hash of each connection's ends in a fixed order, its lowest bit the direction that grew.
  std::vector<std::uint32_t> slots_ = std::vector<std::uint32_t>(kSlots);
};

// Places `data` in `node`'s stream, which may grow to `limit` bytes (holes and bytes not
// captured included).
Placement placeSegment(WQMConnection& node, const SegmentData& data, std::int64_t limit);

}  // namespace wq
