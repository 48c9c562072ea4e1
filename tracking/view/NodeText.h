// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The texts that describe one node: the node summary and the payload as printable text. The
// detail pane and the report both build on these.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tracking/nodes/WQMConnection.h"
#include "tracking/view/PaneText.h"

namespace wq {

// The texts a summary shows for a node's times and addresses, as the caller has them: clock
// times, and address texts or host names.
struct SummaryTexts {
  std::string_view startHit;
  std::string_view lastHit;
  std::string_view source;
  std::string_view destination;
};

// "Start Time: ...\nLast Hit: ...\n\nProtocol: ...\n\nSource IP: ...\n...Byte count: N\n\n".
void appendNodeSummary(std::string& text, const NodeFacts& node, const SummaryTexts& texts);

// The payload text's lines are at most this long.
inline constexpr int kPayloadLineLength = 76;

// The payload as printable characters: bytes from space to tilde as they are, a line break for
// each carriage return and after every 76 characters; every other byte is left out. Each gap shows
// in place as "[N bytes not captured]" on a line of its own, after which the count of 76 restarts.
void appendPayloadText(std::string& text, std::span<const std::uint8_t> payload,
                       std::span<const PayloadGap> gaps = {});

// The same text appended to `out.text`, with each of `marks` (in order, none overlapping) styled
// `style` where its bytes' characters stand. A mark at a gap starts after the gap's line and ends
// before it.
void appendPayloadText(PaneText& out, std::span<const std::uint8_t> payload,
                       std::span<const PayloadGap> gaps, std::span<const ByteRange> marks,
                       TextStyle style);

// What stands first in the text of a TCP node of a connection open before capture started.
inline constexpr std::string_view kOpenBeforeCaptureLine =
    "[connection open before capture started]\n";

// A node's payload text: for a TCP node of a connection open before capture started, the line
// kOpenBeforeCaptureLine first.
void appendPayloadText(std::string& text, const NodeFacts& node);

// What a file of a node's payload bytes lacks: "The payload was saved without the 1520 bytes that
// were not captured: 1460 bytes missing at offset 2920, 60 at offset 9000." Offsets count every
// byte of the stream, captured or not; past ten gaps the rest are counted.
std::string missingBytesText(const NodeFacts& node);

// What the detail pane shows: the node summary with address texts, the payload text, and the
// programs behind the node.
std::string detailText(const NodeFacts& node, LogSink& log);
// The same text, with the payload bytes of `matches` (in order, none overlapping) styled Match.
PaneText detailPaneText(const NodeFacts& node, LogSink& log, std::span<const ByteRange> matches);

}  // namespace wq
