// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/TextFormat.h"

#include <arpa/inet.h>
#include <locale.h>
#include <time.h>

namespace wq {

namespace {

// The POSIX locale, so that formats do not follow whatever locale the process has set.
locale_t posixLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::string formatLocalTime(TimePoint time, const char* format) {
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(time));
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) {
    return {};
  }
  char text[256];
  const std::size_t length = strftime_l(text, sizeof text, format, &local, posixLocale());
  return std::string(text, length);
}

std::string clockText(TimePoint time) {
  return formatLocalTime(time, "%H:%M:%S");
}

std::optional<std::string> addressText(const IpAddress& address) {
  char text[INET6_ADDRSTRLEN];
  const int family = address.family == IpAddress::kV4 ? AF_INET : AF_INET6;
  if (inet_ntop(family, address.bytes.data(), text, sizeof text) == nullptr) {
    return std::nullopt;
  }
  return std::string(text);
}

std::string addressText(const IpAddress& address, LogSink& log) {
  if (auto text = addressText(address)) {
    return *text;
  }
  log.log("inet_ntop error\n");
  return {};
}

std::optional<IpAddress> parseAddress(const std::string& text) {
  // A text with a NUL inside would otherwise be read only up to it.
  if (text.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  IpAddress address;
  if (inet_pton(AF_INET, text.c_str(), address.bytes.data()) == 1) {
    return address;
  }
  address.family = IpAddress::kV6;
  if (inet_pton(AF_INET6, text.c_str(), address.bytes.data()) == 1) {
    return address;
  }
  return std::nullopt;
}

std::string_view protocolLabel(std::uint32_t protocol) {
  switch (protocol) {
    case 1:
      return "ICMP Packet";
    case 58:
      return "ICMPv6 Packet";
    case 6:
      return "TCP Packet";
    case 17:
      return "UDP Packet";
    default:
      return {};
  }
}

std::uint16_t hostOrderPort(std::uint16_t networkOrderPort) {
  return ntohs(networkOrderPort);
}

}  // namespace wq
