#include "WQMConnection.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "TextFormat.h"

namespace wq {

namespace {
// Spare room taken on top of what a growing payload needs, so that a flow growing by small
// segments does not reallocate on every one; small enough to keep a node's memory close to its
// payload.
constexpr std::uint32_t kMaxSpareBytes = 128;
}  // namespace

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
  const std::uint32_t spare = std::min(length / 2, kMaxSpareBytes);
  const std::uint32_t capacity = std::min(bufferSize_, length + spare);
  void* grown = std::realloc(storage_.get(), capacity);
  if (grown == nullptr) {
    throw std::bad_alloc();
  }
  storage_.release();
  storage_.reset(static_cast<std::uint8_t*>(grown));
  capacity_ = capacity;
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
         ", Port: " + std::to_string(hostOrderPort(sport())) + "->" +
         dottedAddress(daddr(), log) + ", Port: " + std::to_string(hostOrderPort(dport())) + "\n";
}

}  // namespace wq
