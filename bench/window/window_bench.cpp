// SPDX-License-Identifier: GPL-3.0-or-later
// window_bench [NODES]: the main window offscreen with a million nodes listed (or NODES). Times
// scrolling the table, changing the selection, refine actions and purge ticks, each followed by
// a full repaint of the window, and prints the median and the worst of each against 50 ms. Then
// lists as many nodes holding 200 bytes of text each, and times the pane's views and finds, the
// finds against a second.

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/window/MainWindow.h"
#include "tools/CaptureBuilder.h"
#include "tools/WindowRig.h"
#include "tracking/PlainPlatform.h"
#include "tracking/decode/PacketDecoder.h"
#include "tracking/view/TextFormat.h"
#include "ui_MainWindow.h"

using namespace wq;
using namespace wq::testing;

namespace {

constexpr int kRepetitions = 15;
constexpr double kTargetMs = 50;
constexpr double kFindTargetMs = 1000;

constexpr int kLargeEvery = 10000;  // one node in so many holds a large payload
constexpr int kSegments = 16;
constexpr std::size_t kSegmentBytes = 1400;

// Text as the payloads of a text protocol hold it: the same words, at another place each time.
constexpr std::string_view kProse =
    "GET /catalogue/items?page=2 HTTP/1.1 Host: shop.example.org User-Agent: Mozilla/5.0 Accept: "
    "text/html,application/xhtml+xml Accept-Language: en-GB,en;q=0.8 Cookie: session=4f1c2a9e; "
    "theme=light Connection: keep-alive Cache-Control: max-age=0 Referer: "
    "https://shop.example.org/ ";
// One node in so many holds the word that the finds look for.
constexpr int kFoundEvery = 250000;
constexpr std::string_view kFoundWord = "Authorization: Basic";

Bytes proseBytes(std::size_t count, int serial) {
  Bytes bytes(count);
  for (std::size_t index = 0; index < count; ++index) {
    bytes[index] = static_cast<std::uint8_t>(kProse[(index + serial * 31) % kProse.size()]);
  }
  if (serial % kFoundEvery == 1) {
    std::copy(kFoundWord.begin(), kFoundWord.end(), bytes.begin() + count / 2);
  }
  return bytes;
}

// The frames of node `serial` of a listing: a UDP datagram, every tenth a TCP SYN with data, each
// from a flow of its own. Some TCP flows grow to 22 KB with more segments. Small payloads are
// patterned bytes, those of `proseLength` bytes text.
void appendNodeFrames(std::vector<Bytes>& frames, int serial, std::size_t proseLength) {
  const std::string source = "10." + std::to_string((serial >> 16) & 0xff) + "." +
                             std::to_string((serial >> 8) & 0xff) + "." +
                             std::to_string(serial & 0xff);
  const auto port = static_cast<std::uint16_t>(1024 + serial % 50000);
  const auto seed = static_cast<std::uint8_t>(serial);
  if (serial % kLargeEvery == 0) {
    TcpSender sender(source, port, "192.168.7.1", 80);
    frames.push_back(sender.syn());
    for (int segment = 0; segment < kSegments; ++segment) {
      frames.push_back(sender.send(patternedBytes(kSegmentBytes, seed), tcpflags::ACK));
    }
  } else if (serial % 10 == 0) {
    frames.push_back(
        tcpFrame(source, port, "192.168.7.1", 443, tcpflags::SYN, patternedBytes(24, seed)));
  } else {
    frames.push_back(
        udpFrame(source, port, "192.168.7.1", 53,
                 proseLength > 0 ? proseBytes(proseLength, serial) : patternedBytes(24, seed)));
  }
}

struct Bench : WindowRig {
  int nextSerial = 0;
  std::size_t proseLength = 0;  // the UDP payloads' length when they are text

  Bench() {
    window->resize(1100, 640);
    window->show();
  }
  Session& session() { return window->session(); }
  QTableView& table() { return *window->ui().nodesTableView; }
  int rows() { return window->view().numberOfRowsInTableView(); }

  // Lists `count` more nodes, in deliveries as large as a busy pipe might bring at once.
  void feed(int count) {
    constexpr int kDelivery = 50000;
    std::vector<Bytes> frames;
    for (int done = 0; done < count;) {
      frames.clear();
      for (; done < count && static_cast<int>(frames.size()) < kDelivery; ++done) {
        appendNodeFrames(frames, nextSerial++, proseLength);
      }
      const Bytes stream = streamOf(frames);
      session().tracker().dataReceived(ByteView(stream.data(), stream.size()));
      window->refresh();
    }
  }
  // Lets posted events run, then paints the whole window as an expose would.
  void settle() {
    QApplication::processEvents();
    window->repaint();
  }
  void runBothSides() {
    for (QPushButton* halt :
         {window->ui().nodeAddedHaltedButton, window->ui().nodeDroppedHaltedButton}) {
      if (halt->isChecked()) {
        halt->click();
      }
    }
  }
  // Lists `count` new nodes in place of the present ones.
  void relist(int count) {
    QLineEdit* port = window->ui().refineSourcePortField;
    port->setText("1");  // no node has it
    emit port->returnPressed();
    runBothSides();
    feed(count);
    settle();
  }
  QString firstSource() {
    return QString::fromStdString(
        addressText(session().tracker().connectionsArray().at(0).saddr()).value_or(""));
  }
  // The rows of nodes that hold a large payload.
  std::vector<int> largeRows() {
    std::vector<int> found;
    int row = 0;
    session().tracker().connectionsArray().forEach([&](const WQMConnection& node) {
      if (node.byteCount() > kSegmentBytes) {
        found.push_back(row);
      }
      ++row;
    });
    return found;
  }
  void choose(QComboBox* menu, int tag) {
    const int index = menu->findData(tag);
    menu->setCurrentIndex(index);
    emit menu->activated(index);
  }
};

struct Figure {
  std::string operation;
  double medianMs;
  double worstMs;
};

// Times `operation` kRepetitions times; `prepare` runs untimed before each.
Figure measure(const std::string& name, const std::function<void(int)>& operation,
               const std::function<void(int)>& prepare = nullptr) {
  std::vector<double> times;
  for (int i = 0; i < kRepetitions; ++i) {
    if (prepare) {
      prepare(i);
    }
    QElapsedTimer timer;
    timer.start();
    operation(i);
    times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
  }
  std::sort(times.begin(), times.end());
  std::fprintf(stderr, "  %s done\n", name.c_str());
  return {name, times[times.size() / 2], times.back()};
}

// A row spread over the list, a different one each time.
int spreadRow(int i, int rows) {
  return static_cast<int>((static_cast<std::int64_t>(2 * i + 1) * 7919 % (2 * kRepetitions + 1)) *
                          rows / (2 * kRepetitions + 1));
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    char folder[] = "/tmp/window_bench.XXXXXX";  // mkdtemp makes it 0700
    if (mkdtemp(folder) != nullptr) {
      qputenv("XDG_RUNTIME_DIR", folder);
    }
  }
  QApplication application(argc, argv);
  const int nodes = argc > 1 ? std::atoi(argv[1]) : 1000000;

  Bench bench;
  QElapsedTimer listing;
  listing.start();
  bench.feed(nodes);
  bench.settle();
  std::printf("Listed %d nodes in %.1f s\n\n", bench.rows(),
              static_cast<double>(listing.elapsed()) / 1e3);
  bench.clock.advance(std::chrono::seconds(2));  // every node quiet, none idle

  std::vector<Figure> figures;
  QScrollBar& bar = *bench.table().verticalScrollBar();
  figures.push_back(measure("scroll: jump across the list", [&](int i) {
    bar.setValue(spreadRow(i, bar.maximum()));
    bench.settle();
  }));
  figures.push_back(measure("scroll: one page down", [&](int) {
    bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
    bench.settle();
  }));
  figures.push_back(measure("selection: a distant row", [&](int i) {
    bench.table().selectRow(spreadRow(i, bench.rows()));
    bench.settle();
  }));
  const std::vector<int> large = bench.largeRows();
  figures.push_back(measure("selection: a row of 22 KB payload", [&](int i) {
    bench.table().selectRow(large[static_cast<std::size_t>(i * 7) % large.size()]);
    bench.settle();
  }));

  QComboBox* protocolMenu = bench.window->ui().refineProtocolMenu;
  QComboBox* lastHitMenu = bench.window->ui().refineLastHitMenu;
  figures.push_back(measure("refine: any protocol (keeps all)", [&](int) {
    bench.choose(protocolMenu, 0);
    bench.settle();
  }));
  figures.push_back(measure("refine: within 60 s (keeps all)", [&](int) {
    bench.choose(lastHitMenu, 60);
    bench.settle();
  }));
  // UDP only drops the tenth of the nodes that are TCP, spread over the list listed afresh.
  figures.push_back(measure(
      "refine: UDP only (drops 10%)",
      [&](int) {
        bench.choose(protocolMenu, 30);
        bench.settle();
      },
      [&](int) { bench.relist(nodes); }));
  // One source address keeps a single node: nearly the whole list leaves.
  figures.push_back(measure(
      "refine: one source IP (drops all but 1)",
      [&](int) {
        QLineEdit* field = bench.window->ui().refineSourceIPField;
        field->setText(bench.firstSource());
        emit field->returnPressed();
        bench.settle();
      },
      [&](int) { bench.relist(nodes); }));

  bench.relist(nodes);
  bench.clock.advance(std::chrono::seconds(2));
  figures.push_back(measure("purge tick: nothing idle", [&](int) {
    bench.session().tracker().purgeNodes();
    bench.window->refresh();
    bench.settle();
  }));
  // Five nodes hit long ago, listed at the end, leave on the tick.
  figures.push_back(measure(
      "purge tick: five idle nodes go",
      [&](int) {
        bench.session().tracker().purgeNodes();
        bench.window->refresh();
        bench.settle();
      },
      [&](int) {
        bench.clock.advance(-std::chrono::seconds(30));
        bench.feed(5);
        bench.clock.advance(std::chrono::seconds(30));
        bench.settle();
      }));

  // The pane's views, and finds, among nodes that hold 200 bytes of text each.
  bench.proseLength = 200;
  bench.relist(nodes);
  std::size_t payloadBytes = 0;
  bench.session().tracker().connectionsArray().forEach(
      [&](const WQMConnection& node) { payloadBytes += node.packetData().size(); });
  std::printf("Listed %d nodes holding %.0f MB of payload\n\n", bench.rows(),
              static_cast<double>(payloadBytes) / 1e6);
  const std::vector<int> largeAgain = bench.largeRows();
  const Ui::MainWindow& ui = bench.window->ui();
  for (const auto& [index, name] : {std::pair(1, "conversation"), std::pair(2, "hex")}) {
    ui.paneTabs->setCurrentIndex(index);
    figures.push_back(measure(std::string("view: ") + name + " of a distant row", [&](int i) {
      bench.table().selectRow(spreadRow(i, bench.rows()));
      bench.settle();
    }));
    figures.push_back(measure(std::string("view: ") + name + " of a 22 KB row", [&](int i) {
      bench.table().selectRow(largeAgain[static_cast<std::size_t>(i * 7) % largeAgain.size()]);
      bench.settle();
    }));
  }
  ui.paneTabs->setCurrentIndex(0);
  std::vector<Figure> finds;
  ui.findAction->trigger();
  const auto find = [&](const QString& text, bool hex) {
    return [&, text, hex](int) {
      ui.findHexBox->setChecked(hex);
      ui.findField->setText(text);
      emit ui.findField->returnPressed();
      bench.settle();
    };
  };
  finds.push_back(measure("find: a word 4 nodes hold", find(QString(kFoundWord.data()), false)));
  std::printf("  the bar says: %s\n", qPrintable(ui.findStatus->text()));
  finds.push_back(measure("find: a word no node holds", find("Authorization: Bearer", false)));
  finds.push_back(measure("find: hex bytes no node holds", find("de ad be ef", true)));

  std::printf("%-40s %10s %10s %10s\n", "operation", "median ms", "worst ms", "target ms");
  const auto print = [](const std::vector<Figure>& list, double target) {
    for (const Figure& figure : list) {
      std::printf("%-40s %10.2f %10.2f %10.0f%s\n", figure.operation.c_str(), figure.medianMs,
                  figure.worstMs, target, figure.worstMs < target ? "" : "  over");
    }
  };
  print(figures, kTargetMs);
  print(finds, kFindTargetMs);
  return 0;
}
