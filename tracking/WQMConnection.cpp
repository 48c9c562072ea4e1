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

void WQMConnection::setAddress(std::uint32_t FlowKey::*field, const IpAddress& address) {
  if (address.family != key_.family) {
    releaseAddresses();
    key_.family = address.family;
    key_.saddr = key_.daddr =
        address.family == IpAddress::kV6 ? AddressBook::kNoNumber : std::uint32_t{0};
  }
  std::uint32_t& number = key_.*field;
  if (key_.family == IpAddress::kV4) {
    number = FlowKey::numberOf(address);
    return;
  }
  const std::uint32_t held = number;
  number = AddressBook::acquire(address.bytes.data());
  if (held != AddressBook::kNoNumber) {
    AddressBook::release(held);
  }
}

void WQMConnection::releaseAddresses() {
  if (key_.family != IpAddress::kV6) {
    return;
  }
  for (const std::uint32_t number : {key_.saddr, key_.daddr}) {
    if (number != AddressBook::kNoNumber) {
      AddressBook::release(number);
    }
  }
}

std::span<const PayloadGap> WQMConnection::gaps() const {
  return gaps_ ? std::span<const PayloadGap>(*gaps_) : std::span<const PayloadGap>();
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
  if (capacity_ == storedCount_) {
    return;
  }
  if (storedCount_ == 0) {
    storage_.reset();
    capacity_ = 0;
    return;
  }
  // The payload moves to a block of its exact size rather than shrinking in place: the whole old
  // block goes back to the allocator, where the next payload growing to that size takes it,
  // instead of leaving a remainder of odd size that little can use.
  void* exact = std::malloc(storedCount_);
  if (exact == nullptr) {
    return;  // keeping the larger block is harmless
  }
  std::memcpy(exact, storage_.get(), storedCount_);
  storage_.reset(static_cast<std::uint8_t*>(exact));
  capacity_ = storedCount_;
}

void WQMConnection::setPacketData(const std::uint8_t* bytes, std::uint32_t length,
                                  std::uint32_t missing) {
  byteCount_ = 0;
  storedCount_ = 0;
  gaps_.reset();
  augmentPacketData(bytes, length, missing);
}

void WQMConnection::augmentPacketData(const std::uint8_t* bytes, std::uint32_t length,
                                      std::uint32_t missing) {
  length = std::min(length, bufferSize_ - byteCount_);
  if (length > 0) {
    reserveFor(storedCount_ + length);
    std::memcpy(storage_.get() + storedCount_, bytes, length);
    storedCount_ += length;
    byteCount_ += length;
  }
  missing = std::min(missing, bufferSize_ - byteCount_);
  if (missing > 0) {
    if (!gaps_) {
      gaps_ = std::make_unique<std::vector<PayloadGap>>();
    }
    if (!gaps_->empty() && gaps_->back().at == storedCount_) {
      gaps_->back().length += missing;  // one gap, however many packets it took
    } else {
      gaps_->push_back({storedCount_, missing});
    }
    byteCount_ += missing;
  }
}

std::string WQMConnection::description(LogSink& log) const {
  return "Time: " + clockText(lastHit_) + " Hosts: " + addressText(saddr(), log) +
         ", Port: " + std::to_string(hostOrderPort(sport())) + "->" + addressText(daddr(), log) +
         ", Port: " + std::to_string(hostOrderPort(dport())) + "\n";
}

}  // namespace wq
