// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One node: one direction of one IPv4 or IPv6 flow, with the times of its first and latest packet
// and the payload bytes its packets brought; for TCP, the direction's byte stream, with the bytes
// that came ahead of a hole held apart until it fills. Bytes that were not captured are counted,
// not stored: the node remembers where they were missing.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tracking/Platform.h"
#include "tracking/decode/FlowKey.h"
#include "tracking/programs/ProgramSlot.h"

namespace wq {

// Payload bytes that were not captured: `length` of them, missing before stored byte `at`.
struct PayloadGap {
  std::uint32_t at = 0;
  std::uint32_t length = 0;
  bool operator==(const PayloadGap&) const = default;
};

// Bytes of a TCP stream that came ahead of a hole, held until the hole fills or is given up:
// `bytes` captured and then `missing` bytes not captured, from `offset` bytes into the stream.
struct HeldSegment {
  std::uint32_t offset = 0;
  std::uint32_t missing = 0;
  std::vector<std::uint8_t> bytes;
  std::uint32_t length() const { return static_cast<std::uint32_t>(bytes.size()) + missing; }
  std::uint32_t end() const { return offset + length(); }
};

// A TCP node's stored bytes and those held beyond its holes, joined in stream order.
struct JoinedPayload {
  std::vector<std::uint8_t> bytes;
  std::vector<PayloadGap> gaps;  // each hole among them
};

// Where one of a TCP node's turns ended: a turn is the bytes the node added in a row while the
// other direction added none. Its stored bytes and its payload in order (stored and not captured)
// by then, and the time of the turn's last growth.
struct TurnEnd {
  std::uint32_t stored = 0;
  std::uint32_t inOrder = 0;
  TimePoint time;
};

// The key of the flow that runs the other way between the same ends.
inline FlowKey reversed(const FlowKey& key) {
  FlowKey reverse = key;
  std::swap(reverse.saddr, reverse.daddr);
  std::swap(reverse.sport, reverse.dport);
  return reverse;
}

// What the texts of a node describe, as of one moment.
struct NodeFacts {
  TimePoint startHit;
  TimePoint lastHit;
  std::uint32_t protocol = 0;
  FlowEnds flow;
  std::uint32_t byteCount = 0;            // stored and missing bytes
  std::span<const std::uint8_t> payload;  // the stored bytes
  std::span<const PayloadGap> gaps;       // in order
  // A TCP node made from data of a connection that was open before capture started.
  bool openBeforeCapture = false;
  // For a TCP node with an open hole, what `payload` and `gaps` show; shared, so that copies of
  // these facts stay valid.
  std::shared_ptr<const JoinedPayload> joined;
  // What is known of the programs behind the node, as long as the node lives (as `payload`); none
  // when the session was never told where its capture comes from.
  const ProgramSlot* programs = nullptr;
};

class WQMConnection final {
 public:
  // Nodes come from a pool of their own: a list of many nodes then lies in few places in
  // memory, and making or dropping one per packet stays cheap.
  static void* operator new(std::size_t size);
  static void operator delete(void* node);

  // A fresh node: both times `now`, addresses, ports, protocol and byte count 0, and a payload
  // buffer of `maxPacketSize` bytes (none when that is 0 or less). The buffer's size is fixed for
  // the node's life, but memory is taken only as payload arrives.
  WQMConnection(TimePoint now, int maxPacketSize);
  ~WQMConnection() { releaseAddresses(); }
  WQMConnection(const WQMConnection&) = delete;
  WQMConnection& operator=(const WQMConnection&) = delete;

  TimePoint startHit() const { return startHit_; }
  void setStartHit(TimePoint time) { startHit_ = time; }
  TimePoint lastHit() const { return lastHit_; }
  void setLastHit(TimePoint time) { lastHit_ = time; }

  std::uint32_t protocol() const { return protocol_; }
  void setProtocol(std::uint32_t protocol) { protocol_ = static_cast<std::uint8_t>(protocol); }

  // Addresses and ports stay in network byte order, exactly as they stand in the packet.
  IpAddress saddr() const { return key_.source(); }
  IpAddress daddr() const { return key_.destination(); }
  // Both addresses of a node are of one family: an address of the other family clears the other
  // address.
  void setsaddr(const IpAddress& address) { setAddress(&FlowKey::saddr, address); }
  void setdaddr(const IpAddress& address) { setAddress(&FlowKey::daddr, address); }
  std::uint16_t sport() const { return key_.sport; }
  std::uint16_t dport() const { return key_.dport; }
  void setsport(std::uint16_t port) { key_.sport = port; }
  void setdport(std::uint16_t port) { key_.dport = port; }
  const FlowKey& flowKey() const { return key_; }

  // The size of the payload buffer, fixed when the node was made.
  std::uint32_t bufferSize() const { return bufferSize_; }
  // The payload's length: the bytes stored and the bytes that were not captured, and for a TCP
  // node with a hole, the hole and the bytes held beyond it.
  std::uint32_t byteCount() const {
    return heldCount() == 0 ? byteCount_ : extras_->held.back().end();
  }
  // The payload in order: bytes stored, and bytes not captured (gaps), without what is held.
  std::uint32_t inOrderCount() const { return byteCount_; }
  std::span<const std::uint8_t> packetData() const { return {storage_.get(), storedCount_}; }
  std::span<const PayloadGap> gaps() const;

  // --- A TCP node's byte stream (placed by TcpStream)
  // Stream offset 0 is the byte after `initialSequence`, the sequence number of the SYN.
  std::uint32_t initialSequence() const { return initialSequence_; }
  void setInitialSequence(std::uint32_t sequence) { initialSequence_ = sequence; }
  // A node started by data of a connection already open when capture started: it has no SYN.
  bool openBeforeCapture() const { return openBeforeCapture_; }
  void setOpenBeforeCapture(bool open) { openBeforeCapture_ = open; }
  // Segments held beyond holes, in stream order, none overlapping another.
  std::span<const HeldSegment> heldSegments() const;
  std::size_t heldCount() const { return extras_ ? extras_->held.size() : 0; }
  // The bytes held, captured or not.
  std::uint32_t heldBytes() const;
  // Holds `segment`, which overlaps neither the payload in order nor any segment held.
  void holdBack(HeldSegment segment);
  // Appends the first segment held to the payload in order, with `hole` bytes not captured
  // before it (0 when it continues the payload).
  void takeFirstHeld(std::uint32_t hole);

  // The ends of a TCP node's turns but the last, in order; most nodes have one turn, and none.
  std::span<const TurnEnd> turnEnds() const;
  // The node's turn that ended at `end` is complete: its later bytes are another turn.
  void endTurn(const TurnEnd& end);

  // Replaces the payload with `length` bytes and then `missing` bytes that were not captured.
  // Takes at most the buffer's size in all.
  void setPacketData(const std::uint8_t* bytes, std::uint32_t length, std::uint32_t missing = 0);
  // Appends to the payload, as much as still fits in the buffer.
  void augmentPacketData(const std::uint8_t* bytes, std::uint32_t length,
                         std::uint32_t missing = 0);
  // A growing payload is given spare room so that it is not copied on every segment; once the
  // node has gone quiet the spare room is given back.
  void releaseSpareRoom();

  NodeFacts facts() const;

  // What is known of the programs behind the node (see ProgramSlot); none until the session says.
  const ProgramSlot* programs() const { return programs_.get(); }
  const ProgramSlotRef& programsRef() const { return programs_; }
  void setPrograms(ProgramSlotRef programs) { programs_ = std::move(programs); }

  // The flow match: same source and destination address and port; direction-sensitive;
  // protocol, times and payload take no part.
  bool isEqual(const WQMConnection& other) const { return key_ == other.key_; }

  // The row text of the nodes table:
  // "Time: <last hit> Hosts: <source>, Port: <port>-><destination>, Port: <port>\n", the
  // addresses as the address texts show them.
  std::string description(LogSink& log) const;

 private:
  struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  // Turn ends in one block of exactly their size, their count in front: turns end seldom, and a
  // single pointer keeps Extras within the allocator's 64-byte size class.
  class TurnEndList {
   public:
    std::span<const TurnEnd> ends() const;
    void append(const TurnEnd& end);

   private:
    std::unique_ptr<std::uint8_t, FreeDeleter> block_;
  };
  // What few nodes need: gaps in the payload, segments held beyond a hole, and the ends of turns.
  struct Extras {
    std::vector<PayloadGap> gaps;
    std::vector<HeldSegment> held;
    TurnEndList turnEnds;
  };
  Extras& extras();

  void setAddress(std::uint32_t FlowKey::*field, const IpAddress& address);
  // Lets go of the IPv6 address numbers the key holds.
  void releaseAddresses();
  void reserveFor(std::uint32_t length);

  TimePoint startHit_;
  TimePoint lastHit_;
  std::unique_ptr<std::uint8_t, FreeDeleter> storage_;
  // Most payloads are captured whole and in order: the gaps and held segments of the others are
  // kept apart.
  std::unique_ptr<Extras> extras_;
  ProgramSlotRef programs_;
  FlowKey key_{};
  std::uint8_t protocol_ = 0;
  bool openBeforeCapture_ = false;
  std::uint32_t initialSequence_ = 0;
  std::uint32_t byteCount_ = 0;
  std::uint32_t storedCount_ = 0;
  std::uint32_t bufferSize_ = 0;
  std::uint32_t capacity_ = 0;
};

}  // namespace wq
