// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads a capture file on a thread of its own and packs its packets into capture-stream chunks
// ahead of whoever tracks them, so that reading the file and tracking its packets each have a
// core. At most a few batches are held ahead; the reading thread waits when they are all full.
// A capture stream (a pipe, a FIFO) is read the same way as it arrives: whenever it pauses, what
// was read of it is handed over at once, however little.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/intake/StreamInput.h"
#include "capture/CaptureSource.h"
#include "capture/ChunkAssembler.h"

namespace wq {

class FileReadAhead : private netsiphon::ByteSink {
 public:
  // Whole chunks, back to back.
  using Batch = std::vector<std::uint8_t>;

  struct Taken {
    std::vector<Batch> batches;  // oldest first
    bool ended = false;          // the file has been read and every batch taken
    std::string failure;         // why the file ended early, once ended
  };

  // `wake` is called on the reading thread whenever batches become ready after none were, and
  // when the file has been read: the consumer then calls take() until it says ended.
  FileReadAhead(std::unique_ptr<netsiphon::CaptureSource> source, std::function<void()> wake);
  // Reads the capture stream arriving on `descriptor`, which it takes over, keeping the packets
  // that match `filter` (empty keeps them all). The stream is opened on the reading thread, since
  // its header may be slow to come; when it is no capture stream or the filter cannot be set on
  // it, take() ends with "NAME: " and the reason.
  FileReadAhead(int descriptor, std::string name, std::string filter, std::function<void()> wake);
  // Stops the reading thread, also while it waits for a quiet stream, and waits for it.
  ~FileReadAhead() override;

  FileReadAhead(const FileReadAhead&) = delete;
  FileReadAhead& operator=(const FileReadAhead&) = delete;

  // Starts reading.
  void start();
  // Every batch ready now.
  Taken take();
  // Gives a taken batch's memory back for reuse.
  void recycle(Batch&& batch);

 private:
  bool deliver(std::span<const std::uint8_t> chunk) override;
  void readAll();
  // Opens the stream as the source; the reason when it cannot be read or filtered.
  std::string openStream();
  // Hands over what was read of a stream that is about to be waited on.
  void handBeforeWait();
  // Queues the batch being filled, and with the last one why the input ended early, if it did;
  // false when reading is to stop.
  bool hand(bool last, std::string failure = {});

  // Outlives the source, which reads it through a stdio stream.
  std::unique_ptr<StreamInput> stream_;
  std::string streamName_;
  std::string streamFilter_;
  std::unique_ptr<netsiphon::CaptureSource> source_;
  std::function<void()> wake_;
  netsiphon::ChunkAssembler assembler_{*this};
  Batch filling_;  // the reading thread's own

  std::mutex mutex_;
  std::condition_variable room_;
  std::vector<Batch> ready_;
  std::vector<Batch> spare_;
  bool ended_ = false;
  bool stopping_ = false;
  std::string failure_;

  std::thread reader_;
};

}  // namespace wq
