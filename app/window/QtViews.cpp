// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/QtViews.h"

#include <QApplication>
#include <QSignalBlocker>
#include <atomic>

namespace wq {

namespace {

QtMessageHandler passOn = nullptr;
int soundPlayers = 0;
std::atomic<bool> toldNoAudio{false};

// What Qt's audio system says when there is no sound server or no device, as plain warnings.
bool isNoAudioWarning(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  return type == QtWarningMsg && qstrcmp(context.category, "default") == 0 &&
         (message.startsWith("PulseAudioService:") || message.startsWith("No audio device"));
}

void filterNoAudioWarnings(QtMsgType type, const QMessageLogContext& context,
                           const QString& message) {
  if (!isNoAudioWarning(type, context, message)) {
    passOn(type, context, message);
  } else if (!toldNoAudio.exchange(true)) {
    passOn(QtWarningMsg, context, QtSoundPlayer::kNoAudioDevice);
  }
}

}  // namespace

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

QtSoundPlayer::QtSoundPlayer() {
  if (soundPlayers++ == 0) {
    toldNoAudio = false;
    passOn = qInstallMessageHandler(filterNoAudioWarnings);
  }
}

QtSoundPlayer::~QtSoundPlayer() {
  if (--soundPlayers == 0) {
    qInstallMessageHandler(passOn);
  }
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
