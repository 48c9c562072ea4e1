// Capture files written with libpcap for the helper to replay, in a folder removed afterwards.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace netsiphon::testing {

struct FilePacket {
  std::uint32_t seconds = 0;
  std::uint32_t fraction = 0;  // microseconds, or nanoseconds in a nanosecond file
  std::vector<std::uint8_t> bytes;
  std::uint32_t wire_length = 0;  // 0: as many as bytes
};

// `count` bytes that differ from packet to packet, so that mixed-up records show.
std::vector<std::uint8_t> patternedBytes(std::size_t count, std::uint8_t seed);

// A folder of its own for one test, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void writeCaptureFile(const std::string& path, int link_type,
                      const std::vector<FilePacket>& packets,
                      int precision = PCAP_TSTAMP_PRECISION_MICRO);

}  // namespace netsiphon::testing
