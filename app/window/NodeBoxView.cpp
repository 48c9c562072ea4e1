// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/NodeBoxView.h"

#include <QPixmap>

namespace wq {

namespace {

// Whether the label's text changed.
bool show(QLabel* label, const std::string& text) {
  const QString value = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  if (label->text() == value) {
    return false;
  }
  label->setText(value);
  return true;
}

}  // namespace

void NodeBoxView::refresh(const WQMNodeBox& box) {
  show(labels_.protocolField, box.protocolField());
  show(labels_.sourceIPField, box.sourceIPField());
  show(labels_.destinationIPField, box.destinationIPField());
  show(labels_.sourcePortField, box.sourcePortField());
  show(labels_.destinationPortField, box.destinationPortField());
  show(labels_.lastHitField, box.lastHitField());
  if (labels_.programField != nullptr) {
    // A long text wraps within the panel's width; the tool tip shows it on one line.
    const std::string program = box.programField();
    QLabel* label = labels_.programField;
    if (show(label, program.empty() ? program : "Program: " + program)) {
      label->setToolTip(label->text());
    }
  }
  if (box.statusLight() != shownLight_) {
    shownLight_ = box.statusLight();
    const QString name = QString::fromStdString(shownLight_);
    QLabel* light = labels_.statusLightImageView;
    light->setPixmap(QPixmap(":/images/" + name));
    light->setProperty(kLightProperty, name);
    const auto meaning = meanings_.find(shownLight_);
    light->setToolTip(meaning == meanings_.end() ? QString() : meaning->second);
    light->setAccessibleName(light->toolTip());
  }
}

}  // namespace wq
