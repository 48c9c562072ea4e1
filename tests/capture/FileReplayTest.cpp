// The helper binary replaying capture files that the tests write, and refusing what it cannot use.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <fstream>

#include "capture/ChunkAssembler.h"
#include "tests/capture/CaptureFiles.h"
#include "tests/capture/CaptureStream.h"
#include "tests/capture/HelperProcess.h"

namespace netsiphon::testing {
namespace {

// The record the helper should write for an Ethernet packet of the file.
StreamRecord expectedRecord(const FilePacket& packet) {
  const std::size_t captured = std::min(packet.bytes.size(), kMaxCapturedLength);
  return {
      packet.seconds, packet.fraction, static_cast<std::uint32_t>(captured),
      packet.wireLength != 0 ? packet.wireLength : static_cast<std::uint32_t>(packet.bytes.size()),
      std::vector<std::uint8_t>(packet.bytes.begin(), packet.bytes.begin() + captured)};
}

auto holdsRecords(std::size_t count) {
  return [count](const std::string& output) { return parseStream(output).records.size() >= count; };
}

class FileReplay : public ::testing::Test {
 protected:
  std::unique_ptr<HelperProcess> replay(int linkType, const std::vector<FilePacket>& packets,
                                        int precision = PCAP_TSTAMP_PRECISION_MICRO) {
    writeCaptureFile(path, linkType, packets, precision);
    return std::make_unique<HelperProcess>(HelperOptions{.command = {NETSIPHON_PATH, path, "en1"}});
  }

  // Reads `count` records, stops the helper with the termination line or by closing its standard
  // input, and checks how it ended.
  ParsedStream replayAndStop(HelperProcess& helper, std::size_t count, bool sendTermination) {
    EXPECT_TRUE(helper.readUntil(holdsRecords(count), kPatience));
    EXPECT_EQ(parseStream(helper.output()).text, "") << "text before the helper was stopped";
    if (sendTermination) {
      helper.sendControl("Terminating Wirequill");
    } else {
      helper.closeControl();
    }
    EXPECT_EQ(helper.finish(kPatience), kExitStatus);
    ParsedStream stream = parseStream(helper.output());
    EXPECT_EQ(stream.problems, std::vector<std::string>{});
    EXPECT_EQ(stream.text, expectedStartupText(path, "en1") + "Closing /dev/bpf device.\n");
    return stream;
  }

  ScratchDirectory folder;
  std::string path = folder.file("replay.pcap");
};

TEST_F(FileReplay, RelaysEveryPacketInOrderWithItsTimesAndLengthsThenObeysTheTerminationLine) {
  std::vector<FilePacket> packets;
  const std::size_t lengths[] = {
      60, 0, 61, 62, 63, 1514, kMaxCapturedLength, kMaxCapturedLength + 1, 9000};
  // 1 ms apart, across a second boundary.
  std::uint64_t microseconds = 1'700'000'000'999'990;
  for (const std::size_t length : lengths) {
    packets.push_back({static_cast<std::uint32_t>(microseconds / 1'000'000),
                       static_cast<std::uint32_t>(microseconds % 1'000'000),
                       patternedBytes(length, static_cast<std::uint8_t>(length))});
    microseconds += 1'000;
  }
  packets[3].wireLength = 1000;  // captured with a short snapshot length
  auto helper = replay(DLT_EN10MB, packets);

  const ParsedStream stream = replayAndStop(*helper, packets.size(), true);
  ASSERT_EQ(stream.records.size(), packets.size());
  for (std::size_t index = 0; index < packets.size(); ++index) {
    EXPECT_EQ(stream.records[index], expectedRecord(packets[index])) << "packet " << index;
  }
  EXPECT_LT(stream.records[8].capturedLength, stream.records[8].wireLength);
}

TEST_F(FileReplay, PacksPacketsDueTogetherIntoFullChunksAndStopsAtEndOfControlInput) {
  // 100-byte packets make 120-byte records, 34 to a chunk.
  std::vector<FilePacket> packets;
  for (std::size_t index = 0; index < 500; ++index) {
    packets.push_back({42, 0, patternedBytes(100, static_cast<std::uint8_t>(index))});
  }
  auto helper = replay(DLT_EN10MB, packets);

  const ParsedStream stream = replayAndStop(*helper, packets.size(), false);
  EXPECT_EQ(stream.chunkCount, (500 + 33) / 34);
  ASSERT_EQ(stream.records.size(), packets.size());
  for (std::size_t index = 0; index < packets.size(); ++index) {
    EXPECT_EQ(stream.records[index], expectedRecord(packets[index])) << "packet " << index;
  }
}

TEST_F(FileReplay, HandsOutCookedCapturesAsEthernetFrames) {
  const std::vector<std::uint8_t> ip = {0x45, 0, 0,  20, 1, 2, 3,  4, 64, 17,
                                        0,    0, 10, 0,  0, 1, 10, 0, 0,  2};
  std::vector<std::uint8_t> cooked = {0, 4, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0, 0x08, 0x00};
  cooked.insert(cooked.end(), ip.begin(), ip.end());
  auto helper = replay(DLT_LINUX_SLL, {{5, 6, cooked, 60}, {5, 7, {0, 4, 0, 1}, 4}});

  const ParsedStream stream = replayAndStop(*helper, 1, true);
  ASSERT_EQ(stream.records.size(), 1u) << "the packet cut short in its header is skipped";
  std::vector<std::uint8_t> expected(12, 0);
  expected.insert(expected.end(), {0x08, 0x00});
  expected.insert(expected.end(), ip.begin(), ip.end());
  EXPECT_EQ(stream.records[0], (StreamRecord{5, 6, 34, 60 - 16 + 14, expected}));
}

TEST_F(FileReplay, GivesMicrosecondsForNanosecondCaptures) {
  auto helper =
      replay(DLT_EN10MB, {{7, 123'456'789, patternedBytes(60, 1)}}, PCAP_TSTAMP_PRECISION_NANO);
  const ParsedStream stream = replayAndStop(*helper, 1, true);
  ASSERT_EQ(stream.records.size(), 1u);
  EXPECT_EQ(stream.records[0].seconds, 7u);
  EXPECT_EQ(stream.records[0].microseconds, 123'456u);
}

TEST_F(FileReplay, KeepsTheRecordedPaceAndIgnoresOtherControlText) {
  constexpr milliseconds kGap(400);
  const auto started = std::chrono::steady_clock::now();
  auto helper = replay(
      DLT_EN10MB, {{10, 0, patternedBytes(60, 1)},
                   {10, static_cast<std::uint32_t>(kGap.count() * 1000), patternedBytes(60, 2)}});
  ASSERT_TRUE(helper->readUntil(holdsRecords(1), kPatience));
  // Not the termination line: a line end follows it. The helper relays the second packet.
  helper->sendControl("Terminating Wirequill\n");
  ASSERT_TRUE(helper->readUntil(holdsRecords(2), kPatience));
  EXPECT_GE(std::chrono::steady_clock::now() - started, kGap);
  helper->sendControl("Terminating Wirequill");
  EXPECT_EQ(helper->finish(kPatience), kExitStatus);
  EXPECT_EQ(parseStream(helper->output()).text,
            expectedStartupText(path, "en1") + "Closing /dev/bpf device.\n");
}

TEST_F(FileReplay, RefusesCaptureFilesItCannotUse) {
  writeCaptureFile(path, DLT_IEEE802_11_RADIO, {{1, 0, patternedBytes(60, 1)}});
  EXPECT_EQ(runHelper({path, "wlan0"}).output,
            "Attempting to open Berkeley Packet Filter device: " + path +
                "...\n"
                "Successfully opened Berkeley Packet Filter.\n"
                "Attempting to set Berkeley Packet Filter interface: wlan0...\n"
                "Could not set Berkeley Packet Filter interface!\n"
                "Link type 127 (IEEE802_11_RADIO) cannot be handed out as Ethernet frames.\n");

  std::ofstream(path) << "not a capture file\n";
  const HelperResult textFile = runHelper({path, "en1"});
  EXPECT_EQ(textFile.status, kExitStatus);
  EXPECT_TRUE(textFile.output.starts_with("Attempting to open Berkeley Packet Filter device: " +
                                          path + "...\nCould not open Berkeley Packet Filter!\n"))
      << textFile.output;
}

TEST(FileReplayArguments, AnswerMissingArgumentsWithTheUsageLine) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, std::vector<std::string>{"/dev/bpf0"}}) {
    const HelperResult result = runHelper(arguments);
    EXPECT_EQ(result.status, kExitStatus);
    EXPECT_EQ(result.output, "Usage: netsiphon DEVICE INTERFACE\n");
  }
}

TEST(FileReplayArguments, FailTheOpenStepForPathsThatAreNeitherFilesNorCaptureDevices) {
  const HelperResult missing = runHelper({"/nonexistent/wirequill.pcap", "en1"});
  EXPECT_EQ(missing.status, kExitStatus);
  EXPECT_EQ(missing.output,
            "Attempting to open Berkeley Packet Filter device: /nonexistent/wirequill.pcap...\n"
            "Could not open Berkeley Packet Filter!\n"
            "/nonexistent/wirequill.pcap: No such file or directory\n");

  const HelperResult device = runHelper({"/dev/null", "en1"});
  EXPECT_EQ(device.status, kExitStatus);
  EXPECT_EQ(device.output,
            "Attempting to open Berkeley Packet Filter device: /dev/null...\n"
            "Could not open Berkeley Packet Filter!\n"
            "/dev/null: not a capture file or a /dev/bpf device\n");
}

TEST(FileReplayArguments, FailTheInterfaceStepForNamesTooLongForTheKernel) {
  ScratchDirectory folder;
  const std::string path = folder.file("one.pcap");
  writeCaptureFile(path, DLT_EN10MB, {{1, 0, patternedBytes(60, 1)}});
  const HelperResult result = runHelper({path, "sixteen-chars-if"});
  EXPECT_EQ(result.status, kExitStatus);
  EXPECT_EQ(result.output,
            "Attempting to open Berkeley Packet Filter device: " + path +
                "...\n"
                "Successfully opened Berkeley Packet Filter.\n"
                "Attempting to set Berkeley Packet Filter interface: sixteen-chars-if...\n"
                "Could not set Berkeley Packet Filter interface!\n"
                "The interface name is longer than 15 characters.\n");
}

}  // namespace
}  // namespace netsiphon::testing
