// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The controller's platform interfaces over Qt widgets.

#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSoundEffect>
#include <map>
#include <memory>

#include "tracking/Platform.h"

namespace wq {

class QtToggleButton : public ToggleButton {
 public:
  explicit QtToggleButton(QPushButton& button) : button_(button) {}
  int state() const override { return button_.isChecked() ? kOn : kOff; }
  void setState(int state) override;

 private:
  QPushButton& button_;
};

class QtTextView : public TextView {
 public:
  explicit QtTextView(QPlainTextEdit& edit) : edit_(edit) {}
  void setText(PaneText text) override;

 private:
  QPlainTextEdit& edit_;
};

// "Visible" means on screen and not minimised. Taking the window off the screen minimises it, so
// that the desktop's task bar can always bring it back.
class QtWindowView : public WindowView {
 public:
  explicit QtWindowView(QMainWindow& window) : window_(window) {}
  bool isVisible() const override;
  void show() override;
  void hide() override;

 private:
  QMainWindow& window_;
};

// Sounds of the application's resources (qrc:/sounds/NAME). Without an audio device nothing is
// heard and nothing fails. Qt's audio system then warns at every sound; while a player exists,
// those warnings become the one line kNoAudioDevice, the first time, and other messages pass.
class QtSoundPlayer : public SoundPlayer {
 public:
  static constexpr char kNoAudioDevice[] = "Sounds are off: no audio device";

  QtSoundPlayer();
  ~QtSoundPlayer() override;
  QtSoundPlayer(const QtSoundPlayer&) = delete;
  QtSoundPlayer& operator=(const QtSoundPlayer&) = delete;

  void play(std::string_view name) override;
  void beep() override;

 private:
  std::map<std::string, std::unique_ptr<QSoundEffect>, std::less<>> effects_;
};

}  // namespace wq
