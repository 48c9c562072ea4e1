// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The capture stream from netsiphon to wirequill, shared by both sides.
//
// The stream is a sequence of chunks of kChunkLength bytes. A chunk holds whole records, then zero
// bytes to its end. A record is a header of kRecordHeaderLength bytes (the 32-bit bpf_hdr layout:
// time stamp seconds and microseconds, captured length, length on the wire, header length, every
// field in the host's byte order), then the captured frame, padded with zero bytes to a multiple
// of kRecordAlignment. A header length of zero is the zero fill: no more records in the chunk.
// A record too long for one chunk (a frame of more than kMaxFrameInOneChunk bytes) starts a chunk
// and runs on through as many more as it needs, zero bytes after it; nothing else shares them.
// The reader tells such a run from its first chunk's first header. No frame is longer than
// kMaxSnapshotLength, which bounds the run.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wq {

inline constexpr std::size_t kChunkLength = 4096;
inline constexpr std::size_t kRecordHeaderLength = 18;
inline constexpr std::size_t kRecordAlignment = 4;
// The longest frame whose record fits in one chunk.
inline constexpr std::size_t kMaxFrameInOneChunk = kChunkLength - kRecordHeaderLength;
// libpcap's largest snapshot length: live capture asks for it, and longer records are cut to it.
inline constexpr std::size_t kMaxSnapshotLength = 262144;

// Where the header's fields lie from the record's start: four std::uint32_t, then the header
// length as a std::uint16_t.
inline constexpr std::size_t kRecordSecondsOffset = 0;
inline constexpr std::size_t kRecordMicrosecondsOffset = 4;
inline constexpr std::size_t kRecordCapturedLengthOffset = 8;
inline constexpr std::size_t kRecordWireLengthOffset = 12;
inline constexpr std::size_t kRecordHeaderLengthOffset = 16;
static_assert(kRecordHeaderLengthOffset + sizeof(std::uint16_t) == kRecordHeaderLength);

struct RecordHeader {
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  std::uint32_t capturedLength = 0;  // the frame bytes that follow the header
  std::uint32_t wireLength = 0;
};

// Writes a header at `record`, which has room for kRecordHeaderLength bytes.
inline void storeRecordHeader(std::uint8_t* record, const RecordHeader& header) {
  const auto store = [record](std::size_t offset, auto value) {
    std::memcpy(record + offset, &value, sizeof value);
  };
  store(kRecordSecondsOffset, header.seconds);
  store(kRecordMicrosecondsOffset, header.microseconds);
  store(kRecordCapturedLengthOffset, header.capturedLength);
  store(kRecordWireLengthOffset, header.wireLength);
  store(kRecordHeaderLengthOffset, static_cast<std::uint16_t>(kRecordHeaderLength));
}

// The bytes a record of `length` (header and frame) takes in its chunk, padding included.
constexpr std::size_t paddedRecordLength(std::size_t length) {
  return (length + kRecordAlignment - 1) / kRecordAlignment * kRecordAlignment;
}

// The chunks a record of `length` bytes (header and frame) takes: one when it fits, else as many
// as the record runs on through.
constexpr std::size_t chunksForRecord(std::size_t length) {
  return (length + kChunkLength - 1) / kChunkLength;
}
static_assert(chunksForRecord(kRecordHeaderLength + kMaxFrameInOneChunk) == 1);
static_assert(chunksForRecord(kRecordHeaderLength + kMaxSnapshotLength) == 65);

// Beside the stream, on its standard error, the helper tells its capture's counts in this line
// (a printf format: packets received, dropped by the capture library, dropped by the interface).
inline constexpr char kCaptureCountsLine[] =
    "netsiphon: %u packets received, %u dropped by the capture library, %u dropped by the "
    "interface.\n";

}  // namespace wq
