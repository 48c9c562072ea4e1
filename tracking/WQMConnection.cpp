#include "tracking/WQMConnection.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "tracking/NodePool.h"
#include "tracking/TextFormat.h"

namespace wq {

namespace {

NodePool& nodePool() {
  static NodePool pool(sizeof(WQMConnection), alignof(WQMConnection));
  return pool;
}

}  // namespace

void* WQMConnection::operator new(std::size_t /*size: the class is final*/) {
  return nodePool().allocate();
}

void WQMConnection::operator delete(void* node) {
  nodePool().release(node);
}

WQMConnection::WQMConnection(TimePoint now, int maxPacketSize)
    : startHit_(now),
      lastHit_(now),
      bufferSize_(maxPacketSize > 0 ? static_cast<std::uint32_t>(maxPacketSize) : 0) {}

void WQMConnection::setsaddr(const std::uint8_t* bytes) {
  std::memcpy(&key_.saddr, bytes, sizeof key_.saddr);
}

void WQMConnection::setdaddr(const std::uint8_t* bytes) {
  std::memcpy(&key_.daddr, bytes, sizeof key_.daddr);
}

void WQMConnection::reserveFor(std::uint32_t length) {
  if (length <= capacity_) {
    return;
  }
  // The first payload gets exactly its size; a payload that grows doubles, so a flow that grows
  // by many segments is copied only a few times.
  constexpr std::uint32_t kFirstGrowth = 2048;
  const std::uint32_t doubled = capacity_ == 0 ? 0 : std::max(kFirstGrowth, capacity_ * 2);
  const std::uint32_t capacity = std::min(bufferSize_, std::max(length, doubled));
  void* grown = std::realloc(storage_.get(), capacity);
  if (grown == nullptr) {
    throw std::bad_alloc();
  }
  storage_.release();
  storage_.reset(static_cast<std::uint8_t*>(grown));
  capacity_ = capacity;
}

void WQMConnection::releaseSpareRoom() {
  if (capacity_ == byteCount_) {
    return;
  }
  if (byteCount_ == 0) {
    storage_.reset();
    capacity_ = 0;
    return;
  }
  // The payload moves to a block of its exact size rather than shrinking in place: the whole old
  // block goes back to the allocator, where the next payload growing to that size takes it,
  // instead of leaving a remainder of odd size that little can use.
  void* exact = std::malloc(byteCount_);
  if (exact == nullptr) {
    return;  // keeping the larger block is harmless
  }
  std::memcpy(exact, storage_.get(), byteCount_);
  storage_.reset(static_cast<std::uint8_t*>(exact));
  capacity_ = byteCount_;
}

void WQMConnection::setByteCount(std::uint32_t count) {
  count = std::min(count, bufferSize_);
  if (count > byteCount_) {
    reserveFor(count);
    std::memset(storage_.get() + byteCount_, 0, count - byteCount_);
  }
  byteCount_ = count;
}

void WQMConnection::setPacketData(const std::uint8_t* bytes, std::uint32_t length) {
  length = std::min(length, bufferSize_);
  reserveFor(length);
  if (length > 0) {
    std::memcpy(storage_.get(), bytes, length);
  }
  byteCount_ = length;
}

void WQMConnection::augmentPacketData(const std::uint8_t* bytes, std::uint32_t length) {
  length = std::min(length, bufferSize_ - byteCount_);
  if (length == 0) {
    return;
  }
  reserveFor(byteCount_ + length);
  std::memcpy(storage_.get() + byteCount_, bytes, length);
  byteCount_ += length;
}

std::string WQMConnection::description(LogSink& log) const {
  return "Time: " + clockText(lastHit_) + " Hosts: " + dottedAddress(saddr(), log) +
         ", Port: " + std::to_string(hostOrderPort(sport())) + "->" + dottedAddress(daddr(), log) +
         ", Port: " + std::to_string(hostOrderPort(dport())) + "\n";
}

}  // namespace wq
