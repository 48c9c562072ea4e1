// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/PayloadSearch.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

namespace wq {

namespace {

// Payloads are searched eight places at a time, as 64-bit words.
constexpr std::size_t kWord = 8;
constexpr std::uint64_t kEveryByte = 0x0101010101010101;
constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7F;

constexpr std::uint8_t kCaseBit = 0x20;

constexpr bool isUpper(std::uint8_t byte) {
  return byte >= 'A' && byte <= 'Z';
}
constexpr bool isLower(std::uint8_t byte) {
  return byte >= 'a' && byte <= 'z';
}

// Each byte, ASCII capitals in lower case.
constexpr std::array<std::uint8_t, 256> kLowerCase = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned byte = 0; byte < table.size(); ++byte) {
    table[byte] = static_cast<std::uint8_t>(isUpper(byte) ? byte | kCaseBit : byte);
  }
  return table;
}();

// The eight bytes of `bytes` from `at` (which the caller keeps within it), the first in the low
// bits.
std::uint64_t wordAt(std::span<const std::uint8_t> bytes, std::size_t at) {
  std::uint64_t word;
  std::memcpy(&word, bytes.data() + at, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = __builtin_bswap64(word);
  }
  return word;
}

// The high bit of each byte of the result is set where that byte of `word` is zero, and only
// there: the low seven bits are added apart, so no carry crosses bytes.
std::uint64_t zeroBytes(std::uint64_t word) {
  return ~(((word & kLowBits) + kLowBits) | word | kLowBits);
}

int digitValue(char digit) {
  if (digit >= '0' && digit <= '9') {
    return digit - '0';
  }
  const char lower = static_cast<char>(kLowerCase[static_cast<std::uint8_t>(digit)]);
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

constexpr std::string_view kHexSeparators = " \t:";

// Appends the bytes of one group of hex digit pairs; false when it is not one.
bool appendHexGroup(std::string_view group, std::vector<std::uint8_t>& bytes) {
  if (group.empty() || group.size() % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < group.size(); i += 2) {
    const int high = digitValue(group[i]);
    const int low = digitValue(group[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

// Calls `visit(offset, bytes)` for each run of stored bytes between gaps, in order, while it
// returns true.
template <class Visit>
void forEachCapturedRun(std::span<const std::uint8_t> payload, std::span<const PayloadGap> gaps,
                        Visit visit) {
  std::size_t start = 0;
  for (const PayloadGap& gap : gaps) {
    const std::size_t end = std::clamp<std::size_t>(gap.at, start, payload.size());
    if (!visit(start, payload.subspan(start, end - start))) {
      return;
    }
    start = end;
  }
  visit(start, payload.subspan(start));
}

}  // namespace

PayloadPattern::PayloadPattern(std::vector<std::uint8_t> bytes, bool anyCase)
    : bytes_(std::move(bytes)), anyCase_(anyCase) {
  if (!bytes_.empty()) {
    first_ = testFor(bytes_.front());
    last_ = testFor(bytes_.back());
  }
}

PayloadPattern PayloadPattern::text(std::string_view text) {
  std::vector<std::uint8_t> bytes(text.size());
  std::transform(text.begin(), text.end(), bytes.begin(),
                 [](char c) { return kLowerCase[static_cast<std::uint8_t>(c)]; });
  return PayloadPattern(std::move(bytes), true);
}

std::optional<PayloadPattern> PayloadPattern::hex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::size_t at = text.find_first_not_of(kHexSeparators);
  while (at != std::string_view::npos) {
    if (text.substr(at, 2) == "0x" || text.substr(at, 2) == "0X") {
      at += 2;
    }
    const std::size_t end = std::min(text.find_first_of(kHexSeparators, at), text.size());
    if (!appendHexGroup(text.substr(at, end - at), bytes)) {
      return std::nullopt;
    }
    at = text.find_first_not_of(kHexSeparators, end);
  }
  if (bytes.empty()) {
    return std::nullopt;
  }
  return PayloadPattern(std::move(bytes), false);
}

PayloadPattern::ByteTest PayloadPattern::testFor(std::uint8_t byte) const {
  // A byte or-ed with the case bit is a lower-case letter exactly when it is that letter in
  // either case.
  const bool letter = anyCase_ && isLower(byte);
  return {letter ? kEveryByte * kCaseBit : 0, kEveryByte * byte};
}

bool PayloadPattern::standsAt(std::span<const std::uint8_t> bytes, std::size_t at) const {
  const std::span<const std::uint8_t> here = bytes.subspan(at, bytes_.size());
  if (!anyCase_) {
    return std::equal(here.begin(), here.end(), bytes_.begin());
  }
  return std::equal(
      here.begin(), here.end(), bytes_.begin(),
      [](std::uint8_t byte, std::uint8_t wanted) { return kLowerCase[byte] == wanted; });
}

std::size_t PayloadPattern::findIn(std::span<const std::uint8_t> bytes) const {
  const std::size_t length = bytes_.size();
  if (bytes.size() < length) {
    return bytes.size();
  }
  const std::size_t starts = bytes.size() - length + 1;  // the places the pattern fits
  const auto hitsOf = [](std::uint64_t word, const ByteTest& test) {
    return zeroBytes((word | test.fold) ^ test.want);
  };
  std::size_t at = 0;
  // Eight places at a time: a word of their first bytes and a word of their last bytes; only
  // where both are right is the rest compared. No word read passes the end of `bytes`.
  for (; at + kWord <= starts; at += kWord) {
    std::uint64_t hits =
        hitsOf(wordAt(bytes, at), first_) & hitsOf(wordAt(bytes, at + length - 1), last_);
    for (; hits != 0; hits &= hits - 1) {
      const std::size_t start = at + static_cast<std::size_t>(std::countr_zero(hits)) / 8;
      if (standsAt(bytes, start)) {
        return start;
      }
    }
  }
  for (; at < starts; ++at) {
    if (standsAt(bytes, at)) {
      return at;
    }
  }
  return bytes.size();
}

bool PayloadPattern::foundIn(std::span<const std::uint8_t> payload,
                             std::span<const PayloadGap> gaps) const {
  bool found = false;
  forEachCapturedRun(payload, gaps, [&](std::size_t, std::span<const std::uint8_t> run) {
    found = findIn(run) < run.size();
    return !found;
  });
  return found;
}

bool PayloadPattern::foundIn(const WQMConnection& node) const {
  if (empty()) {
    return false;
  }
  if (node.heldCount() == 0) {
    return foundIn(node.packetData(), node.gaps());
  }
  // Held segments next to each other join up: search them as the pane shows them.
  const NodeFacts facts = node.facts();
  return foundIn(facts.payload, facts.gaps);
}

std::vector<ByteRange> PayloadPattern::matchesIn(const NodeFacts& facts, std::size_t limit) const {
  std::vector<ByteRange> matches;
  if (empty() || limit == 0) {
    return matches;
  }
  const std::size_t length = bytes_.size();
  forEachCapturedRun(facts.payload, facts.gaps,
                     [&](std::size_t offset, std::span<const std::uint8_t> run) {
                       for (std::size_t from = 0;;) {
                         const std::size_t at = from + findIn(run.subspan(from));
                         if (at == run.size()) {
                           return true;
                         }
                         const auto begin = static_cast<std::uint32_t>(offset + at);
                         matches.push_back({begin, static_cast<std::uint32_t>(begin + length)});
                         if (matches.size() == limit) {
                           return false;
                         }
                         from = at + length;
                       }
                     });
  return matches;
}

namespace {

// How many rows ahead of the one searched a node, and half as many its payload, are asked for.
constexpr std::size_t kNodesAhead = 16;
constexpr std::size_t kPayloadAhead = kNodesAhead / 2;
constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kPayloadLinesAhead = 4;

// Walks the rows of a list round from a first one, forward or backward, asking for the memory
// of nodes and payloads ahead of the row searched: they lie all over the heap, and waiting for
// each in turn would take most of the time on a long list.
class RowWalk {
 public:
  // The list's nodes are gathered first, so that rows ahead are found without a search.
  RowWalk(const NodeList& list, std::size_t first, bool forward)
      : first_(first), forward_(forward) {
    nodes_.reserve(list.size());
    list.forEach([&](const WQMConnection& node) { nodes_.push_back(&node); });
  }

  // The first row, walking, whose node (and row) `holds` says so; nothing when none does.
  template <class Holds>
  std::optional<std::size_t> firstWhere(Holds holds) const {
    for (std::size_t step = 0; step < nodes_.size(); ++step) {
      if (step + kNodesAhead < nodes_.size()) {
        __builtin_prefetch(nodes_[rowAt(step + kNodesAhead)]);
      }
      if (step + kPayloadAhead < nodes_.size()) {
        prefetchPayload(*nodes_[rowAt(step + kPayloadAhead)]);
      }
      const std::size_t row = rowAt(step);
      if (holds(*nodes_[row], row)) {
        return row;
      }
    }
    return std::nullopt;
  }

 private:
  // For a step within the list's size; without a division, which would cost as much as the
  // search of a short payload.
  std::size_t rowAt(std::size_t step) const {
    const std::size_t count = nodes_.size();
    const std::size_t row = forward_ ? first_ + step : first_ + count - step;
    return row >= count ? row - count : row;
  }

  static void prefetchPayload(const WQMConnection& node) {
    const std::span<const std::uint8_t> payload = node.packetData();
    const std::size_t end = std::min(payload.size(), kPayloadLinesAhead * kCacheLine);
    for (std::size_t at = 0; at < end; at += kCacheLine) {
      __builtin_prefetch(payload.data() + at);
    }
  }

  std::vector<const WQMConnection*> nodes_;
  std::size_t first_;
  bool forward_;
};

}  // namespace

NodeMatches findMatchingNodes(const NodeList& list, const PayloadPattern& pattern, long from,
                              bool forward) {
  const std::size_t count = list.size();
  NodeMatches matches;
  if (count == 0 || pattern.empty()) {
    return matches;
  }
  const bool inList = from >= 0 && static_cast<std::size_t>(from) < count;
  std::size_t first = forward ? 0 : count - 1;
  if (inList) {
    first = forward ? (static_cast<std::size_t>(from) + 1) % count
                    : (static_cast<std::size_t>(from) + count - 1) % count;
  }
  // One walk round the whole list counts every node and finds the next on the way.
  RowWalk(list, first, forward).firstWhere([&](const WQMConnection& node, std::size_t row) {
    if (pattern.foundIn(node) && matches.count++ == 0) {
      matches.next = row;
    }
    return false;
  });
  return matches;
}

bool holdsInAnyAsciiCase(std::string_view text, std::string_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
           return kLowerCase[static_cast<std::uint8_t>(a)] ==
                  kLowerCase[static_cast<std::uint8_t>(b)];
         }) != text.end();
}

std::size_t keepNodesHolding(Session& session, const PayloadPattern& pattern) {
  if (pattern.empty()) {
    return 0;
  }
  return session.narrow([&pattern](const WQMConnection& node) { return !pattern.foundIn(node); });
}

}  // namespace wq
