#pragma once
// The small text conversions shared by the panels, the node texts and the report.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tracking/Platform.h"

namespace wq {

// Formats a time point in the local time zone with a strftime format. Names of weekdays and
// months are English whatever the process locale is.
std::string formatLocalTime(TimePoint time, const char* format);

// "%H:%M:%S" in the local time zone: how clock times are shown everywhere.
std::string clockText(TimePoint time);

// The dotted text of an IPv4 address held in network byte order; nothing when the conversion
// fails.
std::optional<std::string> dottedAddress(std::uint32_t address);

// The same, logging "inet_ntop error\n" and giving an empty text when the conversion fails.
std::string dottedAddress(std::uint32_t address, LogSink& log);

// "ICMP Packet", "TCP Packet" or "UDP Packet"; empty for any other protocol.
std::string_view protocolLabel(std::uint32_t protocol);

// A port held in network byte order, as the number people know it by.
std::uint16_t hostOrderPort(std::uint16_t networkOrderPort);

}  // namespace wq
