// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Hex view of one node's payload, as a hex dump with the bytes' characters beside it.

#include <span>

#include "tracking/nodes/WQMConnection.h"
#include "tracking/view/PaneText.h"

namespace wq {

// One line per 16 bytes: the stream offset in 8 hex digits, two spaces, the bytes in hex (an
// extra space after the 8th), two spaces, and the bytes as characters between bars, '.' for any
// byte outside space..tilde:
//   "00000000  47 45 54 20 2f 20 48 54  54 50 2f 31 2e 31 0d 0a  |GET / HTTP/1.1..|\n"
// A short last line keeps the characters' column. Each gap is a line of its own styled Gap,
// "-------- N bytes not captured --------", and offsets go on past it, so that they stay stream
// offsets. The bytes of `matches` (stored-byte offsets of facts.payload, in order, none
// overlapping) are styled Match in both columns. No bytes at all: "(no payload)\n".
PaneText hexText(const NodeFacts& facts, std::span<const ByteRange> matches);

}  // namespace wq
