#pragma once
// The preferences window: its controls are filled once from the settings when it is made; OK
// stores all eight settings with their types, Cancel stores nothing.

#include <QDialog>

#include "Defaults.h"
#include "Platform.h"
#include "ui_WQMPreferences.h"

namespace wq {

// Capture files given as the device before, kept for the device pop-up (newest first).
inline constexpr std::string_view kRecentCaptureFilesKey = "RecentCaptureFiles";
void rememberCaptureFile(Defaults& defaults, const std::string& path);

class WQMPrefsController : public QDialog {
  Q_OBJECT

 public:
  WQMPrefsController(Defaults& defaults, SoundPlayer& sounds, QWidget* parent = nullptr);

  const Ui::WQMPreferences& ui() const { return ui_; }
  void okay();
  void cancel();

 private:
  void windowDidLoad();
  void chooseCaptureFile(int index);

  Defaults& defaults_;
  SoundPlayer& sounds_;
  Ui::WQMPreferences ui_;
};

}  // namespace wq
