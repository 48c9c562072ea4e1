#include "NodeText.h"

#include "TextFormat.h"

namespace wq {

void appendNodeSummary(std::string& text, const NodeFacts& node, const std::string& sourceText,
                       const std::string& destinationText) {
  text += "Start Time: " + clockText(node.startHit) + "\n";
  text += "Last Hit: " + clockText(node.lastHit) + "\n\n";
  switch (node.protocol) {
    case 1:
      text += "Protocol: ICMP\n\n";
      break;
    case 6:
      text += "Protocol: TCP\n\n";
      break;
    case 17:
      text += "Protocol: UDP\n\n";
      break;
    default:
      break;
  }
  text += "Source IP: " + sourceText +
          "\nSource Port: " + std::to_string(hostOrderPort(node.flow.sport)) +
          "\nDestination IP: " + destinationText +
          "\nDestination Port: " + std::to_string(hostOrderPort(node.flow.dport)) + "\n\n";
  text += "Byte count: " + std::to_string(node.payload.size()) + "\n\n";
}

void appendPayloadText(std::string& text, std::span<const std::uint8_t> payload) {
  constexpr int kLastColumn = 75;
  int column = 0;
  for (std::uint8_t byte : payload) {
    if (byte == '\r') {
      text += '\n';
      column = 0;
    }
    if (byte >= 0x20 && byte <= 0x7E) {
      text += static_cast<char>(byte);
      ++column;
    }
    if (column > kLastColumn) {
      text += '\n';
      column = 0;
    }
  }
}

std::string detailText(const NodeFacts& node, LogSink& log) {
  std::string text;
  const std::string source = dottedAddress(node.flow.saddr, log);
  const std::string destination = dottedAddress(node.flow.daddr, log);
  appendNodeSummary(text, node, source, destination);
  appendPayloadText(text, node.payload);
  return text;
}

}  // namespace wq
