// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The nodes table: a model over the node list, with the node's text and the programs behind it
// (which may be hidden), and the view controller's table interface over a QTableView.

#include <QAbstractTableModel>
#include <QTableView>
#include <functional>

#include "tracking/view/ViewController.h"

namespace wq {

class NodeTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { NodeColumn, ProgramColumn, ColumnCount };

  explicit NodeTableModel(const ViewController& view, QObject* parent = nullptr)
      : QAbstractTableModel(parent), view_(view) {}

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : rows_;
  }
  int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : ColumnCount;
  }
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // Asks the view controller again for the number of rows; the rows' texts are asked for as shown.
  void reload();

 private:
  const ViewController& view_;
  int rows_ = 0;
};

class QtNodeTableView : public QObject, public NodeTableView {
  Q_OBJECT

 public:
  // `selectionDidChange` runs for every change of the selection, the user's or the program's,
  // except the table's own restoring of a row across a reload.
  QtNodeTableView(QTableView& view, NodeTableModel& model,
                  std::function<void()> selectionDidChange);

  void reloadData() override;
  void redisplayRows() override { view_.viewport()->update(); }
  int numberOfRows() const override { return model_.rowCount(); }
  int selectedRow() const override;
  void scrollRowToVisible(int row) override;
  void selectRow(int row) override;
  void setFocus() override { view_.setFocus(); }
  void setProgramColumnShown(bool shown);

 private:
  // Widens the node column to the widest row on screen.
  void fitColumnToShownRows();
  // The node column is as wide as its widest row so far and the table, when it is the last.
  void applyColumnWidths();

  QTableView& view_;
  NodeTableModel& model_;
  std::function<void()> selectionDidChange_;
  bool restoring_ = false;
  int narrowestColumn_ = 0;
  int widestRow_ = 0;
};

}  // namespace wq
