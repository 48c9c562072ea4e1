// SPDX-License-Identifier: GPL-3.0-or-later
// Capture files (pcap) written with libpcap from frames built byte by byte.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/CaptureBuilder.h"

namespace wq::testing {

struct FilePacket {
  std::uint32_t seconds = 0;
  std::uint32_t fraction = 0;  // microseconds, or nanoseconds in a nanosecond file
  Bytes bytes;
  // The packet's length on the wire; when it is longer than `bytes`, the record was cut short.
  std::uint32_t wireLength = 0;
};

// Writes a pcap file of `linkType`; throws std::runtime_error when it cannot be written.
void writeCaptureFile(const std::string& path, int linkType, const std::vector<FilePacket>& packets,
                      int precision = PCAP_TSTAMP_PRECISION_MICRO);

struct TimedFrame {
  double seconds;  // after the first record
  Bytes frame;
  std::size_t wireLength = 0;  // as in FilePacket
};

// Writes an Ethernet capture file (microseconds) from kCaptureStart on; false when it cannot be
// written.
bool writeCaptureFile(const std::string& path, const std::vector<TimedFrame>& frames);

}  // namespace wq::testing
