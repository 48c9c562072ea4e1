#include "app/NodeBoxView.h"

#include <QPixmap>

namespace wq {

namespace {

void show(QLabel* label, const std::string& text) {
  const QString value = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  if (label->text() != value) {
    label->setText(value);
  }
}

}  // namespace

void NodeBoxView::refresh(const WQMNodeBox& box) {
  show(labels_.protocolField, box.protocolField());
  show(labels_.sourceIPField, box.sourceIPField());
  show(labels_.destinationIPField, box.destinationIPField());
  show(labels_.sourcePortField, box.sourcePortField());
  show(labels_.destinationPortField, box.destinationPortField());
  show(labels_.lastHitField, box.lastHitField());
  if (box.statusLight() != shownLight_) {
    shownLight_ = box.statusLight();
    labels_.statusLightImageView->setPixmap(
        QPixmap(":/images/" + QString::fromStdString(shownLight_)));
    labels_.statusLightImageView->setToolTip(QString::fromStdString(shownLight_));
  }
}

}  // namespace wq
