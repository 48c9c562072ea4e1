// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/intake/FileReadAhead.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>

#include "capture/FileSource.h"
#include "stream/CaptureStreamFormat.h"

namespace wq {

namespace {

// 64 chunks (256 KiB) a batch, at most 4 batches ahead: large enough that handing batches over
// costs nothing, small enough that the window stays responsive while a batch is tracked.
constexpr std::size_t kChunksPerBatch = 64;
constexpr std::size_t kBatchesAhead = 4;

}  // namespace

FileReadAhead::FileReadAhead(std::unique_ptr<netsiphon::CaptureSource> source,
                             std::function<void()> wake)
    : source_(std::move(source)), wake_(std::move(wake)) {
  filling_.reserve(kChunksPerBatch * kChunkLength);
}

FileReadAhead::FileReadAhead(int descriptor, std::string name, std::string filter,
                             std::function<void()> wake)
    : stream_(std::make_unique<StreamInput>(descriptor, [this] { handBeforeWait(); })),
      streamName_(std::move(name)),
      streamFilter_(std::move(filter)),
      wake_(std::move(wake)) {
  filling_.reserve(kChunksPerBatch * kChunkLength);
}

FileReadAhead::~FileReadAhead() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  room_.notify_all();
  if (stream_) {
    stream_->stop();
  }
  if (reader_.joinable()) {
    reader_.join();
  }
}

void FileReadAhead::start() {
  reader_ = std::thread([this] { readAll(); });
  // Told apart from the event loop's thread in top -H, a debugger and /proc.
  pthread_setname_np(reader_.native_handle(), "wirequill-read");
}

FileReadAhead::Taken FileReadAhead::take() {
  Taken taken;
  {
    const std::lock_guard lock(mutex_);
    taken.batches.swap(ready_);
    taken.ended = ended_;
    taken.failure = failure_;
  }
  room_.notify_all();
  return taken;
}

void FileReadAhead::recycle(Batch&& batch) {
  batch.clear();
  const std::lock_guard lock(mutex_);
  if (spare_.size() < kBatchesAhead) {
    spare_.push_back(std::move(batch));
  }
}

bool FileReadAhead::deliver(std::span<const std::uint8_t> chunk) {
  filling_.insert(filling_.end(), chunk.begin(), chunk.end());
  return filling_.size() < kChunksPerBatch * kChunkLength || hand(false);
}

void FileReadAhead::readAll() {
  if (!source_) {
    std::string problem = openStream();
    if (!source_) {
      hand(true, std::move(problem));
      return;
    }
  }
  using netsiphon::RelayOutcome;
  RelayOutcome outcome = RelayOutcome::kContinue;
  while (outcome == RelayOutcome::kContinue && source_->timeUntilDue()) {
    outcome = source_->relayReady(assembler_, 0);
  }
  if (outcome != RelayOutcome::kReaderGone) {  // gone only when stopping
    hand(true, source_->failure());
  }
}

std::string FileReadAhead::openStream() {
  std::FILE* file = stream_->open();
  if (file == nullptr) {
    return streamName_ + ": " + std::strerror(errno);
  }
  netsiphon::OpenedSource opened =
      netsiphon::FileSource::openStream(file, streamName_, streamFilter_);
  if (!opened.source) {
    return streamName_ + ": " + opened.problem->reason;
  }
  source_ = std::move(opened.source);
  return {};
}

void FileReadAhead::handBeforeWait() {
  // The record read last is in the assembler's chunk until flushed.
  if (assembler_.flush() && !filling_.empty()) {
    hand(false);
  }
}

bool FileReadAhead::hand(bool last, std::string failure) {
  bool wasEmpty = false;
  {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return stopping_ || ready_.size() < kBatchesAhead; });
    if (stopping_) {
      return false;
    }
    wasEmpty = ready_.empty();
    if (!filling_.empty()) {
      ready_.push_back(std::move(filling_));
    }
    filling_.clear();
    if (!spare_.empty()) {
      filling_ = std::move(spare_.back());
      spare_.pop_back();
    } else {
      filling_.reserve(kChunksPerBatch * kChunkLength);
    }
    if (last) {
      ended_ = true;
      failure_ = std::move(failure);
    }
  }
  if (wasEmpty || last) {
    wake_();
  }
  return true;
}

}  // namespace wq
