// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The preferences window: its controls are filled once from the stored settings when it is made
// (never from the values given on the command line for one run); OK stores all nine settings
// with their types, Cancel stores nothing. A capture filter that libpcap cannot compile is never
// stored: OK then shows libpcap's reason and the window stays open.

#include <QDialog>
#include <memory>

#include "tracking/Defaults.h"
#include "tracking/Platform.h"

namespace Ui {
class WQMPreferences;
}

namespace wq {

// Capture files given as the device before, kept for the device pop-up (newest first).
inline constexpr std::string_view kRecentCaptureFilesKey = "RecentCaptureFiles";
void rememberCaptureFile(Defaults& defaults, const std::string& path);

class WQMPrefsController : public QDialog {
  Q_OBJECT

 public:
  // `stored` reads and writes the stored settings alone.
  WQMPrefsController(Defaults& stored, SoundPlayer& sounds, QWidget* parent = nullptr);
  ~WQMPrefsController() override;

  // The form's widgets; users include its generated header (ui_WQMPreferences.h).
  const Ui::WQMPreferences& ui() const { return *ui_; }
  void okay();
  void cancel();

 signals:
  // OK stored another device, interface or capture filter: capture is to move to it.
  void captureSettingsChanged();

 private:
  // Fills the fields from the stored settings.
  void showStoredSettings();
  void chooseCaptureFile(int index);

  Defaults& defaults_;
  SoundPlayer& sounds_;
  std::unique_ptr<Ui::WQMPreferences> ui_;
};

}  // namespace wq
