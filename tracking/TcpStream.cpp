#include "tracking/TcpStream.h"

#include <algorithm>
#include <vector>

namespace wq {

namespace {

// The segment as a range of stream offsets, [start, end); `start` may lie before the stream.
struct StreamRange {
  std::int64_t start;
  std::int64_t end;
  std::int64_t capturedEnd;  // where the bytes not captured begin
};

// The part [from, to) of the segment, as a held segment.
HeldSegment pieceOf(const SegmentData& data, const StreamRange& range, std::int64_t from,
                    std::int64_t to) {
  HeldSegment piece;
  piece.offset = static_cast<std::uint32_t>(from);
  if (from < range.capturedEnd) {
    const std::uint8_t* first = data.bytes.data() + (from - range.start);
    piece.bytes.assign(first, first + (std::min(to, range.capturedEnd) - from));
  }
  if (to > range.capturedEnd) {
    piece.missing = static_cast<std::uint32_t>(to - std::max(from, range.capturedEnd));
  }
  return piece;
}

// Appends the part [from, to) of the segment to the payload in order.
void append(WQMConnection& node, const SegmentData& data, const StreamRange& range,
            std::int64_t from, std::int64_t to) {
  const std::int64_t capturedTo = std::min(to, range.capturedEnd);
  const std::uint8_t* first = data.bytes.data() + (from - range.start);
  const auto captured = static_cast<std::uint32_t>(std::max<std::int64_t>(0, capturedTo - from));
  const auto missing = static_cast<std::uint32_t>(to - std::max(from, capturedTo));
  node.augmentPacketData(first, captured, missing);
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
    append(node, data, range, from, range.end);  // the usual case: the next bytes in order
    return Placement::Grew;
  }
  // Only the parts that no held segment covers are held: the first copy stays.
  std::vector<HeldSegment> pieces;
  std::int64_t cursor = from;
  for (const HeldSegment& held : node.heldSegments()) {
    if (held.offset >= range.end) {
      break;
    }
    if (held.offset > cursor) {
      pieces.push_back(pieceOf(data, range, cursor, held.offset));
    }
    cursor = std::max<std::int64_t>(cursor, held.end());
  }
  if (cursor < range.end) {
    pieces.push_back(pieceOf(data, range, cursor, range.end));
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
