// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/HexText.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <iterator>
#include <utility>

namespace wq {

namespace {

constexpr std::size_t kLineBytes = 16;
constexpr std::size_t kHexColumn = 10;   // after the offset and two spaces
constexpr std::size_t kCharColumn = 61;  // after the hex column, two spaces and a bar
constexpr std::size_t kLongestLine = kCharColumn + kLineBytes + 2;

constexpr char kDigits[] = "0123456789abcdef";

// Each byte's two hex digits.
constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
  std::array<std::array<char, 2>, 256> pairs{};
  for (std::size_t byte = 0; byte < pairs.size(); ++byte) {
    pairs[byte] = {kDigits[byte >> 4], kDigits[byte & 0xF]};
  }
  return pairs;
}();

constexpr std::size_t hexColumn(std::size_t index) {
  return kHexColumn + 3 * index + (index >= kLineBytes / 2 ? 1 : 0);
}

char shownCharacter(std::uint8_t byte) {
  return byte >= ' ' && byte <= '~' ? static_cast<char>(byte) : '.';
}

// Writes the dump line by line, styling the matches' bytes on each line as it goes.
class HexWriter {
 public:
  HexWriter(PaneText& out, std::span<const ByteRange> matches) : out_(out), matches_(matches) {}

  // One line of `bytes` (at most 16), at `streamOffset` in the stream and `storedOffset` in the
  // stored bytes.
  void writeLine(std::span<const std::uint8_t> bytes, std::uint32_t streamOffset,
                 std::size_t storedOffset) {
    char line[kLongestLine];
    std::memset(line, ' ', sizeof line);
    for (std::size_t digit = 0; digit < 8; ++digit) {
      line[digit] = kDigits[(streamOffset >> (28 - 4 * digit)) & 0xF];
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      std::memcpy(line + hexColumn(i), kHexPairs[bytes[i]].data(), 2);
      line[kCharColumn + i] = shownCharacter(bytes[i]);
    }
    line[kCharColumn - 1] = '|';
    line[kCharColumn + bytes.size()] = '|';
    line[kCharColumn + bytes.size() + 1] = '\n';
    const std::size_t lineStart = out_.text.size();
    out_.text.append(line, kCharColumn + bytes.size() + 2);
    styleMatches(lineStart, storedOffset, storedOffset + bytes.size());
  }

  void writeGap(std::uint32_t length) {
    const std::size_t lineStart = out_.text.size();
    char number[16];
    char* end = std::to_chars(std::begin(number), std::end(number), length).ptr;
    out_.text += "-------- ";
    out_.text.append(number, end);
    out_.text += " bytes not captured --------";
    out_.ranges.push_back({lineStart, out_.text.size(), TextStyle::Gap});
    out_.text += '\n';
  }

 private:
  // Styles the parts of the matches that lie on the line of stored bytes [begin, end): their hex
  // digits, then their characters, so that the ranges stay in order.
  void styleMatches(std::size_t lineStart, std::size_t begin, std::size_t end) {
    while (nextMatch_ < matches_.size() && matches_[nextMatch_].end <= begin) {
      ++nextMatch_;
    }
    std::size_t last = nextMatch_;  // one past the last match on this line
    while (last < matches_.size() && matches_[last].begin < end) {
      ++last;
    }
    // The match's bytes on this line, counted from the line's first byte; none when `from` is
    // not below `to`.
    const auto piece = [&](const ByteRange& match) {
      const std::size_t from = std::max<std::size_t>(match.begin, begin);
      const std::size_t to = std::max(from, std::min<std::size_t>(match.end, end));
      return std::pair<std::size_t, std::size_t>{from - begin, to - begin};
    };
    for (std::size_t i = nextMatch_; i < last; ++i) {
      const auto [from, to] = piece(matches_[i]);
      if (from < to) {
        out_.ranges.push_back(
            {lineStart + hexColumn(from), lineStart + hexColumn(to - 1) + 2, TextStyle::Match});
      }
    }
    for (std::size_t i = nextMatch_; i < last; ++i) {
      const auto [from, to] = piece(matches_[i]);
      if (from < to) {
        out_.ranges.push_back(
            {lineStart + kCharColumn + from, lineStart + kCharColumn + to, TextStyle::Match});
      }
    }
  }

  PaneText& out_;
  std::span<const ByteRange> matches_;
  std::size_t nextMatch_ = 0;  // the first match that may still lie on a line to come
};

}  // namespace

PaneText hexText(const NodeFacts& facts, std::span<const ByteRange> matches) {
  PaneText out;
  const std::span<const std::uint8_t> payload = facts.payload;
  if (payload.empty() && facts.gaps.empty()) {
    out.text = "(no payload)\n";
    return out;
  }
  out.text.reserve((payload.size() / kLineBytes + 1 + facts.gaps.size()) * kLongestLine);
  HexWriter writer(out, matches);
  std::size_t stored = 0;
  std::uint32_t streamOffset = 0;
  const auto writeUpTo = [&](std::size_t end) {
    while (stored < end) {
      const std::size_t count = std::min(kLineBytes, end - stored);
      writer.writeLine(payload.subspan(stored, count), streamOffset, stored);
      stored += count;
      streamOffset += static_cast<std::uint32_t>(count);
    }
  };
  for (const PayloadGap& gap : facts.gaps) {
    writeUpTo(std::clamp<std::size_t>(gap.at, stored, payload.size()));
    writer.writeGap(gap.length);
    streamOffset += gap.length;
  }
  writeUpTo(payload.size());
  return out;
}

}  // namespace wq
