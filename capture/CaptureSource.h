// SPDX-License-Identifier: GPL-3.0-or-later
// The capture-source layer: a capture file replayed at its recorded pace, or live capture on an
// interface, both handing their packets to a RecordOutput.
#pragma once

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capture/Messages.h"
#include "capture/RecordOutput.h"

namespace netsiphon {

enum class RelayOutcome { kContinue, kReaderGone, kCaptureFailed };

// The start-up step that went wrong and why. Not fatal means the step went on without what it
// asked for, and the reason replaces its success line.
struct StartupProblem {
  Step step = Step::kOpen;
  std::string reason;
  bool fatal = true;
};

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;

  // The descriptor that becomes readable when packets arrive, or -1 when there is none to wait on.
  virtual int descriptor() const { return -1; }
  // How long the relay loop may wait before packets are due; nothing means until woken.
  virtual std::optional<std::chrono::nanoseconds> timeUntilDue() const { return std::nullopt; }
  // Relays the packets that are ready and flushes the output. `events` are the poll
  // events seen on descriptor().
  virtual RelayOutcome relayReady(RecordOutput& output, short events) = 0;
  // Why the capture failed, after relayReady said so.
  virtual std::string failure() const { return {}; }
  // Writes what happened to the packets (skipped ones, counts) for whoever runs the helper.
  virtual void writeSummary(std::FILE* out) const = 0;
  // Writes the capture's counts while it runs: at once the first time, which tells that capture
  // has started, then when they are due and have changed.
  virtual void reportProgress(std::FILE* /*out*/) {}
};

struct SourceOptions {
  // Replays capture files as fast as they can be read, for benchmarks.
  bool paced = true;
  // Takes capture files only, never a device (reading a file directly).
  bool filesOnly = false;
  // A libpcap filter expression for the packets to keep; empty keeps them all.
  std::string filter{};
};

struct OpenedSource {
  std::unique_ptr<CaptureSource> source;
  std::optional<StartupProblem> problem;
};

// Whether `device` asks for live capture: a path under /dev/bpf. Any other path names a capture
// file.
bool isLiveDevice(std::string_view device);

// Captures live on the interface for a path under /dev/bpf (unless only files are taken), and
// replays any other path that names a regular file as a capture file, keeping only the packets
// that match the filter. The source is there unless the problem is fatal.
OpenedSource openCaptureSource(std::string_view device, std::string_view interfaceName,
                               const SourceOptions& options);

// What is wrong with an interface name that cannot be bound, if anything.
std::optional<std::string> interfaceNameProblem(std::string_view interfaceName);
// What keeps live capture off an interface: only the machine's network interfaces and "any" are
// captured on, never the capture library's other devices (netfilter queues, the system bus, USB).
std::optional<std::string> liveInterfaceProblem(std::string_view interfaceName);

// An unsupported link type, as a fatal problem of the interface step.
std::optional<StartupProblem> linkTypeProblem(int linkType);

// Sets a filter that is given on the handle; libpcap's message as a problem of the filter step.
std::optional<StartupProblem> filterProblem(pcap_t* handle, std::string_view filter);

struct PcapCloser {
  void operator()(pcap_t* handle) const { pcap_close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

// Hands one captured packet to the output in Ethernet framing, counting those it must skip.
class PacketRelay {
 public:
  explicit PacketRelay(int linkType) : linkType_(linkType) {}

  // False once the output's sink has refused its bytes.
  bool relay(RecordOutput& output, const pcap_pkthdr& header, const u_char* bytes);
  std::uint64_t skipped() const { return skipped_; }
  void writeSummary(std::FILE* out) const;

 private:
  int linkType_;
  std::uint64_t skipped_ = 0;
};

}  // namespace netsiphon
