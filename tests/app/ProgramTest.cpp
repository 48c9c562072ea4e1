// The wirequill program run as a user runs it: reports of capture files compared byte for byte
// with the expected reports under golden/, its answers to bad input and bad report paths, and
// the helper ending when the program is killed.
//
// WIREQUILL_WRITE_EXPECTED_REPORTS=1 writes the expected reports instead of comparing: review
// every changed line against the rules for the node list before committing it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/app/AppTestSupport.h"
#include "tracking/PacketDecoder.h"

namespace wq::apptest {
namespace {

using namespace wq::testing;
using namespace wq::tcpflags;

constexpr milliseconds kPatience(30'000);

// SYN options (MSS, SACK permitted, time stamps, window scale): no printable byte among them.

Bytes operator+(Bytes left, const Bytes& right) {
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

Bytes repeated(char letter, std::size_t count) {
  return Bytes(count, static_cast<std::uint8_t>(letter));
}

struct Scenario {
  std::string name;
  std::vector<TimedFrame> frames;
  std::string settings;  // lines of the stored settings file
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

std::vector<TimedFrame> httpExchange() {
  const char* client = "10.0.0.2";
  const char* server = "10.0.0.9";
  return {
      {0.000, tcpFrame(client, 52311, server, 80, SYN, kSynOptions)},
      {0.001, tcpFrame(server, 80, client, 52311, SYN | ACK, kSynOptions)},
      {0.002, tcpFrame(client, 52311, server, 80, ACK, {})},
      {3.000, tcpFrame(client, 52311, server, 80, ACK | PSH,
                       bytesOf("GET /index.html HTTP/1.0\r\nHost: 10.0.0.9\r\n\r\n"))},
      {3.500, tcpFrame(server, 80, client, 52311, ACK | PSH,
                       bytesOf("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"))},
      {3.501, tcpFrame(server, 80, client, 52311, ACK | PSH,
                       bytesOf("Wirequill keeps one node per flow direction; a node grows with "
                               "each data segment of its flow.\r\n"))},
      {3.502, tcpFrame(server, 80, client, 52311, FIN | ACK, {})},
      {3.503, tcpFrame(client, 52311, server, 80, FIN | ACK, {})},
      {7.000, tcpFrame(client, 52311, server, 80, ACK, {})},
  };
}

std::vector<TimedFrame> datagrams() {
  const char* host = "10.0.0.2";
  const char* resolver = "10.0.0.53";
  const Bytes mixed =
      bytesOf("tab\there|lf\nhere|cr\rhere") + Bytes{0x7F, 0x80, 0xFF} + bytesOf(" ~end");
  std::string line;
  for (char letter = 'a'; line.size() < 76; letter = letter == 'z' ? 'a' : letter + 1) {
    line += letter;
  }
  return {
      {0.0, udpFrame(host, 40000, resolver, 53, bytesOf("lookup wirequill.example"))},
      {0.5, udpFrame(resolver, 53, host, 40000, {})},
      {1.0, udpFrame(host, 65535, "10.0.0.7", 5004, mixed)},
      {1.5, udpFrame(host, 40000, resolver, 53, bytesOf("lookup again"))},
      {2.0, udpFrame(host, 40001, resolver, 53, bytesOf(line + "Z"))},
      {2.2, udpFrame(host, 40002, resolver, 53, bytesOf(line + "\r"))},
      {2.5, icmpFrame(host, "10.0.0.9", bytesOf("echo payload 0123456789"))},
      {2.6, icmpFrame("10.0.0.9", host, {})},
  };
}

std::vector<TimedFrame> overflow() {
  const char* client = "10.0.0.2";
  const char* server = "10.0.0.9";
  return {
      {0.0, tcpFrame(client, 50001, server, 80, SYN, kSynOptions)},
      {0.5, tcpFrame(client, 50002, server, 80, SYN, kSynOptions)},
      {1.0, tcpFrame(client, 50001, server, 80, ACK, repeated('a', 60))},
      {2.0, tcpFrame(client, 50001, server, 80, ACK, repeated('b', 20))},   // exactly the limit
      {2.5, tcpFrame(client, 50002, server, 80, ACK, repeated('x', 100))},  // one packet too big
      {3.0, tcpFrame(client, 50001, server, 80, ACK, repeated('c', 1))},    // overflows: dropped
      {3.5, tcpFrame(client, 50002, server, 80, ACK, repeated('d', 80))},   // exactly the limit
      {4.0, udpFrame(client, 7000, server, 7001, repeated('u', 100))},
      {4.5, udpFrame(client, 7000, server, 7001, repeated('v', 99))},
  };
}

std::vector<TimedFrame> idlePurge() {
  const char* from = "10.0.0.2";
  const char* to = "10.0.0.3";
  return {
      {0.0, udpFrame(from, 4000, to, 4001, bytesOf("x at 0.0, purged at 16.0"))},
      {3.0, udpFrame(from, 4000, to, 4001, bytesOf("x at 3.0, purged with its flow"))},
      {4.5, udpFrame(from, 5000, to, 5001, bytesOf("y at 4.5, idle 15.5 at 20.0"))},
      {5.0, udpFrame(from, 6000, to, 6001, bytesOf("z at 5.0, idle 15.0 at 20.0"))},
      {20.0, icmpFrame(from, to, bytesOf("after the gap"))},
  };
}

std::vector<TimedFrame> cutPackets() {
  const char* from = "10.0.0.2";
  const char* to = "10.0.0.9";
  std::string alphabet;
  for (int round = 0; round < 4; ++round) {
    alphabet += "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  }
  const Bytes datagram = udpFrame(from, 6000, to, 6001, bytesOf(alphabet));
  const Bytes syn = tcpFrame(from, 6002, to, 80, SYN, kSynOptions);
  Bytes arp = udpFrame(from, 6003, to, 6001, bytesOf("arp"));
  arp[13] = 0x06;  // EtherType 0x0806
  return {
      // Cut 30 bytes into the payload: the node holds what was captured.
      {0.0, Bytes(datagram.begin(), datagram.begin() + 42 + 30), datagram.size()},
      // Cut before the TCP flags, and inside the IPv4 header: nothing to decode.
      {0.1, Bytes(syn.begin(), syn.begin() + 40), syn.size()},
      {0.2, Bytes(syn.begin(), syn.begin() + 30), syn.size()},
      {0.3, arp},
      {0.4, udpFrame(from, 6004, to, 6001, bytesOf("version 6"), {.version = 6})},
      {0.5, udpFrame(from, 6005, to, 6001, bytesOf("later fragment"), {.fragmentField = 0x00B9})},
      {0.6, udpFrame(from, 6006, to, 6001, bytesOf("after IPv4 options"), {.headerWords = 6})},
      {0.7, udpFrame(from, 6007, to, 6001, bytesOf("states 50 more"), {.totalLengthDelta = 50})},
      {1.0, udpFrame(from, 6008, to, 6001, bytesOf("complete"))},
  };
}

std::vector<Scenario> scenarios() {
  return {
      {"http_exchange", httpExchange(), ""},
      {"http_exchange_drop_on_fin", httpExchange(), "DropOnFIN=true\n"},
      {"datagrams", datagrams(), ""},
      {"overflow", overflow(), "MaxPacketSize=100\n"},
      {"idle_purge", idlePurge(), ""},
      {"cut_packets", cutPackets(), ""},
  };
}

// The lines of standard error that the program writes as its own complaints.
std::vector<std::string> complaints(const std::string& standardError) {
  std::vector<std::string> lines;
  std::istringstream text(standardError);
  for (std::string line; std::getline(text, line);) {
    if (line.starts_with("wirequill: ")) {
      lines.push_back(line);
    }
  }
  return lines;
}

struct ProgramRun {
  std::optional<int> status;
  std::string output;
  std::string error;
};

ProgramRun runProgram(const std::vector<std::string>& arguments, const ScratchDirectory& scratch) {
  std::vector<std::string> command = {WIREQUILL_PROGRAM};
  command.insert(command.end(), arguments.begin(), arguments.end());
  ChildProcess program(command, isolatedEnvironment(scratch), scratch);
  ProgramRun run;
  run.status = program.waitForExit(kPatience);
  run.output = program.standardOutput();
  run.error = program.standardError();
  return run;
}

class ExpectedReport : public ::testing::TestWithParam<Scenario> {};

TEST_P(ExpectedReport, MatchesByteForByte) {
  const Scenario& scenario = GetParam();
  ScratchDirectory scratch;
  const std::string capture = scratch.path() + "/" + scenario.name + ".pcap";
  ASSERT_TRUE(writeCaptureFile(capture, scenario.frames));
  if (!scenario.settings.empty()) {
    const std::string folder = scratch.subdirectory("config") + "/Wirequill";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/Wirequill.conf") << "[General]\n" << scenario.settings;
  }

  const ProgramRun run = runProgram({"-r", capture, "--no-window", "--report", "-"}, scratch);
  ASSERT_EQ(run.status, 0) << run.error;
  EXPECT_TRUE(complaints(run.error).empty()) << run.error;

  const std::string expectedPath = EXPECTED_REPORTS_DIR "/" + scenario.name + ".report";
  const char* write = std::getenv("WIREQUILL_WRITE_EXPECTED_REPORTS");
  if (write != nullptr && std::string(write) == "1") {
    std::ofstream(expectedPath, std::ios::binary) << run.output;
  }
  EXPECT_EQ(run.output, readFile(expectedPath)) << "expected report: " << expectedPath;
}

INSTANTIATE_TEST_SUITE_P(Captures, ExpectedReport, ::testing::ValuesIn(scenarios()),
                         [](const auto& info) { return info.param.name; });

TEST(CommandLine, UnreadableInputFailsWithOneMessage) {
  ScratchDirectory scratch;
  const std::string text = scratch.path() + "/notes.txt";
  std::ofstream(text) << "not a capture file\n";
  for (const std::string& input : {scratch.path() + "/missing.pcap", text, scratch.path()}) {
    SCOPED_TRACE(input);
    const ProgramRun run = runProgram({"-r", input, "--no-window", "--report", "-"}, scratch);
    EXPECT_NE(run.status.value_or(0), 0);
    EXPECT_EQ(run.output, "");
    const std::vector<std::string> lines = complaints(run.error);
    ASSERT_EQ(lines.size(), 1u) << run.error;
    EXPECT_NE(lines.front().find(input), std::string::npos) << lines.front();
  }
}

TEST(CommandLine, UnwritableReportFailsWithOneMessage) {
  ScratchDirectory scratch;
  const std::string capture = scratch.path() + "/one.pcap";
  ASSERT_TRUE(writeCaptureFile(capture, {{0.0, udpFrame("10.0.0.2", 1, "10.0.0.3", 2, {1})}}));
  for (const std::string& report :
       {scratch.path() + "/no/such/folder/report.txt", scratch.path()}) {
    SCOPED_TRACE(report);
    const ProgramRun run = runProgram({"-r", capture, "--no-window", "--report", report}, scratch);
    EXPECT_NE(run.status.value_or(0), 0);
    const std::vector<std::string> lines = complaints(run.error);
    ASSERT_EQ(lines.size(), 1u) << run.error;
    EXPECT_NE(lines.front().find("cannot write the report to " + report), std::string::npos)
        << lines.front();
  }
}

TEST(CommandLine, HelpAndVersion) {
  ScratchDirectory scratch;
  const ProgramRun help = runProgram({"--help"}, scratch);
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--interface", "--device", "--read", "--no-window", "--report",
                             "--duration", "--version"}) {
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  }
  const ProgramRun version = runProgram({"--version"}, scratch);
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.output.starts_with("Wirequill ")) << version.output;
}

TEST(Faults, HelperEndsWithinASecondWhenTheProgramIsKilled) {
  // The helper, orphaned, becomes this process's child: its end can then be seen and reaped.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  ScratchDirectory scratch;
  const std::string capture = scratch.path() + "/replayed.pcap";
  ASSERT_TRUE(writeCaptureFile(capture, httpExchange()));
  // Given a capture file as its device, the helper replays it and then waits for more to do.
  ChildProcess program({WIREQUILL_PROGRAM, "--no-window", "-d", capture, "--duration", "60"},
                       isolatedEnvironment(scratch), scratch);
  const pid_t helper = waitForChild(program.pid(), "netsiphon", kPatience);
  ASSERT_GT(helper, 0) << program.standardError();
  ASSERT_FALSE(processEnded(helper));

  ASSERT_EQ(kill(program.pid(), SIGKILL), 0);
  EXPECT_EQ(program.waitForExit(kPatience), 128 + SIGKILL);
  const bool ended = waitUntilEnded(helper, milliseconds(1000));
  if (!ended) {
    kill(helper, SIGKILL);
    waitUntilEnded(helper, kPatience);
  }
  EXPECT_TRUE(ended) << "the helper outlived the program by more than a second";
}

}  // namespace
}  // namespace wq::apptest
