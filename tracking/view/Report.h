// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The plain-text report of the node list.

#include <functional>
#include <string>
#include <string_view>

#include "tracking/Platform.h"
#include "tracking/nodes/NodeList.h"

namespace wq {

struct ReportOptions {
  bool recentNodesFirst = false;    // the last node of the list first
  bool resolveIPAddresses = false;  // host names by reverse lookup instead of dotted addresses
  bool programs = false;            // each node ends with the programs behind it
};

// The host name of an address (network byte order), or its dotted text when it has none; at
// most 1023 bytes.
std::string resolveHost(const IpAddress& address, HostResolver& resolver, LogSink& log);

// Receives the report piece by piece (the header, then one node block at a time), so that a
// report of many nodes is never held whole.
using ReportSink = std::function<void(std::string_view)>;

// The report: a dated header, then one block per node (its summary, "Raw Data:" and its payload
// text), each ended by a line of 71 hyphens.
void writeReport(const NodeList& nodes, const ReportOptions& options, const Clock& clock,
                 HostResolver& resolver, LogSink& log, const ReportSink& sink);
std::string reportText(const NodeList& nodes, const ReportOptions& options, const Clock& clock,
                       HostResolver& resolver, LogSink& log);

}  // namespace wq
