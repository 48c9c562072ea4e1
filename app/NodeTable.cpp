#include "app/NodeTable.h"

#include <QItemSelectionModel>

namespace wq {

QVariant NodeTableModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) {
    return {};
  }
  std::string text = controller_.view().tableViewObjectValue(index.row());
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();  // one row shows one line
  }
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QVariant NodeTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role == Qt::DisplayRole && orientation == Qt::Horizontal && section == 0) {
    return tr("Nodes");
  }
  return {};
}

void NodeTableModel::reload() {
  beginResetModel();
  rows_ = controller_.view().numberOfRowsInTableView();
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
}

int QtNodeTableView::selectedRow() const {
  const QModelIndexList rows = view_.selectionModel()->selectedRows();
  return rows.isEmpty() ? kNoRow : rows.first().row();
}

void QtNodeTableView::reloadData() {
  // A model reset forgets the selection; a row that still exists stays selected, as before.
  const int kept = selectedRow();
  model_.reload();
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
