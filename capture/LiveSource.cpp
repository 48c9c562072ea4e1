// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/LiveSource.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "stream/CaptureStreamFormat.h"

namespace netsiphon {
namespace {

// Bounds the packets relayed per wake-up, so that control text is read even under heavy traffic.
constexpr int kMaxPacketsPerPass = 4096;
// Room in the kernel for bursts that arrive while the helper writes to a slow reader: at 800,000
// small frames a second the application now and then pauses for longer than 8 MiB lasts (when its
// node list grows, say), and with 8 MiB a few hundred of them were lost in some runs.
constexpr int kKernelBufferBytes = 32 << 20;
// A packet waits at most this long in the kernel's capture buffer before it can be read.
constexpr int kDeliveryTimeoutMs = 1;
// The counts of a running capture are told at most this often.
constexpr std::chrono::seconds kReportInterval{1};

void writeCounts(std::FILE* out, const pcap_stat& counts) {
  std::fprintf(out, wq::kCaptureCountsLine, counts.ps_recv, counts.ps_drop, counts.ps_ifdrop);
}

struct DispatchContext {
  PacketRelay& relay;
  RecordOutput& output;
  pcap_t* handle;
  bool readerGone = false;
};

void relayCapturedPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  auto& context = *reinterpret_cast<DispatchContext*>(user);
  if (!context.relay.relay(context.output, *header, bytes)) {
    context.readerGone = true;
    pcap_breakloop(context.handle);
  }
}

// libpcap leaves its error text empty for some statuses.
std::string reasonFor(pcap_t* handle, int status) {
  const std::string text = pcap_geterr(handle);
  return text.empty() ? pcap_statustostr(status) : text;
}

StartupProblem problemAt(Step step, pcap_t* handle, int status) {
  return {step, reasonFor(handle, status)};
}

// Asks for whole frames, promiscuous mode and immediate delivery.
std::optional<StartupProblem> configure(pcap_t* handle) {
  if (const int status = pcap_set_snaplen(handle, static_cast<int>(wq::kMaxSnapshotLength));
      status != 0) {
    return problemAt(Step::kBufferLength, handle, status);
  }
  if (const int status = pcap_set_buffer_size(handle, kKernelBufferBytes); status != 0) {
    return problemAt(Step::kBufferLength, handle, status);
  }
  if (const int status = pcap_set_promisc(handle, 1); status != 0) {
    return problemAt(Step::kPromiscuous, handle, status);
  }
  // Immediate delivery, within a millisecond: libpcap's own immediate mode gives each packet a
  // slot of the largest frame's size (64 KiB on loopback, or where the card joins segments), so
  // that 32 MiB hold a few hundred packets and a pause of a few milliseconds loses some; its
  // packed buffer, retired after a millisecond, holds tens of thousands of small ones.
  if (const int status = pcap_set_timeout(handle, kDeliveryTimeoutMs); status != 0) {
    return problemAt(Step::kImmediate, handle, status);
  }
  return std::nullopt;
}

// A warning leaves the capture active; only a missing promiscuous mode is worth reporting.
std::optional<StartupProblem> activationWarning(pcap_t* handle, int status) {
  if (status != PCAP_WARNING_PROMISC_NOTSUP) {
    return std::nullopt;
  }
  return StartupProblem{Step::kPromiscuous,
                        "Capturing without promiscuous mode: " + reasonFor(handle, status), false};
}

std::string descriptorError(int descriptor) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
    return std::strerror(error);
  }
  return "The capture descriptor reported an error.";
}

}  // namespace

Step stepOfActivationError(int status) {
  switch (status) {
    case PCAP_ERROR_NO_SUCH_DEVICE:
    case PCAP_ERROR_IFACE_NOT_UP:
    case PCAP_ERROR_RFMON_NOTSUP:
      return Step::kInterface;
    case PCAP_ERROR_PROMISC_PERM_DENIED:
      return Step::kPromiscuous;
    case PCAP_ERROR_CANTSET_TSTAMP_TYPE:
    case PCAP_ERROR_TSTAMP_PRECISION_NOTSUP:
      return Step::kImmediate;
    default:  // no capture rights, or a failure with no more specific step
      return Step::kOpen;
  }
}

OpenedSource LiveSource::open(std::string_view interfaceName, std::string_view filter) {
  if (const std::optional<std::string> problem = liveInterfaceProblem(interfaceName)) {
    return {nullptr, StartupProblem{Step::kInterface, *problem}};
  }
  char error[PCAP_ERRBUF_SIZE] = {};
  PcapHandle handle(pcap_create(std::string(interfaceName).c_str(), error));
  if (!handle) {
    return {nullptr, StartupProblem{Step::kOpen, error}};
  }
  if (std::optional<StartupProblem> problem = configure(handle.get())) {
    return {nullptr, std::move(problem)};
  }
  const int status = pcap_activate(handle.get());
  if (status < 0) {
    return {nullptr, problemAt(stepOfActivationError(status), handle.get(), status)};
  }
  if (std::optional<StartupProblem> problem = linkTypeProblem(pcap_datalink(handle.get()))) {
    return {nullptr, std::move(problem)};
  }
  if (pcap_setnonblock(handle.get(), 1, error) != 0) {
    return {nullptr, StartupProblem{Step::kImmediate, error}};
  }
  const int descriptor = pcap_get_selectable_fd(handle.get());
  if (descriptor < 0) {
    return {nullptr, StartupProblem{Step::kImmediate, "The capture has no descriptor to wait on."}};
  }
  if (std::optional<StartupProblem> problem = filterProblem(handle.get(), filter)) {
    return {nullptr, std::move(problem)};
  }
  std::optional<StartupProblem> warning = activationWarning(handle.get(), status);
  return {std::unique_ptr<CaptureSource>(new LiveSource(std::move(handle), descriptor)),
          std::move(warning)};
}

LiveSource::LiveSource(PcapHandle handle, int descriptor)
    : handle_(std::move(handle)),
      descriptor_(descriptor),
      relay_(pcap_datalink(handle_.get())),
      nextReport_(std::chrono::steady_clock::now() + kReportInterval) {}

std::optional<std::chrono::nanoseconds> LiveSource::timeUntilDue() const {
  return std::max(std::chrono::nanoseconds(0), nextReport_ - std::chrono::steady_clock::now());
}

void LiveSource::reportProgress(std::FILE* out) {
  const auto now = std::chrono::steady_clock::now();
  if (reported_ && now < nextReport_) {
    return;
  }
  nextReport_ = now + kReportInterval;
  pcap_stat counts{};
  if (pcap_stats(handle_.get(), &counts) != 0 ||
      (reported_ && counts.ps_recv == reported_->ps_recv && counts.ps_drop == reported_->ps_drop &&
       counts.ps_ifdrop == reported_->ps_ifdrop)) {
    return;
  }
  reported_ = counts;
  writeCounts(out, counts);
  std::fflush(out);
}

RelayOutcome LiveSource::relayReady(RecordOutput& output, short events) {
  DispatchContext context{relay_, output, handle_.get()};
  const int relayed = pcap_dispatch(handle_.get(), kMaxPacketsPerPass, relayCapturedPacket,
                                    reinterpret_cast<u_char*>(&context));
  if (context.readerGone) {
    return RelayOutcome::kReaderGone;
  }
  if (relayed == PCAP_ERROR) {
    return fail(output, pcap_geterr(handle_.get()));
  }
  if (relayed == 0 && (events & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
    return fail(output, descriptorError(descriptor_));
  }
  // Whatever one wake-up brought goes out now rather than waiting for a full chunk.
  return output.flush() ? RelayOutcome::kContinue : RelayOutcome::kReaderGone;
}

RelayOutcome LiveSource::fail(RecordOutput& output, std::string reason) {
  failure_ = std::move(reason);
  return output.flush() ? RelayOutcome::kCaptureFailed : RelayOutcome::kReaderGone;
}

void LiveSource::writeSummary(std::FILE* out) const {
  if (pcap_stat counts{}; pcap_stats(handle_.get(), &counts) == 0) {
    writeCounts(out, counts);
  }
  relay_.writeSummary(out);
}

}  // namespace netsiphon
