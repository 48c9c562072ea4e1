// Writes each chunk to a descriptor in one piece.
#pragma once

#include "capture/ChunkAssembler.h"

namespace netsiphon {

class DescriptorSink final : public ChunkSink {
 public:
  explicit DescriptorSink(int descriptor) : descriptor_(descriptor) {}

  // Writes the whole chunk, resuming after interruptions and partial writes, so that the reader
  // never sees a chunk split by anything else. False when the reader is gone.
  bool deliver(const Chunk& chunk) override;

 private:
  int descriptor_;
};

}  // namespace netsiphon
