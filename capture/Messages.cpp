#include "capture/Messages.h"

#include <algorithm>

#include "capture/ChunkAssembler.h"

namespace netsiphon {

std::string attemptLine(Step step, std::string_view device, std::string_view interfaceName) {
  switch (step) {
    case Step::kOpen:
      return "Attempting to open Berkeley Packet Filter device: " + std::string(device) + "...\n";
    case Step::kInterface:
      return "Attempting to set Berkeley Packet Filter interface: " + std::string(interfaceName) +
             "...\n";
    case Step::kBufferLength:
      return "Attempting to set Berkeley Packet Filter packet length...\n";
    case Step::kPromiscuous:
      return "Attempting to set promiscuous mode...\n";
    case Step::kImmediate:
      return "Attempting to set immediate mode...\n";
  }
  return {};
}

std::string successLine(Step step) {
  switch (step) {
    case Step::kOpen:
      return "Successfully opened Berkeley Packet Filter.\n";
    case Step::kInterface:
      return "Successfully set Berkeley Packet Filter interface.\n";
    case Step::kBufferLength:
      return "Successfully set Berkeley Packet Filter packet length to " +
             std::to_string(wq::kChunkLength) + ".\n";
    case Step::kPromiscuous:
      return "Successfully set promiscuous mode.\n";
    case Step::kImmediate:
      return "Successfully set immediate mode.\n";
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
  }
  return {};
}

std::string reasonLine(std::string_view reason) {
  std::string line(reason);
  if (line.empty() || line.back() != '\n') {
    line += '\n';
  }
  return line;
}

bool isTerminationLine(std::span<const char> controlText) {
  return std::ranges::equal(controlText, kTerminationLine);
}

}  // namespace netsiphon
