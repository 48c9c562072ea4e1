// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/decode/CaptureStreamReader.h"

namespace wq {

std::size_t CaptureStreamReader::unitLength(ByteView start) {
  const auto headerLength = start.host<std::uint16_t>(kRecordHeaderLengthOffset);
  const auto captured = start.host<std::uint32_t>(kRecordCapturedLengthOffset);
  if (!headerLength || !captured) {
    return kRecordHeaderLength;
  }
  // Bytes that are no record's header are never joined, so that garbage holds no more than a
  // chunk here.
  if (*headerLength < kRecordHeaderLength || *captured > kMaxSnapshotLength) {
    return kChunkLength;
  }
  return chunksForRecord(std::size_t{*headerLength} + *captured) * kChunkLength;
}

std::string CaptureStreamReader::takeRemainder() {
  const std::size_t torn = pending_.size() / kChunkLength * kChunkLength;
  std::string text(pending_.begin() + static_cast<std::ptrdiff_t>(torn), pending_.end());
  pending_.clear();
  return text;
}

}  // namespace wq
