// The refine box, saving the report and the preferences window, in the main window offscreen:
// the list, selection, halts, field texts and sounds each action leaves; the saved report byte
// for byte; cancelled and failed saves; preferences stored or cancelled, and their effect.

#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include "app/MainWindow.h"
#include "tools/CaptureBuilder.h"
#include "tools/WindowRig.h"
#include "tracking/PacketDecoder.h"
#include "tracking/PlainPlatform.h"
#include "tracking/TextFormat.h"
#include "ui_MainWindow.h"
#include "ui_WQMPreferences.h"

using namespace wq;
using namespace wq::testing;

namespace {

struct Window : WindowRig {
  Window() { window->show(); }
  ApplicationController& controller() { return window->controller(); }
  const Ui::MainWindow& ui() const { return window->ui(); }
  void feed(const std::vector<Bytes>& frames) {
    const Bytes stream = streamOf(frames);
    controller().tracker().dataReceived(ByteView(stream.data(), stream.size()));
    window->refresh();
  }
  QStringList sources() {
    QStringList list;
    const NodeList& nodes = controller().tracker().connectionsArray();
    nodes.forEach([&](const WQMConnection& node) {
      list << QString::fromStdString(dottedAddress(node.saddr()).value_or("?"));
    });
    return list;
  }
  void choose(QComboBox* menu, int tag) {
    const int index = menu->findData(tag);
    menu->setCurrentIndex(index);
    emit menu->activated(index);
  }
  void type(QLineEdit* field, const QString& text) {
    field->setFocus();
    field->setText(text);
    QTest::keyClick(field, Qt::Key_Return);
  }
  bool bothHalted() const {
    return ui().nodeAddedHaltedButton->isChecked() && ui().nodeDroppedHaltedButton->isChecked() &&
           window->controller().tracker().nodeAddedHalted() &&
           window->controller().tracker().nodeDroppedHalted() &&
           window->controller().tracker().nodeAddedBox().statusLight() == "WQMBoxStatus1" &&
           window->controller().tracker().nodeDroppedBox().statusLight() == "WQMBoxStatus1";
  }
};

std::vector<Bytes> mixedTraffic() {
  return {
      udpFrame("10.0.0.1", 5353, "10.0.0.9", 53, bytesOf("query")),
      icmpFrame("10.0.0.2", "10.0.0.9", bytesOf("ping")),
      tcpFrame("10.0.0.1", 40000, "10.0.0.9", 80, tcpflags::SYN, bytesOf("GET / HTTP/1.0\r\n\r\n")),
      udpFrame("10.0.0.3", 80, "10.0.0.8", 9999, bytesOf("reply"))};
}

}  // namespace

class RefineSaveTest : public QObject {
  Q_OBJECT

 private slots:
  void popUpsNarrowByProtocolAndAge() {
    Window w;
    w.feed(mixedTraffic());
    w.choose(w.ui().refineProtocolMenu, 30);  // UDP
    QCOMPARE(w.sources(), (QStringList{"10.0.0.1", "10.0.0.3"}));
    QVERIFY(w.bothHalted());
    QCOMPARE(w.sounds.played, (std::vector<std::string>{"click05.wav"}));
    QCOMPARE(w.ui().nodesTableView->selectionModel()->selectedRows().first().row(), 0);
    QVERIFY(w.ui().dataTextView->toPlainText().contains("Source IP: 10.0.0.1\n"));

    // New packets are not taken in while halted; a later age filter narrows further.
    w.feed({udpFrame("10.0.0.7", 1, "10.0.0.9", 2, bytesOf("late"))});
    QCOMPARE(w.sources().size(), 2);
    w.clock.advance(std::chrono::seconds(10));
    w.choose(w.ui().refineLastHitMenu, 10);  // exactly 10 s old: stays
    QCOMPARE(w.sources().size(), 2);
    w.clock.advance(std::chrono::milliseconds(500));
    w.choose(w.ui().refineLastHitMenu, 10);
    QVERIFY(w.sources().isEmpty());
    QVERIFY(w.ui().nodesTableView->selectionModel()->selectedRows().isEmpty());
  }

  void searchFieldsNarrowOnReturnAndReset() {
    Window w;
    w.feed(mixedTraffic());
    w.type(w.ui().refineSourceIPField, "10.0.0.1");
    QCOMPARE(w.sources(), (QStringList{"10.0.0.1", "10.0.0.1"}));
    QCOMPARE(w.ui().refineSourceIPField->text(), QString("Source IP"));
    QCOMPARE(w.sounds.played.back(), std::string("click01.wav"));
    QVERIFY(w.bothHalted());

    // A text that is not an address: a beep, nothing removed, the text stays.
    w.type(w.ui().refineDestinationIPField, "10.0.0.999");
    QCOMPARE(w.sounds.beeps, 1);
    QCOMPARE(w.ui().refineDestinationIPField->text(), QString("10.0.0.999"));
    QCOMPARE(w.sources().size(), 2);

    w.type(w.ui().refineDestinationPortField, "65616");  // low 16 bits: 80
    QCOMPARE(w.sources(), (QStringList{"10.0.0.1"}));
    QCOMPARE(w.ui().refineDestinationPortField->text(), QString("Port"));

    w.type(w.ui().refineSourcePortField, "Port");  // not a number: port 0
    QVERIFY(w.sources().isEmpty());
  }

  void savedReportIsTheListAsItStood() {
    QTemporaryDir folder;
    Window w;
    w.feed({tcpFrame("10.0.0.2", 52311, "10.0.0.9", 80, tcpflags::SYN,
                     bytesOf("GET / HTTP/1.0\r\n\r\n"))});
    w.window->saveAsDocument();
    QVERIFY(w.bothHalted());
    auto* dialog = w.window->findChild<QFileDialog*>();
    QVERIFY(dialog != nullptr);
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(), QString("Untitled.txt"));
    QCOMPARE(dialog->directory().absolutePath(), QDir::homePath());
    const QString path = folder.filePath("report");  // the .txt suffix is added
    dialog->selectFile(path);
    static_cast<QDialog*>(dialog)->accept();  // as the Save button does

    QFile saved(path + ".txt");
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(),
             QByteArray("Wirequill Report\n(Sunday, December 06, 2026)\n14:03:20, UTC\n\n"
                        "Start Time: 14:03:20\nLast Hit: 14:03:20\n\nProtocol: TCP\n\n"
                        "Source IP: 10.0.0.2\nSource Port: 52311\nDestination IP: 10.0.0.9\n"
                        "Destination Port: 80\n\nByte count: 18\n\nRaw Data:\n\n"
                        "GET / HTTP/1.0\n\n\n\n"
                        "-----------------------------------------------------------------------"
                        "\n\n"));
    QVERIFY(w.bothHalted());  // the halts stay on after a save
  }

  void cancelledOrFailedSaves() {
    QTemporaryDir folder;
    Window w;
    w.feed(mixedTraffic());
    w.window->saveAsDocument();
    auto* dialog = w.window->findChild<QFileDialog*>();
    QVERIFY(dialog != nullptr);
    dialog->selectFile(folder.filePath("never.txt"));
    dialog->reject();
    QVERIFY(!QFile::exists(folder.filePath("never.txt")));
    QVERIFY(w.bothHalted());
    QVERIFY(w.window->findChild<QMessageBox*>() == nullptr);

    w.window->saveReport("/nonexistent-folder/report.txt");
    auto* alert = w.window->findChild<QMessageBox*>();
    QVERIFY(alert != nullptr);
    QVERIFY(alert->isVisible());
    QVERIFY(alert->text().contains("/nonexistent-folder/report.txt"));
    QVERIFY(alert->text().contains("No such file or directory"));
  }

  void preferencesStoredOrCancelled() {
    Window w;
    w.window->openPreferences();
    WQMPrefsController* prefs = w.window->prefsController();
    QVERIFY(prefs != nullptr && prefs->isVisible());
    const Ui::WQMPreferences& ui = prefs->ui();
    QCOMPARE(ui.maxPacketSizeField->text(), QString("24000"));
    QCOMPARE(ui.bpfDevicePopUpButton->currentText(), QString("/dev/bpf0"));
    QCOMPARE(ui.interfaceDeviceButton->currentText(), QString("en1"));
    QCOMPARE(ui.purgeIdleTimeField->text(), QString("15"));
    QVERIFY(!ui.dropPacketsOnFINButton->isChecked());
    QVERIFY(ui.interfaceDeviceButton->findText("lo") >= 0);  // the machine's interfaces

    // Cancel stores nothing and leaves the controls as edited.
    ui.maxPacketSizeField->setText("1000");
    prefs->cancel();
    QVERIFY(!prefs->isVisible());
    QVERIFY(!w.store.value(keys::MaxPacketSize));
    w.window->openPreferences();
    QCOMPARE(w.window->prefsController(), prefs);
    QCOMPARE(ui.maxPacketSizeField->text(), QString("1000"));

    // OK stores all eight with their types, and each takes effect at its next read.
    ui.purgeIdleTimeField->setText("5");
    ui.dropPacketsOnRSTButton->setChecked(true);
    prefs->okay();
    QCOMPARE(w.sounds.played.back(), std::string("display02.wav"));
    QVERIFY(!prefs->isVisible());
    QCOMPARE(std::get<std::int64_t>(*w.store.value(keys::MaxPacketSize)), std::int64_t{1000});
    QCOMPARE(std::get<double>(*w.store.value(keys::PurgeIdleTime)), 5.0);
    QCOMPARE(std::get<bool>(*w.store.value(keys::DropOnRST)), true);
    QCOMPARE(std::get<bool>(*w.store.value(keys::DropOnFIN)), false);
    QCOMPARE(std::get<std::string>(*w.store.value(keys::InterfaceDevice)), std::string("en1"));
    QCOMPARE(std::get<std::string>(*w.store.value(keys::BPFDevice)), std::string("/dev/bpf0"));

    w.feed({tcpFrame("10.0.0.2", 1, "10.0.0.9", 2, tcpflags::SYN, bytesOf("opts"))});
    QCOMPARE(w.controller().tracker().connectionsArray().at(0).bufferSize(), 1000u);
    w.clock.advance(std::chrono::seconds(6));
    w.controller().tracker().purgeNodes();
    QVERIFY(w.controller().tracker().connectionsArray().empty());
  }

  void textThatIsNotANumberStoresZero() {
    Window w;
    w.window->openPreferences();
    w.window->prefsController()->ui().maxPacketSizeField->setText("lots");
    w.window->prefsController()->okay();
    QCOMPARE(std::get<std::int64_t>(*w.store.value(keys::MaxPacketSize)), std::int64_t{0});
    w.feed(mixedTraffic());  // a limit of 0 lets no payload in
    QVERIFY(w.controller().tracker().connectionsArray().empty());
  }
};

QTEST_MAIN(RefineSaveTest)
#include "RefineSaveTest.moc"
