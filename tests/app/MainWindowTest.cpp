// The main window in this process, fed by the capture helper replaying a capture file that the
// test writes (no privileges needed): rows, panels, lights and detail pane; selection, previous
// and next; showing and hiding; menu validation; halt switches; removal; quitting; and what the
// window says when the helper fails or is killed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QtTest>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "app/MainWindow.h"
#include "app/Monitor.h"
#include "capture/Messages.h"
#include "tests/app/AppTestSupport.h"
#include "tools/CaptureBuilder.h"
#include "tracking/PacketDecoder.h"
#include "tracking/PlainPlatform.h"
#include "ui_MainWindow.h"

using namespace wq;
using namespace wq::apptest;
using namespace wq::testing;

namespace {

constexpr int kPatienceMs = 10'000;
const char* const kClient = "192.168.7.20";
const char* const kServer = "192.168.7.80";
const char* const kResolver = "192.168.7.1";

// SYN options (MSS, SACK permitted, time stamps, window scale): no printable byte among them.

std::vector<TimedFrame> replayedTraffic() {
  using namespace tcpflags;
  return {
      {0.00, udpFrame(kClient, 53001, kResolver, 53, bytesOf("query wirequill.example"))},
      {0.01, tcpFrame(kClient, 50412, kServer, 80, SYN, kSynOptions)},
      {0.02, tcpFrame(kServer, 80, kClient, 50412, SYN | ACK, kSynOptions)},
      {0.03, tcpFrame(kClient, 50412, kServer, 80, ACK | 0x08, bytesOf("GET / HTTP/1.0\r\n\r\n"))},
      {0.05, icmpFrame(kClient, kServer, bytesOf("ping from the window"))},
  };
}

const QStringList kReplayedRows = {
    "Time: 14:03:20 Hosts: 192.168.7.20, Port: 53001->192.168.7.1, Port: 53",
    "Time: 14:03:20 Hosts: 192.168.7.80, Port: 80->192.168.7.20, Port: 50412",
    "Time: 14:03:20 Hosts: 192.168.7.20, Port: 50412->192.168.7.80, Port: 80",
    "Time: 14:03:20 Hosts: 192.168.7.20, Port: 0->192.168.7.80, Port: 0",
};

QString detail(const char* protocol, const char* source, int sourcePort, const char* destination,
               int destinationPort, int byteCount, const char* payloadText) {
  return QString(
             "Start Time: 14:03:20\nLast Hit: 14:03:20\n\nProtocol: %1\n\nSource IP: %2\nSource "
             "Port: %3\nDestination IP: %4\nDestination Port: %5\n\nByte count: %6\n\n%7")
      .arg(protocol, source)
      .arg(sourcePort)
      .arg(destination)
      .arg(destinationPort)
      .arg(byteCount)
      .arg(payloadText);
}

const QString kClientDetail = detail("TCP", kClient, 50412, kServer, 80, 38, "GET / HTTP/1.0\n\n");
const QString kServerDetail = detail("TCP", kServer, 80, kClient, 50412, 20, "");
const QString kPingDetail = detail("ICMP", kClient, 0, kServer, 0, 28, "ping from the window");

// One window with its monitor, as the application puts them together, with settings in memory
// and a clock standing at the capture's start, so every text is known in advance.
class Session {
 public:
  Session(const QString& device, const QString& interfaceName)
      : clock(TimePoint{std::chrono::seconds(kCaptureStart)}) {
    defaults_.registerDefaults(registeredDefaults());
    defaults_.setValue(keys::BPFDevice, device.toStdString());
    defaults_.setValue(keys::InterfaceDevice, interfaceName.toStdString());
    window = std::make_unique<MainWindow>(defaults_, clock, log, resolver_, sounds_);
    monitor = std::make_unique<Monitor>(window->controller(), defaults_, log, nullptr);
    QObject::connect(monitor.get(), &Monitor::changed, window.get(), &MainWindow::refresh);
    QObject::connect(monitor.get(), &Monitor::inputEnded, window.get(),
                     &MainWindow::showCaptureEnded);
    window->placeWindow();
  }

  ~Session() {
    monitor->shutdown();
    monitor.reset();  // closes the socket: a helper still running sees the end of its input
    if (helperPid > 0 && !waitUntilEnded(helperPid, milliseconds(kPatienceMs))) {
      kill(helperPid, SIGKILL);
      waitpid(helperPid, nullptr, 0);
    }
  }

  bool start() {
    QString error;
    const bool started = monitor->start(std::nullopt, &error);
    const std::vector<pid_t> helpers = childrenNamed(getpid(), "netsiphon");
    helperPid = helpers.size() == 1 ? helpers.front() : -1;
    return started && helperPid > 0;
  }

  const Ui::MainWindow& ui() const { return window->ui(); }
  QAbstractItemModel& model() const { return *ui().nodesTableView->model(); }
  int rows() const { return model().rowCount(); }
  int selectedRow() const {
    const QModelIndexList selected = ui().nodesTableView->selectionModel()->selectedRows();
    return selected.size() == 1 ? selected.first().row() : -1;
  }
  QStringList rowTexts() const {
    QStringList texts;
    for (int row = 0; row < rows(); ++row) {
      texts << model().index(row, 0).data().toString();
    }
    return texts;
  }
  QString pane() const { return ui().dataTextView->toPlainText(); }
  QStringList addedFields() const {
    return texts({ui().addedProtocolField, ui().addedSourceIPField, ui().addedDestinationIPField,
                  ui().addedSourcePortField, ui().addedDestinationPortField,
                  ui().addedLastHitField});
  }
  QStringList droppedFields() const {
    return texts({ui().droppedProtocolField, ui().droppedSourceIPField,
                  ui().droppedDestinationIPField, ui().droppedSourcePortField,
                  ui().droppedDestinationPortField, ui().droppedLastHitField});
  }
  QString statusMessage() const { return ui().statusBar->currentMessage(); }

  void clickRow(int row) {
    QTableView* table = ui().nodesTableView;
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
                      table->visualRect(model().index(row, 0)).center());
  }
  // Bytes as the helper would deliver them, between two of its chunks.
  void deliver(const Bytes& chunk) {
    window->controller().tracker().dataReceived(ByteView(chunk.data(), chunk.size()));
    window->refresh();
  }
  bool replayed() {
    return QTest::qWaitFor([this] { return rows() == kReplayedRows.size(); }, kPatienceMs) &&
           rowTexts() == kReplayedRows;
  }
  // Every tag the menus may carry, with whether it is enabled now.
  QMap<int, bool> validation() const {
    QMap<int, bool> enabled;
    for (int tag : {0, 60, 61, 100, 110, 120, 130, 140, 150, 160, 170}) {
      enabled[tag] = window->controller().view().validateMenuItem(tag);
    }
    return enabled;
  }

  ManualClock clock;
  MemoryLog log;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<Monitor> monitor;
  pid_t helperPid = -1;

 private:
  static QStringList texts(std::initializer_list<const QLabel*> labels) {
    QStringList result;
    for (const QLabel* label : labels) {
      result << label->text();
    }
    return result;
  }

  MemorySettingsStore store_;
  Defaults defaults_{store_};
  TableHostResolver resolver_;
  SilentSoundPlayer sounds_;
};

// The tags enabled for a given state: 0 and 60 always, 61, 100 and 170 never.
QMap<int, bool> expectedValidation(bool visible, bool nodes, bool previous, bool next,
                                   bool selected) {
  return {{0, true},       {60, true},      {61, false},  {100, false},
          {110, !visible}, {120, visible},  {130, nodes}, {140, previous},
          {150, next},     {160, selected}, {170, false}};
}

bool showsLight(const QLabel* light, const char* name) {
  return light->toolTip() == name &&
         light->pixmap().toImage() == QPixmap(QString(":/images/") + name).toImage();
}

QtMessageHandler defaultHandler = nullptr;

// Machines without sound hardware make the sound effects complain.
void quietMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.contains("No audio device") || message.contains("PulseAudio") ||
      message.contains("pulseaudio") || QByteArray(context.category).startsWith("qt.multimedia")) {
    return;
  }
  // The offscreen platform cannot raise windows or pass on size hints, and says so each time.
  if (message.startsWith("This plugin does not support")) {
    return;
  }
  defaultHandler(type, context, message);
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cellGeometry();
  void replayFillsTheWindow();
  void selectionPreviousAndNext();
  void haltSwitches();
  void removalTakesTheSelectedRowAlone();
  void windowHidesAndShows();
  void quitEndsTheHelper();
  void killedHelperIsReported();
  void missingInterfacePointsToPreferences();

 private:
  ScratchDirectory scratch_;
  QString capture_;
};

void MainWindowTest::initTestCase() {
  // Installed over Qt Test's own handler, which passes on whatever is not filtered here.
  defaultHandler = qInstallMessageHandler(quietMessages);
  capture_ = QString::fromStdString(scratch_.path() + "/window.pcap");
  QVERIFY(writeCaptureFile(capture_.toStdString(), replayedTraffic()));
}

void MainWindowTest::cellGeometry() {
  QStandardItemModel rows(1, 1);
  rows.setData(rows.index(0, 0), "Time: 14:03:20 Hosts: 10.0.0.2, Port: 80->10.0.0.9, Port: 53");
  const QModelIndex row = rows.index(0, 0);
  ImageAndTextCell cell;
  QStyleOptionViewItem option;
  option.rect = QRect(10, 20, 200, 18);
  const int plainWidth = QStyledItemDelegate().sizeHint(option, row).width();
  QCOMPARE(cell.sizeHint(option, row).width(), plainWidth + 3);
  QCOMPARE(cell.imageFrameForCellFrame(QRectF(10, 20, 200, 18)), QRectF());
  // Editing leaves the margin out even without an icon.
  QCOMPARE(cell.textFrameForCellFrame(QRectF(10, 20, 200, 18)), QRectF(13, 20, 197, 18));

  QPixmap icon(16, 16);
  icon.fill(Qt::blue);
  cell.setImage(icon);
  QCOMPARE(cell.imageFrameForCellFrame(QRectF(10, 20, 200, 18)), QRectF(13, 21, 16, 16));
  // Centred with the half point rounded up.
  QCOMPARE(cell.imageFrameForCellFrame(QRectF(0, 0, 50, 19)), QRectF(3, 2, 16, 16));
  QCOMPARE(cell.textFrameForCellFrame(QRectF(10, 20, 200, 18)), QRectF(29, 20, 181, 18));
  // A frame narrower than the icon's slice leaves no room for text.
  QCOMPARE(cell.textFrameForCellFrame(QRectF(10, 20, 12, 18)).width(), 0.0);
  QCOMPARE(cell.sizeHint(option, row).width(), plainWidth + 19);

  // The window's own cell carries the globe.
  Session session(capture_, "en1");
  QVERIFY(!session.window->nodeCell().image().isNull());
  QCOMPARE(session.ui().nodesTableView->itemDelegateForColumn(0), &session.window->nodeCell());
}

void MainWindowTest::replayFillsTheWindow() {
  Session session(capture_, "en1");
  // Before the event loop runs nothing can have arrived.
  QCOMPARE(session.validation(), expectedValidation(true, false, false, false, false));
  QVERIFY(showsLight(session.ui().addedStatusLight, "WQMBoxStatus2"));
  QVERIFY(showsLight(session.ui().droppedStatusLight, "WQMBoxStatus3"));
  QVERIFY(session.start());

  QVERIFY(session.replayed());
  QCOMPARE(session.rowTexts(), kReplayedRows);
  QCOMPARE(session.selectedRow(), 3);
  QCOMPARE(session.addedFields(),
           QStringList({"ICMP Packet", kClient, kServer, "0", "0", "14:03:20"}));
  QCOMPARE(session.pane(), kPingDetail);
  QVERIFY(showsLight(session.ui().addedStatusLight, "WQMBoxStatus2"));
  QVERIFY(showsLight(session.ui().droppedStatusLight, "WQMBoxStatus3"));
  QCOMPARE(session.validation(), expectedValidation(true, true, true, false, true));
  QVERIFY(session.ui().previousNodeAction->isEnabled());
  QVERIFY(!session.ui().nextNodeAction->isEnabled());
  QVERIFY(session.ui().removeNodeAction->isEnabled());
  QVERIFY(session.ui().quitAction->isEnabled());
  QVERIFY(session.statusMessage().isEmpty());
}

void MainWindowTest::selectionPreviousAndNext() {
  Session session(capture_, "en1");
  QVERIFY(session.start());
  QVERIFY(session.replayed());
  // With the purge halted, the timer no longer moves the selection to the newest row.
  QTest::mouseClick(session.ui().nodeDroppedHaltedButton, Qt::LeftButton);
  QVERIFY(session.window->controller().tracker().nodeDroppedHalted());

  session.clickRow(2);
  QCOMPARE(session.selectedRow(), 2);
  QCOMPARE(session.pane(), kClientDetail);
  QCOMPARE(session.addedFields(),
           QStringList({"TCP Packet", kClient, kServer, "50412", "80", "14:03:20"}));
  QCOMPARE(session.validation(), expectedValidation(true, true, true, true, true));

  session.ui().previousNodeAction->trigger();
  QCOMPARE(session.selectedRow(), 1);
  QCOMPARE(session.pane(), kServerDetail);
  QCOMPARE(session.addedFields(),
           QStringList({"TCP Packet", kServer, kClient, "80", "50412", "14:03:20"}));
  session.ui().previousNodeAction->trigger();
  QCOMPARE(session.selectedRow(), 0);
  QCOMPARE(session.validation(), expectedValidation(true, true, false, true, true));
  QVERIFY(!session.ui().previousNodeAction->isEnabled());
  session.ui().previousNodeAction->trigger();  // disabled: no row above the first
  QCOMPARE(session.selectedRow(), 0);
  QCOMPARE(session.addedFields(),
           QStringList({"UDP Packet", kClient, kResolver, "53001", "53", "14:03:20"}));

  session.ui().nextNodeAction->trigger();
  session.ui().nextNodeAction->trigger();
  QCOMPARE(session.selectedRow(), 2);
  QCOMPARE(session.pane(), kClientDetail);

  // Longer than a purge tick: the user's selection stays.
  QTest::qWait(1500);
  QCOMPARE(session.selectedRow(), 2);
  QCOMPARE(session.pane(), kClientDetail);
}

void MainWindowTest::haltSwitches() {
  using namespace tcpflags;
  Session session(capture_, "en1");
  QVERIFY(session.start());
  QVERIFY(session.replayed());
  const Bytes later = chunkOf({udpFrame(kClient, 53002, kResolver, 53, bytesOf("later")),
                               tcpFrame(kClient, 50412, kServer, 80, ACK, bytesOf("more"))});

  QPushButton* intake = session.ui().nodeAddedHaltedButton;
  QTest::mouseClick(intake, Qt::LeftButton);
  QVERIFY(intake->isChecked());
  QVERIFY(session.window->controller().tracker().nodeAddedHalted());
  QVERIFY(showsLight(session.ui().addedStatusLight, "WQMBoxStatus1"));
  QVERIFY(showsLight(session.ui().droppedStatusLight, "WQMBoxStatus3"));
  session.deliver(later);
  QCOMPARE(session.rowTexts(), kReplayedRows);
  QCOMPARE(session.pane(), kPingDetail);

  QTest::mouseClick(intake, Qt::LeftButton);
  QVERIFY(!session.window->controller().tracker().nodeAddedHalted());
  QVERIFY(showsLight(session.ui().addedStatusLight, "WQMBoxStatus2"));
  session.deliver(later);
  // The new datagram is a row of its own; the grown client node moves to the end.
  QCOMPARE(session.rows(), 5);
  QCOMPARE(session.rowTexts().last(), kReplayedRows[2]);
  QCOMPARE(session.selectedRow(), 4);
  QCOMPARE(session.addedFields(),
           QStringList({"TCP Packet", kClient, kServer, "50412", "80", "14:03:20"}));
  // The datagram took row 4 and was selected; the grown node then took that same row, which
  // is no change of the selection, so the pane goes on describing the datagram.
  QCOMPARE(session.pane(), detail("UDP", kClient, 53002, kResolver, 53, 5, "later"));

  // Halting the dropped side stops the purge however old the nodes get.
  QPushButton* purge = session.ui().nodeDroppedHaltedButton;
  QTest::mouseClick(purge, Qt::LeftButton);
  QVERIFY(purge->isChecked());
  QVERIFY(showsLight(session.ui().droppedStatusLight, "WQMBoxStatus1"));
  session.clock.advance(std::chrono::seconds(60));
  QTest::qWait(1500);
  QCOMPARE(session.rows(), 5);

  QTest::mouseClick(purge, Qt::LeftButton);
  QVERIFY(!purge->isChecked());
  QVERIFY(showsLight(session.ui().droppedStatusLight, "WQMBoxStatus3"));
  QTRY_COMPARE_WITH_TIMEOUT(session.rows(), 0, kPatienceMs);
  // The last node of the walk is the one the dropped panel keeps showing.
  QCOMPARE(session.droppedFields(),
           QStringList({"TCP Packet", kClient, kServer, "50412", "80", "14:03:20"}));
  QCOMPARE(session.selectedRow(), -1);
  QCOMPARE(session.validation(), expectedValidation(true, false, false, false, false));
}

void MainWindowTest::removalTakesTheSelectedRowAlone() {
  Session session(capture_, "en1");
  QVERIFY(session.start());
  QVERIFY(session.replayed());
  QTest::mouseClick(session.ui().nodeDroppedHaltedButton, Qt::LeftButton);

  session.clickRow(1);
  QVERIFY(session.ui().removeNodeAction->isEnabled());
  session.ui().removeNodeAction->trigger();
  QCOMPARE(session.rowTexts(), QStringList({kReplayedRows[0], kReplayedRows[2], kReplayedRows[3]}));
  QCOMPARE(session.droppedFields(),
           QStringList({"TCP Packet", kServer, kClient, "80", "50412", "14:03:20"}));
}

void MainWindowTest::windowHidesAndShows() {
  Session session(capture_, "en1");
  QVERIFY(session.start());
  QVERIFY(session.replayed());
  auto visible = [&] { return session.validation()[120]; };
  QVERIFY(visible());
  QVERIFY(session.ui().closeWindowAction->isEnabled());
  QVERIFY(!session.ui().openWindowAction->isEnabled());

  session.ui().closeWindowAction->trigger();
  QVERIFY(!visible());
  QCOMPARE(session.validation(), expectedValidation(false, true, true, false, true));
  QVERIFY(session.ui().openWindowAction->isEnabled());
  QVERIFY(!session.ui().closeWindowAction->isEnabled());
  session.window->controller().view().closeWindow();  // already hidden: nothing changes
  QVERIFY(!visible());

  session.ui().openWindowAction->trigger();
  QVERIFY(visible());
  QVERIFY(session.window->isVisible());
  QVERIFY(!session.window->isMinimized());
  session.window->controller().view().openWindow();  // already shown: nothing changes
  QVERIFY(visible());
  // The window kept its contents while it was away.
  QCOMPARE(session.rowTexts(), kReplayedRows);
  QCOMPARE(session.pane(), kPingDetail);
}

void MainWindowTest::quitEndsTheHelper() {
  Session session(capture_, "en1");
  QVERIFY(session.start());
  QVERIFY(session.replayed());
  const std::vector<std::string> launch = {
      "Launching Wirequill with MAXPACKETSIZE of 24000.\n",
      "Launching Wirequill using BPF device " + capture_.toStdString() + ".\n",
      "Launching Wirequill using interface device en1.\n",
      "Launching Wirequill using purge idle time of 15.000000.\n",
      "Launching Wirequill dropping FIN nodes = 0.\n",
      "Launching Wirequill dropping RST nodes = 0.\n",
      "Launching Wirequill resolving report IP addresses = 0.\n",
      "Launching Wirequill reporting recent nodes first = 0.\n"};
  QVERIFY(session.log.lines.size() >= launch.size());
  QVERIFY(std::equal(launch.begin(), launch.end(), session.log.lines.begin()));
  // The helper has replayed the whole file and waits for the termination line.
  QVERIFY(!processEnded(session.helperPid));

  session.monitor->shutdown();
  QCOMPARE(session.log.lines.back(), std::string("Terminating Wirequill.\n"));
  QTRY_VERIFY_WITH_TIMEOUT(processEnded(session.helperPid), kPatienceMs);
  // Its closing line arrives as the stream ends; a quit is no failure to show.
  QTRY_VERIFY_WITH_TIMEOUT(
      session.log.lines.back() + '\n' == "netsiphon: " + std::string(netsiphon::kClosingLine),
      kPatienceMs);
  QVERIFY(session.statusMessage().isEmpty());
  QCOMPARE(session.rowTexts(), kReplayedRows);
}

void MainWindowTest::killedHelperIsReported() {
  Session session(capture_, "en1");
  QVERIFY(session.start());
  QVERIFY(session.replayed());
  QCOMPARE(kill(session.helperPid, SIGKILL), 0);
  QTRY_VERIFY_WITH_TIMEOUT(session.statusMessage().contains("capture helper ended"), kPatienceMs);
  QVERIFY(session.statusMessage().startsWith("Capture stopped"));
  QCOMPARE(session.rowTexts(), kReplayedRows);
  QCOMPARE(session.pane(), kPingDetail);
}

void MainWindowTest::missingInterfacePointsToPreferences() {
  const std::optional<QString> helper = CaptureHelper::locate();
  QVERIFY(helper.has_value());
  if (CaptureHelper::launchFor(*helper, "/dev/bpf0") != CaptureHelper::Launch::Direct) {
    QSKIP("live capture needs root or a helper with capture capabilities (never pkexec here)");
  }
  Session session("/dev/bpf0", "wqnosuch0");
  QVERIFY(session.start());
  // A node that came in before the helper gave up stays in the list.
  session.deliver(chunkOf({udpFrame(kClient, 53001, kResolver, 53, bytesOf("before"))}));
  QCOMPARE(session.rows(), 1);

  QTRY_VERIFY_WITH_TIMEOUT(!session.statusMessage().isEmpty(), kPatienceMs);
  const QString message = session.statusMessage();
  const QString interfaceFailure =
      QString::fromStdString(netsiphon::failureLine(netsiphon::Step::kInterface)).trimmed();
  QVERIFY2(message.contains(interfaceFailure), qPrintable(message));
  QVERIFY2(message.contains("\"wqnosuch0\""), qPrintable(message));
  QVERIFY2(message.contains("Preferences"), qPrintable(message));
  QCOMPARE(session.rows(), 1);
  QVERIFY(std::find(session.log.lines.begin(), session.log.lines.end(), message.toStdString()) !=
          session.log.lines.end());
}

int main(int argc, char** argv) {
  // Settings and runtime files go to a folder of the test's own; times are shown in UTC.
  ScratchDirectory home;
  for (const std::string& variable : isolatedEnvironment(home)) {
    const std::size_t equals = variable.find('=');
    setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
  }
  tzset();
  QApplication application(argc, argv);
  QApplication::setOrganizationName("Wirequill");
  QApplication::setApplicationName("Wirequill");
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "MainWindowTest.moc"
