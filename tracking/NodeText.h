#pragma once
// The texts that describe one node: the node summary and the payload as printable text. The
// detail pane and the report both build on these.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "WQMConnection.h"

namespace wq {

// "Start Time: ...\nLast Hit: ...\n\nProtocol: ...\n\nSource IP: ...\n...Byte count: N\n\n" with
// the two address texts given by the caller (dotted, or host names in a report).
void appendNodeSummary(std::string& text, const NodeFacts& node, std::string_view sourceText,
                       std::string_view destinationText);

// The payload as printable characters: bytes from space to tilde as they are, a line break for
// each carriage return and after every 76 characters; every other byte is left out.
void appendPayloadText(std::string& text, std::span<const std::uint8_t> payload);

// What the detail pane shows: the node summary with dotted addresses, then the payload text.
std::string detailText(const NodeFacts& node, LogSink& log);

}  // namespace wq
