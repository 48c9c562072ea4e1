// SPDX-License-Identifier: GPL-3.0-or-later
// The helper's own text for the application: its start-up steps, failures and closing line.
//
// The text goes out after the last chunk, where the application takes whatever does not make a
// whole chunk for text. So it must stay shorter than a chunk whatever it echoes (a device path may
// be thousands of characters long): each line is cut to kMaxLineLength, and a line that would
// bring the text to a chunk's length is left out.
#pragma once

#include <string>
#include <string_view>

#include "stream/CaptureStreamFormat.h"

namespace netsiphon {

class HelperText {
 public:
  // The longest line kept, without its line end. Fifteen lines at most fit in a chunk, as many as
  // the helper ever writes.
  static constexpr std::size_t kMaxLineLength = 255;
  static constexpr std::string_view kCutMark = "...";

  // Adds one or more lines; a last line without a line end is given one.
  void add(std::string_view lines);
  const std::string& text() const { return text_; }
  // Writes the whole text to the descriptor, each line after `linePrefix`.
  void writeTo(int descriptor, std::string_view linePrefix = {}) const;

 private:
  void addLine(std::string_view line);

  std::string text_;
};

}  // namespace netsiphon
