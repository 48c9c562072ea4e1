// Live capture on one interface: promiscuous, immediate and non-blocking, so that an idle
// interface never holds up the control channel. A filter is applied in the kernel.
#pragma once

#include <string>

#include "capture/CaptureSource.h"

namespace netsiphon {

class LiveSource final : public CaptureSource {
 public:
  static OpenedSource open(std::string_view interfaceName, std::string_view filter);

  int descriptor() const override { return descriptor_; }
  RelayOutcome relayReady(ChunkAssembler& assembler, short events) override;
  std::string failure() const override { return failure_; }
  void writeSummary(std::FILE* out) const override;

 private:
  LiveSource(PcapHandle handle, int descriptor);

  // The capture fails; the chunk started so far still goes out.
  RelayOutcome fail(ChunkAssembler& assembler, std::string reason);

  PcapHandle handle_;
  int descriptor_;
  PacketRelay relay_;
  std::string failure_;
};

// The start-up step that a failed pcap_activate status belongs to.
Step stepOfActivationError(int status);

}  // namespace netsiphon
