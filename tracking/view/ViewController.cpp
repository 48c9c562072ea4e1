// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/ViewController.h"

#include <utility>

#include "tracking/view/Conversation.h"
#include "tracking/view/HexText.h"
#include "tracking/view/MenuTags.h"
#include "tracking/view/NodeText.h"
#include "tracking/view/ProgramText.h"

namespace wq {

ViewController::ViewController(Session& session)
    : session_(session), tracker_(session.tracker()), log_(session.log()) {
  session_.subscribe(*this);
}

ViewController::~ViewController() {
  session_.unsubscribe(*this);
}

// --- Halt switches

void ViewController::nodeAddedHalt(const ToggleButton& sender) {
  tracker_.setNodeAddedHalted(sender.state() == ToggleButton::kOn);
}

void ViewController::nodeDroppedHalt(const ToggleButton& sender) {
  tracker_.setNodeDroppedHalted(sender.state() == ToggleButton::kOn);
}

void ViewController::haltAll() {
  outlets_.nodeAddedHaltedButton->setState(ToggleButton::kOn);
  outlets_.nodeDroppedHaltedButton->setState(ToggleButton::kOn);
  tracker_.setNodeAddedHalted(true);
  tracker_.setNodeDroppedHalted(true);
}

// --- Changes

void ViewController::nodeLeaving(const WQMConnection& node) {
  // Its memory may hold another node later: never take that one for it.
  for (ShownNode& shown : shown_) {
    if (shown.node == &node) {
      shown.node = nullptr;
    }
  }
}

void ViewController::nodesChanged(const NodeChanges& changes) {
  if (changes.newestChanged) {
    revealLastNode();
  } else if (changes.removed > 0) {
    outlets_.nodesTableView->reloadData();
    updateDataTextView();  // a row may now hold another node, or be gone
  } else if (changes.programsKnown) {
    outlets_.nodesTableView->redisplayRows();
    updateDataTextView();
  }
}

void ViewController::revealLastNode() {
  NodeTableView& table = *outlets_.nodesTableView;
  table.reloadData();
  const int rows = table.numberOfRows();
  if (rows > 0) {
    table.scrollRowToVisible(rows - 1);
    table.selectRow(rows - 1);
  }
  updateDataTextView();
}

// --- Nodes table and detail pane

int ViewController::numberOfRowsInTableView() const {
  return static_cast<int>(tracker_.connectionsArray().size());
}

std::string ViewController::tableViewObjectValue(int row) const {
  if (row < 0 || row >= numberOfRowsInTableView()) {
    return {};
  }
  return tracker_.connectionsArray().at(static_cast<std::size_t>(row)).description(log_);
}

std::string ViewController::tableViewProgramValue(int row) const {
  if (row < 0 || row >= numberOfRowsInTableView()) {
    return {};
  }
  return programColumnText(
      tracker_.connectionsArray().at(static_cast<std::size_t>(row)).programs());
}

void ViewController::updateDataTextView() {
  const WQMConnection* node = selectedNode();
  if (node == nullptr) {
    if (!shown_.empty()) {
      shown_.clear();
      outlets_.dataTextView->setText({});
    }
    return;
  }
  // The panel may have shown other nodes since, as they were added: it is cheap to fill again.
  tracker_.nodeAddedBox().showNode(*node);
  const std::vector<ConversationNode> nodes = paneNodes(*node);
  // The highlighted node first: a conversation looks another way from each of its nodes.
  std::vector<ShownNode> now{shownNode(*node)};
  for (const ConversationNode& part : nodes) {
    now.push_back(shownNode(*part.node));
  }
  if (shown_ != now) {
    shown_ = std::move(now);
    outlets_.dataTextView->setText(paneText(*node, nodes));
  }
}

const WQMConnection* ViewController::selectedNode() const {
  const int row = outlets_.nodesTableView->selectedRow();
  if (row < 0 || row >= numberOfRowsInTableView()) {
    return nullptr;
  }
  return &tracker_.connectionsArray().at(static_cast<std::size_t>(row));
}

ViewController::ShownNode ViewController::shownNode(const WQMConnection& node) {
  const ProgramSlot* programs = node.programs();
  return {&node, node.startHit(), node.lastHit(), node.byteCount(),
          programs ? programs->state() : ProgramSlot::State::NotLookedUp};
}

std::vector<ConversationNode> ViewController::paneNodes(const WQMConnection& node) const {
  if (paneView_ != PaneView::Conversation) {
    return {{&node, true}};
  }
  return conversationOf(tracker_.connectionsArray(), node,
                        session_.defaults().doubleValue(keys::PurgeIdleTime));
}

PaneText ViewController::paneText(const WQMConnection& node,
                                  const std::vector<ConversationNode>& nodes) const {
  // Enough marks to find one's way; a payload full of matches would only slow the pane down.
  constexpr std::size_t kMostMarks = 1000;
  const auto matchesOf = [this](const NodeFacts& facts) {
    return highlight_.empty() ? std::vector<ByteRange>() : highlight_.matchesIn(facts, kMostMarks);
  };
  switch (paneView_) {
    case PaneView::Conversation:
      return conversationText(nodes, log_, matchesOf);
    case PaneView::Hex: {
      const NodeFacts facts = node.facts();
      return hexText(facts, matchesOf(facts));
    }
    case PaneView::Node:
      break;
  }
  const NodeFacts facts = node.facts();
  return detailPaneText(facts, log_, matchesOf(facts));
}

std::size_t ViewController::findNode(const PayloadPattern& pattern, bool forward) {
  NodeTableView& table = *outlets_.nodesTableView;
  const NodeMatches matches =
      findMatchingNodes(tracker_.connectionsArray(), pattern, table.selectedRow(), forward);
  // Marked from the start, so that the pane of the row found is drawn once.
  highlight_ = pattern;
  shown_.clear();
  if (matches.next) {
    table.scrollRowToVisible(static_cast<int>(*matches.next));
    table.selectRow(static_cast<int>(*matches.next));
  }
  updateDataTextView();
  return matches.count;
}

void ViewController::setPaneView(PaneView view) {
  paneView_ = view;
  shown_.clear();  // shown again in the new view
  updateDataTextView();
}

void ViewController::setHighlight(const PayloadPattern& pattern) {
  highlight_ = pattern;
  shown_.clear();
  updateDataTextView();
}

void ViewController::revealFirstNode() {
  NodeTableView& table = *outlets_.nodesTableView;
  table.reloadData();
  table.setFocus();
  if (table.numberOfRows() > 0) {
    table.scrollRowToVisible(0);
    table.selectRow(0);
  }
  updateDataTextView();
}

void ViewController::previousNode() {
  NodeTableView& table = *outlets_.nodesTableView;
  const int row = table.selectedRow();
  if (row <= 0) {
    return;
  }
  table.selectRow(row - 1);
  table.reloadData();
}

void ViewController::nextNode() {
  NodeTableView& table = *outlets_.nodesTableView;
  const int row = table.selectedRow();
  if (row < 0 || row + 1 >= table.numberOfRows()) {
    return;
  }
  table.selectRow(row + 1);
  table.reloadData();
}

void ViewController::removeNode() {
  NodeTableView& table = *outlets_.nodesTableView;
  const int row = table.selectedRow();
  if (row < 0 || row >= numberOfRowsInTableView()) {
    return;
  }
  session_.removeNode(static_cast<std::size_t>(row));
}

// --- Window and menus

void ViewController::openWindow() {
  if (!outlets_.mainWindow->isVisible()) {
    outlets_.mainWindow->show();
  }
}

void ViewController::closeWindow() {
  if (outlets_.mainWindow->isVisible()) {
    outlets_.mainWindow->hide();
  }
}

bool ViewController::validateMenuItem(int tag) const {
  const NodeTableView& table = *outlets_.nodesTableView;
  const int selected = table.selectedRow();
  if (tag <= tags::kAlwaysEnabled) {
    return true;
  }
  switch (tag) {
    case tags::OpenWindow:
      return !outlets_.mainWindow->isVisible();
    case tags::CloseWindow:
      return outlets_.mainWindow->isVisible();
    case tags::ActsOnAllNodes:
      return !tracker_.connectionsArray().empty();
    case tags::PreviousNode:
      return selected > 0;
    case tags::NextNode:
      return selected >= 0 && selected != table.numberOfRows() - 1;
    case tags::RemoveNode:
    case tags::ActsOnSelectedNode:
      return selected >= 0;
    default:
      return false;
  }
}

}  // namespace wq
