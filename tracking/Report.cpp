#include "Report.h"

#include <algorithm>

#include "NodeText.h"
#include "TextFormat.h"

namespace wq {

namespace {

constexpr std::size_t kMaxHostNameLength = 1023;

void appendNodeBlock(std::string& text, const WQMConnection& node, const ReportOptions& options,
                     HostResolver& resolver, LogSink& log) {
  std::string source = dottedAddress(node.saddr(), log);
  std::string destination = dottedAddress(node.daddr(), log);
  if (options.resolveIPAddresses) {
    destination = resolveHost(node.daddr(), resolver, log);
    source = resolveHost(node.saddr(), resolver, log);
  }
  appendNodeSummary(text, node.facts(), source, destination);
  text += "Raw Data:\n\n";
  appendPayloadText(text, node.packetData());
  text += "\n\n-----------------------------------------------------------------------\n\n";
}

}  // namespace

std::string resolveHost(std::uint32_t address, HostResolver& resolver, LogSink& log) {
  std::string name = resolver.hostName(address).value_or("");
  if (name.empty()) {
    name = dottedAddress(address, log);
  }
  if (name.size() > kMaxHostNameLength) {
    name.resize(kMaxHostNameLength);
  }
  return name;
}

void writeReport(const NodeList& nodes, const ReportOptions& options, const Clock& clock,
                 HostResolver& resolver, LogSink& log, const ReportSink& sink) {
  if (options.resolveIPAddresses) {
    std::vector<std::uint32_t> addresses;
    nodes.forEach([&](const WQMConnection& node) {
      addresses.push_back(node.daddr());
      addresses.push_back(node.saddr());
    });
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    resolver.prepare(addresses);
  }
  std::string text = formatLocalTime(clock.now(), "Wirequill Report\n(%A, %B %d, %Y)\n");
  text += formatLocalTime(clock.now(), "%H:%M:%S, %Z\n\n");
  sink(text);
  const auto writeBlock = [&](const WQMConnection& node) {
    text.clear();
    appendNodeBlock(text, node, options, resolver, log);
    sink(text);
  };
  if (options.recentNodesFirst) {
    for (std::size_t i = nodes.size(); i-- > 0;) {
      writeBlock(nodes.at(i));
    }
  } else {
    nodes.forEach(writeBlock);
  }
}

std::string reportText(const NodeList& nodes, const ReportOptions& options, const Clock& clock,
                       HostResolver& resolver, LogSink& log) {
  std::string text;
  writeReport(nodes, options, clock, resolver, log, [&](std::string_view piece) { text += piece; });
  return text;
}

}  // namespace wq
