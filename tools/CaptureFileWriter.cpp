// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/CaptureFileWriter.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "stream/CaptureStreamFormat.h"

namespace wq::testing {

void writeCaptureFile(const std::string& path, int linkType, const std::vector<FilePacket>& packets,
                      int precision) {
  const std::unique_ptr<pcap_t, decltype(&pcap_close)> dead(
      pcap_open_dead_with_tstamp_precision(linkType, static_cast<int>(kMaxSnapshotLength),
                                           precision),
      pcap_close);
  const std::unique_ptr<pcap_dumper_t, decltype(&pcap_dump_close)> dumper(
      pcap_dump_open(dead.get(), path.c_str()), pcap_dump_close);
  if (!dumper) {
    throw std::runtime_error("cannot write " + path + ": " + pcap_geterr(dead.get()));
  }
  for (const FilePacket& packet : packets) {
    pcap_pkthdr header{};
    header.ts.tv_sec = packet.seconds;
    header.ts.tv_usec = packet.fraction;
    header.caplen = static_cast<bpf_u_int32>(packet.bytes.size());
    header.len = std::max(packet.wireLength, header.caplen);
    pcap_dump(reinterpret_cast<u_char*>(dumper.get()), &header, packet.bytes.data());
  }
  if (pcap_dump_flush(dumper.get()) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}

bool writeCaptureFile(const std::string& path, const std::vector<TimedFrame>& frames) {
  std::vector<FilePacket> packets;
  for (const TimedFrame& timed : frames) {
    const auto micros = static_cast<std::int64_t>(timed.seconds * 1e6 + 0.5);
    packets.push_back({static_cast<std::uint32_t>(kCaptureStart + micros / 1000000),
                       static_cast<std::uint32_t>(micros % 1000000), timed.frame,
                       static_cast<std::uint32_t>(timed.wireLength)});
  }
  try {
    writeCaptureFile(path, DLT_EN10MB, packets);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace wq::testing
