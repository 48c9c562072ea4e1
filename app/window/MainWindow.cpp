// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/MainWindow.h"

#include "app/ReportFile.h"
#include "tracking/view/MenuTags.h"
#include "tracking/view/NodeText.h"
#include "ui_MainWindow.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStyle>

#include <pcap/pcap.h>

namespace wq {

namespace {

constexpr int kIconPoints = 8;
// The list keeps room for its header and the start of its rows; the pane for its tabs.
constexpr int kNarrowestList = 240;
constexpr int kNarrowestPane = 200;
// Node, Conversation and Hex, in the order of PaneView.
constexpr int kPaneViews = 3;

// The window's placement, as Qt saves it, in base64 text.
constexpr std::string_view kGeometryKey = "MainWindowGeometry";
constexpr std::string_view kSplitterKey = "MainWindowSplitter";

// Empty when the stored text is not base64; Qt refuses bytes that are not a state it saved.
QByteArray storedState(const Defaults& defaults, std::string_view key) {
  auto decoded =
      QByteArray::fromBase64Encoding(QByteArray::fromStdString(defaults.stringValue(key)),
                                     QByteArray::AbortOnBase64DecodingErrors);
  return decoded ? *decoded : QByteArray();
}

}  // namespace

MainWindow::MainWindow(Session& session, Defaults& storedDefaults, SoundPlayer& sounds)
    : session_(session),
      ui_(std::make_unique<Ui::MainWindow>()),
      sounds_(sounds),
      storedDefaults_(storedDefaults) {
  ui_->setupUi(this);
  setWindowIcon(QIcon(":/images/wirequill"));
  // Lost packets stay in view at the right of the status bar, whatever message it shows.
  lossLabel_ = new QLabel(ui_->statusBar);
  lossLabel_->setObjectName("captureLossLabel");
  ui_->statusBar->addPermanentWidget(lossLabel_);

  model_ = std::make_unique<NodeTableModel>(view_);
  table_ = std::make_unique<QtNodeTableView>(
      *ui_->nodesTableView, *model_, [this] { act([this] { view_.updateDataTextView(); }); });
  // The node cell: not editable, the globe scaled to 8 by 8 points, a 9-point font.
  cell_ = new ImageAndTextCell(ui_->nodesTableView);
  cell_->setImage(QPixmap(":/images/WQMGlobe")
                      .scaled(kIconPoints * devicePixelRatio(), kIconPoints * devicePixelRatio(),
                              Qt::KeepAspectRatio, Qt::SmoothTransformation));
  ui_->nodesTableView->setItemDelegateForColumn(0, cell_);
  ui_->nodesTableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  QFont cellFont;
  cellFont.setFamilies({"Lucida Grande", "DejaVu Sans", "sans-serif"});
  cellFont.setPointSize(9);
  ui_->nodesTableView->setFont(cellFont);
  // Uniform rows keep scrolling cheap however long the list grows.
  QHeaderView* rows = ui_->nodesTableView->verticalHeader();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(QFontMetrics(cellFont).height() + 4);

  // The pane's text is wrapped at 76 columns, which line up only in a fixed-width font. The pane
  // starts wide enough for them; the list and the pane then share what the window gains or loses,
  // and neither gets narrower than it can be used at.
  QPlainTextEdit& paneEdit = *ui_->dataTextView;
  paneEdit.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  const int paneWidth =
      paneEdit.fontMetrics().horizontalAdvance(QString(kPayloadLineLength + 1, '0')) +
      2 * (paneEdit.frameWidth() + static_cast<int>(paneEdit.document()->documentMargin())) +
      paneEdit.verticalScrollBar()->sizeHint().width();
  ui_->listAndDetail->setChildrenCollapsible(false);
  ui_->listAndDetail->setStretchFactor(0, 1);
  ui_->listAndDetail->setStretchFactor(1, 1);
  ui_->listSide->setMinimumWidth(kNarrowestList);
  ui_->paneSide->setMinimumWidth(kNarrowestPane);
  ui_->listAndDetail->setSizes({width() - paneWidth, paneWidth});
  ui_->paneTabs->addTab(tr("Node"));
  ui_->paneTabs->addTab(tr("Conversation"));
  ui_->paneTabs->addTab(tr("Hex"));
  ui_->paneTabs->setExpanding(false);
  ui_->paneTabs->updateGeometry();  // a hidden tab bar keeps the layout's hint of no tabs
  pane_ = std::make_unique<QtTextView>(*ui_->dataTextView);
  addedSwitch_ = std::make_unique<QtToggleButton>(*ui_->nodeAddedHaltedButton);
  droppedSwitch_ = std::make_unique<QtToggleButton>(*ui_->nodeDroppedHaltedButton);
  window_ = std::make_unique<QtWindowView>(*this);
  addedView_ = std::make_unique<NodeBoxView>(
      NodeBoxLabels{ui_->addedProtocolField, ui_->addedSourceIPField, ui_->addedDestinationIPField,
                    ui_->addedSourcePortField, ui_->addedDestinationPortField,
                    ui_->addedLastHitField, ui_->addedStatusLight, ui_->addedProgramField},
      LightMeanings{{lights::IntakeRuns, tr("Intake runs: new packets make nodes")},
                    {lights::Halted, tr("Intake halted")},
                    {lights::CaptureEnded, tr("Capture has ended")}});
  droppedView_ = std::make_unique<NodeBoxView>(
      NodeBoxLabels{ui_->droppedProtocolField, ui_->droppedSourceIPField,
                    ui_->droppedDestinationIPField, ui_->droppedSourcePortField,
                    ui_->droppedDestinationPortField, ui_->droppedLastHitField,
                    ui_->droppedStatusLight},
      LightMeanings{{lights::PurgeRuns, tr("Purge runs: idle nodes leave")},
                    {lights::Halted, tr("Purge halted")}});

  refineBox_ = std::make_unique<WQMRefineBox>(
      ui_->refineProtocolMenu, ui_->refineLastHitMenu, ui_->refineSourceIPField,
      ui_->refineSourcePortField, ui_->refineDestinationIPField, ui_->refineDestinationPortField,
      ui_->refinePayloadField, ui_->refineProgramField);

  view_.connect({table_.get(), pane_.get(), addedSwitch_.get(), droppedSwitch_.get(), window_.get(),
                 &sounds_});
  connectActions();
  connectPaneViews();
  connectFindBar();
  connectRefineBox();
  refresh();
  // Quitting (the menu, a signal) closes no window, so the placement is saved on the way out too.
  connect(qApp, &QCoreApplication::aboutToQuit, this, &MainWindow::saveWindowPlacement);
}

MainWindow::~MainWindow() = default;

void MainWindow::connectActions() {
  connect(ui_->nodeAddedHaltedButton, &QPushButton::clicked, this,
          [this] { act([this] { view_.nodeAddedHalt(*addedSwitch_); }); });
  connect(ui_->nodeDroppedHaltedButton, &QPushButton::clicked, this,
          [this] { act([this] { view_.nodeDroppedHalt(*droppedSwitch_); }); });
  connect(ui_->previousNodeAction, &QAction::triggered, this,
          [this] { act([this] { view_.previousNode(); }); });
  connect(ui_->nextNodeAction, &QAction::triggered, this,
          [this] { act([this] { view_.nextNode(); }); });
  connect(ui_->removeNodeAction, &QAction::triggered, this,
          [this] { act([this] { view_.removeNode(); }); });
  connect(ui_->openWindowAction, &QAction::triggered, this,
          [this] { act([this] { view_.openWindow(); }); });
  connect(ui_->closeWindowAction, &QAction::triggered, this,
          [this] { act([this] { view_.closeWindow(); }); });
  connect(ui_->saveAsAction, &QAction::triggered, this, &MainWindow::saveAsDocument);
  connect(ui_->savePayloadAction, &QAction::triggered, this, &MainWindow::savePayloadDocument);
  connect(ui_->copyAction, &QAction::triggered, this, &MainWindow::copyPane);
  connect(ui_->preferencesAction, &QAction::triggered, this, &MainWindow::openPreferences);
  connect(ui_->quitAction, &QAction::triggered, qApp, &QApplication::quit, Qt::QueuedConnection);
  connect(ui_->aboutAction, &QAction::triggered, this, &MainWindow::showAbout);
  taggedActions_ = {{ui_->quitAction, tags::Quit},
                    {ui_->preferencesAction, tags::Preferences},
                    {ui_->saveAsAction, tags::SaveReport},
                    {ui_->openWindowAction, tags::OpenWindow},
                    {ui_->closeWindowAction, tags::CloseWindow},
                    {ui_->previousNodeAction, tags::PreviousNode},
                    {ui_->nextNodeAction, tags::NextNode},
                    {ui_->removeNodeAction, tags::RemoveNode},
                    {ui_->savePayloadAction, tags::ActsOnSelectedNode},
                    {ui_->copyAction, tags::ActsOnSelectedNode}};
  for (QMenu* menu : {ui_->fileMenu, ui_->editMenu, ui_->nodesMenu, ui_->windowMenu}) {
    connect(menu, &QMenu::aboutToShow, this, &MainWindow::validateMenuItems);
  }
}

void MainWindow::connectPaneViews() {
  // The tabs and the View menu's items are two ways to the same choice.
  auto* group = new QActionGroup(this);
  for (int index = 0; index < kPaneViews; ++index) {
    QAction* action = group->addAction(paneViewAction(index));
    connect(action, &QAction::triggered, this, [this, index] { showPaneView(index); });
  }
  connect(ui_->paneTabs, &QTabBar::currentChanged, this, &MainWindow::showPaneView);
  // The Program column is shown or hidden as it was last.
  const bool programsShown = storedDefaults_.boolValue(keys::ShowProgramColumn);
  ui_->programColumnAction->setChecked(programsShown);
  table_->setProgramColumnShown(programsShown);
  connect(ui_->programColumnAction, &QAction::toggled, this, [this](bool shown) {
    table_->setProgramColumnShown(shown);
    storedDefaults_.setValue(keys::ShowProgramColumn, shown);
  });
}

QAction* MainWindow::paneViewAction(int index) const {
  QAction* const actions[kPaneViews] = {ui_->nodeViewAction, ui_->conversationViewAction,
                                        ui_->hexViewAction};
  return actions[index];
}

void MainWindow::showPaneView(int index) {
  const QSignalBlocker blocker(ui_->paneTabs);
  ui_->paneTabs->setCurrentIndex(index);
  paneViewAction(index)->setChecked(true);
  act([&] { view_.setPaneView(static_cast<PaneView>(index)); });
}

void MainWindow::connectFindBar() {
  connect(ui_->findAction, &QAction::triggered, this, [this] {
    ui_->findBar->show();
    ui_->findField->setFocus(Qt::ShortcutFocusReason);
    ui_->findField->selectAll();
  });
  connect(ui_->findNextAction, &QAction::triggered, this, [this] { find(true); });
  connect(ui_->findPreviousAction, &QAction::triggered, this, [this] { find(false); });
  connect(ui_->findField, &QLineEdit::returnPressed, this, [this] { find(true); });
  for (const QKeySequence& keys :
       {QKeySequence(Qt::SHIFT | Qt::Key_Return), QKeySequence(Qt::SHIFT | Qt::Key_Enter)}) {
    auto* previous = new QShortcut(keys, ui_->findField, nullptr, nullptr, Qt::WidgetShortcut);
    connect(previous, &QShortcut::activated, this, [this] { find(false); });
  }
  auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), ui_->findBar, nullptr, nullptr,
                              Qt::WidgetWithChildrenShortcut);
  connect(close, &QShortcut::activated, this, &MainWindow::closeFindBar);
  connect(ui_->findCloseButton, &QToolButton::clicked, this, &MainWindow::closeFindBar);
}

void MainWindow::find(bool forward) {
  if (ui_->findBar->isHidden() || ui_->findField->text().isEmpty()) {
    ui_->findAction->trigger();
    return;
  }
  const std::string text = ui_->findField->text().toStdString();
  const std::optional<PayloadPattern> pattern =
      ui_->findHexBox->isChecked() ? PayloadPattern::hex(text) : PayloadPattern::text(text);
  if (!pattern) {
    ui_->findStatus->setText(tr("Not hex bytes: give pairs of digits, such as 0d 0a"));
    sounds_.beep();
    return;
  }
  std::size_t count = 0;
  act([&] { count = view_.findNode(*pattern, forward); });
  ui_->findStatus->setText(count == 0   ? tr("No node matches")
                           : count == 1 ? tr("1 node matches")
                                        : tr("%L1 nodes match").arg(count));
  if (count == 0) {
    sounds_.beep();
  }
}

void MainWindow::closeFindBar() {
  ui_->findBar->hide();
  ui_->findStatus->clear();
  act([this] { view_.setHighlight(PayloadPattern::text("")); });
  ui_->nodesTableView->setFocus();
}

void MainWindow::copyPane() {
  QPlainTextEdit& pane = *ui_->dataTextView;
  if (pane.textCursor().hasSelection()) {
    pane.copy();
  } else {
    QGuiApplication::clipboard()->setText(pane.toPlainText());
  }
}

void MainWindow::savePayloadDocument() {
  if (view_.selectedNode() == nullptr) {
    return;
  }
  auto* dialog = new QFileDialog(this, "Save Payload", QDir::homePath());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->selectFile("payload.bin");
  dialog->setWindowModality(Qt::WindowModal);
  connect(dialog, &QFileDialog::fileSelected, this, &MainWindow::savePayload);
  dialog->open();
}

void MainWindow::savePayload(const QString& path) {
  const WQMConnection* node = view_.selectedNode();
  if (node == nullptr) {
    alert(tr("The payload was not saved: no node is selected any more."));
    return;
  }
  const NodeFacts facts = node->facts();
  QString error;
  if (!writeReportFile(
          path,
          [&](const ReportSink& sink) {
            sink(std::string_view(reinterpret_cast<const char*>(facts.payload.data()),
                                  facts.payload.size()));
          },
          &error)) {
    alert(QString("The payload was not saved: %1.").arg(error));
  } else if (!facts.gaps.empty()) {
    alert(QString::fromStdString(missingBytesText(facts)));
  }
}

void MainWindow::alert(const QString& message) {
  auto* box = new QMessageBox(QMessageBox::Warning, "Wirequill", message, QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  box->open();
}

void MainWindow::connectRefineBox() {
  connect(ui_->refineProtocolMenu, &QComboBox::activated, this, [this](int index) {
    act([&] { refine_.refineProtocol(WQMRefineBox::tagOf(ui_->refineProtocolMenu, index)); });
  });
  connect(ui_->refineLastHitMenu, &QComboBox::activated, this, [this](int index) {
    act([&] { refine_.refineLastHit(WQMRefineBox::tagOf(ui_->refineLastHitMenu, index)); });
  });
  using Action = void (RefineActions::*)(SearchField&);
  const std::pair<QLineEdit*, Action> fields[] = {
      {ui_->refineSourceIPField, &RefineActions::refineSourceIP},
      {ui_->refineSourcePortField, &RefineActions::refineSourcePort},
      {ui_->refineDestinationIPField, &RefineActions::refineDestinationIP},
      {ui_->refineDestinationPortField, &RefineActions::refineDestinationPort},
      {ui_->refinePayloadField, &RefineActions::refinePayload},
      {ui_->refineProgramField, &RefineActions::refineProgram}};
  for (const auto& [edit, action] : fields) {
    QtSearchField* field = searchFields_.emplace_back(std::make_unique<QtSearchField>(*edit)).get();
    connect(edit, &QLineEdit::returnPressed, this,
            [this, field, action = action] { act([&] { (refine_.*action)(*field); }); });
  }
}

void MainWindow::saveAsDocument() {
  act([this] { view_.haltAll(); });
  auto* dialog = new QFileDialog(this, "Save Report", QDir::homePath());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setOption(QFileDialog::DontUseNativeDialog);  // attached to the window on every desktop
  dialog->setDefaultSuffix("txt");
  dialog->selectFile("Untitled.txt");
  dialog->setWindowModality(Qt::WindowModal);
  connect(dialog, &QFileDialog::fileSelected, this, &MainWindow::saveReport);
  dialog->open();
}

void MainWindow::saveReport(const QString& path) {
  QString error;
  if (writeReportFile(
          path, [this](const ReportSink& sink) { session_.writeReport(sink); }, &error)) {
    return;
  }
  alert(QString("The report was not saved: %1.").arg(error));
}

void MainWindow::openPreferences() {
  if (prefsController_ == nullptr) {
    prefsController_ = new WQMPrefsController(storedDefaults_, sounds_, this);
    connect(prefsController_, &WQMPrefsController::captureSettingsChanged, this,
            &MainWindow::captureSettingsChanged);
  }
  prefsController_->show();
  prefsController_->raise();
  prefsController_->activateWindow();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    prefsController_->move(screen->availableGeometry().center() -
                           prefsController_->rect().center());
  }
}

void MainWindow::showAbout() {
  // As QMessageBox::about shows it, but without a loop of its own, like the other alerts.
  auto* about = new QMessageBox(this);
  about->setObjectName("aboutBox");
  about->setAttribute(Qt::WA_DeleteOnClose);
  about->setWindowTitle(tr("About Wirequill"));
  about->setText(QString("<b>Wirequill %1</b><p>%2</p><p>Qt %3<br>%4</p>")
                     .arg(QCoreApplication::applicationVersion().toHtmlEscaped(),
                          tr("A live list of the traffic on one network interface."), qVersion(),
                          QString::fromLatin1(pcap_lib_version()).toHtmlEscaped()));
  const QIcon icon = windowIcon();
  about->setIconPixmap(icon.pixmap(icon.actualSize(QSize(64, 64))));
  about->setWindowModality(Qt::WindowModal);
  about->open();
}

void MainWindow::validateMenuItems() {
  for (const auto& [action, tag] : taggedActions_) {
    action->setEnabled(view_.validateMenuItem(tag));
  }
}

void MainWindow::refresh() {
  addedView_->refresh(session_.tracker().nodeAddedBox());
  droppedView_->refresh(session_.tracker().nodeDroppedBox());
  // Shortcuts work without opening a menu, so the items follow the state at all times.
  validateMenuItems();
}

void MainWindow::placeWindow() {
  if (!restoreGeometry(storedState(storedDefaults_, kGeometryKey))) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                      screen->availableGeometry()));
    }
  }
  ui_->listAndDetail->restoreState(storedState(storedDefaults_, kSplitterKey));
  show();
  raise();
  activateWindow();
}

void MainWindow::saveWindowPlacement() {
  storedDefaults_.setValue(kGeometryKey, saveGeometry().toBase64().toStdString());
  storedDefaults_.setValue(kSplitterKey, ui_->listAndDetail->saveState().toBase64().toStdString());
}

void MainWindow::closeEvent(QCloseEvent* event) {
  saveWindowPlacement();
  QMainWindow::closeEvent(event);
}

void MainWindow::showCaptureEnded(const QString& message, const QString& details) {
  ui_->statusBar->showMessage(message);
  ui_->statusBar->setToolTip(details.isEmpty() ? message : details);
}

void MainWindow::showCaptureLoss(const QString& text) {
  lossLabel_->setText(text);
}

void MainWindow::showCaptureNotStarted(const QString& source, const QString& message) {
  setWindowTitle(QString("Wirequill — %1 (not started)").arg(source));
  session_.tracker().setCaptureEnded(true);
  refresh();
  showCaptureEnded(message);
}

void MainWindow::showCaptureSource(const QString& source, bool capturing) {
  setWindowTitle(QString("Wirequill — %1 (%2)").arg(source, capturing ? "capturing" : "ended"));
  if (capturing) {
    ui_->statusBar->clearMessage();
    ui_->statusBar->setToolTip({});
  }
}

}  // namespace wq
