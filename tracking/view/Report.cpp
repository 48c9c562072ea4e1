// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/Report.h"

#include <algorithm>
#include <future>
#include <optional>
#include <span>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tracking/PlainPlatform.h"
#include "tracking/view/NodeText.h"
#include "tracking/view/ProgramText.h"
#include "tracking/view/TextFormat.h"

namespace wq {

namespace {

constexpr std::size_t kMaxHostNameLength = 1023;

// The report is formatted in parts of consecutive nodes, several parts at once on threads of
// their own, and written part by part in order. A part ends after this much payload or this many
// nodes, so that the parts in flight hold a few MiB of text at most.
constexpr std::size_t kPartPayloadBytes = 1 << 20;
constexpr std::size_t kPartNodes = 4096;
// Room for a node block's text besides its payload text and host names.
constexpr std::size_t kBlockTextRoom = 256;

using NodeOrder = std::vector<const WQMConnection*>;
// The host name or address text of every address of the report, when names are reported.
using AddressNames = std::unordered_map<IpAddress, std::string, IpAddressHash>;

// One part's text and what formatting it would have logged, passed on in order. Its memory is
// kept from part to part.
struct FormattedPart {
  std::string text;
  MemoryLog log;
};

// The clock text of each second, worked out once per part: the nodes of a report share few
// seconds, and working out the local time is the dearest step of a summary.
class ClockTexts {
 public:
  const std::string& of(TimePoint time) {
    const auto second = std::chrono::floor<std::chrono::seconds>(time).time_since_epoch().count();
    auto [entry, added] = texts_.try_emplace(second);
    if (added) {
      entry->second = clockText(time);
    }
    return entry->second;
  }

 private:
  std::unordered_map<std::int64_t, std::string> texts_;
};

// What every block of one report shows besides the node itself.
struct BlockOptions {
  const AddressNames* names;  // null: addresses as texts
  bool programs;
};

void appendNodeBlock(std::string& text, const WQMConnection& node, const BlockOptions& options,
                     ClockTexts& clockTexts, LogSink& log) {
  const AddressNames* names = options.names;
  const std::string& startHit = clockTexts.of(node.startHit());
  const std::string& lastHit = clockTexts.of(node.lastHit());
  const NodeFacts facts = node.facts();
  if (names != nullptr) {
    appendNodeSummary(text, facts,
                      {startHit, lastHit, names->at(node.saddr()), names->at(node.daddr())});
  } else {
    appendNodeSummary(
        text, facts,
        {startHit, lastHit, addressText(node.saddr(), log), addressText(node.daddr(), log)});
  }
  text += "Raw Data:\n\n";
  appendPayloadText(text, facts);
  if (options.programs) {
    text += "\n\n" + programLine(facts.programs);
  }
  text += "\n\n-----------------------------------------------------------------------\n\n";
}

void formatPart(std::span<const WQMConnection* const> nodes, const BlockOptions& options,
                FormattedPart& part) {
  part.text.clear();
  part.log.lines.clear();
  ClockTexts clockTexts;
  for (const WQMConnection* node : nodes) {
    appendNodeBlock(part.text, *node, options, clockTexts, part.log);
  }
}

// The nodes in report order, and where each part of the report ends.
struct ReportOrder {
  struct Part {
    std::size_t end;        // one past its last node
    std::size_t textBound;  // its text is no longer, host names apart
  };
  NodeOrder nodes;
  std::vector<Part> parts;
};

ReportOrder reportOrder(const NodeList& list, bool recentNodesFirst) {
  ReportOrder order;
  order.nodes.reserve(list.size());
  list.forEach([&](const WQMConnection& node) { order.nodes.push_back(&node); });
  if (recentNodesFirst) {
    std::reverse(order.nodes.begin(), order.nodes.end());
  }
  std::size_t payload = 0;
  std::size_t nodes = 0;
  std::size_t textBound = 0;
  for (std::size_t i = 0; i < order.nodes.size(); ++i) {
    const std::size_t bytes = order.nodes[i]->byteCount();
    payload += bytes;
    // A payload's text is at most its bytes and a line break after every 76th.
    textBound += bytes + bytes / 76 + 1 + kBlockTextRoom;
    if (++nodes == kPartNodes || payload >= kPartPayloadBytes || i + 1 == order.nodes.size()) {
      order.parts.push_back({i + 1, textBound});
      payload = 0;
      nodes = 0;
      textBound = 0;
    }
  }
  return order;
}

// Names every address, looking up each node's destination before its source.
AddressNames nameAddresses(const NodeOrder& order, HostResolver& resolver, LogSink& log) {
  std::vector<IpAddress> addresses;
  for (const WQMConnection* node : order) {
    addresses.push_back(node->daddr());
    addresses.push_back(node->saddr());
  }
  std::vector<IpAddress> distinct = addresses;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  resolver.prepare(distinct);
  AddressNames names;
  for (const IpAddress& address : addresses) {
    if (!names.contains(address)) {
      names.emplace(address, resolveHost(address, resolver, log));
    }
  }
  return names;
}

}  // namespace

std::string resolveHost(const IpAddress& address, HostResolver& resolver, LogSink& log) {
  std::string name = resolver.hostName(address).value_or("");
  if (name.empty()) {
    name = addressText(address, log);
  }
  if (name.size() > kMaxHostNameLength) {
    name.resize(kMaxHostNameLength);
  }
  return name;
}

void writeReport(const NodeList& nodes, const ReportOptions& options, const Clock& clock,
                 HostResolver& resolver, LogSink& log, const ReportSink& sink) {
  const ReportOrder order = reportOrder(nodes, options.recentNodesFirst);
  std::optional<AddressNames> names;
  if (options.resolveIPAddresses) {
    names = nameAddresses(order.nodes, resolver, log);
  }
  const BlockOptions blockOptions{names ? &*names : nullptr, options.programs};

  sink(formatLocalTime(clock.now(), "Wirequill Report\n(%A, %B %d, %Y)\n") +
       formatLocalTime(clock.now(), "%H:%M:%S, %Z\n\n"));
  const auto writePart = [&](const FormattedPart& part) {
    for (const std::string& line : part.log.lines) {
      log.log(line);
    }
    sink(part.text);
  };

  const std::vector<ReportOrder::Part>& parts = order.parts;
  if (parts.size() <= 1) {
    FormattedPart part;
    formatPart(order.nodes, blockOptions, part);
    writePart(part);
    return;
  }
  // Part k is formatted into slot k % slots.size() while the parts before it are written. A
  // slot's memory is reserved here, on the thread that tracked the nodes and whose heap holds
  // the room they have given back, rather than afresh in the formatting thread's own heap.
  std::vector<FormattedPart> slots(std::max(1U, std::thread::hardware_concurrency()));
  std::vector<std::future<void>> formatting(slots.size());
  const auto finishPart = [&](std::size_t k) {
    formatting[k % slots.size()].get();
    writePart(slots[k % slots.size()]);
  };
  std::size_t begin = 0;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (k >= slots.size()) {
      finishPart(k - slots.size());
    }
    FormattedPart& slot = slots[k % slots.size()];
    slot.text.reserve(parts[k].textBound);
    const std::span<const WQMConnection* const> part(order.nodes.data() + begin,
                                                     parts[k].end - begin);
    formatting[k % slots.size()] =
        std::async(std::launch::async, formatPart, part, std::cref(blockOptions), std::ref(slot));
    begin = parts[k].end;
  }
  for (std::size_t k = parts.size() > slots.size() ? parts.size() - slots.size() : 0;
       k < parts.size(); ++k) {
    finishPart(k);
  }
}

std::string reportText(const NodeList& nodes, const ReportOptions& options, const Clock& clock,
                       HostResolver& resolver, LogSink& log) {
  std::string text;
  writeReport(nodes, options, clock, resolver, log, [&](std::string_view piece) { text += piece; });
  return text;
}

}  // namespace wq
