// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The small text conversions shared by the panels, the node texts and the report.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tracking/Platform.h"
#include "tracking/decode/FlowKey.h"

namespace wq {

// Formats a time point in the local time zone with a strftime format. Names of weekdays and
// months are English whatever the process locale is.
std::string formatLocalTime(TimePoint time, const char* format);

// "%H:%M:%S" in the local time zone: how clock times are shown everywhere.
std::string clockText(TimePoint time);

// The text of an address: dotted for IPv4, the standard compressed form (RFC 5952) for IPv6;
// nothing when the conversion fails.
std::optional<std::string> addressText(const IpAddress& address);

// The same, logging "inet_ntop error\n" and giving an empty text when the conversion fails.
std::string addressText(const IpAddress& address, LogSink& log);

// The address that a text in either family names, if it names one.
std::optional<IpAddress> parseAddress(const std::string& text);

// "ICMP Packet", "ICMPv6 Packet", "TCP Packet" or "UDP Packet"; empty for any other protocol.
std::string_view protocolLabel(std::uint32_t protocol);

// A port held in network byte order, as the number people know it by.
std::uint16_t hostOrderPort(std::uint16_t networkOrderPort);

}  // namespace wq
