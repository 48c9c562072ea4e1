// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/NodeText.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <iterator>

#include "tracking/view/ProgramText.h"
#include "tracking/view/TextFormat.h"

namespace wq {

namespace {

// A line break follows the 76th character of a line.
constexpr int kLineLength = kPayloadLineLength;

// Payload text is built eight bytes at a time, as 64-bit words.
constexpr int kWord = 8;
constexpr std::uint64_t kEveryByte = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;

// The high bit of each byte of the result is set when that byte of `bytes` is printable, from
// space to tilde. The low seven bits of each byte are compared apart, so no carry crosses bytes.
std::uint64_t printableBytes(std::uint64_t bytes) {
  const std::uint64_t low = bytes & ~kHighBits;
  const std::uint64_t atLeastSpace = (low | kHighBits) - kEveryByte * ' ';
  const std::uint64_t atMostTilde = kEveryByte * (0x80 | '~') - low;
  return atLeastSpace & atMostTilde & ~bytes & kHighBits;
}

bool hasCarriageReturn(std::uint64_t bytes) {
  const std::uint64_t zeroWhereReturn = bytes ^ (kEveryByte * '\r');
  return ((zeroWhereReturn - kEveryByte) & ~zeroWhereReturn & kHighBits) != 0;
}

// For each set of printable bytes in a word (bit i for byte i), where each of them comes from,
// in order: compacting a word is eight independent copies instead of a chain of eight steps.
struct CompactionTable {
  std::array<std::array<std::uint8_t, kWord>, 256> from{};
  std::array<std::uint8_t, 256> kept{};  // how many bytes each set keeps
  CompactionTable() {
    for (unsigned mask = 0; mask < 256; ++mask) {
      for (int i = 0; i < kWord; ++i) {
        if ((mask >> i) & 1U) {
          from[mask][kept[mask]++] = static_cast<std::uint8_t>(i);
        }
      }
    }
  }
};
const CompactionTable kCompaction;

// Builds the text of one payload from consecutive pieces of it.
class PayloadTextWriter {
 public:
  // The text of `count` bytes takes at most this many bytes of room (a line break may follow
  // each byte, and a word's copies may write a little past what it keeps).
  static constexpr std::size_t room(std::size_t count) { return 2 * count + kWord; }

  // Writes the text of `count` bytes at `out` and returns its end.
  char* write(char* out, const std::uint8_t* bytes, std::size_t count) {
    const std::uint8_t* const end = bytes + count;
    for (; end - bytes >= kWord; bytes += kWord) {
      std::uint64_t word;
      std::memcpy(&word, bytes, sizeof word);
      const std::uint64_t printable = printableBytes(word);
      if (printable == kHighBits) {
        out = writePrintableWord(out, bytes);
        continue;
      }
      // One bit per byte, gathered from the high bits by a multiplication.
      const unsigned mask = static_cast<unsigned>(((printable >> 7) * 0x0102040810204080) >> 56);
      const int kept = kCompaction.kept[mask];
      if (column_ + kept >= kLineLength || hasCarriageReturn(word)) {
        for (int i = 0; i < kWord; ++i) {
          out = writeByte(out, bytes[i]);
        }
        continue;
      }
      const std::array<std::uint8_t, kWord>& from = kCompaction.from[mask];
      for (int i = 0; i < kWord; ++i) {
        out[i] = static_cast<char>(bytes[from[i]]);
      }
      out += kept;
      column_ += kept;
    }
    for (; bytes != end; ++bytes) {
      out = writeByte(out, *bytes);
    }
    return out;
  }

  bool atLineStart() const { return column_ == 0; }
  // A line was ended outside the writer: the 76-column count restarts.
  void startLine() { column_ = 0; }

 private:
  // Eight printable bytes: copied whole, with the line break where the line fills.
  char* writePrintableWord(char* out, const std::uint8_t* bytes) {
    const int room = kLineLength - column_;
    if (room > kWord) {
      std::memcpy(out, bytes, kWord);
      column_ += kWord;
      return out + kWord;
    }
    std::memcpy(out, bytes, room);
    out[room] = '\n';
    std::memcpy(out + room + 1, bytes + room, kWord - room);
    column_ = kWord - room;
    return out + kWord + 1;
  }

  // The character is written in any case and kept only when printable; a carriage return
  // becomes a line break, as does a line filling up.
  char* writeByte(char* out, std::uint8_t byte) {
    const bool printable = static_cast<std::uint8_t>(byte - ' ') <= '~' - ' ';
    *out = static_cast<char>(byte);
    out += printable;
    column_ += printable;
    if (column_ == kLineLength || byte == '\r') {
      *out++ = '\n';
      column_ = 0;
    }
    return out;
  }

  int column_ = 0;
};

void appendNumber(std::string& text, unsigned number) {
  char digits[16];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), number).ptr;
  text.append(digits, end);
}

}  // namespace

void appendNodeSummary(std::string& text, const NodeFacts& node, const SummaryTexts& texts) {
  text += "Start Time: ";
  text += texts.startHit;
  text += "\nLast Hit: ";
  text += texts.lastHit;
  text += "\n\n";
  switch (node.protocol) {
    case 1:
      text += "Protocol: ICMP\n\n";
      break;
    case 58:
      text += "Protocol: ICMPv6\n\n";
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
  text += "Source IP: ";
  text += texts.source;
  text += "\nSource Port: ";
  appendNumber(text, hostOrderPort(node.flow.sport));
  text += "\nDestination IP: ";
  text += texts.destination;
  text += "\nDestination Port: ";
  appendNumber(text, hostOrderPort(node.flow.dport));
  text += "\n\nByte count: ";
  appendNumber(text, node.byteCount);
  text += "\n\n";
}

namespace {

// Writes the payload text, and tells `atCut` where the text stands when the bytes before each of
// `cuts` (ascending stored-byte offsets) have been written: with `before` true as the byte at the
// cut is about to be written (after a gap's line there), false right after the byte before it
// (before that line).
template <class AtCut>
void writePayloadText(std::string& text, std::span<const std::uint8_t> payload,
                      std::span<const PayloadGap> gaps, std::span<const std::uint32_t> cuts,
                      AtCut atCut) {
  // Written piece by piece through a small buffer, so that the text is never filled with zeros
  // first nor held twice.
  constexpr std::size_t kPiece = 2048;
  char buffer[PayloadTextWriter::room(kPiece)];
  PayloadTextWriter writer;
  std::size_t done = 0;
  std::size_t nextAfter = 0;   // the first cut whose "after" position is still to be told
  std::size_t nextBefore = 0;  // the first cut whose "before" position is still to be told
  const auto tellCuts = [&](bool before) {
    std::size_t& next = before ? nextBefore : nextAfter;
    while (next < cuts.size() && cuts[next] <= done) {
      atCut(next++, before, text.size());
    }
  };
  const auto writeUpTo = [&](std::size_t end) {
    while (done < end) {
      tellCuts(true);
      std::size_t count = std::min(kPiece, end - done);
      if (nextBefore < cuts.size() && cuts[nextBefore] > done) {
        count = std::min<std::size_t>(count, cuts[nextBefore] - done);
      }
      const char* written = writer.write(buffer, payload.data() + done, count);
      text.append(buffer, static_cast<std::size_t>(written - buffer));
      done += count;
      tellCuts(false);
    }
  };
  tellCuts(false);
  for (const PayloadGap& gap : gaps) {
    writeUpTo(std::min<std::size_t>(gap.at, payload.size()));
    tellCuts(false);
    if (!writer.atLineStart()) {
      text += '\n';
    }
    text += '[';
    appendNumber(text, gap.length);
    text += " bytes not captured]\n";
    writer.startLine();
  }
  writeUpTo(payload.size());
  tellCuts(true);
}

}  // namespace

void appendPayloadText(std::string& text, std::span<const std::uint8_t> payload,
                       std::span<const PayloadGap> gaps) {
  writePayloadText(text, payload, gaps, {}, [](std::size_t, bool, std::size_t) {});
}

void appendPayloadText(PaneText& out, std::span<const std::uint8_t> payload,
                       std::span<const PayloadGap> gaps, std::span<const ByteRange> marks,
                       TextStyle style) {
  // Each mark is cut at its start and its end, in the order the text is written.
  std::vector<std::uint32_t> cuts;
  cuts.reserve(2 * marks.size());
  for (const ByteRange& mark : marks) {
    cuts.push_back(mark.begin);
    cuts.push_back(mark.end);
  }
  std::vector<std::size_t> starts(marks.size());
  std::vector<std::size_t> ends(marks.size());
  writePayloadText(out.text, payload, gaps, cuts,
                   [&](std::size_t cut, bool before, std::size_t position) {
                     // A mark starts after a gap's line at its start, and ends before one.
                     if (cut % 2 == 0 && before) {
                       starts[cut / 2] = position;
                     } else if (cut % 2 == 1 && !before) {
                       ends[cut / 2] = position;
                     }
                   });
  for (std::size_t i = 0; i < marks.size(); ++i) {
    if (ends[i] > starts[i]) {
      out.ranges.push_back({starts[i], ends[i], style});
    }
  }
}

void appendPayloadText(std::string& text, const NodeFacts& node) {
  if (node.openBeforeCapture) {
    text += kOpenBeforeCaptureLine;
  }
  appendPayloadText(text, node.payload, node.gaps);
}

std::string missingBytesText(const NodeFacts& node) {
  constexpr std::size_t kMostTold = 10;
  std::uint64_t missing = 0;
  for (const PayloadGap& gap : node.gaps) {
    missing += gap.length;
  }
  const auto bytes = [](std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
  };
  std::string text =
      "The payload was saved without the " + bytes(missing) + " that were not captured: ";
  std::uint64_t missingBefore = 0;
  for (std::size_t i = 0; i < node.gaps.size() && i < kMostTold; ++i) {
    const PayloadGap& gap = node.gaps[i];
    text += (i == 0 ? bytes(gap.length) + " missing" : ", " + std::to_string(gap.length)) +
            " at offset " + std::to_string(gap.at + missingBefore);
    missingBefore += gap.length;
  }
  if (node.gaps.size() > kMostTold) {
    text += ", and " + std::to_string(node.gaps.size() - kMostTold) + " more gaps";
  }
  return text + ".";
}

namespace {

std::string summaryText(const NodeFacts& node, LogSink& log) {
  const std::string startHit = clockText(node.startHit);
  const std::string lastHit = clockText(node.lastHit);
  const std::string source = addressText(node.flow.source, log);
  const std::string destination = addressText(node.flow.destination, log);
  std::string text;
  appendNodeSummary(text, node, {startHit, lastHit, source, destination});
  return text;
}

}  // namespace

std::string detailText(const NodeFacts& node, LogSink& log) {
  return detailPaneText(node, log, {}).text;
}

PaneText detailPaneText(const NodeFacts& node, LogSink& log, std::span<const ByteRange> matches) {
  PaneText pane{summaryText(node, log), {}};
  if (node.openBeforeCapture) {
    pane.text += kOpenBeforeCaptureLine;
  }
  appendPayloadText(pane, node.payload, node.gaps, matches, TextStyle::Match);
  if (node.programs != nullptr) {
    pane.text += "\n\n" + programLine(node.programs);
  }
  return pane;
}

}  // namespace wq
