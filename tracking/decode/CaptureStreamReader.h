// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Cuts the capture stream back into its chunks, whatever sizes the pipe delivers it in, and joins
// the chunks of a record too long for one. What is left over when the stream ends is the capture
// helper's own text.

#include <cstdint>
#include <string>
#include <vector>

#include "stream/CaptureStreamFormat.h"
#include "tracking/decode/ByteView.h"
#include "tracking/decode/CaptureRecord.h"

namespace wq {

class CaptureStreamReader {
 public:
  // Calls `onChunk(ByteView)` for each complete chunk in `bytes`, joined with what earlier calls
  // left over; a record too long for one chunk comes as one view of all its chunks.
  template <class OnChunk>
  void feed(ByteView bytes, OnChunk onChunk) {
    // First the chunk, or run, that earlier calls began: its length is known once its first
    // header is in.
    while (!pending_.empty() && bytes.size() > 0) {
      const std::size_t wanted = std::min(unitLength(pending()) - pending_.size(), bytes.size());
      pending_.insert(pending_.end(), bytes.data(), bytes.data() + wanted);
      bytes = bytes.sub(wanted);
      if (pending_.size() == unitLength(pending())) {
        onChunk(pending());
        pending_.clear();
      }
    }
    if (!pending_.empty()) {
      return;
    }
    // Then those that lie whole in `bytes`, without a copy.
    for (std::size_t length = unitLength(bytes); bytes.size() >= length;
         length = unitLength(bytes)) {
      onChunk(bytes.sub(0, length));
      bytes = bytes.sub(length);
    }
    pending_.assign(bytes.data(), bytes.data() + bytes.size());
  }

  // Hands back the bytes that did not make a whole chunk, and starts afresh. The chunks of a long
  // record that the stream's end tore are dropped.
  std::string takeRemainder();

 private:
  // The bytes of the chunk, or run of chunks, that begins with `start`: one chunk unless its first
  // record runs past it claiming no more than kMaxSnapshotLength frame bytes. While the first
  // header is incomplete, only as far as the header's end, to look again.
  static std::size_t unitLength(ByteView start);
  ByteView pending() const { return ByteView(pending_.data(), pending_.size()); }

  std::vector<std::uint8_t> pending_;  // the start of a chunk or run, less than it
};

}  // namespace wq
