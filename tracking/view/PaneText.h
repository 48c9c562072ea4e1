// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the detail pane shows: a text, and ranges of it drawn in a style of their own (the two
// directions of a conversation, its turn headers, gaps, the matches of a find).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wq {

enum class TextStyle : std::uint8_t {
  Header,   // a turn's header line
  Forward,  // bytes sent in the highlighted node's direction
  Reverse,  // bytes sent the other way
  Gap,      // a line that stands for bytes not captured
  Match,    // bytes that a find matched
};

struct StyledRange {
  std::size_t begin = 0;  // in bytes of the text
  std::size_t end = 0;
  TextStyle style = TextStyle::Match;
  bool operator==(const StyledRange&) const = default;
};

struct PaneText {
  std::string text;
  std::vector<StyledRange> ranges;  // by `begin`; a Match range may lie within another range
  bool operator==(const PaneText&) const = default;
};

// Payload bytes [begin, end) of one node, counted in stored bytes as PayloadGap::at counts them.
struct ByteRange {
  std::uint32_t begin = 0;
  std::uint32_t end = 0;
  bool operator==(const ByteRange&) const = default;
};

}  // namespace wq
