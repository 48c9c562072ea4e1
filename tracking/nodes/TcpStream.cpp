// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/nodes/TcpStream.h"

#include <algorithm>
#include <tuple>
#include <vector>

namespace wq {

namespace {

// The segment as a range of stream offsets, [start, end); `start` may lie before the stream.
struct StreamRange {
  std::int64_t start;
  std::int64_t end;
  std::int64_t capturedEnd;  // where the bytes not captured begin
};

// The part [from, to) of a segment: its bytes captured, then those not captured.
struct Part {
  const std::uint8_t* bytes;
  std::uint32_t captured;
  std::uint32_t missing;
};

Part partOf(const SegmentData& data, const StreamRange& range, std::int64_t from, std::int64_t to) {
  const std::int64_t capturedTo = std::max(from, std::min(to, range.capturedEnd));
  return {data.bytes.data() + (std::min(from, range.capturedEnd) - range.start),
          static_cast<std::uint32_t>(capturedTo - from),
          static_cast<std::uint32_t>(to - capturedTo)};
}

// Moves held segments that now continue the payload into it; then, while the bytes held are over
// their bound, gives up the first hole.
void releaseHeld(WQMConnection& node, std::uint32_t mostHeld) {
  while (node.heldCount() > 0) {
    const std::uint32_t hole = node.heldSegments().front().offset - node.inOrderCount();
    if (hole > 0 && node.heldBytes() < mostHeld) {
      return;
    }
    node.takeFirstHeld(hole);
  }
}

}  // namespace

bool LastSpeakers::otherMayHaveGrown(const FlowKey& flow) {
  // Both directions of a connection hash alike: their ends in one order, lower end first.
  const bool upward = std::tie(flow.saddr, flow.sport) < std::tie(flow.daddr, flow.dport);
  const std::uint64_t hash = FlowKeyHash{}(upward ? flow : reversed(flow));
  const std::uint32_t tag = (static_cast<std::uint32_t>(hash >> 32) & ~1U) | upward;
  std::uint32_t& slot = slots_[hash & (kSlots - 1)];
  const bool other = slot != tag;
  slot = tag;
  return other;
}

Placement placeSegment(WQMConnection& node, const SegmentData& data, std::int64_t limit) {
  // The offset of the segment's first byte, within half the sequence space either way.
  const std::int64_t start =
      static_cast<std::int32_t>(data.sequence - (node.initialSequence() + 1));
  const auto captured = static_cast<std::int64_t>(data.bytes.size());
  const StreamRange range{start, start + data.length, start + captured};
  const std::int64_t inOrder = node.inOrderCount();
  if (range.end <= inOrder) {
    return Placement::Duplicate;
  }
  if (range.end > limit) {
    return Placement::Overflow;
  }
  const std::int64_t from = std::max(range.start, inOrder);
  if (node.heldCount() == 0 && from == inOrder) {
    // The usual case: the next bytes in order.
    const Part part = partOf(data, range, from, range.end);
    node.augmentPacketData(part.bytes, part.captured, part.missing);
    return Placement::Grew;
  }
  // Only the parts that no held segment covers are held: the first copy stays.
  std::vector<HeldSegment> pieces;
  const auto keep = [&](std::int64_t pieceFrom, std::int64_t pieceTo) {
    const Part part = partOf(data, range, pieceFrom, pieceTo);
    pieces.push_back({static_cast<std::uint32_t>(pieceFrom), part.missing,
                      std::vector(part.bytes, part.bytes + part.captured)});
  };
  std::int64_t cursor = from;
  for (const HeldSegment& held : node.heldSegments()) {
    if (held.offset >= range.end) {
      break;
    }
    if (held.offset > cursor) {
      keep(cursor, held.offset);
    }
    cursor = std::max<std::int64_t>(cursor, held.end());
  }
  if (cursor < range.end) {
    keep(cursor, range.end);
  }
  if (pieces.empty()) {
    return Placement::Duplicate;
  }
  for (HeldSegment& piece : pieces) {
    node.holdBack(std::move(piece));
  }
  releaseHeld(node, std::min(node.bufferSize(), kMostHeldBytes));
  return Placement::Grew;
}

}  // namespace wq
