#include "capture/ChunkAssembler.h"

#include <algorithm>

namespace netsiphon {
namespace {

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
  const std::size_t recordLength = wq::paddedRecordLength(wq::kRecordHeaderLength + captured);
  if (used_ + recordLength > wq::kChunkLength && !flush()) {
    return false;
  }
  writeRecord(time, frame, captured);
  used_ += recordLength;  // the padding is already zero: the chunk is cleared after every send
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
  wq::storeRecordHeader(record.data(), {time.seconds, time.microseconds,
                                        static_cast<std::uint32_t>(captured), frame.wireLength});
  const std::span<std::uint8_t> bytes = record.subspan(wq::kRecordHeaderLength, captured);
  const std::size_t headCopied = copyPiece(frame.head, bytes, captured);
  copyPiece(frame.body, bytes.subspan(headCopied), captured - headCopied);
}

}  // namespace netsiphon
