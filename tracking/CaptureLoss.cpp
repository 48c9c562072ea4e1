// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/CaptureLoss.h"

#include <charconv>
#include <optional>
#include <vector>

#include "stream/CaptureStreamFormat.h"

namespace wq {

namespace {

// The number that `text` starts with, and the rest after it.
std::optional<std::uint64_t> leadingNumber(std::string_view& text) {
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end == text.data()) {
    return std::nullopt;
  }
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return number;
}

// The numbers of `line`, read by the printf `format` that wrote it (its "%u"s, and its text to the
// letter but the line end); nothing when the line is not one it wrote.
std::optional<std::vector<std::uint64_t>> numbersOf(std::string_view line,
                                                    std::string_view format) {
  std::vector<std::uint64_t> numbers;
  if (format.ends_with('\n')) {
    format.remove_suffix(1);
  }
  while (!format.empty()) {
    const std::size_t field = format.find("%u");
    if (!line.starts_with(format.substr(0, field))) {
      return std::nullopt;
    }
    if (field == std::string_view::npos) {
      line.remove_prefix(format.size());
      break;
    }
    line.remove_prefix(field);
    format.remove_prefix(field + 2);
    const std::optional<std::uint64_t> number = leadingNumber(line);
    if (!number) {
      return std::nullopt;
    }
    numbers.push_back(*number);
  }
  return line.empty() ? std::optional(numbers) : std::nullopt;
}

}  // namespace

bool CaptureLoss::take(std::string_view line) {
  if (const auto helper = numbersOf(line, kCaptureCountsLine)) {
    kernel_ = (*helper)[1];
    interface_ = (*helper)[2];
  } else if (const auto kernel = numbersOf(line, "%u packets dropped by kernel")) {
    kernel_ = kernel->front();
  } else if (const auto interface = numbersOf(line, "%u packets dropped by interface")) {
    interface_ = interface->front();
  } else {
    return false;
  }
  told_ = true;
  return true;
}

std::string CaptureLoss::text() const {
  // Thousands apart, as "12,431".
  const std::string digits = std::to_string(dropped());
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      grouped += ',';
    }
    grouped += digits[i];
  }
  return grouped + (dropped() == 1 ? " packet" : " packets") +
         " dropped by the kernel since capture started";
}

}  // namespace wq
