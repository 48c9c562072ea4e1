// Replays a capture file (pcap or pcapng) at its recorded pace, then stays idle.
#pragma once

#include <optional>
#include <string>

#include "capture/CaptureSource.h"
#include "capture/ReplayClock.h"

namespace netsiphon {

class FileSource final : public CaptureSource {
 public:
  // The interface name is checked as for live capture but has no use here.
  static OpenedSource open(const std::string& path, std::string_view interfaceName, bool paced);

  std::optional<std::chrono::nanoseconds> timeUntilDue() const override;
  RelayOutcome relayReady(ChunkAssembler& assembler, short events) override;
  // Why the file ended early, if it did.
  std::string failure() const override { return readError_; }
  void writeSummary(std::FILE* out) const override;

 private:
  FileSource(PcapHandle handle, bool paced);

  // Reads the next packet into pending_, or clears it at the end of the file.
  void readNext();

  PcapHandle handle_;
  PacketRelay relay_;
  pcap_pkthdr* pendingHeader_ = nullptr;
  const u_char* pendingBytes_ = nullptr;
  std::optional<ReplayClock> clock_;
  std::string readError_;
};

}  // namespace netsiphon
