#include "CaptureRecord.h"

namespace wq {

std::optional<CaptureRecord> CaptureRecordCursor::next() {
  const ByteView header = chunk_.sub(offset_, kRecordHeaderLength);
  const auto headerLength = header.host<std::uint16_t>(16);
  if (!headerLength || *headerLength < kRecordHeaderLength) {
    offset_ = chunk_.size();  // zero fill, a torn header, or bytes that are not a record
    return std::nullopt;
  }
  CaptureRecord record;
  record.seconds = *header.host<std::uint32_t>(0);
  record.microseconds = *header.host<std::uint32_t>(4);
  record.capturedLength = *header.host<std::uint32_t>(8);
  record.wireLength = *header.host<std::uint32_t>(12);
  record.frame = chunk_.sub(offset_ + *headerLength, record.capturedLength);

  const std::size_t recordLength = std::size_t{*headerLength} + record.capturedLength;
  const std::size_t aligned = (recordLength + 3) & ~std::size_t{3};
  offset_ = chunk_.has(offset_, aligned) ? offset_ + aligned : chunk_.size();
  return record;
}

}  // namespace wq
