// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/Messages.h"

#include <algorithm>

#include "stream/CaptureStreamFormat.h"

namespace netsiphon {
namespace {

// Every attempt line starts with the first word, every success line with the second.
constexpr std::string_view kAttempting = "Attempting ";
constexpr std::string_view kSuccessfully = "Successfully ";

std::string attempting(std::string_view rest) {
  return std::string(kAttempting) + std::string(rest);
}

std::string successfully(std::string_view rest) {
  return std::string(kSuccessfully) + std::string(rest);
}

}  // namespace

std::string attemptLine(Step step, std::string_view device, std::string_view interfaceName,
                        std::string_view filter) {
  switch (step) {
    case Step::kOpen:
      return attempting("to open Berkeley Packet Filter device: " + std::string(device) + "...\n");
    case Step::kInterface:
      return attempting("to set Berkeley Packet Filter interface: " + std::string(interfaceName) +
                        "...\n");
    case Step::kBufferLength:
      return attempting("to set Berkeley Packet Filter packet length...\n");
    case Step::kPromiscuous:
      return attempting("to set promiscuous mode...\n");
    case Step::kImmediate:
      return attempting("to set immediate mode...\n");
    case Step::kFilter:
      return attempting("to set capture filter: " + std::string(filter) + "...\n");
  }
  return {};
}

std::string successLine(Step step) {
  switch (step) {
    case Step::kOpen:
      return successfully("opened Berkeley Packet Filter.\n");
    case Step::kInterface:
      return successfully("set Berkeley Packet Filter interface.\n");
    case Step::kBufferLength:
      return successfully("set Berkeley Packet Filter packet length to " +
                          std::to_string(wq::kChunkLength) + ".\n");
    case Step::kPromiscuous:
      return successfully("set promiscuous mode.\n");
    case Step::kImmediate:
      return successfully("set immediate mode.\n");
    case Step::kFilter:
      return successfully("set capture filter.\n");
  }
  return {};
}

std::string failureLine(Step step) {
  switch (step) {
    case Step::kOpen:
      return "Could not open Berkeley Packet Filter!\n";
    case Step::kInterface:
      return "Could not set Berkeley Packet Filter interface!\n";
    case Step::kBufferLength:
      return "Could not set Berkeley Packet Filter packet length!\n";
    case Step::kPromiscuous:
      return "Could not set promiscuous mode!\n";
    case Step::kImmediate:
      return "Could not set immediate mode!\n";
    case Step::kFilter:
      return "Could not set capture filter!\n";
  }
  return {};
}

bool isProgressLine(std::string_view line) {
  const std::string_view closing = kClosingLine.substr(0, kClosingLine.size() - 1);
  return line.starts_with(kAttempting) || line.starts_with(kSuccessfully) || line == closing;
}

bool isTerminationLine(std::span<const char> controlText) {
  return std::ranges::equal(controlText, kTerminationLine);
}

}  // namespace netsiphon
