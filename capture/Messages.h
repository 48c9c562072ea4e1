// SPDX-License-Identifier: GPL-3.0-or-later
// The helper's progress and failure lines, and the control text it obeys.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace netsiphon {

// The start-up steps, in the order they are reported. The filter step is reported only when a
// filter is given.
enum class Step { kOpen, kInterface, kBufferLength, kPromiscuous, kImmediate, kFilter };
inline constexpr std::array kStartupSteps = {Step::kOpen,         Step::kInterface,
                                             Step::kBufferLength, Step::kPromiscuous,
                                             Step::kImmediate,    Step::kFilter};

std::string attemptLine(Step step, std::string_view device, std::string_view interfaceName,
                        std::string_view filter);
std::string successLine(Step step);
std::string failureLine(Step step);

inline constexpr std::string_view kUsageLine =
    "Usage: netsiphon [--pcap] DEVICE INTERFACE [FILTER]\n";
inline constexpr std::string_view kClosingLine = "Closing /dev/bpf device.\n";
inline constexpr std::string_view kWaitFailedLine = "IO Blocking error.\n";
inline constexpr std::string_view kCaptureFailedLine =
    "Could not read from Berkeley Packet Filter!\n";
inline constexpr std::string_view kPrivilegeDropFailedLine = "Could not give up root privileges!\n";
inline constexpr std::string_view kDescriptorsOpenLine =
    "Could not close the descriptors inherited from the application!\n";

// Whether one line of the helper's text, without its line end, tells of progress (an attempted or
// successful start-up step, or the closing line) rather than of what went wrong.
bool isProgressLine(std::string_view line);

// The application stops the helper with these bare characters, sent once.
inline constexpr std::string_view kTerminationLine = "Terminating Wirequill";

// Whether one read of control text is the termination line and nothing else.
bool isTerminationLine(std::span<const char> controlText);

}  // namespace netsiphon
