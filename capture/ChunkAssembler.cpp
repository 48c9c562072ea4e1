// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/ChunkAssembler.h"

#include <algorithm>

namespace netsiphon {

bool ChunkAssembler::add(Timestamp time, const Frame& frame) {
  const std::size_t captured =
      std::min(frame.head.size() + frame.body.size(), wq::kMaxSnapshotLength);
  const std::size_t recordLength = wq::paddedRecordLength(wq::kRecordHeaderLength + captured);
  // A long record never fits behind another: it starts a chunk, where the reader looks for it.
  if (used_ + recordLength > wq::kChunkLength && !send()) {
    return false;
  }
  beforeAdding();
  const wq::RecordHeader header{time.seconds, time.microseconds,
                                static_cast<std::uint32_t>(captured), frame.wireLength};
  const std::size_t fromHead = std::min(frame.head.size(), captured);
  if (recordLength <= wq::kChunkLength) {
    // The common case, in one piece: the whole record fits behind what the chunk holds.
    std::uint8_t* at = chunk_.data() + used_;
    wq::storeRecordHeader(at, header);
    at = std::copy_n(frame.head.begin(), fromHead, at + wq::kRecordHeaderLength);
    std::copy_n(frame.body.begin(), captured - fromHead, at);
    used_ += recordLength;  // records start on 4-byte boundaries
    return true;
  }
  std::array<std::uint8_t, wq::kRecordHeaderLength> headerBytes;
  wq::storeRecordHeader(headerBytes.data(), header);
  if (!append(headerBytes) || !append(frame.head.first(fromHead)) ||
      !append(frame.body.first(captured - fromHead))) {
    return false;
  }
  // The padding is already zero: chunks are cleared once sent. Nothing shares a long record's
  // chunks.
  used_ = wq::paddedRecordLength(used_);
  return send();
}

bool ChunkAssembler::send() {
  if (used_ == 0) {
    return true;
  }
  const bool delivered = sink_.deliver(chunk_);
  chunk_.fill(0);
  used_ = 0;
  return delivered;
}

bool ChunkAssembler::append(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    if (used_ == wq::kChunkLength && !send()) {
      return false;
    }
    const std::size_t count = std::min(bytes.size(), wq::kChunkLength - used_);
    std::copy_n(bytes.begin(), count, chunk_.begin() + static_cast<std::ptrdiff_t>(used_));
    used_ += count;
    bytes = bytes.subspan(count);
  }
  return true;
}

}  // namespace netsiphon
