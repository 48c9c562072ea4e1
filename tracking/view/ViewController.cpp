// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/view/ViewController.h"

#include <utility>

#include "tracking/view/MenuTags.h"
#include "tracking/view/NodeText.h"

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
  if (shown_ && shown_->node == &node) {
    shown_->node = nullptr;
  }
}

void ViewController::nodesChanged(const NodeChanges& changes) {
  if (changes.newestChanged) {
    revealLastNode();
  } else if (changes.removed > 0) {
    outlets_.nodesTableView->reloadData();
    updateDataTextView();  // a row may now hold another node, or be gone
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

void ViewController::updateDataTextView() {
  const int row = outlets_.nodesTableView->selectedRow();
  if (row < 0 || row >= numberOfRowsInTableView()) {
    if (shown_) {
      shown_.reset();
      outlets_.dataTextView->setText("");
    }
    return;
  }
  const WQMConnection& node = tracker_.connectionsArray().at(static_cast<std::size_t>(row));
  // The panel may have shown other nodes since, as they were added: it is cheap to fill again.
  tracker_.nodeAddedBox().showNode(node);
  const ShownNode now{&node, node.startHit(), node.lastHit(), node.byteCount()};
  if (shown_ != now) {
    shown_ = now;
    outlets_.dataTextView->setText(detailText(node.facts(), log_));
  }
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
      return selected >= 0;
    default:
      return false;
  }
}

}  // namespace wq
