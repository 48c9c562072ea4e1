// Runs the built helper with pipes on its standard input and output, every wait bounded, and reads
// its output back: whole chunks of records, then its text.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>
#include <utility>

#include "stream/CaptureStreamFormat.h"
#include "tests/support/NetworkNamespaces.h"
#include "tools/CaptureBuilder.h"

namespace netsiphon::testing {

using wq::testing::Bytes;

inline constexpr int kExitStatus = 255;  // the helper's status whenever it stops
inline constexpr std::chrono::milliseconds kPatience(10'000);  // the longest any wait may take

// The helper (or a command that runs it) with pipes on its standard input and output.
struct HelperProcess {
  explicit HelperProcess(const std::vector<std::string>& command) {
    int toHelper[2], fromHelper[2];
    EXPECT_TRUE(pipe2(toHelper, O_CLOEXEC) == 0 && pipe2(fromHelper, O_CLOEXEC) == 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toHelper[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromHelper[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command) {
      argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(toHelper[0]);
    close(fromHelper[1]);
    input = toHelper[1];
    stream = fromHelper[0];
  }
  ~HelperProcess() {
    close(input);
    close(stream);
    if (pid > 0 && kill(pid, SIGKILL) == 0) {
      waitpid(pid, nullptr, 0);
    }
  }

  // Reads once, waiting at most kPatience; false at the end of the output or when time ran out.
  bool readSome() {
    char buffer[65536];
    const ssize_t length =
        wq::testing::readable(stream, kPatience) ? read(stream, buffer, sizeof buffer) : -1;
    output.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    ended = length == 0;
    return length > 0;
  }
  // Reads until `done(output)` holds; false when the output ended or time ran out first.
  bool readUntil(const std::function<bool(const std::string&)>& done) {
    while (!done(output) && readSome()) {
    }
    return done(output);
  }
  // Writes control text and waits until the helper has read it.
  void send(std::string_view text) {
    EXPECT_EQ(write(input, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    int unread = 0;
    for (int waited = 0;
         waited < kPatience.count() && ioctl(input, FIONREAD, &unread) == 0 && unread > 0;
         ++waited) {
      usleep(1000);
    }
  }
  // Reads to the end of the output and reaps the helper: its exit status, or nothing when it ended
  // by a signal or is killed for not ending in time.
  std::optional<int> finish() {
    while (readSome()) {
    }
    if (!ended) {
      kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(std::exchange(pid, -1), &status, 0);
    return ended && WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
  }

  pid_t pid = -1;
  int input = -1;  // the helper's standard input
  int stream = -1;
  std::string output;  // everything read from the helper's standard output so far
  bool ended = false;
};

struct Record {
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  std::uint32_t wireLength = 0;
  Bytes bytes;  // as captured
  bool operator==(const Record&) const = default;
};

struct Stream {
  std::vector<Record> records;
  std::size_t chunks = 0;
  // Every chunk holds records as the stream's format lays them out, at least one, each padded
  // with zero bytes, and zero bytes after the last.
  bool wellFormed = true;
  std::string text;  // what follows the last whole chunk
};

inline Stream parseStream(std::string_view output) {
  Stream stream;
  for (; (stream.chunks + 1) * wq::kChunkLength <= output.size(); ++stream.chunks) {
    const auto* chunk =
        reinterpret_cast<const std::uint8_t*>(output.data()) + stream.chunks * wq::kChunkLength;
    Bytes rewritten(wq::kChunkLength);  // the chunk as it should be, from the records read out
    std::size_t offset = 0;
    std::uint16_t headerLength = 0;
    while (offset + wq::kRecordHeaderLength <= wq::kChunkLength &&
           (std::memcpy(&headerLength, chunk + offset + wq::kRecordHeaderLengthOffset, 2),
            headerLength != 0)) {
      wq::RecordHeader header;
      std::memcpy(&header, chunk + offset, sizeof header);
      const std::size_t start = offset + wq::kRecordHeaderLength;
      if (header.capturedLength > wq::kChunkLength - start) {
        break;
      }
      stream.records.push_back({header.seconds, header.microseconds, header.wireLength,
                                Bytes(chunk + start, chunk + start + header.capturedLength)});
      wq::storeRecordHeader(rewritten.data() + offset, header);
      std::copy_n(chunk + start, header.capturedLength, rewritten.begin() + start);
      offset = wq::paddedRecordLength(start + header.capturedLength);
    }
    stream.wellFormed =
        stream.wellFormed && offset > 0 && std::equal(rewritten.begin(), rewritten.end(), chunk);
  }
  stream.text = output.substr(stream.chunks * wq::kChunkLength);
  return stream;
}

// The helper's text for a start-up in which every step succeeds up to `failing` (0: opening the
// device, 1: setting the interface), which fails.
inline std::string startupText(const std::string& device, const std::string& interfaceName,
                               int failing = 5) {
  const std::string lines[][3] = {
      {"Attempting to open Berkeley Packet Filter device: " + device + "...\n",
       "Successfully opened Berkeley Packet Filter.\n", "Could not open Berkeley Packet Filter!\n"},
      {"Attempting to set Berkeley Packet Filter interface: " + interfaceName + "...\n",
       "Successfully set Berkeley Packet Filter interface.\n",
       "Could not set Berkeley Packet Filter interface!\n"},
      {"Attempting to set Berkeley Packet Filter packet length...\n",
       "Successfully set Berkeley Packet Filter packet length to 4096.\n"},
      {"Attempting to set promiscuous mode...\n", "Successfully set promiscuous mode.\n"},
      {"Attempting to set immediate mode...\n", "Successfully set immediate mode.\n"}};
  std::string text;
  for (int step = 0; step < 5 && step <= failing; ++step) {
    text += lines[step][0] + lines[step][step == failing ? 2 : 1];
  }
  return text;
}

// Runs `command` to its end with no control text: the helper's exit status, and its text, which
// is `expected`, or `expected` then the reasons after a failure line ("...!").
inline void expectRefusal(const std::vector<std::string>& command, const std::string& expected) {
  HelperProcess helper(command);
  close(std::exchange(helper.input, -1));
  EXPECT_EQ(helper.finish(), kExitStatus);
  const std::string& output = helper.output;
  EXPECT_TRUE(expected.ends_with("!\n")
                  ? output.starts_with(expected) && output.size() > expected.size()
                  : output == expected)
      << output;
}

}  // namespace netsiphon::testing
