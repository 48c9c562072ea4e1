// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/ImageAndTextCell.h"

#include <QPainter>
#include <cmath>

namespace wq {

QSizeF ImageAndTextCell::imageSize() const {
  return image_.isNull() ? QSizeF(0, 0) : image_.deviceIndependentSize();
}

QRectF ImageAndTextCell::imageFrameForCellFrame(const QRectF& cellFrame) const {
  if (image_.isNull()) {
    return {};
  }
  const QSizeF size = imageSize();
  const auto half = static_cast<float>((cellFrame.height() - size.height()) * 0.5);
  return {cellFrame.x() + kMargin, cellFrame.y() + std::ceil(half), size.width(), size.height()};
}

QRectF ImageAndTextCell::textFrameForCellFrame(const QRectF& cellFrame) const {
  const qreal slice = std::min(cellFrame.width(), imageSize().width() + kMargin);
  return cellFrame.adjusted(slice, 0, 0, 0);
}

void ImageAndTextCell::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  QStyleOptionViewItem textOption(option);
  if (!image_.isNull()) {
    const QRectF cell(option.rect);
    const QRectF slice(cell.x(), cell.y(), std::min(cell.width(), imageSize().width() + kMargin),
                       cell.height());
    if (option.state & QStyle::State_Selected) {
      painter->fillRect(slice, option.palette.highlight());
    } else if (option.backgroundBrush.style() != Qt::NoBrush) {
      painter->fillRect(slice, option.backgroundBrush);
    }
    painter->drawPixmap(imageFrameForCellFrame(cell), image_, QRectF(image_.rect()));
    textOption.rect = textFrameForCellFrame(cell).toRect();
  }
  QStyledItemDelegate::paint(painter, textOption, index);
}

QSize ImageAndTextCell::sizeHint(const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  size.setWidth(size.width() + static_cast<int>(std::ceil(imageSize().width() + kMargin)));
  return size;
}

}  // namespace wq
