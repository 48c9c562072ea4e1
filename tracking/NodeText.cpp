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
  // Each byte gives at most two characters: itself and a line break. Every step writes its
  // character and moves on only when it applies, which keeps binary payloads free of branches
  // that cannot be predicted; the last such write needs one more byte of room.
  const std::size_t start = text.size();
  text.resize(start + 2 * payload.size() + 1);
  char* out = text.data() + start;
  int column = 0;
  for (const std::uint8_t byte : payload) {
    const bool carriageReturn = byte == '\r';
    *out = '\n';
    out += carriageReturn;
    column = carriageReturn ? 0 : column;

    const bool printable = static_cast<std::uint8_t>(byte - 0x20) <= 0x7E - 0x20;
    *out = static_cast<char>(byte);
    out += printable;
    column += printable;

    const bool lineFull = column > kLastColumn;
    *out = '\n';
    out += lineFull;
    column = lineFull ? 0 : column;
  }
  text.resize(static_cast<std::size_t>(out - text.data()));
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
