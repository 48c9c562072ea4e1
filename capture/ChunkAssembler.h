// SPDX-License-Identifier: GPL-3.0-or-later
// Packs captured frames into the fixed-length chunks of the capture stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/RecordOutput.h"
#include "stream/CaptureStreamFormat.h"

namespace netsiphon {

using Chunk = std::array<std::uint8_t, wq::kChunkLength>;

// Fills one chunk with as many whole records as fit and hands it on when the next one would not.
// A record too long for a chunk goes out at once in chunks of its own. Each chunk is delivered
// whole, in one piece.
class ChunkAssembler final : public RecordOutput {
 public:
  explicit ChunkAssembler(ByteSink& sink) : sink_(sink) {}

  // Sends the current chunk first when the record does not fit in it.
  bool add(Timestamp time, const Frame& frame) override;
  // Sends the current chunk if it holds any record.
  bool send() override;

 private:
  bool pending() const override { return used_ > 0; }
  // Copies `bytes` on from used_, sending each chunk that fills before they are all in.
  bool append(std::span<const std::uint8_t> bytes);

  ByteSink& sink_;
  Chunk chunk_{};
  std::size_t used_ = 0;
};

}  // namespace netsiphon
