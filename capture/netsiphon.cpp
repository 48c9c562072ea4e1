// netsiphon DEVICE INTERFACE: the capture helper of Wirequill.
//
// Reports its start-up steps, then relays captured packets to standard output in the chunks of the
// capture stream (stream/CaptureStreamFormat.h) until the application sends the termination line
// or closes standard input. Progress and failure text goes through buffered standard output,
// which is never flushed before exit, so the application sees it only after the last chunk. The
// exit status is 255 on every path.
//
// DEVICE is a capture file to replay at its recorded pace, or a path under /dev/bpf for live
// capture on INTERFACE. NETSIPHON_NO_PACING=1 replays files as fast as they can be read (for
// benchmarks).
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "capture/CaptureSource.h"
#include "capture/ChunkAssembler.h"
#include "capture/DescriptorSink.h"
#include "capture/Messages.h"
#include "capture/Privileges.h"

namespace {

using namespace netsiphon;

constexpr int kExitStatus = 255;

enum class StopReason {
  kTerminationLine,
  kControlClosed,
  kReaderGone,
  kCaptureFailed,
  kWaitFailed
};
enum class ControlEvent { kNothing, kTerminate, kClosed };

void writeText(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// Writes the start-up steps up to the one that failed, if any; true when the capture may start.
bool reportStartup(std::string_view device, std::string_view interfaceName,
                   const std::optional<StartupProblem>& problem) {
  for (const Step step : kStartupSteps) {
    writeText(attemptLine(step, device, interfaceName));
    if (!problem || problem->step != step) {
      writeText(successLine(step));
    } else if (problem->fatal) {
      writeText(failureLine(step));
      writeText(reasonLine(problem->reason));
      return false;
    } else {
      writeText(reasonLine(problem->reason));
    }
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

std::optional<timespec> pollTimeout(const CaptureSource& source) {
  const std::optional<std::chrono::nanoseconds> wait = source.timeUntilDue();
  if (!wait) {
    return std::nullopt;
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*wait);
  return timespec{static_cast<time_t>(seconds.count()),
                  static_cast<long>((*wait - seconds).count())};
}

// Waits on standard input and the capture source; packets first, then control text.
StopReason relay(CaptureSource& source, ChunkAssembler& assembler) {
  for (;;) {
    // poll ignores a negative descriptor, so a capture file waits on standard input alone.
    std::array<pollfd, 2> waited{{{STDIN_FILENO, POLLIN, 0}, {source.descriptor(), POLLIN, 0}}};
    const std::optional<timespec> timeout = pollTimeout(source);
    if (ppoll(waited.data(), waited.size(), timeout ? &*timeout : nullptr, nullptr) < 0) {
      return StopReason::kWaitFailed;
    }
    switch (source.relayReady(assembler, waited[1].revents)) {
      case RelayOutcome::kContinue:
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

void reportStop(StopReason reason, const CaptureSource& source) {
  switch (reason) {
    case StopReason::kWaitFailed:
      writeText(kWaitFailedLine);
      return;
    case StopReason::kCaptureFailed:
      writeText(kCaptureFailedLine);
      writeText(reasonLine(source.failure()));
      break;
    case StopReason::kTerminationLine:
    case StopReason::kControlClosed:
    case StopReason::kReaderGone:
      break;
  }
  writeText(kClosingLine);
}

}  // namespace

int main(int argc, char** argv) {
  // A buffer far larger than the start-up text keeps that text off the pipe until exit.
  static std::array<char, 1 << 16> textBuffer;
  std::setvbuf(stdout, textBuffer.data(), _IOFBF, textBuffer.size());
  // A reader that has gone shows up as a failed write, not as a fatal signal.
  std::signal(SIGPIPE, SIG_IGN);

  if (argc < 3) {
    writeText(kUsageLine);
    return kExitStatus;
  }
  const std::string_view device = argv[1];
  const std::string_view interfaceName = argv[2];

  OpenedSource opened = openCaptureSource(device, interfaceName, {.paced = pacingRequested()});
  if (!reportStartup(device, interfaceName, opened.problem)) {
    return kExitStatus;
  }
  if (const std::optional<std::string> problem = giveUpPrivileges(std::getenv)) {
    writeText(kPrivilegeDropFailedLine);
    writeText(reasonLine(*problem));
    return kExitStatus;
  }

  DescriptorSink standardOutput(STDOUT_FILENO);
  ChunkAssembler assembler(standardOutput);
  const StopReason reason = relay(*opened.source, assembler);
  reportStop(reason, *opened.source);
  opened.source->writeSummary(stderr);
  return kExitStatus;
}
