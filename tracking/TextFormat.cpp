#include "tracking/TextFormat.h"

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

std::optional<std::string> dottedAddress(std::uint32_t address) {
  char text[16];
  if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) {
    return std::nullopt;
  }
  return std::string(text);
}

std::string dottedAddress(std::uint32_t address, LogSink& log) {
  if (auto text = dottedAddress(address)) {
    return *text;
  }
  log.log("inet_ntop error\n");
  return {};
}

std::string_view protocolLabel(std::uint32_t protocol) {
  switch (protocol) {
    case 1:
      return "ICMP Packet";
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
