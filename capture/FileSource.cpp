// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/FileSource.h"

#include <algorithm>

namespace netsiphon {
namespace {

// Bounds the packets relayed per pass, so that control text is read even when pacing is off.
constexpr int kMaxPacketsPerPass = 1024;

Timestamp timestampOf(const pcap_pkthdr& header) {
  return {static_cast<std::uint32_t>(header.ts.tv_sec),
          static_cast<std::uint32_t>(header.ts.tv_usec)};
}

}  // namespace

OpenedSource FileSource::open(const std::string& path, std::string_view interfaceName,
                              const SourceOptions& options) {
  char error[PCAP_ERRBUF_SIZE] = {};
  // Asking for microseconds makes libpcap scale the time stamps of nanosecond files.
  PcapHandle handle(
      pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, error));
  if (!handle) {
    return {nullptr, StartupProblem{Step::kOpen, error}};
  }
  if (const std::optional<std::string> problem = interfaceNameProblem(interfaceName)) {
    return {nullptr, StartupProblem{Step::kInterface, *problem}};
  }
  return make(path, std::move(handle), options);
}

OpenedSource FileSource::openStream(std::FILE* stream, const std::string& name,
                                    const std::string& filter) {
  char error[PCAP_ERRBUF_SIZE] = {};
  PcapHandle handle(
      pcap_fopen_offline_with_tstamp_precision(stream, PCAP_TSTAMP_PRECISION_MICRO, error));
  if (!handle) {
    std::fclose(stream);  // a handle that was made closes it instead
    return {nullptr, StartupProblem{Step::kOpen, error}};
  }
  return make(name, std::move(handle), {.paced = false, .filter = filter});
}

OpenedSource FileSource::make(std::string path, PcapHandle handle, const SourceOptions& options) {
  if (std::optional<StartupProblem> problem = linkTypeProblem(pcap_datalink(handle.get()))) {
    return {nullptr, std::move(problem)};
  }
  // Set before the first packet is read: the pace starts at the first packet kept.
  if (std::optional<StartupProblem> problem = filterProblem(handle.get(), options.filter)) {
    return {nullptr, std::move(problem)};
  }
  return {std::unique_ptr<CaptureSource>(
              new FileSource(std::move(path), std::move(handle), options.paced)),
          std::nullopt};
}

FileSource::FileSource(std::string path, PcapHandle handle, bool paced)
    : path_(std::move(path)), handle_(std::move(handle)), relay_(pcap_datalink(handle_.get())) {
  readNext();
  if (pendingHeader_ != nullptr) {
    clock_.emplace(timestampOf(*pendingHeader_), ReplayClock::Clock::now(), paced);
  }
}

void FileSource::readNext() {
  const int result = pcap_next_ex(handle_.get(), &pendingHeader_, &pendingBytes_);
  if (result == 1) {
    return;
  }
  if (result == PCAP_ERROR) {
    readError_ = path_ + " ends early: " + pcap_geterr(handle_.get());
  }
  pendingHeader_ = nullptr;
  pendingBytes_ = nullptr;
}

std::optional<std::chrono::nanoseconds> FileSource::timeUntilDue() const {
  if (pendingHeader_ == nullptr) {
    // A file that could not be read to its end has its failure due at once.
    return readError_.empty() ? std::nullopt : std::optional(std::chrono::nanoseconds::zero());
  }
  const auto remaining = clock_->dueTime(timestampOf(*pendingHeader_)) - ReplayClock::Clock::now();
  return std::max(std::chrono::nanoseconds::zero(),
                  std::chrono::duration_cast<std::chrono::nanoseconds>(remaining));
}

RelayOutcome FileSource::relayReady(RecordOutput& output, short /*events*/) {
  const auto now = ReplayClock::Clock::now();
  for (int relayed = 0; relayed < kMaxPacketsPerPass && pendingHeader_ != nullptr &&
                        clock_->dueTime(timestampOf(*pendingHeader_)) <= now;
       ++relayed) {
    if (!relay_.relay(output, *pendingHeader_, pendingBytes_)) {
      return RelayOutcome::kReaderGone;
    }
    readNext();
  }
  if (!output.flush()) {
    return RelayOutcome::kReaderGone;
  }
  // What was read before the failure has gone out first.
  return pendingHeader_ == nullptr && !readError_.empty() ? RelayOutcome::kCaptureFailed
                                                          : RelayOutcome::kContinue;
}

void FileSource::writeSummary(std::FILE* out) const {
  relay_.writeSummary(out);
}

}  // namespace netsiphon
