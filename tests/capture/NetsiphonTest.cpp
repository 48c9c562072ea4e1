// The built helper replaying capture files that the tests write, and refusing what it cannot use.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <fstream>

#include "capture/ChunkAssembler.h"
#include "tests/capture/HelperProcess.h"
#include "tests/support/ScratchFiles.h"

namespace netsiphon::testing {
namespace {

using namespace wq::testing;
using namespace std::literals;

const std::string kInterface = "fifteen-chars-x";  // the longest name the kernel takes

// Replays a capture file of `packets` and stops the helper once `count` records are out: by the
// termination line, else by closing its standard input. Other control text, sent after the first
// record, changes nothing.
Stream replay(int linkType, const std::vector<FilePacket>& packets, std::size_t count,
              bool byTerminationLine, int precision = PCAP_TSTAMP_PRECISION_MICRO) {
  const ScratchDirectory scratch;
  const std::string path = scratch.file("replay.pcap");
  writeCaptureFile(path, linkType, packets, precision);
  HelperProcess helper({NETSIPHON_PATH, path, kInterface});
  const auto holds = [](std::size_t records) {
    return [records](const std::string& out) { return parseStream(out).records.size() >= records; };
  };
  EXPECT_TRUE(helper.readUntil(holds(1)));
  for (const std::string_view text : {"Terminating Wirequill\n"sv, "Terminating Wirequill\0"sv,
                                      "Terminating Wirequil"sv, "terminating wirequill"sv}) {
    helper.send(text);
  }
  EXPECT_TRUE(helper.readUntil(holds(count)));
  EXPECT_EQ(parseStream(helper.output).text, "") << "text before the helper stops";
  if (byTerminationLine) {
    helper.send("Terminating Wirequill");
  } else {
    close(std::exchange(helper.input, -1));
  }
  EXPECT_EQ(helper.finish(), kExitStatus);
  const Stream stream = parseStream(helper.output);
  EXPECT_TRUE(stream.wellFormed);
  EXPECT_EQ(stream.text, startupText(path, kInterface) + "Closing /dev/bpf device.\n");
  return stream;
}

// The records of Ethernet packets: cut to what a chunk holds, with their lengths on the wire.
std::vector<Record> recordsOf(const std::vector<FilePacket>& packets) {
  std::vector<Record> records;
  for (const FilePacket& packet : packets) {
    const auto length = static_cast<std::uint32_t>(packet.bytes.size());
    records.push_back(
        {packet.seconds, packet.fraction, std::max(packet.wireLength, length),
         Bytes(packet.bytes.begin(),
               packet.bytes.begin() + std::min<std::size_t>(length, kMaxCapturedLength))});
  }
  return records;
}

TEST(Netsiphon, RelaysFramesOfEverySizeAtTheirRecordedPaceUntilTheTerminationLine) {
  std::vector<FilePacket> packets;
  for (const std::size_t length :
       {60ul, 0ul, 61ul, 62ul, 63ul, 1514ul, kMaxCapturedLength, kMaxCapturedLength + 1, 9000ul}) {
    // 1 ms apart from just before a second boundary on, the last 400 ms later.
    const std::uint64_t at =
        1'700'000'000'999'990 + (packets.size() < 8 ? packets.size() * 1'000 : 400'000);
    packets.push_back({static_cast<std::uint32_t>(at / 1'000'000),
                       static_cast<std::uint32_t>(at % 1'000'000),
                       patternedBytes(length, static_cast<std::uint8_t>(length))});
  }
  packets[3].wireLength = 1000;  // captured with a short snapshot length
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(replay(DLT_EN10MB, packets, packets.size(), true).records, recordsOf(packets));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
}

TEST(Netsiphon, PacksFramesDueTogetherIntoFullChunksAndStopsAtTheEndOfItsInput) {
  std::vector<FilePacket> packets;
  for (std::size_t index = 0; index < 500; ++index) {
    packets.push_back({42, 0, patternedBytes(110, static_cast<std::uint8_t>(index))});
  }
  const Stream stream = replay(DLT_EN10MB, packets, packets.size(), false);
  EXPECT_EQ(stream.records, recordsOf(packets));
  EXPECT_EQ(stream.chunks, (500 + 31) / 32) << "110-byte frames make 128-byte records, 32 a chunk";
}

TEST(Netsiphon, HandsOutCookedFramesAsEthernetWithMicrosecondTimes) {
  std::vector<FilePacket> packets;
  std::vector<Record> expected;
  for (const Bytes& payload : {bytesOf("cooked"), patternedBytes(4060, 1)}) {
    Bytes converted = udpFrame("10.0.0.1", 1000, "10.0.0.2", 2000, payload);
    std::fill_n(converted.begin(), 12, 0);  // zero addresses
    Bytes cooked = {0, 4, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 0x08, 0x00};
    cooked.insert(cooked.end(), converted.begin() + 14, converted.end());
    packets.push_back({7, 123'456'789, cooked, 5000});
    converted.resize(std::min(converted.size(), kMaxCapturedLength));  // cut to what a chunk holds
    expected.push_back({7, 123'456, 5000 - 16 + 14, converted});
  }
  packets.push_back({7, 123'456'999, {0, 4}});  // cut short in its link header: skipped
  EXPECT_EQ(replay(DLT_LINUX_SLL, packets, 2, true, PCAP_TSTAMP_PRECISION_NANO).records, expected);
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
  const std::tuple<std::string, std::string, int, std::string> cases[] = {
      {missing, "en1", 0, missing + ": No such file or directory\n"},
      {"/dev/null", "en1", 0, "/dev/null: not a capture file or a /dev/bpf device\n"},
      {text, "en1", 0, ""},  // libpcap's reason follows
      {radio, "wlan0", 1,
       "Link type 127 (IEEE802_11_RADIO) cannot be handed out as Ethernet frames.\n"},
      {ethernet, "sixteen-chars-if", 1, "The interface name is longer than 15 characters.\n"},
      {ethernet, "", 1, "The interface name is empty.\n"},
  };
  for (const auto& [device, interfaceName, failing, reason] : cases) {
    expectRefusal({NETSIPHON_PATH, device, interfaceName},
                  startupText(device, interfaceName, failing) + reason);
  }
  expectRefusal({NETSIPHON_PATH, "/dev/bpf0"}, "Usage: netsiphon DEVICE INTERFACE\n");
}

}  // namespace
}  // namespace netsiphon::testing
