// SPDX-License-Identifier: GPL-3.0-or-later
// Writes what a record output sends to a descriptor, each piece whole.
#pragma once

#include <cstdint>
#include <span>

#include "capture/RecordOutput.h"

namespace netsiphon {

// Writes all of `bytes`, resuming after interruptions and partial writes, and waiting on a
// descriptor in non-blocking mode (another process may have switched it). 0 once all is written;
// otherwise the errno of the failure (the reader is gone, say), or ECANCELED when
// `stopDescriptor` became readable while waiting.
int writeWhole(int descriptor, std::span<const std::uint8_t> bytes, int stopDescriptor = -1);

class DescriptorSink final : public ByteSink {
 public:
  explicit DescriptorSink(int descriptor) : descriptor_(descriptor) {}

  // Writes the bytes whole, so that the reader never sees a chunk split by anything else.
  bool deliver(std::span<const std::uint8_t> bytes) override;

 private:
  int descriptor_;
};

}  // namespace netsiphon
