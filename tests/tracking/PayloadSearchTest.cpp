// SPDX-License-Identifier: GPL-3.0-or-later
// Finding nodes by their payload, and the Hex view of a payload.

#include <gtest/gtest.h>

#include "tests/tracking/ControllerRig.h"
#include "tracking/view/HexText.h"
#include "tracking/view/PayloadSearch.h"

namespace wq::testing {
namespace {

using namespace std::string_literals;

const std::uint8_t* bytesIn(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// A node holding `payload` with bytes not captured at `gaps`.
std::unique_ptr<WQMConnection> nodeOf(std::string_view payload,
                                      const std::vector<PayloadGap>& gaps = {}) {
  auto node = std::make_unique<WQMConnection>(kStartTime, 1 << 16);
  std::uint32_t done = 0;
  for (const PayloadGap& gap : gaps) {
    node->augmentPacketData(bytesIn(payload) + done, gap.at - done, gap.length);
    done = gap.at;
  }
  node->augmentPacketData(bytesIn(payload) + done,
                          static_cast<std::uint32_t>(payload.size()) - done);
  return node;
}

// The matches in `node` as "begin-end ...", after checking that foundIn agrees with them.
std::string matchesText(const PayloadPattern& pattern, const WQMConnection& node,
                        std::size_t limit = 9) {
  std::string text;
  for (const ByteRange& match : pattern.matchesIn(node.facts(), limit)) {
    text +=
        (text.empty() ? "" : " ") + std::to_string(match.begin) + "-" + std::to_string(match.end);
  }
  EXPECT_EQ(pattern.foundIn(node), !text.empty());
  return text;
}

TEST(PayloadSearch, TextIsFoundInAnyAsciiCaseWithinCapturedBytes) {
  const struct {
    std::string payload;
    std::vector<PayloadGap> gaps;
    std::string_view pattern;
    std::size_t limit;
    std::string_view matches;
  } cases[] = {
      {"GET /Index HTTP/1.1", {}, "index", 9, "5-10"},
      {"xxHtTpxxhttp", {}, "HTTP", 9, "2-6 8-12"},
      {"NEEDXE needle NEEDLE!", {}, "needle", 9, "7-13 14-20"},
      {"0123456789abcdefghijklmnopqrstuvwxyzNeedle", {}, "needle", 9, "36-42"},
      {"aaaaa", {}, "aa", 9, "0-2 2-4"},
      {"aaaaa", {}, "a", 2, "0-1 1-2"},
      {"@[`{", {}, "`{", 9, "2-4"},  // only letters have a case
      {"caf\xc3\xa9 CAF\xc3\x89", {}, "caf\xc3\xa9", 9, "0-5"},
      {"ab", {}, "abc", 9, ""},
      {"xyz", {}, "", 9, ""},
      {"abcdef", {{3, 10}}, "cd", 9, ""},
      {"0123456789", {{8, 4}}, "78", 9, ""},
      {"abcdef", {{3, 10}}, "def", 9, "3-6"},
      {"abcdef", {{0, 5}, {6, 1}}, "ABCDEF", 9, "0-6"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(matchesText(PayloadPattern::text(c.pattern), *nodeOf(c.payload, c.gaps), c.limit),
              c.matches)
        << c.payload << " / " << c.pattern;
  }
}

TEST(PayloadSearch, HexIsTwoDigitsPerByteInGroups) {
  const auto node = nodeOf("\0\xde\xad\xbe\xef"s + "Aa");
  const struct {
    std::string_view hex;
    std::string_view matches;  // "refused" when the text is not hex
  } cases[] = {
      {"de ad BE ef", "1-5"}, {"deadbeef", "1-5"},  {"0xde 0XAD", "1-3"}, {" de:ad\t", "1-3"},
      {"00de", "0-2"},        {"41", "5-6"},        {"61", "6-7"},        {"dea", "refused"},
      {"d e", "refused"},     {"0x", "refused"},    {"", "refused"},      {" : ", "refused"},
      {"de-ad", "refused"},   {"de g0", "refused"},
  };
  for (const auto& c : cases) {
    const std::optional<PayloadPattern> pattern = PayloadPattern::hex(c.hex);
    EXPECT_EQ(pattern ? matchesText(*pattern, *node) : "refused", c.matches) << c.hex;
  }
}

TEST(PayloadSearch, TcpMatchesSpanSegmentsButNotHoles) {
  const TcpSender sender("10.0.0.2", 52311, "10.0.0.9", 80);
  const auto at = [&](std::uint32_t offset, std::string_view text) {
    return sender.at(offset, bytesOf(text));
  };
  const struct {
    const char* name;
    std::vector<Bytes> frames;
    std::string_view pattern;
    std::string_view matches;
    std::size_t firstCaptured = SIZE_MAX;  // the first frame captured to this many bytes
  } cases[] = {
      {"two segments", {at(0, "hello wor"), at(9, "ld")}, "World", "6-11"},
      {"held beyond a hole", {at(0, "abcde"), at(8, "fgh")}, "fgh", "5-8"},
      {"not across a hole", {at(0, "abcde"), at(8, "fgh")}, "efg", ""},
      {"two held segments", {at(0, "ab"), at(5, "nee"), at(8, "dle")}, "needle", "2-8"},
      // Bytes not captured lie within the stored bytes.
      {"not across bytes not captured", {at(0, "abcdefXXXX"), at(10, "ghij")}, "fg", "", 60},
      {"after bytes not captured", {at(0, "abcdefXXXX"), at(10, "ghij")}, "ghij", "6-10", 60},
  };
  for (const auto& c : cases) {
    ControllerRig rig;
    rig.feed({sender.syn()});
    for (const Bytes& frame : c.frames) {
      rig.feedCaptured(frame, &frame == &c.frames.front() ? c.firstCaptured : SIZE_MAX);
    }
    EXPECT_EQ(matchesText(PayloadPattern::text(c.pattern), rig.node(0)), c.matches) << c.name;
  }
}

TEST(PayloadSearch, NextMatchingRowGoesRoundTheList) {
  NodeList list;
  for (std::string_view payload : {"key", "a", "b", "KEY", "c"}) {
    list.append(nodeOf(payload));
  }
  const struct {
    std::string_view pattern;
    long from;
    bool forward;
    std::optional<std::size_t> row;
  } cases[] = {
      {"key", -1, true, 0}, {"key", -1, false, 3}, {"key", 0, true, 3},  {"key", 3, true, 0},
      {"key", 4, true, 0},  {"key", 0, false, 3},  {"key", 3, false, 0}, {"key", 2, false, 0},
      {"key", 9, true, 0},  {"key", 9, false, 3},  {"b", 2, true, 2},    {"b", 2, false, 2},
      {"b", 0, false, 2},   {"q", 1, true, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(findMatchingNodes(list, PayloadPattern::text(c.pattern), c.from, c.forward).next,
              c.row)
        << c.pattern << " from " << c.from << (c.forward ? " forward" : " backward");
  }
  EXPECT_EQ(findMatchingNodes(list, PayloadPattern::text("KEY"), 0, true).count, 2u);
  EXPECT_EQ(findMatchingNodes(list, PayloadPattern::text("q"), 0, true).count, 0u);
}

// The text with each Match range in braces and each Gap range in angle brackets, in range order.
std::string marked(const PaneText& pane) {
  std::string text;
  std::size_t done = 0;
  for (const StyledRange& range : pane.ranges) {
    const bool gap = range.style == TextStyle::Gap;
    text += pane.text.substr(done, range.begin - done) + (gap ? "<" : "{") +
            pane.text.substr(range.begin, range.end - range.begin) + (gap ? ">" : "}");
    done = range.end;
  }
  return text + pane.text.substr(done);
}

TEST(HexText, LinesOfSixteenBytesWithStreamOffsets) {
  const std::string pad(45, ' ');
  const struct {
    std::string payload;
    std::vector<PayloadGap> gaps;
    std::vector<ByteRange> matches;
    std::string text;
  } cases[] = {
      {"GET / HTTP/1.1\r\nab",
       {},
       {},
       "00000000  47 45 54 20 2f 20 48 54  54 50 2f 31 2e 31 0d 0a  |GET / HTTP/1.1..|\n"
       "00000010  61 62" +
           pad + "|ab|\n"},
      {"0123456789abcdef\x7f\xff"
       "Z",
       {{17, 32}},
       {{1, 2}, {14, 17}, {18, 19}},
       "00000000  30 {31} 32 33 34 35 36 37  38 39 61 62 63 64 {65 66}  |0{1}23456789abcd{ef}|\n"
       "00000010  {7f}" +
           pad +
           "   |{.}|\n"
           "<-------- 32 bytes not captured -------->\n"
           "00000031  ff {5a}" +
           pad + "|.{Z}|\n"},
      {"", {{0, 5}}, {}, "<-------- 5 bytes not captured -------->\n"},
      {"", {}, {}, "(no payload)\n"},
  };
  for (const auto& c : cases) {
    const auto node = nodeOf(c.payload, c.gaps);
    EXPECT_EQ(marked(hexText(node->facts(), c.matches)), c.text);
  }
}

}  // namespace
}  // namespace wq::testing
