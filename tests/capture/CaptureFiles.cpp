#include "CaptureFiles.h"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <stdexcept>

namespace netsiphon::testing {

std::vector<std::uint8_t> patternedBytes(std::size_t count, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t index = 0; index < count; ++index) {
    bytes[index] = static_cast<std::uint8_t>(index * 7 + seed);
  }
  return bytes;
}

ScratchFolder::ScratchFolder() {
  static std::atomic<int> serial = 0;
  path_ = std::filesystem::temp_directory_path() /
          ("netsiphon-test-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
  std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeCaptureFile(const std::string& path, int link_type,
                      const std::vector<FilePacket>& packets, int precision) {
  const std::unique_ptr<pcap_t, decltype(&pcap_close)> dead(
      pcap_open_dead_with_tstamp_precision(link_type, 65535, precision), pcap_close);
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
    header.len = packet.wire_length != 0 ? packet.wire_length : header.caplen;
    pcap_dump(reinterpret_cast<u_char*>(dumper.get()), &header, packet.bytes.data());
  }
}

}  // namespace netsiphon::testing
