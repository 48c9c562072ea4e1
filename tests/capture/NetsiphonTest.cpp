// SPDX-License-Identifier: GPL-3.0-or-later
// The built helper replaying capture files that the tests write, and refusing what it cannot use.
#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <cstdlib>

#include <fstream>
#include <optional>
#include <sstream>

#include "capture/CaptureFilter.h"
#include "capture/ChunkAssembler.h"
#include "tests/capture/HelperProcess.h"
#include "tests/support/NetworkNamespaces.h"
#include "tests/support/ScratchFiles.h"

namespace netsiphon::testing {
namespace {

using namespace wq::testing;
using namespace std::literals;

const std::string kInterface = "fifteen-chars-x";  // the longest name the kernel takes

// Replays a capture file of `packets` (through a filter, when one is given as the third argument)
// and stops the helper once `count` records are out: by the termination line, else by closing its
// standard input. Other control text, sent after the first record, changes nothing.
Stream replay(int linkType, const std::vector<FilePacket>& packets, std::size_t count,
              bool byTerminationLine, int precision,
              const std::optional<std::string>& filter = std::nullopt) {
  const ScratchDirectory scratch;
  const std::string path = scratch.file("replay.pcap");
  writeCaptureFile(path, linkType, packets, precision);
  std::vector<std::string> command = {NETSIPHON_PATH, path, kInterface};
  if (filter) {
    command.push_back(*filter);
  }
  HelperProcess helper(command);
  const auto holds = [](std::size_t records) {
    return [records](const std::string& out) { return parseStream(out).records.size() >= records; };
  };
  EXPECT_TRUE(helper.readUntil(holds(1)));
  for (const std::string_view text : {"Terminating Wirequill\n"sv, "Terminating Wirequill\0"sv,
                                      "Terminating Wirequil"sv, "terminating wirequill"sv}) {
    helper.send(text);
  }
  EXPECT_TRUE(helper.readUntil(holds(count)));
  if (byTerminationLine) {
    helper.send("Terminating Wirequill");
  } else {
    close(std::exchange(helper.input, -1));
  }
  return helper.finish(startupText(path, kInterface, 6, filter.value_or("")) +
                       "Closing /dev/bpf device.\n");
}

// Cooked frames stamped in nanoseconds: whole Ethernet frames with microsecond times and their
// lengths on the wire, at their recorded pace; one cut short in its link header is skipped.
TEST(Netsiphon, RelaysCookedFramesOfEverySizeAtTheirRecordedPaceUntilTheTerminationLine) {
  std::vector<FilePacket> packets;
  std::vector<Record> expected;
  for (const std::size_t length :
       {46ul, 0ul, 47ul, 48ul, 49ul, 1500ul, wq::kMaxFrameInOneChunk - 14,
        wq::kMaxFrameInOneChunk - 13, 9000ul, 70'000ul}) {
    // 1 ms apart from just before a second boundary on, the two long ones 400 ms later.
    const std::uint64_t at =
        1'700'000'000'999'990 + (packets.size() < 8 ? packets.size() * 1'000 : 400'000);
    const auto seconds = static_cast<std::uint32_t>(at / 1'000'000);
    const auto microseconds = static_cast<std::uint32_t>(at % 1'000'000);
    const Bytes payload = patternedBytes(length, static_cast<std::uint8_t>(length));
    Bytes cooked = {0, 4, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 0x08, 0x00};
    Bytes frame = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x00};  // zero addresses
    cooked.insert(cooked.end(), payload.begin(), payload.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    // The fourth is captured with a short snapshot length.
    const std::uint32_t wireLength = packets.size() == 3 ? 1000 : length + 16;
    packets.push_back({seconds, microseconds * 1000 + 999, cooked, wireLength});
    expected.push_back({seconds, microseconds, wireLength - 16 + 14, frame});
  }
  packets.push_back({packets.back().seconds, packets.back().fraction, {0, 4}});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(
      replay(DLT_LINUX_SLL, packets, expected.size(), true, PCAP_TSTAMP_PRECISION_NANO).records,
      expected);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
}

TEST(Netsiphon, PacksFramesIntoChunksThroughItsFilterAndStopsAtTheEndOfItsInput) {
  std::vector<FilePacket> packets;
  std::vector<Record> expected;
  for (std::size_t index = 0; index < 500; ++index) {
    const auto length = static_cast<std::uint32_t>(107 + index % 4);
    packets.push_back({42, 7, patternedBytes(length, static_cast<std::uint8_t>(index))});
    expected.push_back({42, 7, length, packets.back().bytes});
  }
  // An empty filter keeps every packet.
  const Stream stream = replay(DLT_EN10MB, packets, 500, false, PCAP_TSTAMP_PRECISION_MICRO, "");
  EXPECT_EQ(stream.records, expected);
  EXPECT_EQ(stream.chunks, (500 + 31) / 32)
      << "frames of 107 to 110 bytes make records padded to 128 bytes, 32 a chunk";

  // Datagrams due a millisecond apart, to ports 53 and 54 in turn, through a filter that keeps
  // port 53: only those reach the stream, and they share chunks too, as a chunk waits 10 ms for
  // more before it goes (about 20 chunks; fewer than half unless the replay takes a second).
  packets.clear();
  expected.clear();
  for (std::uint32_t index = 0; index < 200; ++index) {
    const Bytes frame = udpFrame("10.0.0.2", 40000, "10.0.0.53", index % 2 == 0 ? 53 : 54,
                                 patternedBytes(60, static_cast<std::uint8_t>(index)));
    packets.push_back({42, index * 1000, frame});
    if (index % 2 == 0) {
      expected.push_back({42, index * 1000, static_cast<std::uint32_t>(frame.size()), frame});
    }
  }
  const Stream paced =
      replay(DLT_EN10MB, packets, 100, true, PCAP_TSTAMP_PRECISION_MICRO, "udp port 53");
  EXPECT_EQ(paced.records, expected);
  EXPECT_LE(paced.chunks, 50u);
}

// Asked for a pcap stream, the helper writes the records that the chunks would carry, one cut
// short, just as libpcap writes them: the stream is the very capture file it replays (Ethernet,
// microseconds, the longest snapshot length). Its text goes to standard error, each line marked
// as its own.
TEST(Netsiphon, WritesAPcapStreamWhenAsked) {
  const ScratchDirectory scratch;
  const std::string path = scratch.file("replay.pcap");
  std::vector<FilePacket> packets;
  for (const std::uint32_t length : {60u, 14u, 1514u, 9000u, 70'000u}) {
    packets.push_back({42, static_cast<std::uint32_t>(packets.size() * 1000),
                       patternedBytes(length, static_cast<std::uint8_t>(length)),
                       length == 60 ? 1000 : length});
  }
  writeCaptureFile(path, DLT_EN10MB, packets);
  std::ifstream file(path, std::ios::binary);
  const std::string written{std::istreambuf_iterator<char>(file), {}};
  HelperProcess helper({NETSIPHON_PATH, "--pcap", path, kInterface});
  EXPECT_TRUE(
      helper.readUntil([&](const std::string& out) { return out.size() >= written.size(); }));
  helper.send("Terminating Wirequill");
  helper.readUntil([](const std::string&) { return false; });
  helper.readErrorsUntil([](const std::string&) { return false; });
  EXPECT_EQ(helper.output, written);
  std::string marked;
  std::istringstream lines(startupText(path, kInterface) + "Closing /dev/bpf device.\n");
  for (std::string line; std::getline(lines, line);) {
    marked += "netsiphon: " + line + "\n";
  }
  EXPECT_EQ(helper.errors, marked);
}

TEST(Netsiphon, RefusesWhatItCannotUseAtItsStep) {
  const ScratchDirectory scratch;
  const std::string radio = scratch.file("radio.pcap");
  const std::string ethernet = scratch.file("ethernet.pcap");
  const std::string text = scratch.file("text.pcap");
  writeCaptureFile(radio, DLT_IEEE802_11_RADIO, {{1, 0, patternedBytes(60, 1)}});
  writeCaptureFile(ethernet, DLT_EN10MB, {{1, 0, patternedBytes(60, 1)}});
  std::ofstream(text) << "not a capture file\n";
  const std::string missing = "/nonexistent/wirequill.pcap";
  const std::string unknown = "wqnone" + std::to_string(getpid());
  const auto noInterface = [](const std::string& name) {
    return "This machine has no network interface named \"" + name + "\".\n";
  };
  const std::tuple<std::string, std::string, int, std::string> cases[] = {
      {missing, "en1", 0, missing + ": No such file or directory\n"},
      {"/dev/null", "en1", 0, "/dev/null: not a capture file or a /dev/bpf device\n"},
      {text, "en1", 0, ""},  // libpcap's reason follows
      {radio, "wlan0", 1,
       "Link type 127 (IEEE802_11_RADIO) cannot be handed out as Ethernet frames.\n"},
      {ethernet, "sixteen-chars-if", 1, "The interface name is longer than 15 characters.\n"},
      {ethernet, "", 1, "The interface name is empty.\n"},
      // Only the machine's network interfaces are captured on, never libpcap's other devices.
      {"/dev/bpf0", unknown, 1, noInterface(unknown)},
      {"/dev/bpf0", "nfqueue:7", 1, noInterface("nfqueue:7")},
  };
  for (const auto& [device, interfaceName, failing, reason] : cases) {
    HelperProcess({NETSIPHON_PATH, device, interfaceName})
        .finish(startupText(device, interfaceName, failing) + reason);
  }
  HelperProcess({NETSIPHON_PATH, "/dev/bpf0"})
      .finish("Usage: netsiphon [--pcap] DEVICE INTERFACE [FILTER]\n");
  // An expression libpcap cannot compile stops the start-up at the filter step with libpcap's own
  // reason, the one the application gets when it checks the expression. Live capture as root.
  std::vector<std::string> devices = {ethernet};
  if (geteuid() == 0) {
    devices.push_back("/dev/bpf0");
  }
  for (const std::string& device : devices) {
    for (const std::string filter : {"ud port 53", "udp port 65536", "ip broadcast"}) {
      HelperProcess({NETSIPHON_PATH, device, "lo", filter})
          .finish(startupText(device, "lo", 5, filter) + captureFilterProblem(filter).value() +
                  "\n");
    }
  }
  // However long the path it echoes, the helper's text is never taken for a chunk.
  const std::string longPath = "/" + std::string(3 * wq::kChunkLength, 'p');
  const auto cut = [](const std::string& line) { return line.substr(0, 252) + "...\n"; };
  HelperProcess({NETSIPHON_PATH, longPath, "lo"})
      .finish(cut("Attempting to open Berkeley Packet Filter device: " + longPath) +
              "Could not open Berkeley Packet Filter!\n" + cut(longPath));
  if (geteuid() == 0) {
    // Root's rights serve live capture only: run as through pkexec, the helper opens a capture
    // file with the invoking user's rights, and one that only root may read stays closed.
    chmod(ethernet.c_str(), 0600);
    const Stream closed =
        HelperProcess({"env", "-i", "PKEXEC_UID=65534", NETSIPHON_PATH, ethernet, "lo"})
            .finish(startupText(ethernet, "lo", 0));
    EXPECT_NE(closed.text.find(ethernet + ": Permission denied\n"), std::string::npos);
    // Live capture once root's rights are given up, and the question asked before it.
    const std::string unprivileged = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    HelperProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", NETSIPHON_PATH,
                   "/dev/bpf0", "lo"})
        .finish(startupText("/dev/bpf0", "lo", 0));
    EXPECT_EQ(std::system((unprivileged + NETSIPHON_PATH + " --can-capture").c_str()), 1 << 8);
    EXPECT_EQ(std::system(NETSIPHON_PATH " --can-capture"), 0);
    EXPECT_EQ(std::system((unprivileged + NETSIPHON_PATH + " --can-capture-pcap").c_str()), 1 << 8);
    EXPECT_EQ(std::system(NETSIPHON_PATH " --can-capture-pcap"), 0);
    // A network interface that merely carries a name the capture library keeps for its own
    // devices never reaches them (in a namespace of its own).
    const std::string space = "wqkept" + std::to_string(getpid());
    ASSERT_TRUE(wq::testing::runQuietly("ip netns add " + space + " && ip -n " + space +
                                        " link add nfqueue0 type veth peer name wqpeer0"));
    HelperProcess({"ip", "netns", "exec", space, NETSIPHON_PATH, "/dev/bpf0", "nfqueue0"})
        .finish(startupText("/dev/bpf0", "nfqueue0", 1) +
                "The interface \"nfqueue0\" has a name that the capture library keeps for its own "
                "devices (nfqueue); rename it to capture on it.\n");
    wq::testing::runQuietly("ip netns del " + space);
  }
}

}  // namespace
}  // namespace netsiphon::testing
