// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/CaptureBuilder.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "capture/ChunkAssembler.h"
#include "stream/CaptureStreamFormat.h"

namespace wq::testing {

namespace {

void putBe16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value >> 8);
  bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

void putAddress(Bytes& bytes, std::size_t offset, std::string_view text) {
  const int family = text.find(':') == std::string_view::npos ? AF_INET : AF_INET6;
  if (inet_pton(family, std::string(text).c_str(), bytes.data() + offset) != 1) {
    throw std::invalid_argument("not an IP address");
  }
}

bool isIPv6(std::string_view address) {
  return address.find(':') != std::string_view::npos;
}

Bytes ipv4Frame(std::uint8_t protocol, std::string_view source, std::string_view destination,
                const Bytes& transport, const IpOptions& options) {
  // The fixed 20 bytes are written even when the header length field states fewer.
  const std::size_t ipHeader = std::max<std::size_t>(std::size_t{options.headerWords} * 4, 20);
  Bytes frame(14 + ipHeader, 0);
  frame[6] = 0x02;  // a locally administered source MAC
  putBe16(frame, 12, 0x0800);
  const std::uint8_t version = options.version != 0 ? options.version : 4;
  frame[14] = static_cast<std::uint8_t>(version << 4 | (options.headerWords & 0x0F));
  putBe16(frame, 16,
          static_cast<std::uint16_t>(ipHeader + transport.size() + options.totalLengthDelta));
  putBe16(frame, 20, options.fragmentField);
  frame[22] = 64;
  frame[23] = protocol;
  putAddress(frame, 26, source);
  putAddress(frame, 30, destination);
  frame.insert(frame.end(), transport.begin(), transport.end());
  return frame;
}

Bytes ipv6Frame(std::uint8_t protocol, std::string_view source, std::string_view destination,
                const Bytes& transport, const IpOptions& options) {
  constexpr std::uint8_t kRouting = 43;
  constexpr std::uint8_t kFragment = 44;
  Bytes frame(14 + 40, 0);
  frame[6] = 0x02;
  putBe16(frame, 12, 0x86DD);
  frame[14] = static_cast<std::uint8_t>((options.version != 0 ? options.version : 6) << 4);
  frame[14 + 6] = options.extensions.empty() ? protocol : options.extensions.front();
  frame[14 + 7] = 64;
  putAddress(frame, 14 + 8, source);
  putAddress(frame, 14 + 24, destination);
  for (std::size_t i = 0; i < options.extensions.size(); ++i) {
    const bool routing = options.extensions[i] == kRouting;
    Bytes extension(routing ? 24 : 8, 0);
    extension[0] = i + 1 < options.extensions.size() ? options.extensions[i + 1] : protocol;
    extension[1] = routing ? 2 : 0;  // in units of 8 bytes beyond the first 8
    if (options.extensions[i] == kFragment) {
      putBe16(extension, 2, options.fragmentField);
    }
    frame.insert(frame.end(), extension.begin(), extension.end());
  }
  putBe16(
      frame, 14 + 4,
      static_cast<std::uint16_t>(frame.size() - 54 + transport.size() + options.totalLengthDelta));
  frame.insert(frame.end(), transport.begin(), transport.end());
  return frame;
}

std::size_t recordLength(const Bytes& frame) {
  return paddedRecordLength(kRecordHeaderLength + frame.size());
}

}  // namespace

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes patternedBytes(std::size_t count, std::uint8_t seed) {
  Bytes bytes(count);
  for (std::size_t index = 0; index < count; ++index) {
    bytes[index] = static_cast<std::uint8_t>(index * 7 + seed);
  }
  return bytes;
}

std::uint32_t addressOf(std::string_view dotted) {
  std::uint32_t address = 0;
  if (inet_pton(AF_INET, std::string(dotted).c_str(), &address) != 1) {
    throw std::invalid_argument("not an IPv4 address");
  }
  return address;
}

Bytes ipFrame(std::uint8_t protocol, std::string_view source, std::string_view destination,
              const Bytes& transport, const IpOptions& options) {
  return isIPv6(source) ? ipv6Frame(protocol, source, destination, transport, options)
                        : ipv4Frame(protocol, source, destination, transport, options);
}

Bytes withVlanTags(Bytes frame, const std::vector<std::uint16_t>& tagTypes) {
  Bytes tags;
  for (const std::uint16_t type : tagTypes) {
    tags.insert(tags.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type),
                             0x00, 0x2A});  // VLAN 42
  }
  frame.insert(frame.begin() + 12, tags.begin(), tags.end());
  return frame;
}

Bytes tcpFrame(std::string_view source, std::uint16_t sourcePort, std::string_view destination,
               std::uint16_t destinationPort, std::uint8_t flags, const Bytes& payload,
               const IpOptions& options, const TcpFields& fields) {
  Bytes tcp(20, 0);
  putBe16(tcp, 0, sourcePort);
  putBe16(tcp, 2, destinationPort);
  putBe16(tcp, 4, static_cast<std::uint16_t>(fields.sequence >> 16));
  putBe16(tcp, 6, static_cast<std::uint16_t>(fields.sequence));
  tcp.insert(tcp.end(), fields.options.begin(), fields.options.end());
  tcp.resize((tcp.size() + 3) / 4 * 4, 0);
  tcp[12] =
      static_cast<std::uint8_t>((static_cast<int>(tcp.size() / 4) + fields.dataOffsetDelta) << 4);
  tcp[13] = flags;
  putBe16(tcp, 14, 65535);
  tcp.insert(tcp.end(), payload.begin(), payload.end());
  return ipFrame(6, source, destination, tcp, options);
}

TcpSender::TcpSender(std::string source, std::uint16_t sourcePort, std::string destination,
                     std::uint16_t destinationPort, std::uint32_t initialSequence)
    : source_(std::move(source)),
      destination_(std::move(destination)),
      sourcePort_(sourcePort),
      destinationPort_(destinationPort),
      initialSequence_(initialSequence) {}

Bytes TcpSender::syn(std::uint8_t flags, const Bytes& options) const {
  return tcpFrame(source_, sourcePort_, destination_, destinationPort_, flags, {}, {},
                  {initialSequence_, options});
}

Bytes TcpSender::send(const Bytes& payload, std::uint8_t flags, const Bytes& options) {
  Bytes frame = at(sent_, payload, flags, options);
  sent_ += static_cast<std::uint32_t>(payload.size()) + (flags & kFin ? 1 : 0);
  return frame;
}

Bytes TcpSender::at(std::uint32_t offset, const Bytes& payload, std::uint8_t flags,
                    const Bytes& options) const {
  return tcpFrame(source_, sourcePort_, destination_, destinationPort_, flags, payload, {},
                  {initialSequence_ + 1 + offset, options});
}

Bytes udpFrame(std::string_view source, std::uint16_t sourcePort, std::string_view destination,
               std::uint16_t destinationPort, const Bytes& payload, const IpOptions& options) {
  Bytes udp(8, 0);
  putBe16(udp, 0, sourcePort);
  putBe16(udp, 2, destinationPort);
  putBe16(udp, 4, static_cast<std::uint16_t>(8 + payload.size()));
  udp.insert(udp.end(), payload.begin(), payload.end());
  return ipFrame(17, source, destination, udp, options);
}

Bytes icmpFrame(std::string_view source, std::string_view destination, const Bytes& payload,
                const IpOptions& options) {
  Bytes icmp(8, 0);
  const bool v6 = isIPv6(source);
  icmp[0] = v6 ? 128 : 8;  // echo request
  icmp.insert(icmp.end(), payload.begin(), payload.end());
  return ipFrame(v6 ? 58 : 1, source, destination, icmp, options);
}

void appendRecord(Bytes& stream, const Bytes& frame, std::uint32_t seconds,
                  std::uint32_t microseconds, std::uint32_t wireLength) {
  const std::size_t start = stream.size();
  const auto length = static_cast<std::uint32_t>(frame.size());
  stream.resize(start + kRecordHeaderLength);
  storeRecordHeader(stream.data() + start,
                    {seconds, microseconds, length, wireLength != 0 ? wireLength : length});
  stream.insert(stream.end(), frame.begin(), frame.end());
  stream.resize(start + recordLength(frame), 0);
}

Bytes chunkOf(const std::vector<Bytes>& frames) {
  Bytes chunk;
  for (const Bytes& frame : frames) {
    appendRecord(chunk, frame);
  }
  if (chunk.size() > kChunkLength) {
    throw std::length_error("frames do not fit one chunk");
  }
  chunk.resize(kChunkLength, 0);
  return chunk;
}

Bytes streamOf(const std::vector<Bytes>& frames) {
  struct Collected : netsiphon::ByteSink {
    Bytes stream;
    bool deliver(std::span<const std::uint8_t> chunk) override {
      stream.insert(stream.end(), chunk.begin(), chunk.end());
      return true;
    }
  } collected;
  netsiphon::ChunkAssembler assembler(collected);
  for (const Bytes& frame : frames) {
    assembler.add({}, {{}, frame, static_cast<std::uint32_t>(frame.size())});
  }
  assembler.flush();
  return collected.stream;
}

}  // namespace wq::testing
