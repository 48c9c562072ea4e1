// SPDX-License-Identifier: GPL-3.0-or-later
// Where the helper's captured frames go: packed into the chunks of the capture stream
// (ChunkAssembler), or written as a pcap stream (PcapStreamWriter), through a ByteSink.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace netsiphon {

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

// Receives the output's bytes in the pieces it sends; false means nobody reads them any more.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool deliver(std::span<const std::uint8_t> bytes) = 0;
};

class RecordOutput {
 public:
  virtual ~RecordOutput() = default;

  // Appends one record of at most wq::kMaxSnapshotLength frame bytes (a longer frame is cut to
  // it), sending what is pending first when it must. False once the sink has refused bytes.
  virtual bool add(Timestamp time, const Frame& frame) = 0;
  // Sends whatever is pending, held or not.
  virtual bool send() = 0;
  // Sends whatever is pending, unless it is held and may still wait.
  bool flush();

  // Pending records wait up to `delay` after the first of them for more before flush() sends
  // them, so that small frames at high rates share a write instead of each taking one. A record
  // that comes after `delay` without any is sent at once.
  void holdPartialWrites(std::chrono::nanoseconds delay) { holdFor_ = delay; }
  // How long until held records are due; nothing when none are held.
  std::optional<std::chrono::nanoseconds> timeUntilDue() const;

 protected:
  // Whether records wait to be sent.
  virtual bool pending() const = 0;
  // Called by add() before it adds a record: a first pending record starts the hold.
  void beforeAdding();

 private:
  std::chrono::nanoseconds holdFor_{0};
  std::chrono::steady_clock::time_point firstHeld_;  // when the first pending record came
  std::chrono::steady_clock::time_point lastAdded_;  // when the latest record came
};

}  // namespace netsiphon
