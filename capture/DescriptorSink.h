// Writes each chunk to a descriptor in one piece.
#pragma once

#include <cstdint>
#include <span>

#include "capture/ChunkAssembler.h"

namespace netsiphon {

// Writes all of `bytes`, resuming after interruptions and partial writes, and waiting on a
// descriptor that another process switched to non-blocking mode. False when the reader is gone.
bool writeWhole(int descriptor, std::span<const std::uint8_t> bytes);

class DescriptorSink final : public ChunkSink {
 public:
  explicit DescriptorSink(int descriptor) : descriptor_(descriptor) {}

  // Writes the whole chunk, so that the reader never sees a chunk split by anything else.
  bool deliver(const Chunk& chunk) override;

 private:
  int descriptor_;
};

}  // namespace netsiphon
