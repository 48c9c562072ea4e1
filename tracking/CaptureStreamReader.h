#pragma once
// Cuts the capture stream back into its chunks, whatever sizes the pipe delivers it in.
// What is left over when the stream ends is the capture helper's own text.

#include <cstdint>
#include <string>
#include <vector>

#include "stream/CaptureStreamFormat.h"
#include "tracking/ByteView.h"
#include "tracking/CaptureRecord.h"

namespace wq {

class CaptureStreamReader {
 public:
  // Calls `onChunk(ByteView)` for each complete chunk in `bytes`, joined with what earlier calls
  // left over.
  template <class OnChunk>
  void feed(ByteView bytes, OnChunk onChunk) {
    if (!pending_.empty()) {
      const std::size_t wanted = std::min(kChunkLength - pending_.size(), bytes.size());
      pending_.insert(pending_.end(), bytes.data(), bytes.data() + wanted);
      bytes = bytes.sub(wanted);
      if (pending_.size() < kChunkLength) {
        return;
      }
      onChunk(ByteView(pending_.data(), pending_.size()));
      pending_.clear();
    }
    while (bytes.size() >= kChunkLength) {
      onChunk(bytes.sub(0, kChunkLength));
      bytes = bytes.sub(kChunkLength);
    }
    pending_.assign(bytes.data(), bytes.data() + bytes.size());
  }

  // Hands back the bytes that did not make a whole chunk, and starts afresh.
  std::string takeRemainder();

 private:
  std::vector<std::uint8_t> pending_;
};

}  // namespace wq
