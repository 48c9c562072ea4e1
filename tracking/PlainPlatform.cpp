// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/PlainPlatform.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>

namespace wq {

namespace {

// A longer log line is cut to this many characters, in the system log and on standard error.
constexpr std::size_t kMaxLogLineLength = 4096;

}  // namespace

SystemLog::SystemLog() {
  openlog("Wirequill", LOG_PID, LOG_USER);
}

SystemLog::~SystemLog() {
  closelog();
}

void SystemLog::log(std::string_view line) {
  while (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
  }
  const int length = static_cast<int>(std::min(line.size(), kMaxLogLineLength));
  syslog(LOG_NOTICE, "%.*s", length, line.data());
  std::fprintf(stderr, "Wirequill: %.*s\n", length, line.data());
}

std::optional<SettingValue> MemorySettingsStore::value(std::string_view key) const {
  const auto found = values_.find(key);
  if (found == values_.end()) {
    return std::nullopt;
  }
  return found->second;
}

void MemorySettingsStore::setValue(std::string_view key, const SettingValue& value) {
  values_.insert_or_assign(std::string(key), value);
}

void MemorySettingsStore::remove(std::string_view key) {
  if (const auto found = values_.find(key); found != values_.end()) {
    values_.erase(found);
  }
}

void OverlaySettingsStore::overrideForThisRun(std::string_view key, const SettingValue& value) {
  overrides_.setValue(key, value);
}

std::optional<SettingValue> OverlaySettingsStore::value(std::string_view key) const {
  if (auto value = overrides_.value(key)) {
    return value;
  }
  return base_.value(key);
}

void MemoryTableView::reloadData() {
  ++reloads;
  rows_ = rowCountSource_();
  if (selected_ >= rows_) {
    selected_ = kNoRow;
    selectionDidChange_();
  }
}

void MemoryTableView::selectRow(int row) {
  if (row == selected_ || row < 0 || row >= rows_) {
    return;
  }
  selected_ = row;
  selectionDidChange_();
}

std::optional<std::string> SystemHostResolver::hostName(const IpAddress& address) {
  sockaddr_storage socketAddress{};
  socklen_t length = 0;
  if (address.family == IpAddress::kV4) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(socketAddress);
    v4.sin_family = AF_INET;
    std::memcpy(&v4.sin_addr, address.bytes.data(), sizeof v4.sin_addr);
    length = sizeof v4;
  } else {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(socketAddress);
    v6.sin6_family = AF_INET6;
    std::memcpy(&v6.sin6_addr, address.bytes.data(), sizeof v6.sin6_addr);
    length = sizeof v6;
  }
  char name[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), length, name, sizeof name,
                  nullptr, 0, NI_NAMEREQD) != 0) {
    return std::nullopt;
  }
  return std::string(name);
}

std::optional<std::string> TableHostResolver::hostName(const IpAddress& address) {
  asked.push_back(address);
  const auto found = names.find(address);
  if (found == names.end()) {
    return std::nullopt;
  }
  return found->second;
}

}  // namespace wq
