#include "app/MainWindow.h"

#include "app/ReportFile.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>

namespace wq {

namespace {

constexpr int kIconPoints = 8;

}  // namespace

MainWindow::MainWindow(Defaults& defaults, const Clock& clock, LogSink& log, HostResolver& resolver,
                       SoundPlayer& sounds)
    : controller_(defaults, clock, log, resolver),
      ui_(std::make_unique<Ui::MainWindow>()),
      sounds_(sounds),
      defaults_(defaults) {
  ui_->setupUi(this);
  setWindowIcon(QIcon(":/images/wirequill"));

  model_ = std::make_unique<NodeTableModel>(controller_);
  table_ = std::make_unique<QtNodeTableView>(
      *ui_->nodesTableView, *model_, [this] { act([](auto& c) { c.updateDataTextView(); }); });
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

  pane_ = std::make_unique<QtTextView>(*ui_->dataTextView);
  addedSwitch_ = std::make_unique<QtToggleButton>(*ui_->nodeAddedHaltedButton);
  droppedSwitch_ = std::make_unique<QtToggleButton>(*ui_->nodeDroppedHaltedButton);
  window_ = std::make_unique<QtWindowView>(*this);
  addedView_ = std::make_unique<NodeBoxView>(
      NodeBoxLabels{ui_->addedProtocolField, ui_->addedSourceIPField, ui_->addedDestinationIPField,
                    ui_->addedSourcePortField, ui_->addedDestinationPortField,
                    ui_->addedLastHitField, ui_->addedStatusLight});
  droppedView_ = std::make_unique<NodeBoxView>(NodeBoxLabels{
      ui_->droppedProtocolField, ui_->droppedSourceIPField, ui_->droppedDestinationIPField,
      ui_->droppedSourcePortField, ui_->droppedDestinationPortField, ui_->droppedLastHitField,
      ui_->droppedStatusLight});

  refineBox_ = std::make_unique<WQMRefineBox>(
      ui_->refineProtocolMenu, ui_->refineLastHitMenu, ui_->refineSourceIPField,
      ui_->refineSourcePortField, ui_->refineDestinationIPField, ui_->refineDestinationPortField);
  refineBox_->awakeFromNib();

  controller_.awakeFromNib({table_.get(), pane_.get(), addedSwitch_.get(), droppedSwitch_.get(),
                            window_.get(), &sounds_});
  connectActions();
  connectRefineBox();
  refresh();
}

MainWindow::~MainWindow() = default;

void MainWindow::connectActions() {
  connect(ui_->nodeAddedHaltedButton, &QPushButton::clicked, this,
          [this] { act([this](auto& c) { c.nodeAddedHalt(*addedSwitch_); }); });
  connect(ui_->nodeDroppedHaltedButton, &QPushButton::clicked, this,
          [this] { act([this](auto& c) { c.nodeDroppedHalt(*droppedSwitch_); }); });
  connect(ui_->previousNodeAction, &QAction::triggered, this,
          [this] { act([](auto& c) { c.previousNode(); }); });
  connect(ui_->nextNodeAction, &QAction::triggered, this,
          [this] { act([](auto& c) { c.nextNode(); }); });
  connect(ui_->removeNodeAction, &QAction::triggered, this,
          [this] { act([](auto& c) { c.removeNode(); }); });
  connect(ui_->openWindowAction, &QAction::triggered, this,
          [this] { act([](auto& c) { c.openWindow(); }); });
  connect(ui_->closeWindowAction, &QAction::triggered, this,
          [this] { act([](auto& c) { c.closeWindow(); }); });
  connect(ui_->saveAsAction, &QAction::triggered, this, &MainWindow::saveAsDocument);
  connect(ui_->preferencesAction, &QAction::triggered, this, &MainWindow::openPreferences);
  connect(ui_->quitAction, &QAction::triggered, qApp, &QApplication::quit, Qt::QueuedConnection);
  for (QAction* action : findChildren<QAction*>()) {
    if (action->property("tag").isValid()) {
      taggedActions_.push_back(action);
    }
  }
  for (QMenu* menu : {ui_->fileMenu, ui_->nodesMenu, ui_->windowMenu}) {
    connect(menu, &QMenu::aboutToShow, this, &MainWindow::validateMenuItems);
  }
}

void MainWindow::connectRefineBox() {
  connect(ui_->refineProtocolMenu, &QComboBox::activated, this, [this](int index) {
    act([&](auto& c) { c.refineProtocol(WQMRefineBox::tagOf(ui_->refineProtocolMenu, index)); });
  });
  connect(ui_->refineLastHitMenu, &QComboBox::activated, this, [this](int index) {
    act([&](auto& c) { c.refineLastHit(WQMRefineBox::tagOf(ui_->refineLastHitMenu, index)); });
  });
  using Action = void (ApplicationController::*)(SearchField&);
  const std::pair<QLineEdit*, Action> fields[] = {
      {ui_->refineSourceIPField, &ApplicationController::refineSourceIP},
      {ui_->refineSourcePortField, &ApplicationController::refineSourcePort},
      {ui_->refineDestinationIPField, &ApplicationController::refineDestinationIP},
      {ui_->refineDestinationPortField, &ApplicationController::refineDestinationPort}};
  for (const auto& [edit, action] : fields) {
    QtSearchField* field = searchFields_.emplace_back(std::make_unique<QtSearchField>(*edit)).get();
    connect(edit, &QLineEdit::returnPressed, this,
            [this, field, action = action] { act([&](auto& c) { (c.*action)(*field); }); });
  }
}

void MainWindow::saveAsDocument() {
  act([](auto& c) { c.haltAll(); });
  auto* dialog = new QFileDialog(this, "Save Report", QDir::homePath());
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setOption(QFileDialog::DontUseNativeDialog);  // attached to the window on every desktop
  dialog->setDefaultSuffix("txt");
  dialog->selectFile("Untitled.txt");
  dialog->setWindowModality(Qt::WindowModal);
  connect(dialog, &QFileDialog::fileSelected, this, &MainWindow::savePanelDidEnd);
  dialog->open();
}

void MainWindow::savePanelDidEnd(const QString& path) {
  QString error;
  if (writeReportFile(
          path, [this](const ReportSink& sink) { controller_.writeReport(sink); }, &error)) {
    return;
  }
  auto* alert =
      new QMessageBox(QMessageBox::Warning, "Wirequill",
                      QString("The report was not saved: %1.").arg(error), QMessageBox::Ok, this);
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->open();
}

void MainWindow::openPreferences() {
  if (prefsController_ == nullptr) {
    prefsController_ = new WQMPrefsController(defaults_, sounds_, this);
  }
  prefsController_->show();
  prefsController_->raise();
  prefsController_->activateWindow();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    prefsController_->move(screen->availableGeometry().center() -
                           prefsController_->rect().center());
  }
}

void MainWindow::validateMenuItems() {
  for (QAction* action : taggedActions_) {
    action->setEnabled(controller_.validateMenuItem(action->property("tag").toInt()));
  }
}

void MainWindow::refresh() {
  addedView_->refresh(controller_.nodeAddedBox());
  droppedView_->refresh(controller_.nodeDroppedBox());
  // Shortcuts work without opening a menu, so the items follow the state at all times.
  validateMenuItems();
}

void MainWindow::placeWindow() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    setGeometry(
        QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));
  }
  show();
  raise();
  activateWindow();
}

void MainWindow::showCaptureEnded(const QString& message) {
  ui_->statusBar->showMessage(message);
}

}  // namespace wq
