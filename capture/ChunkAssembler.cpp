#include "ChunkAssembler.h"

#include <algorithm>
#include <cstring>

namespace netsiphon {
namespace {

std::size_t paddedLength(std::size_t length) {
  return (length + kRecordAlignment - 1) / kRecordAlignment * kRecordAlignment;
}

// Header fields are in host byte order, as the kernel's own bpf_hdr is.
template <typename Value>
void storeHostOrder(std::span<std::uint8_t> at, Value value) {
  std::memcpy(at.data(), &value, sizeof value);
}

// Copies up to `limit` bytes of `piece` to the start of `to`; returns how many it copied.
std::size_t copyPiece(std::span<const std::uint8_t> piece, std::span<std::uint8_t> to,
                      std::size_t limit) {
  const std::size_t count = std::min({piece.size(), to.size(), limit});
  std::copy_n(piece.begin(), count, to.begin());
  return count;
}

}  // namespace

bool ChunkAssembler::add(Timestamp time, const Frame& frame) {
  const std::size_t captured = std::min(frame.head.size() + frame.body.size(), kMaxCapturedLength);
  const std::size_t record_length = paddedLength(kRecordHeaderLength + captured);
  if (used_ + record_length > kChunkLength && !flush()) {
    return false;
  }
  writeRecord(time, frame, captured);
  used_ += record_length;  // the padding is already zero: the chunk is cleared after every send
  return true;
}

bool ChunkAssembler::flush() {
  if (used_ == 0) {
    return true;
  }
  const bool delivered = sink_.deliver(chunk_);
  chunk_.fill(0);
  used_ = 0;
  return delivered;
}

void ChunkAssembler::writeRecord(Timestamp time, const Frame& frame, std::size_t captured) {
  const std::span<std::uint8_t> record = std::span(chunk_).subspan(used_);
  storeHostOrder(record.subspan(0), time.seconds);
  storeHostOrder(record.subspan(4), time.microseconds);
  storeHostOrder(record.subspan(8), static_cast<std::uint32_t>(captured));
  storeHostOrder(record.subspan(12), frame.wire_length);
  storeHostOrder(record.subspan(16), static_cast<std::uint16_t>(kRecordHeaderLength));
  const std::span<std::uint8_t> bytes = record.subspan(kRecordHeaderLength, captured);
  const std::size_t head_copied = copyPiece(frame.head, bytes, captured);
  copyPiece(frame.body, bytes.subspan(head_copied), captured - head_copied);
}

}  // namespace netsiphon
