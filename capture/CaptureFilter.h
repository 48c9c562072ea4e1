// SPDX-License-Identifier: GPL-3.0-or-later
// Capture filters: libpcap filter expressions, compiled by libpcap and applied to a capture handle
// (in the kernel for live capture, by libpcap as it reads a capture file). An empty expression
// means no filter.
#pragma once

#include <pcap/pcap.h>

#include <optional>
#include <string>
#include <string_view>

namespace netsiphon {

// Why libpcap will not compile `expression` (its own message), or nothing when it compiles or is
// empty. Compiled for Ethernet, the link type every capture is handed out in, so that the
// application can refuse an expression before anything starts.
std::optional<std::string> captureFilterProblem(std::string_view expression);

// Compiles `expression` for the handle and sets it; libpcap's message when either fails.
std::optional<std::string> applyCaptureFilter(pcap_t* handle, std::string_view expression);

}  // namespace netsiphon
