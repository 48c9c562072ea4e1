// SPDX-License-Identifier: GPL-3.0-or-later
// Replays a capture file (pcap or pcapng) at its recorded pace, the packets a filter keeps alone,
// then stays idle; or relays a capture stream so filtered as it arrives. A file or stream that
// cannot be read to its end (cut short, a broken record, a second link type) fails the capture
// once the packets before the fault are out.
#pragma once

#include <optional>
#include <string>

#include "capture/CaptureSource.h"
#include "capture/ReplayClock.h"

namespace netsiphon {

class FileSource final : public CaptureSource {
 public:
  // The interface name is checked as for live capture but has no use here.
  static OpenedSource open(const std::string& path, std::string_view interfaceName,
                           const SourceOptions& options);
  // Reads a capture stream from `stream` as it arrives, unpaced, keeping the packets that match
  // `filter` (empty keeps them all); the source owns the stream, also when it cannot be read.
  // `name` stands for the stream in its failure. Reads the stream's header and first packet before
  // it returns, waiting for them if `stream` waits.
  static OpenedSource openStream(std::FILE* stream, const std::string& name,
                                 const std::string& filter);

  std::optional<std::chrono::nanoseconds> timeUntilDue() const override;
  RelayOutcome relayReady(RecordOutput& output, short events) override;
  // "PATH ends early: " and the capture library's reason, once the file has failed.
  std::string failure() const override { return readError_; }
  void writeSummary(std::FILE* out) const override;

 private:
  FileSource(std::string path, PcapHandle handle, bool paced);
  // The source of an opened handle, unless its link type cannot be handed out or its filter set.
  static OpenedSource make(std::string path, PcapHandle handle, const SourceOptions& options);

  // Reads the next packet into pending_, or clears it at the end of the file.
  void readNext();

  std::string path_;
  PcapHandle handle_;
  PacketRelay relay_;
  pcap_pkthdr* pendingHeader_ = nullptr;
  const u_char* pendingBytes_ = nullptr;
  std::optional<ReplayClock> clock_;
  std::string readError_;
};

}  // namespace netsiphon
