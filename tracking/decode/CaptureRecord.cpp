// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/decode/CaptureRecord.h"

namespace wq {

std::optional<CaptureRecord> CaptureRecordCursor::next() {
  const ByteView header = chunk_.sub(offset_, kRecordHeaderLength);
  const auto headerLength = header.host<std::uint16_t>(kRecordHeaderLengthOffset);
  if (!headerLength || *headerLength < kRecordHeaderLength) {
    offset_ = chunk_.size();  // zero fill, a torn header, or bytes that are not a record
    return std::nullopt;
  }
  CaptureRecord record;
  record.seconds = *header.host<std::uint32_t>(kRecordSecondsOffset);
  record.microseconds = *header.host<std::uint32_t>(kRecordMicrosecondsOffset);
  record.capturedLength = *header.host<std::uint32_t>(kRecordCapturedLengthOffset);
  record.wireLength = *header.host<std::uint32_t>(kRecordWireLengthOffset);
  record.frame = chunk_.sub(offset_ + *headerLength, record.capturedLength);

  const std::size_t recordLength = std::size_t{*headerLength} + record.capturedLength;
  const std::size_t aligned = paddedRecordLength(recordLength);
  offset_ = chunk_.has(offset_, aligned) ? offset_ + aligned : chunk_.size();
  return record;
}

}  // namespace wq
