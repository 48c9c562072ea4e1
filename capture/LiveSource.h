// SPDX-License-Identifier: GPL-3.0-or-later
// Live capture on one interface: promiscuous, immediate and non-blocking, so that an idle
// interface never holds up the control channel. A filter is applied in the kernel.
#pragma once

#include <string>

#include <chrono>
#include <optional>

#include "capture/CaptureSource.h"

namespace netsiphon {

class LiveSource final : public CaptureSource {
 public:
  static OpenedSource open(std::string_view interfaceName, std::string_view filter);

  int descriptor() const override { return descriptor_; }
  // The next report of the counts is due within a second.
  std::optional<std::chrono::nanoseconds> timeUntilDue() const override;
  RelayOutcome relayReady(RecordOutput& output, short events) override;
  std::string failure() const override { return failure_; }
  void writeSummary(std::FILE* out) const override;
  // At most once a second, and only when they changed, the summary's count line ("netsiphon: R
  // packets received, D dropped by the capture library, I dropped by the interface."), so that
  // whoever runs the helper learns of lost packets while the capture runs.
  void reportProgress(std::FILE* out) override;

 private:
  LiveSource(PcapHandle handle, int descriptor);

  // The capture fails; the chunk started so far still goes out.
  RelayOutcome fail(RecordOutput& output, std::string reason);

  PcapHandle handle_;
  int descriptor_;
  PacketRelay relay_;
  std::string failure_;
  std::chrono::steady_clock::time_point nextReport_;
  std::optional<pcap_stat> reported_;  // the counts last written
};

// The start-up step that a failed pcap_activate status belongs to.
Step stepOfActivationError(int status);

}  // namespace netsiphon
