// SPDX-License-Identifier: GPL-3.0-or-later
// The main window in this process, offscreen: that its widgets reach the node tracker and show
// its state (actions and menu items, halt switches and lights, panels, the detail pane following
// the table's selection, the refine box, saving the report, preferences, About), that it fits its
// texts and keeps its placement, and what it shows of the capture helper it starts, which replays
// a capture file that the test writes, or of a capture stream it reads; and the sound player's
// quieting of audio warnings.
#include <fcntl.h>
#include <pcap/pcap.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include <QClipboard>
#include <QFileDialog>
#include <QHeaderView>
#include <QListWidget>
#include <QMessageBox>
#include <QScrollBar>
#include <QtTest>

#include "app/intake/Monitor.h"
#include "app/window/CaptureControl.h"
#include "app/window/InterfaceChooser.h"
#include "capture/Messages.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/NetworkNamespaces.h"
#include "tests/tracking/ControllerRig.h"
#include "tools/WindowRig.h"
#include "tracking/decode/PacketDecoder.h"
#include "tracking/view/NodeText.h"
#include "ui_MainWindow.h"  // with the widgets of its form
#include "ui_WQMPreferences.h"

using namespace wq;
using namespace wq::apptest;
using namespace wq::testing;

namespace {

constexpr int kPatienceMs = 10'000;

// Four nodes with different source ports; the first a TCP connection whose SYN carries data.
std::vector<Bytes> fourNodes() {
  return {tcpFrame("10.0.0.1", 5353, "10.0.0.9", 53, tcpflags::SYN, bytesOf("query")),
          icmpFrame("10.0.0.2", "10.0.0.9", bytesOf("ping")),
          tcpFrame("10.0.0.1", 40000, "10.0.0.9", 80, tcpflags::SYN, bytesOf("GET /")),
          udpFrame("10.0.0.3", 80, "10.0.0.8", 9999, bytesOf("reply"))};
}

// The window with settings in memory and a clock standing at the capture's start; with a
// monitor, connected as the application connects them, and the capture control over it.
struct Window : WindowRig {
  Window() { window->placeWindow(); }
  ~Window() {
    control.reset();
    if (monitor) {
      monitor.reset();  // closes the socket: a helper still running sees the end of its input
      waitUntilEnded(helper, milliseconds(kPatienceMs));
    }
  }

  Monitor& makeMonitor() {
    monitor = std::make_unique<Monitor>(session, nullptr);
    QObject::connect(monitor.get(), &Monitor::changed, window.get(), &MainWindow::refresh);
    return *monitor;
  }
  void startCapture() {
    control = std::make_unique<CaptureControl>(*window, makeMonitor(), settings, defaults,
                                               storedDefaults, std::nullopt);
    control->start();
  }
  // Capture through the helper, which replays the capture file `device`.
  bool startHelper(const std::string& device) {
    defaults.setValue(keys::BPFDevice, device);
    startCapture();
    return (helper = waitForChild(getpid(), "netsiphon", milliseconds(kPatienceMs))) > 0;
  }
  // `frames` as the helper delivers them.
  void feed(const std::vector<Bytes>& frames) {
    const Bytes stream = streamOf(frames);
    session.tracker().dataReceived(ByteView(stream.data(), stream.size()));
  }
  // The four nodes, the last two 30 s after the first two; then 20 s pass. Captured here: the
  // programs behind the first and third are found, the last one's are still looked up.
  void feedFourNodes() {
    session.programs().lookUpThrough(lookup);
    const std::vector<Bytes> frames = fourNodes();
    feed({frames[0], frames[1]});
    clock.advance(std::chrono::seconds(30));
    feed({frames[2], frames[3]});
    clock.advance(std::chrono::seconds(20));
    const LocalProgram resolver{"resolvd", 6, "root", "", ""}, curl{"curl", 7, "alice", "", ""},
        nginx{"nginx", 8, "www-data", "nginx.service", ""};
    lookup.answer({{5353, {resolver, {}}}, {40000, {curl, nginx}}});
    session.takeProgramAnswers();
    window->refresh();
  }

  const Ui::MainWindow& ui() const { return window->ui(); }
  // The source port of every row.
  QString ports() const {
    QStringList ports;
    for (int row = 0; row < ui().nodesTableView->model()->rowCount(); ++row) {
      const QString text = ui().nodesTableView->model()->index(row, 0).data().toString();
      ports << text.section("Port: ", 1, 1).section("->", 0, 0);
    }
    return ports.join(' ');
  }
  // Whether the detail pane describes the node on the highlighted row as it is now.
  bool paneShowsHighlightedRow() const {
    const NodeList& nodes = session.tracker().connectionsArray();
    const int row = selectedRow();
    MemoryLog quiet;
    return row >= 0 && ui().dataTextView->toPlainText().toStdString() ==
                           detailText(nodes.at(static_cast<std::size_t>(row)).facts(), quiet);
  }
  int selectedRow() const {
    const QModelIndexList selected = ui().nodesTableView->selectionModel()->selectedRows();
    return selected.size() == 1 ? selected.first().row() : -1;
  }
  // The fields of the "added" or "dropped" panel.
  QString panel(const QString& side) const {
    QStringList texts;
    for (const char* field :
         {"Protocol", "SourceIP", "DestinationIP", "SourcePort", "DestinationPort", "LastHit"}) {
      texts << window->findChild<QLabel*>(side + field + "Field")->text();
    }
    return texts.join('|');
  }
  // The numbers of the two status lights, each checked to show its own picture, and their tips.
  QString lights() const {
    QStringList names;
    for (const QLabel* light : {ui().addedStatusLight, ui().droppedStatusLight}) {
      QString name = light->property(NodeBoxView::kLightProperty).toString();
      const QImage picture = QPixmap(":/images/" + name).toImage();
      names << (light->pixmap().toImage() == picture ? name.remove("WQMBoxStatus")
                                                     : "wrong picture");
    }
    return names.join(' ') + '|' + ui().addedStatusLight->toolTip() + '|' +
           ui().droppedStatusLight->toolTip();
  }
  // Which of quit, preferences, save, open, close, previous, next, remove and save payload are
  // enabled.
  QString enabledActions() const {
    QString enabled;
    for (const char* name : {"quit", "preferences", "saveAs", "openWindow", "closeWindow",
                             "previousNode", "nextNode", "removeNode", "savePayload"}) {
      enabled += window->findChild<QAction*>(name + QString("Action"))->isEnabled() ? '1' : '0';
    }
    return enabled;
  }

  FakeProgramLookup lookup;
  std::unique_ptr<Monitor> monitor;
  std::unique_ptr<CaptureControl> control;
  pid_t helper = -1;
};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    std::vector<TimedFrame> frames;
    for (const Bytes& frame : fourNodes()) {
      frames.push_back({frames.size() * 0.01, frame});
    }
    QVERIFY(writeCaptureFile(capture_, frames));
  }

  // Quit: the helper gets the termination line, ends, and its closing line is logged; no failure
  // is shown. Killed, or replaying a file cut short: the status bar says so. The list stays.
  void helperReplayFillsTheWindowUntilItEnds() {
    const std::string cut = capture_ + ".cut";
    std::filesystem::copy_file(capture_, cut, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 20);
    const std::string closing(netsiphon::kClosingLine);
    const std::tuple<const char*, std::string, const char*, std::string> endings[] = {
        {"quit", capture_, "5353 0 40000 80",
         "netsiphon: " + closing.substr(0, closing.size() - 1)},
        {"kill", capture_, "5353 0 40000 80",
         "Capture stopped: the capture helper was killed by signal 9 (Killed)."},
        {"cut", cut, "5353 0 40000",
         "Capture stopped: Could not read from Berkeley Packet Filter! " + cut +
             " ends early: truncated dump file; tried to read 47 captured bytes, only got 27"}};
    for (const auto& [ending, device, ports, last] : endings) {
      Window w;
      QVERIFY(w.startHelper(device));
      QTRY_COMPARE_WITH_TIMEOUT(w.ports(), ports, kPatienceMs);
      if (ending == std::string("quit")) {
        QVERIFY(!processEnded(w.helper));  // it has replayed the file and waits
        w.monitor->shutdown();
      } else if (ending == std::string("kill")) {
        kill(w.helper, SIGKILL);
      }
      QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(w.log.lines.back()),
                                QString::fromStdString(last), kPatienceMs);
      QCOMPARE(w.ui().statusBar->currentMessage().toStdString(),
               ending == std::string("quit") ? "" : last);
      QCOMPARE(w.ports(), ports);
      if (ending != std::string("quit")) {
        QTRY_COMPARE_WITH_TIMEOUT(w.lights(), "0 3|Capture has ended|Purge runs: idle nodes leave",
                                  kPatienceMs);
      }
    }
  }

  // A capture stream read from a descriptor (a pipe here) fills the list while it stays open, its
  // nodes at the window's clock, which the purge timer purges by; its end ends the intake.
  void streamFillsTheWindowAsItArrives() {
    int pipeEnds[2];
    QCOMPARE(pipe2(pipeEnds, O_CLOEXEC), 0);
    Window w;
    QSignalSpy ended(&w.makeMonitor(), &Monitor::inputEnded);
    w.monitor->startStream(pipeEnds[0], "a pipe");
    const std::string capture = readFile(capture_);
    QCOMPARE(write(pipeEnds[1], capture.data(), capture.size()), ssize_t(capture.size()));
    QTRY_COMPARE_WITH_TIMEOUT(w.ports(), "5353 0 40000 80", kPatienceMs);
    w.clock.advance(std::chrono::seconds(16));  // past the idle time of 15 s
    QTRY_COMPARE_WITH_TIMEOUT(w.ports(), "", kPatienceMs);
    close(pipeEnds[1]);
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, kPatienceMs);
    QCOMPARE(ended.first(), QVariantList({"", false, ""}));
  }

  // Live capture in a network namespace: every datagram sent across the veth pair makes its row,
  // and the counts the helper tells while it runs show at the right of the status bar.
  void liveCaptureShowsEveryDatagramAndItsCounts() {
    if (geteuid() != 0) {
      QSKIP("live capture in network namespaces needs root");
    }
    const VethPair pair;
    QVERIFY2(pair.ready(), pair.failure().c_str());
    Window w;
    w.storedDefaults.setValue(keys::InterfaceDevice, pair.interfaceA);
    // The helper is started in the namespace, where its interface is.
    const Descriptor here(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    const Descriptor there(open(("/run/netns/" + pair.namespaceA).c_str(), O_RDONLY | O_CLOEXEC));
    QCOMPARE(setns(there.get(), CLONE_NEWNET), 0);
    w.startCapture();
    QCOMPARE(setns(here.get(), CLONE_NEWNET), 0);
    QVERIFY((w.helper = capturingHelper(getpid(), milliseconds(kPatienceMs))) > 0);
    constexpr int kDatagrams = 200;
    QVERIFY(sendDatagrams(pair.namespaceB, pair.namespaceA, pair.addressA, 10000, kDatagrams,
                          milliseconds(0)));
    const auto* counts = w.window->findChild<QLabel*>("captureLossLabel");
    QTRY_COMPARE_WITH_TIMEOUT(counts->text(),
                              "0 packets dropped by the kernel since capture started", kPatienceMs);
    QTRY_COMPARE_WITH_TIMEOUT(w.ui().nodesTableView->model()->rowCount(), kDatagrams, kPatienceMs);
  }

  void actionsSwitchesAndSaveReachTheTracker() {
    Window w;
    const Ui::MainWindow& ui = w.ui();
    w.window->refresh();  // once shown
    QCOMPARE(w.enabledActions(), "111010000");
    w.feedFourNodes();
    // The detail pane and the added panel follow a click in the table.
    QTest::mouseClick(
        ui.nodesTableView->viewport(), Qt::LeftButton, {},
        ui.nodesTableView->visualRect(ui.nodesTableView->model()->index(1, 0)).center());
    QVERIFY(ui.dataTextView->toPlainText().contains("ICMP\n\nSource IP: 10.0.0.2\n"));
    QCOMPARE(w.panel("added"), "ICMP Packet|10.0.0.2|10.0.0.9|0|0|14:03:20");
    // Each action, then the row selected and the actions enabled (the window hidden for three).
    const std::tuple<QAction*, int, const char*> steps[] = {
        {ui.previousNodeAction, 0, "111010111"}, {ui.nextNodeAction, 1, "111011111"},
        {ui.closeWindowAction, 1, "111101111"},  {ui.nextNodeAction, 2, "111101111"},
        {ui.openWindowAction, 2, "111011111"},   {ui.removeNodeAction, 2, "111011011"}};
    for (const auto& [action, row, enabled] : steps) {
      action->trigger();
      QCOMPARE(w.selectedRow(), row);
      QCOMPARE(w.enabledActions(), enabled);
      QVERIFY(w.paneShowsHighlightedRow());
    }
    // Removal took the selected row; the table keeps a row that still exists selected, and the
    // pane shows its new node.
    QCOMPARE(w.ports(), "5353 0 80");
    // Another node moving to the highlighted row, by growth: the pane follows it.
    w.feed({tcpFrame("10.0.0.1", 5353, "10.0.0.9", 53, tcpflags::ACK, bytesOf("more"), {},
                     {.sequence = 6})});
    QCOMPARE(w.ports(), "0 80 5353");
    QCOMPARE(w.selectedRow(), 2);
    QVERIFY(w.paneShowsHighlightedRow());
    QCOMPARE(w.panel("dropped"), "TCP Packet|10.0.0.1|10.0.0.9|40000|80|14:03:50");
    // The halt switches reach the tracker, whose state the lights show.
    QTest::mouseClick(ui.nodeAddedHaltedButton, Qt::LeftButton);
    QCOMPARE(w.lights(), "1 3|Intake halted|Purge runs: idle nodes leave");
    QTest::mouseClick(ui.nodeAddedHaltedButton, Qt::LeftButton);
    QTest::mouseClick(ui.nodeDroppedHaltedButton, Qt::LeftButton);
    QCOMPARE(w.lights(), "2 1|Intake runs: new packets make nodes|Purge halted");

    // Save halts both sides before the dialog asks, and the switches show it.
    ui.saveAsAction->trigger();
    QCOMPARE(w.lights(), "1 1|Intake halted|Purge halted");
    QVERIFY(ui.nodeAddedHaltedButton->isChecked() && ui.nodeDroppedHaltedButton->isChecked());
    auto* dialog = w.window->findChild<QFileDialog*>();
    QVERIFY(dialog != nullptr);
    dialog->selectFile(QString::fromStdString(scratch_.file("report")));  // .txt is added
    static_cast<QDialog*>(dialog)->accept();                              // as Save does
    std::string report;
    w.session.writeReport([&](std::string_view piece) { report += piece; });
    QCOMPARE(readFile(scratch_.file("report.txt")), report);
    w.window->saveReport("/nonexistent-folder/report.txt");
    auto* alert = w.window->findChild<QMessageBox*>();
    QVERIFY(alert != nullptr && alert->isVisible());
    QVERIFY(alert->text().contains("/nonexistent-folder/report.txt: No such file or directory"));

    // About names the versions of the program, of Qt and of libpcap.
    QCoreApplication::setApplicationVersion("9.8.7");
    ui.aboutAction->trigger();
    auto* about = w.window->findChild<QMessageBox*>("aboutBox");
    QVERIFY(about != nullptr && about->isVisible());
    for (const QString version : {"Wirequill 9.8.7", qVersion(), pcap_lib_version()}) {
      QVERIFY2(about->text().contains(version.toHtmlEscaped()), qPrintable(about->text()));
    }
  }

  // Each refine pop-up and each search field reaches its refine action with its item's tag or
  // its text: the source ports of the rows kept. A click in a field selects what it shows, so
  // that what is typed replaces it.
  void refineBoxReachesItsActions() {
    const char* const cases[][3] = {{"refineProtocolMenu", "UDP", "80"},
                                    {"refineLastHitMenu", "Within 20 seconds", "40000 80"},
                                    {"refineSourceIPField", "10.0.0.1", "5353 40000"},
                                    {"refineDestinationIPField", "10.0.0.8", "80"},
                                    {"refineSourcePortField", "80", "80"},
                                    {"refineDestinationPortField", "80", "40000"},
                                    {"refinePayloadField", "get /", "40000"},
                                    {"refineProgramField", "NGINX", "40000"}};
    for (const auto& [name, input, kept] : cases) {
      Window w;
      w.feedFourNodes();
      if (auto* menu = w.window->findChild<QComboBox*>(name)) {
        menu->setCurrentIndex(menu->findText(input));
        emit menu->activated(menu->currentIndex());
      } else if (auto* field = w.window->findChild<QLineEdit*>(name)) {
        QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
        QTest::mouseClick(field, Qt::LeftButton, {}, field->rect().center());
        QTRY_COMPARE(field->selectedText(), field->text());
        QTest::keyClicks(field, input);
        QTest::keyClick(field, Qt::Key_Return);
      }
      QVERIFY2(w.ports() == kept, qPrintable(QString("%1 %2: %3").arg(name, input, w.ports())));
    }
  }

  // A row wider than the table scrolls sideways instead of being cut short, and its tool tip
  // holds all of it. The detail pane's lines, wrapped at a number of characters, line up and fit.
  void layoutFitsTheTexts() {
    Window w;
    w.feedFourNodes();
    w.feed({udpFrame("2001:db8:1234:5678:9abc:def0:1234:5678", 50000,
                     "2001:db8:8765:4321:fedc:ba98:7654:3210", 443, bytesOf("quic"))});
    w.window->refresh();
    QTableView* table = w.ui().nodesTableView;
    const QAbstractItemModel* rows = table->model();
    QCOMPARE(rows->rowCount(), 5);
    for (int row = 0; row < rows->rowCount(); ++row) {
      const QModelIndex index = rows->index(row, 0);
      QCOMPARE(index.data(Qt::ToolTipRole), index.data());
      QTRY_VERIFY_WITH_TIMEOUT(
          table->horizontalHeader()->sectionSize(0) >= table->sizeHintForIndex(index).width(),
          kPatienceMs);
    }
    QVERIFY(table->horizontalScrollBar()->maximum() > 0);
    // The Program column follows the node column; the added panel shows the newest node's.
    QCOMPARE(rows->headerData(1, Qt::Horizontal).toString() + "|" +
                 rows->index(2, 1).data().toString() + "|" + rows->index(3, 1).data().toString(),
             "Program|curl (7) -> nginx (8)|");
    QCOMPARE(w.ui().addedProgramField->text(), "Program: being looked up");
    // Hidden from the View menu, and so it stays.
    w.ui().programColumnAction->trigger();
    QVERIFY(table->isColumnHidden(1) && !w.storedDefaults.boolValue(keys::ShowProgramColumn));
    QVERIFY(table->horizontalHeader()->sectionSize(0) >=
            table->sizeHintForIndex(rows->index(4, 0)).width());
    MainWindow reopened(w.session, w.storedDefaults, w.sounds);
    QVERIFY(reopened.ui().nodesTableView->isColumnHidden(1) &&
            !reopened.ui().programColumnAction->isChecked());
    const QPlainTextEdit* pane = w.ui().dataTextView;
    // The pane's columns line up: every character as wide as every other (Qt's fixed-pitch flag
    // is false for some monospaced fonts, Noto Sans Mono among them).
    const QFontMetricsF metrics(pane->font());
    for (const QChar c : QString("i.W@ #~|")) {
      QCOMPARE(metrics.horizontalAdvance(c), metrics.horizontalAdvance('M'));
    }
    QVERIFY(pane->viewport()->width() - 2 * pane->document()->documentMargin() >
            pane->fontMetrics().horizontalAdvance(QString(kPayloadLineLength, '0')));
  }

  // The pane's three views, by tab and by menu item, following the highlighted row; find forward,
  // backward and round, in text or hex bytes, marked in the pane; Save Payload with and without
  // bytes not captured; Copy of the selection or the whole view.
  void paneViewsFindSaveAndCopy() {
    Window w;
    const Ui::MainWindow& ui = w.ui();
    TcpSender client("10.0.0.1", 40000, "10.0.0.9", 80), server("10.0.0.9", 80, "10.0.0.1", 40000);
    w.feed({client.syn(), server.syn(TcpSender::kSyn | TcpSender::kAck)});
    w.clock.advance(std::chrono::seconds(1));
    w.feed({client.send("GET /a HTTP/1.0\r\n\r\n")});
    w.clock.advance(std::chrono::seconds(1));
    w.feed({server.send("HTTP/1.0 200 OK\r\n\r\nhello")});
    // A datagram cut to 60 bytes by the snapshot length: 8 of its bytes were not captured.
    const Bytes datagram =
        udpFrame("10.0.0.3", 53, "10.0.0.1", 5353, bytesOf("answer: hello there, and more"));
    Bytes chunk;
    appendRecord(chunk, Bytes(datagram.begin(), datagram.begin() + 60), 0, 0,
                 static_cast<std::uint32_t>(datagram.size()));
    chunk.resize(kChunkLength, 0);
    w.session.tracker().decodeCaptureBuffer(ByteView(chunk.data(), chunk.size()));
    w.window->refresh();
    QCOMPARE(w.ports(), "40000 80 53");  // the request, the answer, the datagram

    ui.previousNodeAction->trigger();
    ui.previousNodeAction->trigger();
    QCOMPARE(w.selectedRow(), 0);
    const auto pane = [&] { return ui.dataTextView->toPlainText(); };
    ui.conversationViewAction->trigger();
    QCOMPARE(ui.paneTabs->currentIndex(), 1);
    QVERIFY2(pane().contains("GET /a") && pane().contains("HTTP/1.0 200 OK") &&
                 pane().indexOf("GET /a") < pane().indexOf("200 OK"),
             qPrintable(pane()));
    ui.paneTabs->setCurrentIndex(2);
    QVERIFY(ui.hexViewAction->isChecked());
    QVERIFY2(pane().startsWith("00000000  47 45 54 20 2f 61"), qPrintable(pane()));
    QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
    QTest::keyClick(w.window.get(), Qt::Key_1, Qt::ControlModifier);
    QCOMPARE(ui.paneTabs->currentIndex(), 0);
    QVERIFY(w.paneShowsHighlightedRow());

    // Find: from the highlighted row on, round the list, and back.
    QTest::keyClick(w.window.get(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(ui.findBar->isVisible() && ui.findField->hasFocus());
    QTest::keyClicks(ui.findField, "HELLO");
    const auto marked = [&] {
      int matches = 0;
      for (const QTextEdit::ExtraSelection& selection : ui.dataTextView->extraSelections()) {
        matches += selection.format.background().color() == QColor(0xff, 0xe0, 0x40) &&
                   selection.cursor.selectedText().compare("hello", Qt::CaseInsensitive) == 0;
      }
      return matches;
    };
    const std::pair<Qt::KeyboardModifiers, int> finds[] = {
        {Qt::NoModifier, 1}, {Qt::NoModifier, 2}, {Qt::NoModifier, 1}, {Qt::ShiftModifier, 2}};
    for (const auto& [modifiers, row] : finds) {
      QTest::keyClick(ui.findField, Qt::Key_Return, modifiers);
      QCOMPARE(w.selectedRow(), row);
      QCOMPARE(ui.findStatus->text(), "2 nodes match");
      QCOMPARE(marked(), 1);
    }
    ui.findHexBox->setChecked(true);
    ui.findField->setText("67 65 74 20 2F");  // "get /" in bytes: no node holds it
    QTest::keyClick(ui.findField, Qt::Key_Return);
    QCOMPARE(ui.findStatus->text(), "No node matches");
    QCOMPARE(w.selectedRow(), 2);
    ui.findField->setText("47 45 54 20 2F");
    QTest::keyClick(ui.findField, Qt::Key_Return);
    QCOMPARE(w.selectedRow(), 0);
    ui.findField->setText("4");
    QTest::keyClick(ui.findField, Qt::Key_Return);
    QVERIFY(ui.findStatus->text().startsWith("Not hex bytes"));
    QTest::keyClick(ui.findField, Qt::Key_Escape);
    QVERIFY(!ui.findBar->isVisible());
    QCOMPARE(marked(), 0);

    // Copy: the whole view, or what is selected of it; Ctrl+C in the list too.
    ui.nodesTableView->setFocus();
    QTest::keyClick(ui.nodesTableView, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), pane());
    QTextCursor cursor = ui.dataTextView->textCursor();
    cursor.setPosition(0);
    cursor.setPosition(10, QTextCursor::KeepAnchor);
    ui.dataTextView->setTextCursor(cursor);
    ui.copyAction->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), pane().left(10));

    // Save Payload: the bytes sent, raw; what was not captured is told.
    const auto savePayload = [&](int row, const std::string& name) {
      w.ui().nodesTableView->selectRow(row);
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the last dialog
      ui.savePayloadAction->trigger();
      auto* dialog = w.window->findChild<QFileDialog*>();
      dialog->selectFile(QString::fromStdString(scratch_.file(name)));
      static_cast<QDialog*>(dialog)->accept();
      return readFile(scratch_.file(name));
    };
    QCOMPARE(savePayload(0, "request"), "GET /a HTTP/1.0\r\n\r\n");
    QVERIFY(w.window->findChild<QMessageBox*>() == nullptr);
    const std::string saved = savePayload(2, "datagram");
    auto* told = w.window->findChild<QMessageBox*>();
    QVERIFY(told != nullptr);
    QCOMPARE(saved, "answer: hello ther");  // 60 bytes of the frame: 18 of its payload
    QCOMPARE(told->text(),
             "The payload was saved without the 11 bytes that were not captured: 11 bytes "
             "missing at offset 18.");
  }

  // At the window's smallest, the list keeps a usable width and its header, beside the pane and
  // its tabs.
  void listAndPaneShareTheWindowAtAnyWidth() {
    Window w;
    w.feedFourNodes();
    for (const int width : {0, 700, 1600}) {
      w.window->resize(width, 500);
      QTRY_VERIFY(w.window->width() >= w.window->minimumSizeHint().width());
      const QHeaderView* header = w.ui().nodesTableView->horizontalHeader();
      QVERIFY2(w.ui().nodesTableView->width() >= 240 && header->isVisible() &&
                   header->height() > 0 && w.ui().dataTextView->width() >= 150 &&
                   w.ui().paneTabs->height() >= w.ui().paneTabs->sizeHint().height() &&
                   w.ui().paneTabs->sizeHint().height() > 0,
               qPrintable(QString("%1: list %2, pane %3")
                              .arg(width)
                              .arg(w.ui().nodesTableView->width())
                              .arg(w.ui().dataTextView->width())));
    }
  }

  // Where the window stood and how the table and pane shared it outlast the window; a stored
  // placement that cannot be read places it as the first time.
  void placementOutlastsTheWindow() {
    Window w;
    const auto placementOf = [](const MainWindow& window) {
      return std::pair(window.geometry(), window.ui().listAndDetail->sizes());
    };
    const auto reopened = [&] {
      MainWindow window(w.session, w.storedDefaults, w.sounds);
      window.placeWindow();
      return placementOf(window);
    };
    const auto first = placementOf(*w.window);
    w.window->setGeometry(4, 30, 790, 480);
    w.ui().listAndDetail->setSizes({200, 500});
    const auto moved = placementOf(*w.window);
    QVERIFY(moved.first != first.first && moved.second != first.second);
    w.window->close();
    QVERIFY(reopened() == moved);
    // Bytes, base64 of bytes that Qt did not save, a number.
    for (const SettingValue& value :
         {SettingValue(std::string("\x01\xff junk")), SettingValue(std::string("AAECAwQFBgcICQ==")),
          SettingValue(std::int64_t{12})}) {
      w.storedDefaults.setValue("MainWindowGeometry", value);
      w.storedDefaults.setValue("MainWindowSplitter", value);
      QVERIFY(reopened() == first);
    }
  }

  // Without an audio device Qt's audio system warns at every sound: while the sound player
  // exists that becomes one line, the first time, and every other message passes unchanged.
  void soundWarningsBecomeOneLine() {
    static QStringList passed;
    const QtMessageHandler before = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& message) { passed << message; });
    {
      QtSoundPlayer sounds;
      for (int sound = 0; sound < 2; ++sound) {
        qWarning("PulseAudioService: pa_context_connect() failed");
        qWarning("No audio device detected");
        qWarning("Something else");
      }
    }
    qWarning("No audio device detected");
    qInstallMessageHandler(before);
    QCOMPARE(passed.join('|'),
             "Sounds are off: no audio device|Something else|Something else|"
             "No audio device detected");
  }

  // Preferences shows and stores the stored settings, never this run's own device and
  // interface; storing another interface moves capture to it.
  void preferencesShowAndStoreEachSetting() {
    Window w;
    w.defaults.setValue(keys::DropOnRST, true);
    w.settings.overrideForThisRun(keys::BPFDevice, capture_);
    w.settings.overrideForThisRun(keys::InterfaceDevice, "wqrun0");
    QSignalSpy moved(w.window.get(), &MainWindow::captureSettingsChanged);
    w.ui().preferencesAction->trigger();
    WQMPrefsController* prefs = w.window->prefsController();
    QVERIFY(prefs != nullptr && prefs->isVisible());
    const Ui::WQMPreferences& ui = prefs->ui();
    QCOMPARE(ui.maxPacketSizeField->text() + ' ' + ui.purgeIdleTimeField->text(), "24000 15");
    QCOMPARE(ui.bpfDevicePopUpButton->currentText() + ' ' + ui.interfaceDeviceButton->currentText(),
             "/dev/bpf0 en1");
    const std::pair<QCheckBox*, std::string_view> flags[] = {
        {ui.dropPacketsOnFINButton, keys::DropOnFIN},
        {ui.dropPacketsOnRSTButton, keys::DropOnRST},
        {ui.trackOpenConnectionsButton, keys::TrackOpenConnections},
        {ui.reportResolveAddressButton, keys::ReportResolveIPAddresses},
        {ui.reportRecentNodesFirstButton, keys::ReportRecentNodesFirst},
        {ui.reportProgramsButton, keys::ReportPrograms}};
    for (const auto& [box, key] : flags) {
      QCOMPARE(box->isChecked(), key == keys::DropOnRST);
    }
    // Cancel stores nothing; OK stores each setting from its own control.
    ui.maxPacketSizeField->setText("1000");
    ui.buttons->button(QDialogButtonBox::Cancel)->click();
    QVERIFY(!prefs->isVisible() && !w.store.value(keys::MaxPacketSize));
    ui.purgeIdleTimeField->setText("5");
    ui.interfaceDeviceButton->setCurrentText("lo");
    for (const auto& [on, unused] : flags) {
      for (const auto& [box, key] : flags) {
        box->setChecked(box == on);
      }
      ui.buttons->button(QDialogButtonBox::Ok)->click();
      for (const auto& [box, key] : flags) {
        QCOMPARE(w.defaults.boolValue(key), box == on);
      }
    }
    QCOMPARE(w.defaults.integerValue(keys::MaxPacketSize), 1000);
    QCOMPARE(w.defaults.doubleValue(keys::PurgeIdleTime), 5.0);
    QVERIFY(w.storedDefaults.stringValue(keys::InterfaceDevice) == "lo" &&
            w.storedDefaults.stringValue(keys::BPFDevice) == "/dev/bpf0");
    QCOMPARE(moved.count(), 1);  // the first OK only
  }

  // Live capture on a missing interface asks for one of the machine's first, and stores the
  // choice; a stored capture filter that cannot be used then starts no capture, and the status bar
  // says why. Preferences stores no such filter (libpcap's reason shows, the window stays) and
  // moves capture to a good one at once, then to a capture file that the helper replays through
  // it, the kept datagram last: the list stays.
  void captureAsksForAMissingInterfaceAndFollowsPreferences() {
    const std::string capture = scratch_.file("filtered.pcap");
    QVERIFY(writeCaptureFile(
        capture, {{0.00, udpFrame("10.0.0.1", 5354, "10.0.0.9", 54, bytesOf("port 54"))},
                  {0.01, icmpFrame("10.0.0.2", "10.0.0.9", bytesOf("ping"))},
                  {0.02, tcpFrame("10.0.0.1", 40000, "10.0.0.9", 53, tcpflags::SYN, {})},
                  {0.03, udpFrame("10.0.0.1", 5353, "10.0.0.9", 53, bytesOf("query"))}}));
    {
      // Cancel starts nothing, and says how to choose.
      Window cancelled;
      cancelled.storedDefaults.setValue(keys::InterfaceDevice, "wqnone0");
      cancelled.startCapture();
      cancelled.window->findChild<InterfaceChooser*>()->reject();
      QCOMPARE(cancelled.window->windowTitle(), "Wirequill — wqnone0 (not started)");
      QCOMPARE(cancelled.ui().statusBar->currentMessage(),
               "Capture has not started: choose an interface in Preferences, or give one with "
               "--interface.");
      QCOMPARE(waitForChild(getpid(), "netsiphon", milliseconds(200)), -1);
    }
    Window w;
    w.storedDefaults.setValue(keys::InterfaceDevice, "wqnone0");
    w.storedDefaults.setValue(keys::CaptureFilter, std::string("udp port 65536"));
    w.startCapture();
    auto* chooser = w.window->findChild<InterfaceChooser*>();
    QVERIFY(chooser != nullptr && chooser->isVisible());
    QCOMPARE(chooser->list()->count(), machineInterfaces().size());
    QCOMPARE(chooser->list()->item(0)->text(), machineInterfaces().front());
    chooser->list()->setCurrentItem(chooser->list()->findItems("lo", Qt::MatchExactly).front());
    chooser->accept();
    QCOMPARE(w.storedDefaults.stringValue(keys::InterfaceDevice), std::string("lo"));
    QVERIFY(w.ui().statusBar->currentMessage().startsWith(
        "The capture filter \"udp port 65536\" cannot be used: illegal port number 65536 > "
        "65535."));
    QVERIFY(!w.window->windowTitle().contains("capturing"));
    if (geteuid() != 0) {
      QSKIP("capturing live needs root here; tests never run pkexec");
    }
    w.ui().preferencesAction->trigger();
    WQMPrefsController* prefs = w.window->prefsController();
    QCOMPARE(prefs->ui().captureFilterField->text(), "udp port 65536");
    prefs->ui().captureFilterField->setText("ud port 53");
    prefs->ui().buttons->button(QDialogButtonBox::Ok)->click();
    QVERIFY(prefs->isVisible() && prefs->ui().captureFilterProblemLabel->isVisible());
    QVERIFY(prefs->ui().captureFilterProblemLabel->text().contains("syntax error"));
    QCOMPARE(w.storedDefaults.stringValue(keys::CaptureFilter), std::string("udp port 65536"));
    // Only the test's own addresses match: nothing on this machine's loopback does.
    prefs->ui().captureFilterField->setText(" udp port 53 and host 10.0.0.9 ");
    prefs->ui().buttons->button(QDialogButtonBox::Ok)->click();
    QVERIFY(!prefs->isVisible());
    QCOMPARE(w.storedDefaults.stringValue(keys::CaptureFilter),
             std::string("udp port 53 and host 10.0.0.9"));
    QCOMPARE(w.window->windowTitle(), "Wirequill — lo (capturing)");
    const Bytes chunk = chunkOf({udpFrame("10.0.0.7", 7, "10.0.0.9", 7, bytesOf("kept"))});
    w.session.tracker().decodeCaptureBuffer(ByteView(chunk.data(), chunk.size()));

    w.ui().preferencesAction->trigger();
    prefs->ui().bpfDevicePopUpButton->insertItem(0, QString::fromStdString(capture));
    prefs->ui().bpfDevicePopUpButton->setCurrentIndex(0);
    prefs->ui().buttons->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(w.window->windowTitle(), "Wirequill — filtered.pcap (capturing)");
    QTRY_VERIFY_WITH_TIMEOUT(w.ports() != "7", kPatienceMs);
    QCOMPARE(w.ports(), "7 5353");
    w.helper = waitForChild(getpid(), "netsiphon", milliseconds(kPatienceMs));

    // Then to another host, through an ssh that stands in for one finding no server there. The
    // interface is the host's: no local one is offered in its place.
    const std::string bin = scratch_.subdirectory("bin");
    writeScript(bin + "/ssh",
                "echo 'ssh: connect to host db1 port 22: Connection refused' >&2\nexit 255");
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(bin) + ":" + path);
    w.ui().preferencesAction->trigger();
    prefs->ui().captureHostField->setText(" db1 ");
    prefs->ui().interfaceDeviceButton->setCurrentText("wqhost0");
    prefs->ui().buttons->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(w.storedDefaults.stringValue(keys::CaptureHost), std::string("db1"));
    QTRY_COMPARE_WITH_TIMEOUT(w.ui().statusBar->currentMessage(),
                              "Cannot reach db1: connect to host db1 port 22: Connection refused",
                              kPatienceMs);
    QCOMPARE(w.window->windowTitle(), "Wirequill — wqhost0 on db1 (ended)");
    QVERIFY(w.window->findChildren<InterfaceChooser*>().empty());
    QCOMPARE(w.storedDefaults.stringValue(keys::InterfaceDevice), std::string("wqhost0"));
    QCOMPARE(w.ports(), "7 5353");
    qputenv("PATH", path);
  }

 private:
  ScratchDirectory scratch_;
  std::string capture_ = scratch_.file("window.pcap");
};

int main(int argc, char** argv) {
  ScratchDirectory home;
  isolateEnvironment(home);
  QApplication application(argc, argv);
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "MainWindowTest.moc"
