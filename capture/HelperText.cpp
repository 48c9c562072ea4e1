// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/HelperText.h"

#include "capture/DescriptorSink.h"
namespace netsiphon {

void HelperText::add(std::string_view lines) {
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    addLine(lines.substr(0, end));
    lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 1);
  }
}

void HelperText::addLine(std::string_view line) {
  std::string kept(line.substr(0, kMaxLineLength));
  if (line.size() > kMaxLineLength) {
    kept.replace(kMaxLineLength - kCutMark.size(), kCutMark.size(), kCutMark);
  }
  kept += '\n';
  if (text_.size() + kept.size() < wq::kChunkLength) {
    text_ += kept;
  }
}

void HelperText::writeTo(int descriptor, std::string_view linePrefix) const {
  std::string written;
  for (std::size_t start = 0; start < text_.size();) {
    const std::size_t end = text_.find('\n', start) + 1;  // every line has its end
    written.append(linePrefix).append(text_, start, end - start);
    start = end;
  }
  // A reader that has gone leaves nobody to tell.
  (void)writeWhole(
      descriptor, std::span(reinterpret_cast<const std::uint8_t*>(written.data()), written.size()));
}

}  // namespace netsiphon
