// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Builds captured frames and capture-stream chunks byte by byte, for tests, benchmarks, tools and
// fuzz seeds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wq::testing {

using Bytes = std::vector<std::uint8_t>;

// 2026-12-06 14:03:20 UTC, a Sunday: the time of every made-up capture's first record.
inline constexpr std::int64_t kCaptureStart = 1796565800;
// The options of an ordinary SYN: MSS 1460, SACK permitted, time stamps, window scale 7.
inline const Bytes kSynOptions = {2, 4, 5, 180, 4, 2, 8, 10, 0, 0, 0, 1, 0, 0, 0, 0, 1, 3, 3, 7};
// The options Linux puts in every later segment: two NOPs and time stamps.
inline const Bytes kTimestampOptions = {1, 1, 8, 10, 0, 0, 0x2B, 0x25, 0, 0, 0x56, 0x2B};

Bytes bytesOf(std::string_view text);
// `count` bytes that differ from packet to packet, so that mixed-up records show.
Bytes patternedBytes(std::size_t count, std::uint8_t seed);

// How the IP header is built. Addresses with a colon make an IPv6 packet, others an IPv4 one.
struct IpOptions {
  std::uint8_t headerWords = 5;  // IPv4 IHL; options are zero bytes
  // IPv4's flags and fragment offset, or the same field of IPv6's fragment header.
  std::uint16_t fragmentField = 0;
  int totalLengthDelta = 0;  // added to the true total (IPv6: payload) length, to state a wrong one
  std::uint8_t version = 0;  // 0: the address family's own
  // IPv6 extension headers before the transport header: hop-by-hop (0), fragment (44) and
  // destination options (60) of eight bytes, routing (43) of 24 (one address).
  std::vector<std::uint8_t> extensions{};
};

// An Ethernet frame with an IPv4 or IPv6 packet carrying `transport` (header and payload).
Bytes ipFrame(std::uint8_t protocol, std::string_view source, std::string_view destination,
              const Bytes& transport, const IpOptions& options = {});
// The frame with 802.1Q or 802.1ad tags (their EtherTypes, outermost first) before its EtherType.
Bytes withVlanTags(Bytes frame, const std::vector<std::uint16_t>& tagTypes);

// A TCP header's fields besides its ports and flags.
struct TcpFields {
  std::uint32_t sequence = 0;
  Bytes options{};          // padded with zero bytes to whole words; the data offset counts them
  int dataOffsetDelta = 0;  // added to the true data offset, to state a wrong one
};

Bytes tcpFrame(std::string_view source, std::uint16_t sourcePort, std::string_view destination,
               std::uint16_t destinationPort, std::uint8_t flags, const Bytes& payload,
               const IpOptions& options = {}, const TcpFields& tcp = {});

// The segments one end of a TCP connection sends, numbered by the bytes sent before them.
class TcpSender {
 public:
  static constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10;

  TcpSender(std::string source, std::uint16_t sourcePort, std::string destination,
            std::uint16_t destinationPort, std::uint32_t initialSequence = 1000);

  // The SYN (or, with kAck, the SYN-ACK) with its options; data follows it.
  Bytes syn(std::uint8_t flags = kSyn, const Bytes& options = kSynOptions) const;
  // The next bytes of the stream; a FIN takes a sequence number after them.
  Bytes send(const Bytes& payload, std::uint8_t flags = kAck | kPsh, const Bytes& options = {});
  Bytes send(std::string_view text) { return send(bytesOf(text)); }
  // Bytes at `offset` in the stream (0 is the byte after the SYN), as a retransmission or a
  // segment ahead of a hole sends them; the next bytes stay where they were.
  Bytes at(std::uint32_t offset, const Bytes& payload, std::uint8_t flags = kAck,
           const Bytes& options = {}) const;
  std::uint32_t sent() const { return sent_; }

 private:
  std::string source_, destination_;
  std::uint16_t sourcePort_, destinationPort_;
  std::uint32_t initialSequence_;
  std::uint32_t sent_ = 0;  // stream bytes sent, and the FIN once sent
};
Bytes udpFrame(std::string_view source, std::uint16_t sourcePort, std::string_view destination,
               std::uint16_t destinationPort, const Bytes& payload, const IpOptions& options = {});
// An ICMP (or ICMPv6) echo request: 8 header bytes then `payload`.
Bytes icmpFrame(std::string_view source, std::string_view destination, const Bytes& payload,
                const IpOptions& options = {});

// Appends one record (header in host byte order, frame, padding to 4 bytes) to `stream`. A wire
// length of 0 is the frame's own: the frame was captured whole.
void appendRecord(Bytes& stream, const Bytes& frame, std::uint32_t seconds = 0,
                  std::uint32_t microseconds = 0, std::uint32_t wireLength = 0);

// One chunk holding `frames` as records, then zero fill.
Bytes chunkOf(const std::vector<Bytes>& frames);

// Frames packed into as many chunks as they need, in order, by the helper's own chunk assembler.
Bytes streamOf(const std::vector<Bytes>& frames);

std::uint32_t addressOf(std::string_view dotted);  // network byte order

}  // namespace wq::testing
