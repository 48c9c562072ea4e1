// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The cell of the nodes table: a small icon at the left of each row, then the row's text.

#include <QPixmap>
#include <QStyledItemDelegate>

namespace wq {

class ImageAndTextCell : public QStyledItemDelegate {
  Q_OBJECT

 public:
  static constexpr qreal kMargin = 3;

  using QStyledItemDelegate::QStyledItemDelegate;

  void setImage(const QPixmap& image) { image_ = image; }
  const QPixmap& image() const { return image_; }
  // The icon's size in the cell (device-independent pixels).
  QSizeF imageSize() const;

  // Where the icon stands in a cell: the margin in from the left, centred vertically with the
  // half point rounded up; the zero rectangle without an icon.
  QRectF imageFrameForCellFrame(const QRectF& cellFrame) const;
  // The cell without the icon's slice (and without the margin when there is no icon).
  QRectF textFrameForCellFrame(const QRectF& cellFrame) const;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  QPixmap image_;
};

}  // namespace wq
