// SPDX-License-Identifier: GPL-3.0-or-later
// The wirequill program run headless, as a user runs it: reports of capture files read directly
// compared byte for byte with the expected reports under golden/, and the same read as streams;
// its answers to command lines, inputs and report paths it cannot use; a quiet stream that still
// ends on a signal; and the capture helper it starts, which ends with it however it is stopped.
//
// WIREQUILL_WRITE_EXPECTED_REPORTS=1 writes the expected reports instead of comparing: review
// every changed line against the rules for the node list before committing it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QRegularExpression>
#include <filesystem>
#include <functional>

#include "stream/CaptureStreamFormat.h"
#include "tests/app/AppTestSupport.h"
#include "tracking/decode/PacketDecoder.h"

namespace wq::apptest {
namespace {

using namespace wq::testing;
using namespace wq::tcpflags;

constexpr milliseconds kPatience(30'000);
constexpr int kStrayDescriptor = 9;
const char* const kClient = "10.0.0.2";
const char* const kServer = "10.0.0.9";

std::vector<TimedFrame> httpExchange() {
  TcpSender client(kClient, 52311, kServer, 80, 1000), server(kServer, 80, kClient, 52311, 7000);
  return {
      {0.000, client.syn()},
      {0.001, server.syn(SYN | ACK)},
      {0.002, client.send(Bytes{}, ACK)},
      {3.000, client.send("GET /index.html HTTP/1.0\r\nHost: 10.0.0.9\r\n\r\n")},
      {3.500, server.send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n")},
      {3.501, server.send("Wirequill keeps one node per flow direction; a node grows with "
                          "each data segment of its flow.\r\n")},
      {3.502, server.send(Bytes{}, FIN | ACK)},
      {3.503, client.send(Bytes{}, FIN | ACK)},
      {7.000, client.send(Bytes{}, ACK)},
  };
}

// Connections already open when capture starts: their data alone, a flow that overflows and
// keeps sending now and then, and one that leaves on RST and sends again after the idle purge
// time.
std::vector<TimedFrame> openConnections() {
  TcpSender ongoing(kClient, 41001, kServer, 22, 123456),
      reply(kServer, 22, kClient, 41001, 654321);
  TcpSender bulk(kClient, 41002, kServer, 9000, 42);
  TcpSender reset(kClient, 41003, kServer, 25, 4242);
  return {
      {0.0, ongoing.at(100, bytesOf("in the middle of a session\r\n"), ACK | PSH)},
      {0.1, reply.at(5000, bytesOf("and its answer\r\n"), ACK | PSH)},
      {0.2, ongoing.at(128, bytesOf("more of it\r\n"), ACK | PSH)},
      {1.0, bulk.send(Bytes(60, 'a'))},
      {1.1, bulk.send(Bytes(60, 'b'))},  // past MaxPacketSize: overflows
      {1.2, bulk.send(Bytes(10, 'c'))},  // still departed: no node
      {2.0, reset.send("MAIL FROM:<a@example.org>\r\n")},
      {2.1, reset.send(Bytes{}, RST | ACK)},
      {2.2, reset.send("RCPT TO:<b@example.org>\r\n")},  // departed
      {12.0, bulk.send(Bytes(10, 'd'))},  // each segment renews the memory of its flow
      {14.0, ongoing.at(140, bytesOf("still going\r\n"), ACK | PSH)},
      {18.0, reset.send("after the idle purge time\r\n")},
      {24.0, bulk.send(Bytes(10, 'e'))},
  };
}

std::vector<TimedFrame> datagrams() {
  const char* resolver = "10.0.0.53";
  const Bytes mixed = bytesOf("tab\there|lf\nhere|cr\rhere\x7F\x80\xFF ~end");
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
  const std::string line = alphabet + alphabet + alphabet.substr(0, 24);  // 76 letters
  return {
      {0.0, udpFrame(kClient, 40000, resolver, 53, bytesOf("lookup wirequill.example"))},
      {0.5, udpFrame(resolver, 53, kClient, 40000, {})},
      {1.0, udpFrame(kClient, 65535, "10.0.0.7", 5004, mixed)},
      {1.5, udpFrame(kClient, 40000, resolver, 53, bytesOf("lookup again"))},
      {2.0, udpFrame(kClient, 40001, resolver, 53, bytesOf(line + "Z"))},
      {2.2, udpFrame(kClient, 40002, resolver, 53, bytesOf(line + "\r"))},
      {2.5, icmpFrame(kClient, "10.0.0.9", bytesOf("echo payload 0123456789"))},
      {2.6, icmpFrame("10.0.0.9", kClient, {})},
  };
}

std::vector<TimedFrame> overflow() {
  TcpSender first(kClient, 50001, kServer, 80), second(kClient, 50002, kServer, 80);
  return {
      {0.0, first.syn()},
      {0.5, second.syn()},
      {1.0, first.send(Bytes(60, 'a'), ACK)},
      {2.0, first.send(Bytes(40, 'b'), ACK)},    // exactly the limit
      {2.5, second.send(Bytes(101, 'x'), ACK)},  // too big: overflows
      {3.0, first.send(Bytes(1, 'c'), ACK)},     // overflows: dropped
      {3.5, second.send(Bytes(80, 'd'), ACK)},   // no node left
      {4.0, udpFrame(kClient, 7000, kServer, 7001, Bytes(100, 'u'))},
      {4.5, udpFrame(kClient, 7000, kServer, 7001, Bytes(99, 'v'))},
  };
}

std::vector<TimedFrame> idlePurge() {
  const char* to = "10.0.0.3";
  return {
      {0.0, udpFrame(kClient, 4000, to, 4001, bytesOf("x at 0.0, purged at 16.0"))},
      {3.0, udpFrame(kClient, 4000, to, 4001, bytesOf("x at 3.0, purged with its flow"))},
      {4.5, udpFrame(kClient, 5000, to, 5001, bytesOf("y at 4.5, idle 15.5 at 20.0"))},
      {5.0, udpFrame(kClient, 6000, to, 6001, bytesOf("z at 5.0, idle 15.0 at 20.0"))},
      {20.0, icmpFrame(kClient, to, bytesOf("after the gap"))},
  };
}

// `frame` as captured with a snapshot length of `length` bytes.
TimedFrame snapped(double time, const Bytes& frame, std::size_t length) {
  return {time, Bytes(frame.begin(), frame.begin() + std::min(length, frame.size())), frame.size()};
}

// Captured with a snapshot length of 96 bytes: what is missing is counted and marked in place.
std::vector<TimedFrame> smallSnapshot() {
  std::string text;
  while (text.size() < 300) {
    text += "abcdefghijklmnopqrstuvwxyz";
  }
  text.resize(300);
  TcpSender client(kClient, 52400, kServer, 80);
  return {
      snapped(0.0, client.syn(), 96),
      snapped(0.1, client.send("GET / HTTP/1.0\r\n"), 96),
      snapped(0.2, client.send(text.substr(0, 200)), 96),
      snapped(0.3, client.send(text.substr(0, 100)), 96),
      snapped(0.4, client.send("end\r\n"), 96),
      snapped(0.5, udpFrame(kClient, 5353, "10.0.0.53", 53, bytesOf(text)), 96),
      snapped(0.6, icmpFrame(kClient, kServer, bytesOf(text.substr(0, 80))), 96),
  };
}

// IPv6 through its extension headers, and a first fragment; a later fragment makes nothing.
std::vector<TimedFrame> ipv6() {
  const char* client = "2001:db8:0:1::2";
  const char* server = "2001:db8:0:1:0:0:0:9";
  const IpOptions hopAndDestination{.extensions = {0, 60}}, routing{.extensions = {43}};
  const IpOptions firstFragment{.fragmentField = 0x0001, .extensions = {44}};  // offset 0, more
  const IpOptions laterFragment{.fragmentField = 181 << 3, .extensions = {44}};
  return {
      {0.0, icmpFrame(client, server, bytesOf("echo over IPv6"))},
      {0.5, udpFrame(client, 40000, "2001:db8::53", 53, bytesOf("lookup via hop-by-hop"),
                     hopAndDestination)},
      {1.0, tcpFrame(client, 52500, server, 443, SYN, {}, routing, {1000, kSynOptions})},
      {1.5, tcpFrame(client, 52500, server, 443, ACK | PSH, bytesOf("data of a routed flow"), {},
                     {1001})},
      {2.0, udpFrame(client, 40001, "ff02::1", 9, bytesOf("first fragment"), firstFragment)},
      {2.5, udpFrame(client, 40001, "ff02::1", 9, bytesOf("later fragment"), laterFragment)},
  };
}

// A pcapng file whose second interface has another link type, after one datagram on the first.
void writeTwoLinkTypes(const std::string& path) {
  std::ofstream file(path, std::ios::binary);
  const auto put = [&](std::initializer_list<std::uint32_t> words) {
    for (const std::uint32_t word : words) {
      file.write(reinterpret_cast<const char*>(&word), 4);
    }
  };
  const Bytes frame = udpFrame(kClient, 40000, "10.0.0.53", 53, bytesOf("on the first interface"));
  const auto size = static_cast<std::uint32_t>(frame.size());  // 64 bytes: no padding
  const std::uint64_t micros = kCaptureStart * 1'000'000ull;
  put({0x0A0D0D0A, 28, 0x1A2B3C4D, 1, 0xFFFFFFFF, 0xFFFFFFFF, 28});  // section header
  put({1, 20, DLT_EN10MB, 262144, 20});                              // Ethernet interface
  put({6, 32 + size, 0, std::uint32_t(micros >> 32), std::uint32_t(micros), size, size});
  file.write(reinterpret_cast<const char*>(frame.data()), size);
  put({32 + size});
  put({1, 20, DLT_LINUX_SLL, 262144, 20});  // cooked interface
}

// A report with its times masked: a stream's nodes take the wall clock's time.
std::string withoutTimes(const std::string& report) {
  return QString::fromStdString(report)
      .replace(QRegularExpression("\\d\\d:\\d\\d:\\d\\d"), "hh:mm:ss")
      .replace(QRegularExpression("^\\(\\w+day, .*\\)$", QRegularExpression::MultilineOption),
               "(date)")
      .toStdString();
}

// A run of wirequill that ended by itself: its exit status, its standard output, and the lines
// of its standard error that it writes as its own complaints.
struct ProgramRun {
  int status = -1;
  std::string output;
  std::vector<std::string> complaints;
};

// wirequill run in a private environment whose scratch folder $S holds the capture files, among
// them http.pcap.
class Headless : public ::testing::Test {
 protected:
  Headless() {
    isolateEnvironment(scratch);
    EXPECT_TRUE(writeCaptureFile(in("$S/http.pcap"), httpExchange()));
    std::filesystem::create_directory(in("$S/config/Wirequill"));
  }

  // Stores `settings`, lines of the [General] group, as the settings file.
  void store(const std::string& settings) const {
    std::ofstream(in("$S/config/Wirequill/Wirequill.conf")) << "[General]\n" << settings;
  }

  std::string in(const std::string& text) const {
    return QString::fromStdString(text).replace("$S", scratch.path.c_str()).toStdString();
  }
  // `inChild` runs in the program's process before it starts, `whileRunning` in this one after.
  // "ARGUMENTS < FILE" writes FILE to the program's standard input, a pipe, and closes it.
  ProgramRun run(const std::string& arguments, std::function<void()> inChild = {},
                 std::function<void(QProcess&)> whileRunning = {}) const {
    QProcess program;
    if (inChild) {
      program.setChildProcessModifier(inChild);
    }
    const QStringList input = QString::fromStdString(in(arguments)).split(" < ");
    program.start(QString::fromStdString(programPath), QProcess::splitCommand(input.front()));
    if (input.size() > 1) {
      program.write(QByteArray::fromStdString(readFile(input.back().toStdString())));
      program.closeWriteChannel();
    }
    if (whileRunning) {
      whileRunning(program);
    }
    const bool ended =
        program.waitForFinished(kPatience.count()) && program.exitStatus() == QProcess::NormalExit;
    ProgramRun run{
        ended ? program.exitCode() : -1, program.readAllStandardOutput().toStdString(), {}};
    for (const QString& line : QString(program.readAllStandardError()).split('\n')) {
      if (line.startsWith("wirequill: ")) {
        run.complaints.push_back(line.toStdString());
      }
    }
    return run;
  }
  // What the program answers: its exit status, its one complaint, which holds `complaint` (none
  // when that is empty), and its standard output, which holds `output` (or is empty).
  void expectAnswer(const std::string& arguments, int status, const std::string& complaint,
                    const std::string& output, std::function<void()> inChild = {}) const {
    SCOPED_TRACE(arguments);
    const ProgramRun answer = run(arguments, std::move(inChild));
    EXPECT_EQ(answer.status, status);
    EXPECT_EQ(answer.complaints.size(), complaint.empty() ? 0u : 1u);
    const std::string said = answer.complaints.empty() ? "" : answer.complaints.front();
    EXPECT_NE(said.find(in(complaint)), std::string::npos) << said;
    EXPECT_TRUE(output.empty() ? answer.output.empty()
                               : answer.output.find(in(output)) != std::string::npos)
        << answer.output;
  }

  ScratchDirectory scratch;
  std::string programPath = WIREQUILL_PROGRAM;
};

// The report of each scenario's capture file, read with the scenario's settings (lines of the
// stored settings file) and arguments, compared byte for byte with its expected report. A stored
// capture filter keeps the datagrams of UDP port 53 alone.
TEST_F(Headless, ReportsMatchTheExpectedReports) {
  const std::tuple<std::string, std::vector<TimedFrame>, const char*, const char*> scenarios[] = {
      {"http_exchange", httpExchange(), "", ""},
      {"http_exchange_drop_on_fin", httpExchange(), "DropOnFIN=true\n", ""},
      {"datagrams", datagrams(), "", ""},
      {"datagrams_programs", datagrams(), "ReportPrograms=true\n", ""},
      {"datagrams_programs", datagrams(), "", "--programs"},
      {"datagrams_udp_port_53", datagrams(), "CaptureFilter=udp port 53\n", ""},
      {"overflow", overflow(), "MaxPacketSize=100\n", ""},
      {"idle_purge", idlePurge(), "", ""},
      {"small_snapshot", smallSnapshot(), "", ""},
      {"ipv6", ipv6(), "", ""},
      {"open_connections", openConnections(), "MaxPacketSize=100\nDropOnRST=true\n", ""},
      {"open_connections_tracked", openConnections(),
       "MaxPacketSize=100\nDropOnRST=true\nTrackOpenConnections=true\n", ""},
      {"open_connections_tracked", openConnections(), "MaxPacketSize=100\nDropOnRST=true\n",
       "--open-connections"}};
  for (const auto& [name, frames, settings, arguments] : scenarios) {
    SCOPED_TRACE(name + " " + arguments);
    ASSERT_TRUE(writeCaptureFile(in("$S/" + name + ".pcap"), frames));
    store(settings);
    const ProgramRun report =
        run("--no-window --report - -r $S/" + name + ".pcap " + std::string(arguments));
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report.complaints, std::vector<std::string>{});
    const std::string expectedPath = EXPECTED_REPORTS_DIR "/" + name + ".report";
    if (qgetenv("WIREQUILL_WRITE_EXPECTED_REPORTS") == "1") {
      std::ofstream(expectedPath, std::ios::binary) << report.output;
    }
    EXPECT_EQ(report.output, readFile(expectedPath)) << "expected report: " << expectedPath;
    // Read as a stream, the same nodes at the wall clock's time (no idle purge in so short a run);
    // their programs are not looked up either, as a stream's.
    if (name != "idle_purge" && !name.starts_with("open_connections")) {
      const ProgramRun streamed =
          run("--no-window --report - -r - " + std::string(arguments) + " < $S/" + name + ".pcap");
      EXPECT_EQ(streamed.status, 0);
      EXPECT_EQ(withoutTimes(streamed.output),
                QString::fromStdString(withoutTimes(report.output))
                    .replace("captured from a file", "captured from a stream")
                    .toStdString());
    }
  }
}

// What the program answers, with no display: its exit status, its one complaint (or none), and a
// piece of its standard output (or that it is empty). $S holds http.pcap; captures that cannot be
// read to their end: cut.pcap (the same, its last record cut short) and two.pcapng (a second link
// type); and notes.txt (no capture file). An unreadable end still gives the report of what came
// before it, with exit status 1; so does a stream's, read from standard input ("< FILE"). A capture
// filter libpcap cannot compile is refused with its reason, given for the run or (after the table)
// stored, unless the run gives a good one. A report cannot go into a missing folder or over a
// folder.
TEST_F(Headless, AnswersCommandLines) {
  std::ofstream(in("$S/notes.txt")) << "not a capture file\n";
  ASSERT_TRUE(writeCaptureFile(in("$S/cut.pcap"), httpExchange()));
  std::filesystem::resize_file(in("$S/cut.pcap"),
                               std::filesystem::file_size(in("$S/cut.pcap")) - 20);
  writeTwoLinkTypes(in("$S/two.pcapng"));
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    unsetenv(name);  // none of these needs a display
  }
  const std::tuple<const char*, int, const char*, const char*> rows[] = {
      {"-r $S/cut.pcap --no-window --report -", 1,
       "wirequill: $S/cut.pcap ends early: truncated dump file", "Source Port: 52311\n"},
      {"-r $S/two.pcapng --no-window --report -", 1,
       "wirequill: $S/two.pcapng ends early: an interface has a type 113 different",
       "on the first interface"},
      {"-r - --no-window --report - < $S/cut.pcap", 1,
       "wirequill: standard input ends early: truncated dump file", "Source Port: 52311\n"},
      {"-r - --no-window --report - < $S/notes.txt", 1,
       "wirequill: standard input: unknown file format", "Wirequill Report\n"},
      {"-r $S/missing.pcap --no-window --report -", 1, "$S/missing.pcap: No such file", ""},
      {"-r $S/http.pcap --no-window --report $S/no/r.txt", 1,
       "cannot write the report to $S/no/r.txt: No such file", ""},
      {"-r $S/http.pcap --no-window --report $S", 1, "report to $S: Is a directory", ""},
      {"--no-window -d $S/notes.txt -i wqtest0", 1, "Capture stopped: ", ""},
      // As root the helper captures live directly (never through pkexec here).
      {"--no-window -d /dev/bpf0 -i wqnosuch0", 1,
       geteuid() == 0 ? "the interface \"wqnosuch0\" cannot be used. Choose one in Preferences"
                      : "wirequill: ",
       ""},
      {"--no-window --duration 0", 2, "--duration wants a number of seconds above 0", ""},
      {"--no-window --duration 31536001", 2, "at most a year (31536000), not '31536001'", ""},
      {"--no-window -r $S/http.pcap -i wqtest0", 2, "cannot be combined with --interface", ""},
      {"-r $S/http.pcap --duration 1", 2, "--report, --duration and --match need --no-window", ""},
      {"-r $S/http.pcap --match GET", 2, "--report, --duration and --match need --no-window", ""},
      {"--no-window -r $S/http.pcap --match=", 2, "--match wants a text to look for", ""},
      // Only the server's node holds the text, whatever its case.
      {"-r $S/http.pcap --no-window --report - --match \"FLOW DIRECTION; A\"", 0, "",
       "Source Port: 80\n"},
      {"-r $S/http.pcap --no-window --report - --match \"not sent\"", 0, "", "Wirequill Report"},
      {"--no-window $S/http.pcap", 2, "unexpected argument '$S/http.pcap'", ""},
      {"-f \"udp port 65536\"", 2,
       "cannot use the capture filter 'udp port 65536': illegal port number 65536 > 65535", ""},
      {"--bogus", 2, "Unknown option 'bogus'", ""},
      {"--help", 0, "", "--duration <SECONDS>"},
      {"--version", 0, "", "Wirequill "},
  };
  for (const auto& [arguments, status, complaint, output] : rows) {
    expectAnswer(arguments, status, complaint, output);
  }
  EXPECT_EQ(run("-r $S/http.pcap --no-window --report - --match \"get /\"")
                .output.find("Source Port: 80\n"),
            std::string::npos);
  // Standard input closed: nothing to read, and nothing else read in its place.
  expectAnswer("-r - --no-window --report -", 1,
               "wirequill: -r -: standard input is closed: there is nothing to read.", "",
               [] { ::close(STDIN_FILENO); });
  // A live run whose capture never starts writes no report: the last one stays.
  if (geteuid() == 0) {
    std::ofstream(in("$S/old.txt")) << "the old report\n";
    const ProgramRun never = run("--no-window -d /dev/bpf0 -i wqnosuch0 --report $S/old.txt");
    EXPECT_EQ(never.status, 1);
    EXPECT_EQ(never.complaints.back(),
              "wirequill: Capture never started: the report was not written.");
    EXPECT_EQ(readFile(in("$S/old.txt")), "the old report\n");
  }
  store("CaptureFilter=udp port 65536\n");
  expectAnswer("-r $S/http.pcap --no-window --report -", 2,
               "The capture filter \"udp port 65536\" cannot be used: illegal port number", "");
  expectAnswer("-r $S/http.pcap --no-window --report - -f tcp", 0, "", "Source Port: 52311\n");
}

// A report file is written whole or not at all: a write that fails (here past a file size limit)
// keeps the old report and leaves nothing beside it; one that succeeds replaces it.
TEST_F(Headless, AReportFileIsWrittenWholeOrNotAtAll) {
  const std::string toReport = "-r $S/http.pcap --no-window --report ";
  std::filesystem::create_directory(in("$S/reports"));
  std::ofstream(in("$S/reports/r.txt")) << "the old report\n";
  expectAnswer(toReport + "$S/reports/r.txt", 1,
               "wirequill: cannot write the report to $S/reports/r.txt: File too large", "", [] {
                 ::signal(SIGXFSZ, SIG_DFL);    // the program itself turns the signal into an error
                 const rlimit limit{400, 400};  // the report is longer
                 ::setrlimit(RLIMIT_FSIZE, &limit);
               });
  EXPECT_EQ(readFile(in("$S/reports/r.txt")), "the old report\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(in("$S/reports")), {}), 1);

  expectAnswer(toReport + "$S/reports/r.txt", 0, "", "");
  EXPECT_TRUE(readFile(in("$S/reports/r.txt")).starts_with("Wirequill Report\n"));

  // Refused at once, each with one line: a socket; a reader of standard output that has gone; a
  // link planted in a sticky folder by another user, which the kernel would not follow either
  // (one of this user's own there is followed).
  ASSERT_EQ(mknod(in("$S/socket").c_str(), S_IFSOCK | 0600, 0), 0);
  expectAnswer(toReport + "$S/socket", 1,
               "wirequill: cannot write the report to $S/socket: No such device or address", "");
  expectAnswer(toReport + "-", 1,
               "wirequill: cannot write the report to standard output: Broken pipe", "", [] {
                 int ends[2];
                 if (::pipe(ends) == 0) {  // standard output is a pipe whose reader has gone
                   ::close(ends[0]);
                   ::dup2(ends[1], STDOUT_FILENO);
                 }
               });
  if (geteuid() == 0) {
    const std::string sticky = in("$S/sticky"), victim = in("$S/victim");
    std::filesystem::create_directory(sticky);
    chmod(sticky.c_str(), 01777);
    std::ofstream(victim) << "not to be replaced\n";
    std::filesystem::create_symlink(victim, sticky + "/planted");
    ASSERT_EQ(lchown((sticky + "/planted").c_str(), 65534, 65534), 0);
    expectAnswer(
        toReport + "$S/sticky/planted", 1,
        "it is a symbolic link, in a folder that anyone may write to, owned by another user", "");
    EXPECT_EQ(readFile(victim), "not to be replaced\n");
    std::filesystem::create_symlink(victim, sticky + "/mine");
    expectAnswer(toReport + "$S/sticky/mine", 0, "", "");
    EXPECT_TRUE(readFile(victim).starts_with("Wirequill Report\n"));
    EXPECT_TRUE(std::filesystem::is_symlink(sticky + "/mine"));
  }

  // A FIFO is written directly once it has a reader. Without one, SIGTERM still ends the run,
  // whether it comes before the report or while the report waits for its reader.
  const std::string fifo = in("$S/reports/fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  expectAnswer(toReport + fifo, 0, "", "");
  char read[17] = {};
  EXPECT_EQ(::read(reader, read, 17), 17);
  EXPECT_EQ(std::string_view(read, 17), "Wirequill Report\n");
  close(reader);
  // The helper replays the capture and waits: only a signal starts the report, and a second one
  // ends its wait. Each is sent once the program is seen to catch it and the one before has gone.
  const ProgramRun stopped =
      run("--no-window -d $S/http.pcap -i wqtest0 --report " + fifo, {}, [](QProcess& program) {
        const auto termSignalIn = [&](const char* field) {
          const std::string mask = statusField(program.processId(), field);
          return !mask.empty() && (std::stoull(mask, nullptr, 16) >> (SIGTERM - 1) & 1);
        };
        for (int signal = 0; signal < 2; ++signal) {
          ASSERT_TRUE(pollUntil([&] { return termSignalIn("SigCgt"); }, kPatience));
          kill(program.processId(), SIGTERM);
          ASSERT_TRUE(pollUntil([&] { return !termSignalIn("SigPnd") && !termSignalIn("ShdPnd"); },
                                kPatience));
        }
      });
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(stopped.complaints, std::vector{"wirequill: cannot write the report to " + fifo +
                                            ": stopped by a signal before it was read whole"});
}

// A FIFO is read as its capture arrives: what was written before a pause is tracked at once,
// although the pause cuts a record, and a stream gone quiet (its writer still there) does not
// hold up the end: on SIGTERM the program reports what arrived and ends. Each step waits until the
// program has read all that was written and its reading thread waits for more.
TEST_F(Headless, AQuietStreamIsTrackedAndEndsOnASignal) {
  const std::string capture = readFile(in("$S/http.pcap"));
  const std::string fifo = in("$S/fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int writer = -1;  // closed only once the program has ended
  const ProgramRun streamed = run("--no-window --report - -r " + fifo, {}, [&](QProcess& program) {
    const std::string tasks = "/proc/" + std::to_string(program.processId()) + "/task";
    const auto waitingForMore = [&] {
      int unread = -1;
      if (ioctl(writer, FIONREAD, &unread) != 0 || unread != 0) {
        return false;
      }
      for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        if (readFile(task.path() / "comm") == "wirequill-read\n") {
          return readFile(task.path() / "wchan").find("poll") != std::string::npos;
        }
      }
      return false;
    };
    ASSERT_TRUE(pollUntil(
        [&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; },
        kPatience));
    for (const std::string& piece : {capture.substr(0, 200), capture.substr(200)}) {
      ASSERT_EQ(write(writer, piece.data(), piece.size()), ssize_t(piece.size()));
      ASSERT_TRUE(pollUntil(waitingForMore, kPatience));
    }
    kill(program.processId(), SIGTERM);
  });
  close(writer);
  EXPECT_EQ(streamed.status, 0);
  EXPECT_EQ(withoutTimes(streamed.output),
            withoutTimes(run("--no-window --report - -r $S/http.pcap").output));
}

// Given a capture file as its device, the helper replays it at its recorded pace, here with 3 s
// without a packet after the first three: the program runs until it is stopped, and the helper
// has nothing to write that would fail. On SIGINT or SIGTERM the program writes its report and
// ends normally; whatever stops it, the helper ends within a second. A descriptor that the
// program inherited does not reach the helper.
TEST_F(Headless, HelperEndsWithTheProgramHoweverItIsStopped) {
  // The helper, orphaned, becomes this process's child: its end can then be seen and reaped.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const std::string capture = in("$S/http.pcap"), report = in("$S/stopped.report");
  for (int signal : {SIGINT, SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    std::filesystem::remove(report);
    pid_t helper = -1;
    const ProgramRun stopped = run(
        "--no-window -d " + capture + " -i wqtest0 -f tcp --report " + report,
        [] { ::dup2(STDERR_FILENO, kStrayDescriptor); },
        [&](QProcess& program) {
          helper = waitForChild(program.processId(), "netsiphon", kPatience);
          ASSERT_GT(helper, 0);
          // The helper gets the device, the interface and the filter of the command line.
          EXPECT_TRUE(procFile(helper, "cmdline")
                          .ends_with('\0' + capture + '\0' + "wqtest0" + '\0' + "tcp" + '\0'));
          // Once it has written its first chunk (the first three packets), it has nothing to
          // write for 3 s: only the end of its input can stop it in time.
          ASSERT_TRUE(pollUntil(
              [&] {
                const std::string io = procFile(helper, "io");
                const std::size_t at = io.find("wchar: ");
                return at != std::string::npos && std::stoull(io.substr(at + 7)) >= kChunkLength;
              },
              kPatience));
          EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(helper) + "/fd/" +
                                               std::to_string(kStrayDescriptor)));
          ASSERT_EQ(kill(program.processId(), signal), 0);
        });
    ASSERT_GT(helper, 0);
    EXPECT_EQ(stopped.status, signal == SIGKILL ? -1 : 0);
    EXPECT_EQ(readFile(report).starts_with("Wirequill Report\n"), signal != SIGKILL);
    if (!waitUntilEnded(helper, milliseconds(1000))) {
      ADD_FAILURE() << "the helper outlived the program by more than a second";
      kill(helper, SIGKILL);
    }
  }
}

// The program copied beside stand-ins of its helper (and of pkexec): a helper that ignores the
// termination line and its input's end is killed two seconds after it was told, and reaped, and
// the run ends with its report; a helper that this user may not run goes through pkexec, whose
// failure to ask for a password is told with both remedies.
TEST_F(Headless, StandInHelpersAndPkexec) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const std::string bin = scratch.subdirectory("bin");
  programPath = bin + "/wirequill";
  std::filesystem::copy_file(WIREQUILL_PROGRAM, programPath);
  setenv("PATH", (bin + ":/usr/bin:/bin").c_str(), 1);

  writeScript(bin + "/netsiphon", "trap '' INT TERM HUP PIPE\nwhile :; do sleep 1; done");
  pid_t helper = -1;
  const ProgramRun ignoring =
      run("--no-window -d $S/http.pcap -i wqtest0 --duration 0.5 --report $S/r", {},
          [&](QProcess& program) {
            helper = waitForChild(program.processId(), "netsiphon", kPatience);
          });
  ASSERT_GT(helper, 0);
  EXPECT_EQ(ignoring.status, 0);
  EXPECT_TRUE(readFile(in("$S/r")).starts_with("Wirequill Report\n"));
  EXPECT_TRUE(waitUntilEnded(helper, milliseconds(1000)));

  std::filesystem::permissions(bin + "/netsiphon", std::filesystem::perms::owner_read);
  const std::string noAgent =
      "Error executing command as another user: No authentication agent found.";
  writeScript(bin + "/pkexec", "echo '" + noAgent + "' >&2\nexit 127");
  expectAnswer("--no-window -i lo --duration 1", 1,
               "wirequill: Capture could not start: pkexec cannot ask for an administrator's "
               "password here (" +
                   noAgent +
                   "). Join the wirequill group (sudo usermod -aG wirequill $USER, then log in "
                   "again), or give the helper the capture capabilities (sudo setcap "
                   "cap_net_raw,cap_net_admin+ep " +
                   bin + "/netsiphon).",
               "");
}

}  // namespace
}  // namespace wq::apptest
