// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window: the nodes table with its detail pane, the added and dropped panels with their
// halt switches, and the menus. It attaches a view of a session to the widgets.

#include <QLabel>
#include <QMainWindow>
#include <memory>

#include "app/window/ImageAndTextCell.h"
#include "app/window/NodeBoxView.h"
#include "app/window/NodeTable.h"
#include "app/window/QtViews.h"
#include "app/window/WQMPrefsController.h"
#include "app/window/WQMRefineBox.h"
#include "tracking/Session.h"
#include "tracking/view/RefineActions.h"
#include "tracking/view/ViewController.h"

namespace Ui {
class MainWindow;
}

namespace wq {

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Shows `session`, whose settings are those in force for this run; `storedDefaults` are the
  // stored ones alone, which Preferences shows and changes.
  MainWindow(Session& session, Defaults& storedDefaults, SoundPlayer& sounds);
  ~MainWindow() override;

  Session& session() { return session_; }
  ViewController& view() { return view_; }
  // The form's widgets; users include its generated header (ui_MainWindow.h).
  const Ui::MainWindow& ui() const { return *ui_; }
  const ImageAndTextCell& nodeCell() const { return *cell_; }

  // Brings the panels and the menu items up to date with the session; called after every
  // change to it.
  void refresh();
  // Shows the window in front, where it was left last time (and its table and detail pane
  // shared as they were), or centred on its screen the first time.
  void placeWindow();
  // Tells the user, in the status bar, that capture has ended and why; the details (the capture
  // helper's own text) in its tooltip.
  void showCaptureEnded(const QString& message, const QString& details = {});
  // Shows, at the right of the status bar, how many packets the capture lost: "12,431 packets
  // dropped by the kernel since capture started".
  void showCaptureLoss(const QString& text);
  // The title names what is captured and whether capture runs: "Wirequill — eth0 (capturing)".
  void showCaptureSource(const QString& source, bool capturing);
  // Capture on `source` was not started; `message` says why and what to do.
  void showCaptureNotStarted(const QString& source, const QString& message);

  // Halts both sides, then asks where to save the report (a dialog attached to the window).
  void saveAsDocument();
  // Writes the report to `path`; a failure is told in an alert naming the path and the reason.
  void saveReport(const QString& path);
  // Asks where to save the selected node's payload (a dialog attached to the window).
  void savePayloadDocument();
  // Writes the selected node's payload bytes, raw, to `path`; an alert tells a failure, or which
  // bytes were not captured and so are not in the file.
  void savePayload(const QString& path);
  // Copies the pane's selection, or with none its whole text.
  void copyPane();
  // Finds the next (or previous) node whose payload holds the find bar's text or hex bytes, and
  // tells in the bar how many nodes hold it; opens the bar when it is closed or empty.
  void find(bool forward);
  // Shows the pane's view of that index: Node, Conversation or Hex.
  void showPaneView(int index);
  // Shows the preferences window, made on first use, centred.
  void openPreferences();
  WQMPrefsController* prefsController() const { return prefsController_; }
  // Shows the versions of the program, of Qt and of libpcap.
  void showAbout();

 protected:
  void closeEvent(QCloseEvent* event) override;

 signals:
  // Preferences stored another device or interface.
  void captureSettingsChanged();

 private:
  // Stores where the window stands and how the table and pane share it, for the next run.
  void saveWindowPlacement();
  void connectActions();
  void connectRefineBox();
  void connectPaneViews();
  void connectFindBar();
  void closeFindBar();
  QAction* paneViewAction(int index) const;
  // A warning attached to the window.
  void alert(const QString& message);
  void validateMenuItems();
  // Runs an operation on the session or its view, then refreshes the window.
  template <class Operation>
  void act(Operation operation) {
    operation();
    refresh();
  }

  Session& session_;
  ViewController view_{session_};
  RefineActions refine_{session_, view_};
  std::unique_ptr<Ui::MainWindow> ui_;
  QLabel* lossLabel_ = nullptr;  // owned by the status bar
  std::unique_ptr<NodeTableModel> model_;
  std::unique_ptr<QtNodeTableView> table_;
  ImageAndTextCell* cell_ = nullptr;
  std::unique_ptr<QtTextView> pane_;
  std::unique_ptr<QtToggleButton> addedSwitch_;
  std::unique_ptr<QtToggleButton> droppedSwitch_;
  std::unique_ptr<QtWindowView> window_;
  SoundPlayer& sounds_;
  Defaults& storedDefaults_;
  std::unique_ptr<WQMRefineBox> refineBox_;
  std::vector<std::unique_ptr<QtSearchField>> searchFields_;
  WQMPrefsController* prefsController_ = nullptr;
  // The menu items that validateMenuItem enables, with their tags.
  std::vector<std::pair<QAction*, int>> taggedActions_;
  std::unique_ptr<NodeBoxView> addedView_;
  std::unique_ptr<NodeBoxView> droppedView_;
};

}  // namespace wq
