// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/CaptureSource.h"

#include <net/if.h>
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "capture/CaptureFilter.h"
#include "capture/FileSource.h"
#include "capture/LinkLayer.h"
#include "capture/LiveSource.h"

namespace netsiphon {
namespace {

constexpr std::string_view kLiveDevicePrefix = "/dev/bpf";
// The kernel's interface names hold at most 15 characters and a terminating zero.
constexpr std::size_t kMaxInterfaceNameLength = 15;

StartupProblem openProblem(std::string_view device, std::string_view reason) {
  return {Step::kOpen, std::string(device) + ": " + std::string(reason)};
}

}  // namespace

bool isLiveDevice(std::string_view device) {
  return device.starts_with(kLiveDevicePrefix);
}

OpenedSource openCaptureSource(std::string_view device, std::string_view interfaceName,
                               const SourceOptions& options) {
  if (isLiveDevice(device) && !options.filesOnly) {
    return LiveSource::open(interfaceName, options.filter);
  }
  const std::string path(device);
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    return {nullptr, openProblem(device, std::strerror(errno))};
  }
  if (!S_ISREG(status.st_mode)) {
    return {nullptr, openProblem(device, "not a capture file or a /dev/bpf device")};
  }
  return FileSource::open(path, interfaceName, options);
}

std::optional<std::string> interfaceNameProblem(std::string_view interfaceName) {
  if (interfaceName.empty()) {
    return "The interface name is empty.";
  }
  if (interfaceName.size() > kMaxInterfaceNameLength) {
    return "The interface name is longer than " + std::to_string(kMaxInterfaceNameLength) +
           " characters.";
  }
  return std::nullopt;
}

std::optional<std::string> liveInterfaceProblem(std::string_view interfaceName) {
  if (std::optional<std::string> problem = interfaceNameProblem(interfaceName)) {
    return problem;
  }
  const std::string name(interfaceName);
  if (name != "any" && if_nametoindex(name.c_str()) == 0) {
    return "This machine has no network interface named \"" + name + "\".";
  }
  // The capture library hands these names to its own devices before it looks for an interface,
  // so an interface that merely carries one (a veth called nfqueue0, say) would reach them.
  for (const std::string_view kept : {"nflog", "nfqueue", "usbmon", "bluetooth", "dbus"}) {
    if (interfaceName.starts_with(kept)) {
      return "The interface \"" + name + "\" has a name that the capture library keeps for its " +
             "own devices (" + std::string(kept) + "); rename it to capture on it.";
    }
  }
  return std::nullopt;
}

std::optional<StartupProblem> linkTypeProblem(int linkType) {
  if (isSupportedLinkType(linkType)) {
    return std::nullopt;
  }
  const char* name = pcap_datalink_val_to_name(linkType);
  return StartupProblem{Step::kInterface, "Link type " + std::to_string(linkType) + " (" +
                                              (name != nullptr ? name : "unknown") +
                                              ") cannot be handed out as Ethernet frames."};
}

std::optional<StartupProblem> filterProblem(pcap_t* handle, std::string_view filter) {
  if (filter.empty()) {
    return std::nullopt;
  }
  if (std::optional<std::string> problem = applyCaptureFilter(handle, filter)) {
    return StartupProblem{Step::kFilter, std::move(*problem)};
  }
  return std::nullopt;
}

bool PacketRelay::relay(RecordOutput& output, const pcap_pkthdr& header, const u_char* bytes) {
  const std::span<const std::uint8_t> captured(bytes, header.caplen);
  const std::optional<EthernetFrame> frame = toEthernet(linkType_, captured, header.len);
  if (!frame) {
    ++skipped_;
    return true;
  }
  const Timestamp time{static_cast<std::uint32_t>(header.ts.tv_sec),
                       static_cast<std::uint32_t>(header.ts.tv_usec)};
  return output.add(time, frame->frame());
}

void PacketRelay::writeSummary(std::FILE* out) const {
  if (skipped_ > 0) {
    std::fprintf(out, "netsiphon: skipped %" PRIu64 " packets without a usable link header.\n",
                 skipped_);
  }
}

}  // namespace netsiphon
