#include "tracking/ViewController.h"

#include "tracking/MenuTags.h"
#include "tracking/NodeText.h"

namespace wq {

ViewController::ViewController(NodeTracker& tracker, LogSink& log) : tracker_(tracker), log_(log) {
  tracker_.setObserver(this);
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

// --- Batches of changes

void ViewController::changesBegin() {
  if (batchDepth_++ == 0 && coalescedViewUpdates_) {
    batch_ = BatchState{outlets_.nodesTableView->selectedRow(), false, std::nullopt};
  }
}

void ViewController::changesEnd() {
  if (--batchDepth_ == 0 && batch_) {
    endBatch();
  }
}

void ViewController::nodeLeaving(const WQMConnection& node) {
  // A detail text that a batch still owes must be built before its node is gone.
  if (batch_ && batch_->detail && batch_->detail->node == &node) {
    materialize(*batch_->detail);
  }
}

void ViewController::revealLastNode() {
  if (batch_) {
    deferReveal();
  } else {
    revealNow();
  }
}

void ViewController::revealNow() {
  NodeTableView& table = *outlets_.nodesTableView;
  table.reloadData();
  const int rows = table.numberOfRows();
  if (rows > 0) {
    table.scrollRowToVisible(rows - 1);
    table.selectRow(rows - 1);
  }
}

void ViewController::deferReveal() {
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
    const WQMConnection& node = tracker_.connectionsArray().back();
    tracker_.nodeAddedBox().showNode(node);
    batch.detail = PendingDetail{&node,
                                 node.lastHit(),
                                 node.byteCount(),
                                 static_cast<std::uint32_t>(node.packetData().size()),
                                 node.gaps().size(),
                                 std::nullopt};
  }
}

void ViewController::materialize(PendingDetail& detail) {
  if (detail.text) {
    return;
  }
  NodeFacts facts = detail.node->facts();
  facts.lastHit = detail.lastHit;
  facts.byteCount = detail.byteCount;
  facts.payload = facts.payload.first(detail.storedCount);
  facts.gaps = facts.gaps.first(detail.gapCount);
  detail.text = detailText(facts, log_);
}

void ViewController::endBatch() {
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
  if (applyingBatch_) {
    return;
  }
  const int row = outlets_.nodesTableView->selectedRow();
  if (row < 0 || row >= numberOfRowsInTableView()) {
    return;
  }
  showSelectedNode(tracker_.connectionsArray().at(static_cast<std::size_t>(row)));
}

void ViewController::showSelectedNode(const WQMConnection& node) {
  tracker_.nodeAddedBox().showNode(node);
  outlets_.dataTextView->setText(detailText(node.facts(), log_));
}

void ViewController::revealFirstNode() {
  NodeTableView& table = *outlets_.nodesTableView;
  table.reloadData();
  table.setFocus();
  if (table.numberOfRows() > 0) {
    table.scrollRowToVisible(0);
    table.selectRow(0);
  }
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
  tracker_.removeNode(static_cast<std::size_t>(row));
  table.reloadData();
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
