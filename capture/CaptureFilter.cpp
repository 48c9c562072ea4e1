// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/CaptureFilter.h"

#include "capture/CaptureSource.h"
#include "stream/CaptureStreamFormat.h"

namespace netsiphon {
namespace {

// Compiles the expression for the handle and, when asked, sets it; libpcap's message when either
// fails. No netmask is known for every source, so expressions that need one ("ip broadcast") are
// refused alike everywhere.
std::optional<std::string> compile(pcap_t* handle, std::string_view expression, bool set) {
  bpf_program program{};
  if (pcap_compile(handle, &program, std::string(expression).c_str(), 1, PCAP_NETMASK_UNKNOWN) !=
      0) {
    return pcap_geterr(handle);
  }
  const int status = set ? pcap_setfilter(handle, &program) : 0;
  pcap_freecode(&program);
  if (status != 0) {
    return pcap_geterr(handle);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> captureFilterProblem(std::string_view expression) {
  if (expression.empty()) {
    return std::nullopt;
  }
  const PcapHandle handle(pcap_open_dead(DLT_EN10MB, static_cast<int>(wq::kMaxSnapshotLength)));
  if (!handle) {
    return "The capture library could not check the filter.";
  }
  return compile(handle.get(), expression, false);
}

std::optional<std::string> applyCaptureFilter(pcap_t* handle, std::string_view expression) {
  return compile(handle, expression, true);
}

}  // namespace netsiphon
