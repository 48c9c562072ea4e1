// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/NodeTable.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <algorithm>

namespace wq {

QVariant NodeTableModel::data(const QModelIndex& index, int role) const {
  // The tool tip shows the whole row, however narrow the table.
  if ((role != Qt::DisplayRole && role != Qt::ToolTipRole) || !index.isValid()) {
    return {};
  }
  if (index.column() == ProgramColumn) {
    const std::string programs = view_.tableViewProgramValue(index.row());
    return QString::fromUtf8(programs.data(), static_cast<qsizetype>(programs.size()));
  }
  std::string text = view_.tableViewObjectValue(index.row());
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();  // one row shows one line
  }
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QVariant NodeTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role == Qt::DisplayRole && orientation == Qt::Horizontal) {
    return section == NodeColumn ? tr("Nodes") : tr("Program");
  }
  return {};
}

void NodeTableModel::reload() {
  beginResetModel();
  rows_ = view_.numberOfRowsInTableView();
  endResetModel();
}

QtNodeTableView::QtNodeTableView(QTableView& view, NodeTableModel& model,
                                 std::function<void()> selectionDidChange)
    : view_(view), model_(model), selectionDidChange_(std::move(selectionDidChange)) {
  view_.setModel(&model_);
  view_.setSelectionBehavior(QAbstractItemView::SelectRows);
  view_.setSelectionMode(QAbstractItemView::SingleSelection);
  connect(view_.selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (!restoring_) {
      selectionDidChange_();
    }
  });
  // A row wider than the table scrolls sideways rather than being cut short: the node column is
  // at least as wide as the widest row measured so far, and the last column stretches to the
  // table's width.
  view_.horizontalHeader()->setStretchLastSection(true);
  narrowestColumn_ = view_.horizontalHeader()->minimumSectionSize();
  connect(view_.verticalScrollBar(), &QScrollBar::valueChanged, this,
          &QtNodeTableView::fitColumnToShownRows);
  // The range changes with the number of rows and with the table's height.
  connect(view_.verticalScrollBar(), &QScrollBar::rangeChanged, this,
          &QtNodeTableView::fitColumnToShownRows);
}

void QtNodeTableView::fitColumnToShownRows() {
  const int rows = numberOfRows();
  if (rows == 0) {
    widestRow_ = 0;
    applyColumnWidths();
    return;
  }
  // Only the rows on screen are measured: a few dozen whatever the length of the list, where
  // measuring every row would format a million texts on each batch. The width only grows (until
  // the list empties), so the column does not jump about as the list scrolls.
  const int first = view_.rowAt(0);
  if (first < 0) {
    return;  // not laid out yet
  }
  int last = view_.rowAt(view_.viewport()->height() - 1);
  if (last < 0) {
    last = rows - 1;
  }
  int widest = widestRow_;
  for (int row = first; row <= last; ++row) {
    widest = std::max(widest, view_.sizeHintForIndex(model_.index(row, 0)).width());
  }
  if (widest > widestRow_) {
    widestRow_ = widest;
    applyColumnWidths();
  }
}

void QtNodeTableView::applyColumnWidths() {
  QHeaderView& header = *view_.horizontalHeader();
  const int nodeWidth = std::max(narrowestColumn_, widestRow_);
  if (view_.isColumnHidden(NodeTableModel::ProgramColumn)) {
    // The node column is the last: it stretches, and no narrower than its rows.
    header.setMinimumSectionSize(nodeWidth);
  } else {
    header.setMinimumSectionSize(narrowestColumn_);
    header.resizeSection(NodeTableModel::NodeColumn, nodeWidth);
  }
}

void QtNodeTableView::setProgramColumnShown(bool shown) {
  view_.setColumnHidden(NodeTableModel::ProgramColumn, !shown);
  applyColumnWidths();
}

int QtNodeTableView::selectedRow() const {
  const QModelIndexList rows = view_.selectionModel()->selectedRows();
  return rows.isEmpty() ? kNoRow : rows.first().row();
}

void QtNodeTableView::reloadData() {
  // A model reset forgets the selection; a row that still exists stays selected, as before.
  const int kept = selectedRow();
  model_.reload();
  fitColumnToShownRows();
  if (kept != kNoRow && kept < numberOfRows()) {
    restoring_ = true;
    view_.selectionModel()->select(model_.index(kept, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    restoring_ = false;
  }
}

void QtNodeTableView::scrollRowToVisible(int row) {
  if (row >= 0 && row < numberOfRows()) {
    view_.scrollTo(model_.index(row, 0));
  }
}

void QtNodeTableView::selectRow(int row) {
  if (row < 0 || row >= numberOfRows() || row == selectedRow()) {
    return;
  }
  const QModelIndex index = model_.index(row, 0);
  view_.selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

}  // namespace wq
