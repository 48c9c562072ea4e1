// Packs captured frames into the fixed-length chunks of the capture stream.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "stream/CaptureStreamFormat.h"

namespace netsiphon {

using Chunk = std::array<std::uint8_t, wq::kChunkLength>;

struct Timestamp {
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
};

// A frame in up to two pieces, so that a rewritten link header needs no copy of the rest.
struct Frame {
  std::span<const std::uint8_t> head;
  std::span<const std::uint8_t> body;
  std::uint32_t wireLength = 0;
};

// Receives finished chunks; false means nobody reads the stream any more.
class ChunkSink {
 public:
  virtual ~ChunkSink() = default;
  virtual bool deliver(const Chunk& chunk) = 0;
};

// Fills one chunk with as many whole records as fit and hands it on when the next one would not.
// A record too long for a chunk goes out at once in chunks of its own.
class ChunkAssembler {
 public:
  explicit ChunkAssembler(ChunkSink& sink) : sink_(sink) {}

  // Appends one record of at most wq::kMaxSnapshotLength frame bytes, sending the current chunk
  // first when the record does not fit in it. Returns false once the sink has refused a chunk.
  bool add(Timestamp time, const Frame& frame);
  // Sends the current chunk if it holds any record, unless it is held and may still wait.
  bool flush();
  // Sends the current chunk if it holds any record, held or not.
  bool send();

  // A chunk that is not full waits up to `delay` after its first record for more before flush()
  // sends it, so that small frames at high rates share chunks instead of each taking one.
  void holdPartialChunks(std::chrono::nanoseconds delay) { holdFor_ = delay; }
  // How long until a held chunk is due; nothing when no chunk is held.
  std::optional<std::chrono::nanoseconds> timeUntilDue() const;

 private:
  // Copies `bytes` on from used_, sending each chunk that fills before they are all in.
  bool append(std::span<const std::uint8_t> bytes);

  ChunkSink& sink_;
  Chunk chunk_{};
  std::size_t used_ = 0;
  std::chrono::nanoseconds holdFor_{0};
  std::chrono::steady_clock::time_point firstHeld_;  // when the chunk's first record came
};

}  // namespace netsiphon
