// SPDX-License-Identifier: GPL-3.0-or-later
// Records per second that netsiphon relays from a large capture file with pacing off
// (NETSIPHON_NO_PACING=1), its standard output drained through a pipe by the benchmark.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/Messages.h"
#include "stream/CaptureStreamFormat.h"
#include "tests/support/ScratchFiles.h"

extern char** environ;

namespace {

using wq::kChunkLength;
using wq::kRecordHeaderLength;

wq::testing::ScratchDirectory& scratch() {
  static wq::testing::ScratchDirectory folder;
  return folder;
}

// One capture file per packet size and count, written on first use.
const std::string& captureFile(std::size_t packetLength, std::size_t count) {
  static std::map<std::pair<std::size_t, std::size_t>, std::string> files;
  auto [entry, added] = files.try_emplace({packetLength, count});
  if (added) {
    entry->second = scratch().file("bench-" + std::to_string(packetLength) + "-" +
                                   std::to_string(count) + ".pcap");
    std::vector<wq::testing::FilePacket> packets(count);
    for (std::size_t index = 0; index < count; ++index) {
      packets[index] = {
          static_cast<std::uint32_t>(index / 1000), static_cast<std::uint32_t>(index % 1000 * 1000),
          wq::testing::patternedBytes(packetLength, static_cast<std::uint8_t>(index))};
    }
    wq::testing::writeCaptureFile(entry->second, DLT_EN10MB, packets);
  }
  return entry->second;
}

std::size_t recordsIn(const char* chunk) {
  std::size_t records = 0;
  std::size_t offset = 0;
  std::uint16_t headerLength = 0;
  while (offset + kRecordHeaderLength <= kChunkLength &&
         (std::memcpy(&headerLength, chunk + offset + wq::kRecordHeaderLengthOffset, 2),
          headerLength != 0)) {
    std::uint32_t captured = 0;
    std::memcpy(&captured, chunk + offset + wq::kRecordCapturedLengthOffset, 4);
    offset += wq::paddedRecordLength(kRecordHeaderLength + captured);
    ++records;
  }
  return records;
}

// Runs the helper on `path` and reads its chunks until `expected` records have come.
void relayOnce(const std::string& path, std::size_t expected) {
  std::array<int, 2> control{};
  std::array<int, 2> stream{};
  if (pipe2(control.data(), O_CLOEXEC) != 0 || pipe2(stream.data(), O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, control[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, stream[1], STDOUT_FILENO);
  std::vector<std::string> environment{"NETSIPHON_NO_PACING=1"};
  for (char** setting = environ; *setting != nullptr; ++setting) {
    environment.emplace_back(*setting);
  }
  std::vector<char*> envp;
  for (std::string& setting : environment) {
    envp.push_back(setting.data());
  }
  envp.push_back(nullptr);
  std::string program = NETSIPHON_PATH;
  std::string interfaceName = "en1";
  std::string file = path;
  char* argv[] = {program.data(), file.data(), interfaceName.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data()) != 0) {
    throw std::runtime_error("cannot start netsiphon");
  }
  posix_spawn_file_actions_destroy(&actions);
  close(control[0]);
  close(stream[1]);

  std::vector<char> buffer(16 * kChunkLength);
  std::size_t filled = 0;
  std::size_t records = 0;
  while (records < expected) {
    const ssize_t length = read(stream[0], buffer.data() + filled, buffer.size() - filled);
    if (length <= 0) {
      throw std::runtime_error("netsiphon ended early");
    }
    filled += static_cast<std::size_t>(length);
    const std::size_t whole = filled / kChunkLength * kChunkLength;
    for (std::size_t offset = 0; offset < whole; offset += kChunkLength) {
      records += recordsIn(buffer.data() + offset);
    }
    std::memmove(buffer.data(), buffer.data() + whole, filled - whole);
    filled -= whole;
  }
  const std::string_view termination = netsiphon::kTerminationLine;
  if (write(control[1], termination.data(), termination.size()) < 0) {
    throw std::runtime_error("cannot stop netsiphon");
  }
  while (read(stream[0], buffer.data(), buffer.size()) > 0) {
  }
  close(control[1]);
  close(stream[0]);
  waitpid(pid, nullptr, 0);
}

void relayCaptureFile(benchmark::State& state) {
  const auto packetLength = static_cast<std::size_t>(state.range(0));
  const auto count = static_cast<std::size_t>(state.range(1));
  const std::string& path = captureFile(packetLength, count);
  for (auto _ : state) {
    relayOnce(path, count);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(count * packetLength));
}

BENCHMARK(relayCaptureFile)
    ->ArgNames({"bytes", "packets"})
    ->Args({64, 1'000'000})
    ->Args({1514, 200'000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
