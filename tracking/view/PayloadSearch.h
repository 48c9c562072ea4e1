// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Finding nodes by what their payload holds: a text in any ASCII case, or bytes given in hex.
// Bytes are found only within a run of captured bytes: a match never joins bytes across bytes
// that were not captured, which would show a text the flow never sent.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tracking/Session.h"
#include "tracking/nodes/NodeList.h"
#include "tracking/nodes/WQMConnection.h"
#include "tracking/view/PaneText.h"

namespace wq {

class PayloadPattern {
 public:
  // Text as typed, matched without regard to ASCII case; other bytes match only themselves.
  static PayloadPattern text(std::string_view text);
  // Bytes in hex, each as two digits, in groups parted by spaces or colons, each group with an
  // optional "0x": "de ad BE ef", "deadbeef", "0xde 0xAD", "de:ad". Nothing for a group with an
  // odd number of digits, any other character, or no bytes at all.
  static std::optional<PayloadPattern> hex(std::string_view text);

  // An empty pattern is found nowhere.
  bool empty() const { return bytes_.empty(); }

  // Whether the node's stored bytes or the bytes it holds beyond a hole hold the pattern. Takes
  // no memory for a node that holds nothing beyond a hole.
  bool foundIn(const WQMConnection& node) const;
  // Where in `facts.payload` the pattern stands: in order, not overlapping, at most `limit`.
  std::vector<ByteRange> matchesIn(const NodeFacts& facts, std::size_t limit) const;

 private:
  // A word of eight bytes and what a byte of it must be to be `byte` in the pattern's sense.
  struct ByteTest {
    std::uint64_t fold = 0;  // or-ed into the word: folds letters to lower case
    std::uint64_t want = 0;  // the byte sought, in each byte of the word
  };

  PayloadPattern(std::vector<std::uint8_t> bytes, bool anyCase);
  ByteTest testFor(std::uint8_t byte) const;
  // Where the pattern first stands in `bytes`, or `bytes.size()` when nowhere.
  std::size_t findIn(std::span<const std::uint8_t> bytes) const;
  bool standsAt(std::span<const std::uint8_t> bytes, std::size_t at) const;
  bool foundIn(std::span<const std::uint8_t> payload, std::span<const PayloadGap> gaps) const;

  std::vector<std::uint8_t> bytes_;  // letters in lower case when matched in any case
  bool anyCase_ = false;
  ByteTest first_;
  ByteTest last_;
};

// Of the nodes of `list` that hold `pattern`: how many, and the row of the next after row `from`
// (before it, when not `forward`), going round the list, `from` itself last. With `from` outside
// the list (-1: no row), forward starts at the first row and backward at the last.
struct NodeMatches {
  std::size_t count = 0;
  std::optional<std::size_t> next;  // none when no node holds it
  bool operator==(const NodeMatches&) const = default;
};
NodeMatches findMatchingNodes(const NodeList& list, const PayloadPattern& pattern, long from,
                              bool forward);

// Keeps, as one batch, the nodes of `session` whose payload holds `pattern`; an empty pattern
// keeps every node. Returns how many left.
std::size_t keepNodesHolding(Session& session, const PayloadPattern& pattern);

// Whether `text` holds `part`, in any ASCII case: the rule the text patterns follow.
bool holdsInAnyAsciiCase(std::string_view text, std::string_view part);

}  // namespace wq
