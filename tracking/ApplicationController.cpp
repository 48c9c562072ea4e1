#include "tracking/ApplicationController.h"

#include <arpa/inet.h>

#include <algorithm>
#include <thread>

#include "tracking/NodeText.h"
#include "tracking/Report.h"
#include "tracking/TextFormat.h"

namespace wq {

namespace {
// After this long without a packet a node is taken to have stopped growing.
constexpr double kQuietSeconds = 1.0;
}  // namespace

struct ApplicationController::Settings {
  int maxPacketSize;
  bool dropOnFIN;
  bool dropOnRST;
};

ApplicationController::ApplicationController(Defaults& defaults, const Clock& clock, LogSink& log,
                                             HostResolver& resolver)
    : defaults_(defaults),
      clock_(clock),
      log_(log),
      resolver_(resolver),
      nodeAddedBox_(log),
      nodeDroppedBox_(log) {}

void ApplicationController::awakeFromNib(const Outlets& outlets) {
  outlets_ = outlets;
  nodeAddedBox_.setStatusLight(lights::IntakeRuns);
  nodeDroppedBox_.setStatusLight(lights::PurgeRuns);
  connectionsArray_.clear();
}

// --- Activity panels and halt switches

void ApplicationController::nodeAddedHalt(const ToggleButton& sender) {
  nodeAddedHalted_ = sender.state() == ToggleButton::kOn;
  nodeAddedBox_.setStatusLight(nodeAddedHalted_ ? lights::Halted : lights::IntakeRuns);
}

void ApplicationController::nodeDroppedHalt(const ToggleButton& sender) {
  nodeDroppedHalted_ = sender.state() == ToggleButton::kOn;
  nodeDroppedBox_.setStatusLight(nodeDroppedHalted_ ? lights::Halted : lights::PurgeRuns);
}

void ApplicationController::haltAll() {
  outlets_.nodeAddedHaltedButton->setState(ToggleButton::kOn);
  nodeAddedHalted_ = true;
  nodeAddedBox_.setStatusLight(lights::Halted);
  outlets_.nodeDroppedHaltedButton->setState(ToggleButton::kOn);
  nodeDroppedHalted_ = true;
  nodeDroppedBox_.setStatusLight(lights::Halted);
}

// --- Capture intake

void ApplicationController::dataReceived(ByteView bytes) {
  ViewBatch batch(*this);
  const Settings settings = readSettings();
  streamReader_.feed(bytes, [&](ByteView chunk) { decodeChunk(chunk, settings); });
}

void ApplicationController::decodeCaptureBuffer(ByteView chunk) {
  ViewBatch batch(*this);
  decodeChunk(chunk, readSettings());
}

ApplicationController::Settings ApplicationController::readSettings() const {
  return {defaults_.integerValue(keys::MaxPacketSize), defaults_.boolValue(keys::DropOnFIN),
          defaults_.boolValue(keys::DropOnRST)};
}

void ApplicationController::decodeChunk(ByteView chunk, const Settings& settings) {
  CaptureRecordCursor records(chunk);
  while (const auto record = records.next()) {
    if (recordObserver_) {
      recordObserver_(*record);
    }
    if (const auto packet = decodeFrame(record->frame)) {
      handlePacket(*packet, settings);
    }
  }
}

void ApplicationController::handlePacket(const DecodedPacket& packet, const Settings& settings) {
  if (nodeAddedHalted_) {
    return;  // intake halted: the packet is read and dropped
  }
  if (packet.protocol == ipproto::TCP) {
    handleTcpSegment(packet, settings);
    return;
  }
  // Every ICMP message and UDP datagram with payload makes a node of its own.
  const auto length = static_cast<std::int64_t>(packet.payload.size());
  if (length > 0 && length < settings.maxPacketSize) {
    addNode(packet, settings);
  }
}

void ApplicationController::handleTcpSegment(const DecodedPacket& packet,
                                             const Settings& settings) {
  const std::uint8_t flags = packet.tcpFlags;
  const auto length = static_cast<std::int64_t>(packet.payload.size());
  const bool payloadFits = length > 0 && length < settings.maxPacketSize;

  if ((flags & tcpflags::SYN) && payloadFits) {
    addNode(packet, settings);
    return;
  }
  if ((flags & tcpflags::ACK) && payloadFits) {
    const auto match = connectionsArray_.firstMatch(packet.flow);
    if (!match) {
      return;
    }
    WQMConnection& node = connectionsArray_.node(*match);
    const std::int64_t grown = std::int64_t{node.byteCount()} + length;
    if (grown > settings.maxPacketSize || grown > std::int64_t{node.bufferSize()}) {
      nodeDroppedBox_.showFlow(ipproto::TCP, packet.flow, clock_.now());
      discardNode(connectionsArray_.remove(*match));
    } else {
      node.setLastHit(clock_.now());
      node.augmentPacketData(packet.payload.data(), static_cast<std::uint32_t>(length));
      if (flags & tcpflags::FIN) {
        node.releaseSpareRoom();  // its last data
      }
      nodeAddedBox_.showFlow(ipproto::TCP, node.flowKey(), node.lastHit());
      connectionsArray_.moveToEnd(*match);
    }
    revealLastNode();
    return;
  }
  if ((flags & tcpflags::FIN) && settings.dropOnFIN) {
    dropMatchingNode(packet.flow, "Dropping node on FIN...");
    return;  // RST is not looked at then
  }
  if (flags & tcpflags::FIN) {
    // The sender has finished: its node will not grow again and needs no spare room.
    if (const auto match = connectionsArray_.firstMatch(packet.flow)) {
      connectionsArray_.node(*match).releaseSpareRoom();
    }
  }
  if ((flags & tcpflags::RST) && settings.dropOnRST) {
    dropMatchingNode(packet.flow, "Dropping node on RST...");
  }
}

void ApplicationController::addNode(const DecodedPacket& packet, const Settings& settings) {
  auto node = std::make_unique<WQMConnection>(clock_.now(), settings.maxPacketSize);
  node->setProtocol(packet.protocol);
  node->setsaddr(reinterpret_cast<const std::uint8_t*>(&packet.flow.saddr));
  node->setdaddr(reinterpret_cast<const std::uint8_t*>(&packet.flow.daddr));
  node->setsport(packet.flow.sport);
  node->setdport(packet.flow.dport);
  node->setPacketData(packet.payload.data(), static_cast<std::uint32_t>(packet.payload.size()));
  nodeAddedBox_.showNode(*node);
  connectionsArray_.append(std::move(node));
  revealLastNode();
}

void ApplicationController::dropMatchingNode(const FlowKey& flow, const char* logLine) {
  const auto match = connectionsArray_.firstMatch(flow);
  if (!match) {
    return;
  }
  log_.log(logLine);
  discardNode(connectionsArray_.remove(*match));
  revealLastNode();
}

void ApplicationController::discardNode(NodeList::NodePtr node) {
  // A detail text that a batch still owes must be built before its node is gone.
  if (batch_ && batch_->detail && batch_->detail->node == node.get()) {
    materialize(*batch_->detail);
  }
}

// --- Table and selection

void ApplicationController::revealLastNode() {
  if (batch_) {
    deferReveal();
  } else {
    revealNow();
  }
}

void ApplicationController::revealNow() {
  NodeTableView& table = *outlets_.nodesTableView;
  table.reloadData();
  const int rows = table.numberOfRows();
  if (rows > 0) {
    table.scrollRowToVisible(rows - 1);
    table.selectRow(rows - 1);
  }
}

void ApplicationController::beginBatch() {
  batch_ = BatchState{outlets_.nodesTableView->selectedRow(), false, std::nullopt};
}

void ApplicationController::deferReveal() {
  // What the table would do: a reload forgets a selected row that is gone; selecting the last
  // row reports a selection change only when it differs.
  BatchState& batch = *batch_;
  batch.revealed = true;
  const int rows = numberOfRowsInTableView();
  if (batch.selection >= rows) {
    batch.selection = NodeTableView::kNoRow;
  }
  if (rows > 0 && batch.selection != rows - 1) {
    batch.selection = rows - 1;
    const WQMConnection& node = connectionsArray_.back();
    nodeAddedBox_.showNode(node);
    batch.detail = PendingDetail{&node, node.lastHit(), node.byteCount(), std::nullopt};
  }
}

void ApplicationController::materialize(PendingDetail& detail) {
  if (detail.text) {
    return;
  }
  NodeFacts facts = detail.node->facts();
  facts.lastHit = detail.lastHit;
  facts.payload = facts.payload.first(detail.byteCount);
  detail.text = detailText(facts, log_);
}

void ApplicationController::endBatch() {
  BatchState batch = std::move(*batch_);
  batch_.reset();
  if (!batch.revealed) {
    return;
  }
  if (batch.detail) {
    materialize(*batch.detail);
  }
  // The table's own selection report is ignored: the batch has already applied its effects.
  applyingBatch_ = true;
  revealNow();
  applyingBatch_ = false;
  if (batch.detail) {
    outlets_.dataTextView->setText(std::move(*batch.detail->text));
  }
}

std::string ApplicationController::tableViewObjectValue(int row) const {
  if (row < 0 || row >= numberOfRowsInTableView()) {
    return {};
  }
  return connectionsArray_.at(static_cast<std::size_t>(row)).description(log_);
}

void ApplicationController::updateDataTextView() {
  if (applyingBatch_) {
    return;
  }
  const int row = outlets_.nodesTableView->selectedRow();
  if (row < 0 || row >= numberOfRowsInTableView()) {
    return;
  }
  showSelectedNode(connectionsArray_.at(static_cast<std::size_t>(row)));
}

void ApplicationController::showSelectedNode(const WQMConnection& node) {
  nodeAddedBox_.showNode(node);
  outlets_.dataTextView->setText(detailText(node.facts(), log_));
}

void ApplicationController::previousNode() {
  NodeTableView& table = *outlets_.nodesTableView;
  const int row = table.selectedRow();
  if (row <= 0) {
    return;
  }
  table.selectRow(row - 1);
  table.reloadData();
}

void ApplicationController::nextNode() {
  NodeTableView& table = *outlets_.nodesTableView;
  const int row = table.selectedRow();
  if (row < 0 || row + 1 >= table.numberOfRows()) {
    return;
  }
  table.selectRow(row + 1);
  table.reloadData();
}

void ApplicationController::openWindow() {
  if (!outlets_.mainWindow->isVisible()) {
    outlets_.mainWindow->makeKeyAndOrderFront();
  }
}

void ApplicationController::closeWindow() {
  if (outlets_.mainWindow->isVisible()) {
    outlets_.mainWindow->orderOut();
  }
}

bool ApplicationController::validateMenuItem(int tag) const {
  const NodeTableView& table = *outlets_.nodesTableView;
  const int selected = table.selectedRow();
  if (tag <= 60) {
    return true;
  }
  switch (tag) {
    case 110:
      return !outlets_.mainWindow->isVisible();
    case 120:
      return outlets_.mainWindow->isVisible();
    case 130:
      return !connectionsArray_.empty();
    case 140:
      return selected > 0;
    case 150:
      return selected >= 0 && selected != table.numberOfRows() - 1;
    case 160:
      return selected >= 0;
    default:
      return false;
  }
}

// --- Idle purge and removal

void ApplicationController::purgeNodes() {
  if (nodeDroppedHalted_) {
    return;
  }
  const TimePoint now = clock_.now();
  const double idleLimit = defaults_.doubleValue(keys::PurgeIdleTime);
  ViewBatch batch(*this);
  connectionsArray_.forEach([&](WQMConnection& node) {
    const double idleSeconds = std::chrono::duration<double>(now - node.lastHit()).count();
    if (idleSeconds > idleLimit) {
      nodeDroppedBox_.showNode(node);
      for (auto& removed : connectionsArray_.removeAllMatching(node.flowKey())) {
        discardNode(std::move(removed));
      }
    } else if (idleSeconds >= kQuietSeconds) {
      node.releaseSpareRoom();
    }
    revealLastNode();
  });
}

void ApplicationController::inputEnded() {
  connectionsArray_.forEach([](WQMConnection& node) { node.releaseSpareRoom(); });
}

void ApplicationController::removeNode() {
  NodeTableView& table = *outlets_.nodesTableView;
  const int row = table.selectedRow();
  if (row < 0 || row >= numberOfRowsInTableView()) {
    return;
  }
  const auto index = static_cast<std::size_t>(row);
  nodeDroppedBox_.showNode(connectionsArray_.at(index));
  connectionsArray_.removeAt(index);
  table.reloadData();
}

// --- Refine actions

template <class Fails>
void ApplicationController::narrow(Fails fails) {
  std::vector<NodeList::NodePtr> removed = connectionsArray_.removeIf(fails);
  // Freeing a great many nodes takes longer than the refresh the user waits for. Nothing refers
  // to them any more, so another thread gives their memory back, once the refresh is over: both
  // need the allocator, and sharing it would slow the refresh down.
  constexpr std::size_t kFreedInPlace = 10000;
  constexpr auto kAfterTheRefresh = std::chrono::milliseconds(250);
  if (removed.size() > kFreedInPlace) {
    std::thread([nodes = std::move(removed), kAfterTheRefresh]() mutable {
      std::this_thread::sleep_for(kAfterTheRefresh);
      nodes.clear();
    }).detach();
  }
}

void ApplicationController::refreshAfterRefine() {
  NodeTableView& table = *outlets_.nodesTableView;
  table.reloadData();
  table.becomeFirstResponder();
  if (table.numberOfRows() > 0) {
    table.scrollRowToVisible(0);
    table.selectRow(0);
  }
}

void ApplicationController::refineProtocol(int tag) {
  outlets_.sounds->play(sounds::PopUpClick);
  haltAll();
  const std::uint32_t wanted = tag == 10 ? 1 : tag == 20 ? 6 : tag == 30 ? 17 : 0;
  if (wanted != 0) {
    narrow([wanted](const WQMConnection& node) { return node.protocol() != wanted; });
  }
  refreshAfterRefine();
}

void ApplicationController::refineLastHit(int tag) {
  const TimePoint now = clock_.now();
  outlets_.sounds->play(sounds::PopUpClick);
  haltAll();
  const bool hasLimit = tag >= 10 && tag <= 60 && tag % 10 == 0;
  if (hasLimit) {
    const double limit = tag;
    narrow([now, limit](const WQMConnection& node) {
      return std::chrono::duration<double>(now - node.lastHit()).count() > limit;
    });
  }
  refreshAfterRefine();
}

void ApplicationController::refineAddress(SearchField& sender, bool source) {
  haltAll();
  const std::string text = sender.stringValue();
  std::uint32_t address = 0;
  // A text with a NUL inside would otherwise be read only up to it.
  const bool valid =
      text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &address) == 1;
  if (!valid) {
    outlets_.sounds->beep();
    return;
  }
  outlets_.sounds->play(sounds::SearchFieldClick);
  narrow([address, source](const WQMConnection& node) {
    return (source ? node.saddr() : node.daddr()) != address;
  });
  sender.setStringValue(source ? "Source IP" : "Destination IP");
  sender.resignFirstResponder();
  refreshAfterRefine();
}

void ApplicationController::refinePort(SearchField& sender, bool source) {
  const auto wanted = static_cast<std::uint16_t>(intValueOf(sender.stringValue()));
  outlets_.sounds->play(sounds::SearchFieldClick);
  haltAll();
  narrow([wanted, source](const WQMConnection& node) {
    return hostOrderPort(source ? node.sport() : node.dport()) != wanted;
  });
  sender.setStringValue("Port");
  sender.resignFirstResponder();
  refreshAfterRefine();
}

void ApplicationController::refineSourceIP(SearchField& sender) {
  refineAddress(sender, true);
}
void ApplicationController::refineDestinationIP(SearchField& sender) {
  refineAddress(sender, false);
}
void ApplicationController::refineSourcePort(SearchField& sender) {
  refinePort(sender, true);
}
void ApplicationController::refineDestinationPort(SearchField& sender) {
  refinePort(sender, false);
}

// --- Report

std::string ApplicationController::reportText() const {
  std::string text;
  writeReport([&](std::string_view piece) { text += piece; });
  return text;
}

void ApplicationController::writeReport(const ReportSink& sink) const {
  const ReportOptions options{defaults_.boolValue(keys::ReportRecentNodesFirst),
                              defaults_.boolValue(keys::ReportResolveIPAddresses)};
  wq::writeReport(connectionsArray_, options, clock_, resolver_, log_, sink);
}

}  // namespace wq
