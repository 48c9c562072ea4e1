// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/window/WQMPrefsController.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QPushButton>

#include "app/window/InterfaceChooser.h"
#include "capture/CaptureFilter.h"
#include "ui_WQMPreferences.h"

namespace wq {

namespace {

constexpr int kRecentCaptureFiles = 10;
constexpr char kOtherFileItem[] = "Other capture file…";

QStringList recentCaptureFiles(const Defaults& defaults) {
  return QString::fromStdString(defaults.stringValue(kRecentCaptureFilesKey))
      .split('\n', Qt::SkipEmptyParts);
}

// Selects the item titled `title`, adding it first when the pop-up does not have it.
void selectItemWithTitle(QComboBox* menu, const QString& title) {
  if (menu->findText(title) < 0) {
    menu->insertItem(0, title);
  }
  menu->setCurrentIndex(menu->findText(title));
}

}  // namespace

void rememberCaptureFile(Defaults& defaults, const std::string& path) {
  QStringList files = recentCaptureFiles(defaults);
  files.removeAll(QString::fromStdString(path));
  files.prepend(QString::fromStdString(path));
  defaults.setValue(kRecentCaptureFilesKey,
                    files.mid(0, kRecentCaptureFiles).join('\n').toStdString());
}

WQMPrefsController::WQMPrefsController(Defaults& defaults, SoundPlayer& sounds, QWidget* parent)
    : QDialog(parent),
      defaults_(defaults),
      sounds_(sounds),
      ui_(std::make_unique<Ui::WQMPreferences>()) {
  ui_->setupUi(this);
  ui_->appIconImageView->setPixmap(QPixmap(":/images/wirequill"));
  ui_->globeIconImageView->setPixmap(QPixmap(":/images/WQMGlobe"));
  ui_->bpfDevicePopUpButton->addItem("/dev/bpf0");
  ui_->bpfDevicePopUpButton->addItems(recentCaptureFiles(defaults_));
  ui_->bpfDevicePopUpButton->addItem(kOtherFileItem);
  ui_->interfaceDeviceButton->addItems(machineInterfaces());
  ui_->interfaceDeviceButton->addItem("en1");
  connect(ui_->buttons, &QDialogButtonBox::accepted, this, &WQMPrefsController::okay);
  connect(ui_->buttons, &QDialogButtonBox::rejected, this, &WQMPrefsController::cancel);
  connect(ui_->bpfDevicePopUpButton, &QComboBox::activated, this,
          &WQMPrefsController::chooseCaptureFile);
  showStoredSettings();
}

WQMPrefsController::~WQMPrefsController() = default;

void WQMPrefsController::showStoredSettings() {
  ui_->maxPacketSizeField->setText(QString::number(maxPacketSize(defaults_)));
  selectItemWithTitle(ui_->bpfDevicePopUpButton,
                      QString::fromStdString(defaults_.stringValue(keys::BPFDevice)));
  selectItemWithTitle(ui_->interfaceDeviceButton,
                      QString::fromStdString(defaults_.stringValue(keys::InterfaceDevice)));
  ui_->captureFilterField->setText(
      QString::fromStdString(defaults_.stringValue(keys::CaptureFilter)));
  ui_->captureHostField->setText(QString::fromStdString(defaults_.stringValue(keys::CaptureHost)));
  ui_->purgeIdleTimeField->setText(QString::number(defaults_.doubleValue(keys::PurgeIdleTime)));
  ui_->dropPacketsOnFINButton->setChecked(defaults_.boolValue(keys::DropOnFIN));
  ui_->dropPacketsOnRSTButton->setChecked(defaults_.boolValue(keys::DropOnRST));
  ui_->trackOpenConnectionsButton->setChecked(defaults_.boolValue(keys::TrackOpenConnections));
  ui_->reportResolveAddressButton->setChecked(defaults_.boolValue(keys::ReportResolveIPAddresses));
  ui_->reportRecentNodesFirstButton->setChecked(defaults_.boolValue(keys::ReportRecentNodesFirst));
  ui_->reportProgramsButton->setChecked(defaults_.boolValue(keys::ReportPrograms));
}

void WQMPrefsController::chooseCaptureFile(int index) {
  if (ui_->bpfDevicePopUpButton->itemText(index) != kOtherFileItem) {
    return;
  }
  const QString path =
      QFileDialog::getOpenFileName(this, "Capture File", QDir::homePath(),
                                   "Capture files (*.pcap *.pcapng *.cap);;All files (*)");
  selectItemWithTitle(
      ui_->bpfDevicePopUpButton,
      path.isEmpty() ? QString::fromStdString(defaults_.stringValue(keys::BPFDevice)) : path);
}

void WQMPrefsController::okay() {
  // Nothing is stored while a value cannot be used: the label under the fields says why.
  const auto refuse = [this](const QString& problem, QWidget* field) {
    ui_->captureFilterProblemLabel->setText(problem);
    ui_->captureFilterProblemLabel->show();
    field->setFocus();
  };
  const int packetSize = intValueOf(ui_->maxPacketSizeField->text().toStdString());
  if (packetSize <= 0) {
    refuse("The maximum packet size must be a number of bytes above 0.", ui_->maxPacketSizeField);
    return;
  }
  const std::string filter = ui_->captureFilterField->text().trimmed().toStdString();
  if (const std::optional<std::string> problem = netsiphon::captureFilterProblem(filter)) {
    refuse(QString("The capture filter cannot be used: %1.").arg(QString::fromStdString(*problem)),
           ui_->captureFilterField);
    return;
  }
  ui_->captureFilterProblemLabel->hide();
  sounds_.play("display02.wav");
  const std::string device = defaults_.stringValue(keys::BPFDevice);
  const std::string interfaceName = defaults_.stringValue(keys::InterfaceDevice);
  const std::string storedFilter = defaults_.stringValue(keys::CaptureFilter);
  const std::string host = ui_->captureHostField->text().trimmed().toStdString();
  const std::string storedHost = defaults_.stringValue(keys::CaptureHost);
  defaults_.setValue(keys::MaxPacketSize, std::int64_t{packetSize});
  defaults_.setValue(keys::BPFDevice, ui_->bpfDevicePopUpButton->currentText().toStdString());
  defaults_.setValue(keys::InterfaceDevice,
                     ui_->interfaceDeviceButton->currentText().toStdString());
  defaults_.setValue(keys::CaptureFilter, filter);
  defaults_.setValue(keys::CaptureHost, host);
  defaults_.setValue(keys::PurgeIdleTime,
                     doubleValueOf(ui_->purgeIdleTimeField->text().toStdString()));
  defaults_.setValue(keys::DropOnFIN, ui_->dropPacketsOnFINButton->isChecked());
  defaults_.setValue(keys::DropOnRST, ui_->dropPacketsOnRSTButton->isChecked());
  defaults_.setValue(keys::TrackOpenConnections, ui_->trackOpenConnectionsButton->isChecked());
  defaults_.setValue(keys::ReportResolveIPAddresses, ui_->reportResolveAddressButton->isChecked());
  defaults_.setValue(keys::ReportRecentNodesFirst, ui_->reportRecentNodesFirstButton->isChecked());
  defaults_.setValue(keys::ReportPrograms, ui_->reportProgramsButton->isChecked());
  hide();
  if (defaults_.stringValue(keys::BPFDevice) != device ||
      defaults_.stringValue(keys::InterfaceDevice) != interfaceName || filter != storedFilter ||
      host != storedHost) {
    emit captureSettingsChanged();
  }
}

void WQMPrefsController::cancel() {
  hide();
}

}  // namespace wq
