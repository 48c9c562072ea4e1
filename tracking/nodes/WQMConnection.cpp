// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/nodes/WQMConnection.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "tracking/nodes/NodePool.h"
#include "tracking/view/TextFormat.h"

namespace wq {

namespace {

NodePool& nodePool() {
  static NodePool pool(sizeof(WQMConnection), alignof(WQMConnection));
  return pool;
}

// Adds `length` missing bytes before stored byte `at`: one gap, however many packets it took.
void addGap(std::vector<PayloadGap>& gaps, std::uint32_t at, std::uint32_t length) {
  if (length == 0) {
    return;
  }
  if (!gaps.empty() && gaps.back().at == at) {
    gaps.back().length += length;
  } else {
    gaps.push_back({at, length});
  }
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
  return extras_ ? std::span<const PayloadGap>(extras_->gaps) : std::span<const PayloadGap>();
}

std::span<const HeldSegment> WQMConnection::heldSegments() const {
  return extras_ ? std::span<const HeldSegment>(extras_->held) : std::span<const HeldSegment>();
}

WQMConnection::Extras& WQMConnection::extras() {
  // Asking for at most 56 bytes takes one of glibc's 64-byte chunks: every node with a gap, a
  // hole or a second turn pays for one.
  static_assert(sizeof(Extras) <= 56);
  if (!extras_) {
    extras_ = std::make_unique<Extras>();
  }
  return *extras_;
}

std::uint32_t WQMConnection::heldBytes() const {
  std::uint32_t bytes = 0;
  for (const HeldSegment& segment : heldSegments()) {
    bytes += segment.length();
  }
  return bytes;
}

namespace {
// The turn-end list's count, padded so that the ends after it are aligned.
constexpr std::size_t kTurnCountRoom = alignof(TurnEnd);
}  // namespace

std::span<const TurnEnd> WQMConnection::TurnEndList::ends() const {
  if (!block_) {
    return {};
  }
  std::uint32_t count;
  std::memcpy(&count, block_.get(), sizeof count);
  return {reinterpret_cast<const TurnEnd*>(block_.get() + kTurnCountRoom), count};
}

void WQMConnection::TurnEndList::append(const TurnEnd& end) {
  const auto count = static_cast<std::uint32_t>(ends().size()) + 1;
  void* grown = std::realloc(block_.get(), kTurnCountRoom + count * sizeof(TurnEnd));
  if (grown == nullptr) {
    throw std::bad_alloc();
  }
  block_.release();
  block_.reset(static_cast<std::uint8_t*>(grown));
  std::memcpy(block_.get() + kTurnCountRoom + (count - 1) * sizeof(TurnEnd), &end, sizeof end);
  std::memcpy(block_.get(), &count, sizeof count);
}

std::span<const TurnEnd> WQMConnection::turnEnds() const {
  return extras_ ? extras_->turnEnds.ends() : std::span<const TurnEnd>();
}

void WQMConnection::endTurn(const TurnEnd& end) {
  extras().turnEnds.append(end);
}

void WQMConnection::holdBack(HeldSegment segment) {
  std::vector<HeldSegment>& held = extras().held;
  const auto after = std::upper_bound(
      held.begin(), held.end(), segment.offset,
      [](std::uint32_t offset, const HeldSegment& other) { return offset < other.offset; });
  held.insert(after, std::move(segment));
}

void WQMConnection::takeFirstHeld(std::uint32_t hole) {
  std::vector<HeldSegment>& held = extras_->held;
  const HeldSegment first = std::move(held.front());
  held.erase(held.begin());
  augmentPacketData(nullptr, 0, hole);
  augmentPacketData(first.bytes.data(), static_cast<std::uint32_t>(first.bytes.size()),
                    first.missing);
}

NodeFacts WQMConnection::facts() const {
  NodeFacts facts{startHit_,    lastHit_, protocol_,          key_.ends(), byteCount(),
                  packetData(), gaps(),   openBeforeCapture_, nullptr,     programs_.get()};
  if (heldCount() == 0) {
    return facts;
  }
  // The bytes beyond a hole are shown where they belong, each hole marked as not captured.
  auto joined = std::make_shared<JoinedPayload>();
  std::vector<std::uint8_t>& bytes = joined->bytes;
  std::vector<PayloadGap>& joinedGaps = joined->gaps;
  bytes.assign(facts.payload.begin(), facts.payload.end());
  joinedGaps.assign(facts.gaps.begin(), facts.gaps.end());
  std::uint32_t end = byteCount_;
  for (const HeldSegment& segment : extras_->held) {
    addGap(joinedGaps, static_cast<std::uint32_t>(bytes.size()), segment.offset - end);
    bytes.insert(bytes.end(), segment.bytes.begin(), segment.bytes.end());
    addGap(joinedGaps, static_cast<std::uint32_t>(bytes.size()), segment.missing);
    end = segment.end();
  }
  facts.payload = bytes;
  facts.gaps = joinedGaps;
  facts.joined = std::move(joined);
  return facts;
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
  extras_.reset();
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
    addGap(extras().gaps, storedCount_, missing);
    byteCount_ += missing;
  }
}

std::string WQMConnection::description(LogSink& log) const {
  return "Time: " + clockText(lastHit_) + " Hosts: " + addressText(saddr(), log) +
         ", Port: " + std::to_string(hostOrderPort(sport())) + "->" + addressText(daddr(), log) +
         ", Port: " + std::to_string(hostOrderPort(dport())) + "\n";
}

}  // namespace wq
