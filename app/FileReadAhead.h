#pragma once
// Reads a capture file on a thread of its own and packs its packets into capture-stream chunks
// ahead of whoever tracks them, so that reading the file and tracking its packets each have a
// core. At most a few batches are held ahead; the reading thread waits when they are all full.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureSource.h"

namespace wq {

class FileReadAhead : private netsiphon::ChunkSink {
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
  // Stops the reading thread and waits for it.
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
  bool deliver(const netsiphon::Chunk& chunk) override;
  void readAll();
  // Queues the batch being filled; false when reading is to stop.
  bool hand(bool last);

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
