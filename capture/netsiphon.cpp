// SPDX-License-Identifier: GPL-3.0-or-later
// netsiphon [--pcap] DEVICE INTERFACE [FILTER]: the capture helper of Wirequill.
//
// Reports its start-up steps, then relays captured packets to standard output in the chunks of the
// capture stream (stream/CaptureStreamFormat.h) until the application sends the termination line
// or closes standard input. Its own text (progress and failures) goes out at exit, after the last
// chunk. While live capture runs, its counts of packets received and dropped go to standard error
// once as it starts, then at most once a second when they change, and once more at exit. The exit
// status is 255 on every path.
//
// With --pcap, the packets go out as a pcap stream instead (PcapStreamWriter.h), a fraction of the
// chunks' bytes for small frames, for a stream that crosses a network; its own text then goes to
// standard error at exit, each line after "netsiphon: ".
//
// netsiphon --can-capture exits 0 when the helper holds the rights live capture needs, 1 otherwise.
// netsiphon --can-capture-pcap answers the same, and exists only where --pcap does: an older
// helper ends with its usage line and status 255.
//
// DEVICE is a path under /dev/bpf for live capture on INTERFACE, or a capture file to replay at
// its recorded pace. FILTER, a libpcap filter expression, keeps only the packets that match it
// (applied in the kernel for live capture); empty or absent keeps them all. Whatever privileges the
// helper was given serve live capture only: a capture file is opened after they are given up, with
// the invoking user's rights. NETSIPHON_NO_PACING=1 replays files as fast as they can be read (for
// benchmarks).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "capture/CaptureSource.h"
#include "capture/ChunkAssembler.h"
#include "capture/DescriptorSink.h"
#include "capture/HelperText.h"
#include "capture/Messages.h"
#include "capture/PcapStreamWriter.h"
#include "capture/Privileges.h"

namespace {

using namespace netsiphon;

constexpr int kExitStatus = 255;
// Records wait this long for more before they are written: under load small frames share a chunk
// or a write, while the first of them still reaches the reader well within a tenth of a second.
constexpr std::chrono::milliseconds kHoldTime{10};

enum class StopReason {
  kTerminationLine,
  kControlClosed,
  kReaderGone,
  kCaptureFailed,
  kWaitFailed
};
enum class ControlEvent { kNothing, kTerminate, kClosed };

// Tells the start-up steps up to the one that failed, if any; true when the capture may start.
bool reportStartup(HelperText& text, std::string_view device, std::string_view interfaceName,
                   std::string_view filter, const std::optional<StartupProblem>& problem) {
  for (const Step step : kStartupSteps) {
    if (step == Step::kFilter && filter.empty()) {
      continue;
    }
    text.add(attemptLine(step, device, interfaceName, filter));
    if (!problem || problem->step != step) {
      text.add(successLine(step));
    } else if (problem->fatal) {
      text.add(failureLine(step));
      text.add(problem->reason);
      return false;
    } else {
      text.add(problem->reason);
    }
  }
  return true;
}

// True when the privileges are gone; otherwise tells why not.
bool dropPrivileges(HelperText& text) {
  const std::optional<std::string> problem = giveUpPrivileges(std::getenv);
  if (problem) {
    text.add(kPrivilegeDropFailedLine);
    text.add(*problem);
  }
  return !problem;
}

// Descriptors inherited from whoever started the helper (through the application, pkexec or a
// shell) have no use here and must not outlive the privileges.
bool closeInheritedDescriptors(HelperText& text) {
  if (close_range(STDERR_FILENO + 1, ~0U, 0) != 0) {
    text.add(kDescriptorsOpenLine);
    text.add(std::strerror(errno));
    return false;
  }
  return true;
}

bool pacingRequested() {
  const char* setting = std::getenv("NETSIPHON_NO_PACING");
  return setting == nullptr || std::string_view(setting) != "1";
}

// Control text has a buffer of its own, so that it can never end up inside a chunk.
ControlEvent readControl() {
  std::array<char, wq::kChunkLength> text{};
  const ssize_t length = read(STDIN_FILENO, text.data(), text.size());
  if (length < 0 && errno == EAGAIN) {  // a wake-up with nothing to read after all
    return ControlEvent::kNothing;
  }
  if (length <= 0) {  // the application is gone: stop rather than wake for nothing
    return ControlEvent::kClosed;
  }
  return isTerminationLine(std::span(text.data(), static_cast<std::size_t>(length)))
             ? ControlEvent::kTerminate
             : ControlEvent::kNothing;
}

std::optional<timespec> pollTimeout(const CaptureSource& source, const RecordOutput& output) {
  std::optional<std::chrono::nanoseconds> wait = source.timeUntilDue();
  if (const std::optional<std::chrono::nanoseconds> held = output.timeUntilDue()) {
    wait = wait ? std::min(*wait, *held) : *held;
  }
  if (!wait) {
    return std::nullopt;
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*wait);
  return timespec{static_cast<time_t>(seconds.count()),
                  static_cast<long>((*wait - seconds).count())};
}

// Waits on standard input and the capture source; packets first, then control text.
StopReason relay(CaptureSource& source, RecordOutput& output) {
  for (;;) {
    // poll ignores a negative descriptor, so a capture file waits on standard input alone.
    std::array<pollfd, 2> waited{{{STDIN_FILENO, POLLIN, 0}, {source.descriptor(), POLLIN, 0}}};
    const std::optional<timespec> timeout = pollTimeout(source, output);
    if (ppoll(waited.data(), waited.size(), timeout ? &*timeout : nullptr, nullptr) < 0) {
      return StopReason::kWaitFailed;
    }
    switch (source.relayReady(output, waited[1].revents)) {
      case RelayOutcome::kContinue:
        source.reportProgress(stderr);
        break;
      case RelayOutcome::kReaderGone:
        return StopReason::kReaderGone;
      case RelayOutcome::kCaptureFailed:
        return StopReason::kCaptureFailed;
    }
    if (waited[0].revents != 0) {
      switch (readControl()) {
        case ControlEvent::kNothing:
          break;
        case ControlEvent::kTerminate:
          return StopReason::kTerminationLine;
        case ControlEvent::kClosed:
          return StopReason::kControlClosed;
      }
    }
  }
}

void reportStop(HelperText& text, StopReason reason, const CaptureSource& source) {
  switch (reason) {
    case StopReason::kWaitFailed:
      text.add(kWaitFailedLine);
      return;
    case StopReason::kCaptureFailed:
      text.add(kCaptureFailedLine);
      text.add(source.failure());
      break;
    case StopReason::kTerminationLine:
    case StopReason::kControlClosed:
    case StopReason::kReaderGone:
      break;
  }
  text.add(kClosingLine);
}

// `arguments` are DEVICE INTERFACE [FILTER].
void run(HelperText& text, std::span<char*> arguments, bool pcap) {
  if (!closeInheritedDescriptors(text)) {
    return;
  }
  if (arguments.size() < 2) {
    text.add(kUsageLine);
    return;
  }
  const std::string_view device = arguments[0];
  const std::string_view interfaceName = arguments[1];
  const std::string_view filter = arguments.size() > 2 ? arguments[2] : "";
  const bool live = isLiveDevice(device);
  if (!live && !dropPrivileges(text)) {
    return;
  }
  OpenedSource opened = openCaptureSource(
      device, interfaceName, {.paced = pacingRequested(), .filter = std::string(filter)});
  if (!reportStartup(text, device, interfaceName, filter, opened.problem)) {
    return;
  }
  if (live && !dropPrivileges(text)) {
    return;
  }
  DescriptorSink standardOutput(STDOUT_FILENO);
  ChunkAssembler chunks(standardOutput);
  PcapStreamWriter pcapStream(standardOutput);
  RecordOutput& output = pcap ? static_cast<RecordOutput&>(pcapStream) : chunks;
  output.holdPartialWrites(kHoldTime);
  opened.source->reportProgress(stderr);  // capture has started
  // A pcap stream's header goes out at once, so that its reader knows the stream has begun.
  const StopReason reason = output.send() ? relay(*opened.source, output) : StopReason::kReaderGone;
  (void)output.send();  // records still held go out before the helper's text
  reportStop(text, reason, *opened.source);
  opened.source->writeSummary(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view first = argc > 1 ? argv[1] : "";
  // Asked before a capture is started elsewhere (over SSH, say): may this helper capture live,
  // and can it write a pcap stream?
  if (argc == 2 && (first == "--can-capture" || first == "--can-capture-pcap")) {
    return holdsCaptureRights() ? 0 : 1;
  }
  // A reader that has gone shows up as a failed write, not as a fatal signal.
  std::signal(SIGPIPE, SIG_IGN);
  const bool pcap = first == "--pcap";
  HelperText text;
  run(text, std::span(argv, static_cast<std::size_t>(argc)).subspan(pcap ? 2 : 1), pcap);
  // Text after a pcap stream would be read as a record cut short.
  pcap ? text.writeTo(STDERR_FILENO, "netsiphon: ") : text.writeTo(STDOUT_FILENO);
  return kExitStatus;
}
