#include "app/QtViews.h"

#include <QApplication>
#include <QSignalBlocker>

namespace wq {

void QtToggleButton::setState(int state) {
  const QSignalBlocker quiet(button_);  // setting the state from code sends no action
  button_.setChecked(state == kOn);
}

void QtTextView::setText(std::string text) {
  edit_.setPlainText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

bool QtWindowView::isVisible() const {
  return window_.isVisible() && !window_.isMinimized();
}

void QtWindowView::show() {
  window_.showNormal();
  window_.raise();
  window_.activateWindow();
}

void QtWindowView::hide() {
  window_.showMinimized();
}

void QtSoundPlayer::play(std::string_view name) {
  auto found = effects_.find(name);
  if (found == effects_.end()) {
    auto effect = std::make_unique<QSoundEffect>();
    effect->setSource(QUrl("qrc:/sounds/" + QString::fromLatin1(name.data(), name.size())));
    found = effects_.emplace(std::string(name), std::move(effect)).first;
  }
  found->second->play();
}

void QtSoundPlayer::beep() {
  QApplication::beep();
}

}  // namespace wq
