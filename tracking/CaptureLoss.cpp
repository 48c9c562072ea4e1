#include "tracking/CaptureLoss.h"

#include <charconv>
#include <optional>

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

// The number in `text` before `after`, which must follow it directly.
std::optional<std::uint64_t> numberBefore(std::string_view text, std::string_view after) {
  const std::optional<std::uint64_t> number = leadingNumber(text);
  return number && text.starts_with(after) ? number : std::nullopt;
}

}  // namespace

bool CaptureLoss::take(std::string_view line) {
  constexpr std::string_view kHelper = "netsiphon: ";
  if (line.starts_with(kHelper)) {
    std::string_view rest = line.substr(kHelper.size());
    if (!leadingNumber(rest) || !rest.starts_with(" packets received, ")) {
      return false;
    }
    rest.remove_prefix(std::string_view(" packets received, ").size());
    const std::optional<std::uint64_t> kernel = leadingNumber(rest);
    constexpr std::string_view kLibrary = " dropped by the capture library, ";
    if (!kernel || !rest.starts_with(kLibrary)) {
      return false;
    }
    rest.remove_prefix(kLibrary.size());
    const std::optional<std::uint64_t> interface = numberBefore(rest, " dropped by the interface.");
    if (!interface) {
      return false;
    }
    kernel_ = *kernel;
    interface_ = *interface;
  } else if (const auto kernel = numberBefore(line, " packets dropped by kernel")) {
    kernel_ = *kernel;
  } else if (const auto interface = numberBefore(line, " packets dropped by interface")) {
    interface_ = *interface;
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
