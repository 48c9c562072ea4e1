// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/QtViews.h"

#include <QTextCursor>
#include <QTextEdit>

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

namespace {

QTextCharFormat formatOf(TextStyle style, const QPalette& palette) {
  QTextCharFormat format;
  switch (style) {
    case TextStyle::Header:
      format.setFontWeight(QFont::Bold);
      break;
    case TextStyle::Forward:
      format.setForeground(QColor(0xb0, 0x1c, 0x1c));
      break;
    case TextStyle::Reverse:
      format.setForeground(QColor(0x1c, 0x4c, 0xb8));
      break;
    case TextStyle::Gap:
      format.setFontItalic(true);
      format.setForeground(palette.color(QPalette::PlaceholderText));
      break;
    case TextStyle::Match:
      format.setBackground(QColor(0xff, 0xe0, 0x40));
      format.setForeground(Qt::black);
      break;
  }
  return format;
}

}  // namespace

void QtTextView::setText(PaneText text) {
  // One character per byte: the texts are ASCII, and the ranges count bytes.
  edit_.setPlainText(
      QString::fromLatin1(text.text.data(), static_cast<qsizetype>(text.text.size())));
  // Drawn over the text rather than stored in it: setting formats in a long document costs a
  // layout each, and matches lie over the directions' colours.
  QList<QTextEdit::ExtraSelection> selections;
  selections.reserve(static_cast<qsizetype>(text.ranges.size()));
  // Matches last, so that they are drawn over the rest.
  for (const bool matches : {false, true}) {
    for (const StyledRange& range : text.ranges) {
      if ((range.style == TextStyle::Match) != matches) {
        continue;
      }
      QTextEdit::ExtraSelection selection;
      selection.cursor = QTextCursor(edit_.document());
      selection.cursor.setPosition(static_cast<int>(range.begin));
      selection.cursor.setPosition(static_cast<int>(range.end), QTextCursor::KeepAnchor);
      selection.format = formatOf(range.style, edit_.palette());
      selections.push_back(selection);
    }
  }
  edit_.setExtraSelections(selections);
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
