// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/Defaults.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>

namespace wq {

namespace {

constexpr int kDefaultMaxPacketSize = 24000;

}  // namespace

SettingList registeredDefaults() {
  return {
      {std::string(keys::MaxPacketSize), std::int64_t{kDefaultMaxPacketSize}},
      {std::string(keys::BPFDevice), std::string("/dev/bpf0")},
      {std::string(keys::InterfaceDevice), std::string("en1")},
      {std::string(keys::CaptureFilter), std::string()},
      {std::string(keys::CaptureHost), std::string()},
      {std::string(keys::PurgeIdleTime), 15.0},
      {std::string(keys::DropOnFIN), false},
      {std::string(keys::DropOnRST), false},
      {std::string(keys::TrackOpenConnections), false},
      {std::string(keys::ReportResolveIPAddresses), false},
      {std::string(keys::ReportRecentNodesFirst), false},
      {std::string(keys::ReportPrograms), false},
      {std::string(keys::LookUpPrograms), true},
      {std::string(keys::ShowProgramColumn), true},
  };
}

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view skipBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) {
    text.remove_prefix(1);
  }
  return text;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

int clampToInt(double value) {
  if (std::isnan(value)) {
    return 0;
  }
  if (value >= static_cast<double>(INT_MAX)) {
    return INT_MAX;
  }
  if (value <= static_cast<double>(INT_MIN)) {
    return INT_MIN;
  }
  return static_cast<int>(value);
}

int clampToInt(std::int64_t value) {
  return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

int intValueOf(std::string_view text) {
  text = skipBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::int64_t magnitude = 0;
  for (char c : text) {
    if (!isDigit(c)) {
      break;
    }
    magnitude = std::min<std::int64_t>(magnitude * 10 + (c - '0'), std::int64_t{INT_MAX} + 1);
  }
  return clampToInt(negative ? -magnitude : magnitude);
}

double doubleValueOf(std::string_view text) {
  text = skipBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // Only decimal notation counts as a number: "inf" and "nan" read as 0.
  const bool startsWithNumber =
      !text.empty() &&
      (isDigit(text.front()) || (text.front() == '.' && text.size() > 1 && isDigit(text[1])));
  if (!startsWithNumber) {
    return 0.0;
  }
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range) {
    // from_chars leaves the value alone; tell a huge number from a tiny one by its exponent.
    const auto e = text.find_first_of("eE");
    value =
        (e != std::string_view::npos && e + 1 < text.size() && text[e + 1] == '-') ? 0.0 : HUGE_VAL;
  }
  return negative ? -value : value;
}

bool boolValueOf(std::string_view text) {
  text = skipBlanks(text);
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && text.front() == '0') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return false;
  }
  const char c = text.front();
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::optional<SettingValue> Defaults::lookup(std::string_view key) const {
  if (auto stored = store_.value(key)) {
    return stored;
  }
  for (const auto& [name, value] : registered_) {
    if (name == key) {
      return value;
    }
  }
  return std::nullopt;
}

int maxPacketSize(const Defaults& defaults) {
  const int stored = defaults.integerValue(keys::MaxPacketSize);
  return stored > 0 ? stored : kDefaultMaxPacketSize;
}

std::optional<std::string> maxPacketSizeProblem(const Defaults& defaults) {
  if (defaults.integerValue(keys::MaxPacketSize) > 0) {
    return std::nullopt;
  }
  return "The MaxPacketSize setting \"" + defaults.stringValue(keys::MaxPacketSize) +
         "\" is no size in bytes above 0: the default, " + std::to_string(kDefaultMaxPacketSize) +
         ", is used.";
}

int Defaults::integerValue(std::string_view key) const {
  const auto value = lookup(key);
  if (!value) {
    return 0;
  }
  return std::visit(
      Overloaded{[](bool b) { return b ? 1 : 0; }, [](std::int64_t i) { return clampToInt(i); },
                 [](double d) { return clampToInt(d); },
                 [](const std::string& s) { return intValueOf(s); }},
      *value);
}

double Defaults::doubleValue(std::string_view key) const {
  const auto value = lookup(key);
  if (!value) {
    return 0.0;
  }
  return std::visit(
      Overloaded{[](bool b) { return b ? 1.0 : 0.0; },
                 [](std::int64_t i) { return static_cast<double>(i); }, [](double d) { return d; },
                 [](const std::string& s) { return doubleValueOf(s); }},
      *value);
}

bool Defaults::boolValue(std::string_view key) const {
  const auto value = lookup(key);
  if (!value) {
    return false;
  }
  return std::visit(Overloaded{[](bool b) { return b; }, [](std::int64_t i) { return i != 0; },
                               [](double d) { return d != 0.0; },
                               [](const std::string& s) { return boolValueOf(s); }},
                    *value);
}

std::string Defaults::stringValue(std::string_view key) const {
  const auto value = lookup(key);
  if (!value) {
    return {};
  }
  return std::visit(Overloaded{[](bool b) { return std::string(b ? "1" : "0"); },
                               [](std::int64_t i) { return std::to_string(i); },
                               [](double d) {
                                 char text[64];
                                 const auto end = std::to_chars(text, text + sizeof text, d).ptr;
                                 return std::string(text, end);
                               },
                               [](const std::string& s) { return s; }},
                    *value);
}

}  // namespace wq
