// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/LaunchLog.h"

#include <charconv>

namespace wq {

namespace {

std::string flag(const Defaults& defaults, std::string_view key) {
  return defaults.boolValue(key) ? "1" : "0";
}

std::string captureFilterLine(const Defaults& defaults) {
  const std::string filter = defaults.stringValue(keys::CaptureFilter);
  return filter.empty() ? "Launching Wirequill using no capture filter.\n"
                        : "Launching Wirequill using capture filter \"" + filter + "\".\n";
}

std::string captureHostLine(const Defaults& defaults) {
  const std::string host = defaults.stringValue(keys::CaptureHost);
  return host.empty() ? "Launching Wirequill capturing on this machine.\n"
                      : "Launching Wirequill capturing on host " + host + ".\n";
}

}  // namespace

std::vector<std::string> launchSettingsLines(const Defaults& defaults) {
  // Six decimals with a point, whatever the process locale.
  char idleTime[400];
  const double seconds = defaults.doubleValue(keys::PurgeIdleTime);
  const char* idleEnd =
      std::to_chars(idleTime, idleTime + sizeof idleTime, seconds, std::chars_format::fixed, 6).ptr;
  std::vector<std::string> lines;
  if (const std::optional<std::string> problem = maxPacketSizeProblem(defaults)) {
    lines.push_back(*problem + "\n");
  }
  lines.insert(
      lines.end(),
      {
          "Launching Wirequill with MAXPACKETSIZE of " + std::to_string(maxPacketSize(defaults)) +
              ".\n",
          "Launching Wirequill using BPF device " + defaults.stringValue(keys::BPFDevice) + ".\n",
          "Launching Wirequill using interface device " +
              defaults.stringValue(keys::InterfaceDevice) + ".\n",
          captureFilterLine(defaults),
          captureHostLine(defaults),
          "Launching Wirequill using purge idle time of " +
              std::string(static_cast<const char*>(idleTime), idleEnd) + ".\n",
          "Launching Wirequill dropping FIN nodes = " + flag(defaults, keys::DropOnFIN) + ".\n",
          "Launching Wirequill dropping RST nodes = " + flag(defaults, keys::DropOnRST) + ".\n",
          "Launching Wirequill tracking connections open before capture = " +
              flag(defaults, keys::TrackOpenConnections) + ".\n",
          "Launching Wirequill resolving report IP addresses = " +
              flag(defaults, keys::ReportResolveIPAddresses) + ".\n",
          "Launching Wirequill reporting recent nodes first = " +
              flag(defaults, keys::ReportRecentNodesFirst) + ".\n",
      });
  return lines;
}

}  // namespace wq
