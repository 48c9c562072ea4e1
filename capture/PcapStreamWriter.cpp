// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/PcapStreamWriter.h"

#include <pcap/dlt.h>

#include <algorithm>
#include <cstring>

#include "stream/CaptureStreamFormat.h"

namespace netsiphon {

namespace {

// The pcap file header's fields, in the writer's byte order, which its magic number tells.
constexpr std::uint32_t kMagicMicroseconds = 0xa1b2c3d4;
constexpr std::uint16_t kMajorVersion = 2;
constexpr std::uint16_t kMinorVersion = 4;
constexpr std::size_t kRecordHeaderLength = 16;

}  // namespace

template <class Value>
void PcapStreamWriter::put(Value value) {
  const std::size_t at = pending_.size();
  pending_.resize(at + sizeof value);
  std::memcpy(pending_.data() + at, &value, sizeof value);
}

PcapStreamWriter::PcapStreamWriter(ByteSink& sink) : sink_(sink) {
  pending_.reserve(kWriteLength + kRecordHeaderLength + wq::kMaxSnapshotLength);
  put(kMagicMicroseconds);
  put(kMajorVersion);
  put(kMinorVersion);
  put(std::int32_t{0});   // time zone offset: time stamps are UTC
  put(std::uint32_t{0});  // accuracy of the time stamps
  put(static_cast<std::uint32_t>(wq::kMaxSnapshotLength));
  put(static_cast<std::uint32_t>(DLT_EN10MB));
}

bool PcapStreamWriter::add(Timestamp time, const Frame& frame) {
  if (pending_.size() >= kWriteLength && !send()) {
    return false;
  }
  beforeAdding();
  const std::size_t captured =
      std::min(frame.head.size() + frame.body.size(), wq::kMaxSnapshotLength);
  const std::size_t fromHead = std::min(frame.head.size(), captured);
  put(time.seconds);
  put(time.microseconds);
  put(static_cast<std::uint32_t>(captured));
  put(frame.wireLength);
  pending_.insert(pending_.end(), frame.head.begin(), frame.head.begin() + fromHead);
  pending_.insert(pending_.end(), frame.body.begin(), frame.body.begin() + (captured - fromHead));
  return true;
}

bool PcapStreamWriter::send() {
  if (pending_.empty()) {
    return true;
  }
  const bool delivered = sink_.deliver(pending_);
  pending_.clear();
  return delivered;
}

}  // namespace netsiphon
