// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built helper with pipes on its standard input and output, every wait bounded, and reads
// its output back: whole chunks of records, then its text.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <utility>

#include "stream/CaptureStreamFormat.h"
#include "tools/CaptureBuilder.h"

namespace netsiphon::testing {

using wq::testing::Bytes;

inline constexpr int kPatienceMs = 10'000;  // the longest any wait may take

struct Record {
  std::uint32_t seconds, microseconds, wireLength;
  Bytes bytes;  // as captured
  bool operator==(const Record&) const = default;
};

struct Stream {
  std::vector<Record> records;
  std::size_t chunks = 0;
  // Every chunk holds records as the stream's format lays them out, at least one, each padded
  // with zero bytes, and zero bytes after the last; a record too long for a chunk has chunks of
  // its own.
  bool wellFormed = true;
  std::string text;  // what follows the last whole chunk
};

inline Stream parseStream(std::string_view output) {
  Stream stream;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(output.data());
  std::size_t at = 0;  // where the next chunk starts
  while (at + wq::kChunkLength <= output.size()) {
    const std::uint8_t* chunk = bytes + at;
    wq::RecordHeader header;
    std::memcpy(&header, chunk, sizeof header);
    const std::size_t length =
        wq::chunksForRecord(wq::kRecordHeaderLength + header.capturedLength) * wq::kChunkLength;
    if (header.capturedLength > wq::kMaxSnapshotLength || at + length > output.size()) {
      break;
    }
    Bytes rewritten(length);  // the chunks as they should be, from the records read out
    std::size_t offset = 0;
    std::size_t records = 0;
    // A record's header length is 18 or, after the last, zero: its low byte tells which.
    while (offset + wq::kRecordHeaderLength <= length &&
           chunk[offset + wq::kRecordHeaderLengthOffset] != 0 &&
           (std::memcpy(&header, chunk + offset, sizeof header),
            header.capturedLength <= length - offset - wq::kRecordHeaderLength)) {
      const std::size_t start = offset + wq::kRecordHeaderLength;
      stream.records.push_back({header.seconds, header.microseconds, header.wireLength,
                                Bytes(chunk + start, chunk + start + header.capturedLength)});
      wq::storeRecordHeader(rewritten.data() + offset, header);
      std::copy_n(chunk + start, header.capturedLength, rewritten.begin() + start);
      offset = wq::paddedRecordLength(start + header.capturedLength);
      ++records;
    }
    stream.wellFormed = stream.wellFormed && records > 0 &&
                        (length == wq::kChunkLength || records == 1) &&
                        std::equal(rewritten.begin(), rewritten.end(), chunk);
    stream.chunks += length / wq::kChunkLength;
    at += length;
  }
  stream.text = output.substr(at);
  return stream;
}

// The helper (or a command that runs it) with pipes on its standard input, output and error.
struct HelperProcess {
  explicit HelperProcess(const std::vector<std::string>& command) {
    int pipes[3][2];  // to its standard input, from its standard output and error
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int descriptor = 0; descriptor < 3; ++descriptor) {
      EXPECT_EQ(pipe2(pipes[descriptor], O_CLOEXEC), 0);
      posix_spawn_file_actions_adddup2(&actions, pipes[descriptor][descriptor != 0], descriptor);
    }
    std::vector<char*> argv;
    for (const std::string& word : command) {
      argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    for (int descriptor = 0; descriptor < 3; ++descriptor) {
      close(pipes[descriptor][descriptor != 0]);  // the helper's ends
    }
    input = pipes[0][1];
    stream = pipes[1][0];
    errorStream = pipes[2][0];
  }
  ~HelperProcess() {
    close(input);
    close(stream);
    close(errorStream);
    if (pid > 0 && kill(pid, SIGKILL) == 0) {
      waitpid(pid, nullptr, 0);
    }
  }

  // Reads until `done(output)` holds, each read waiting at most kPatienceMs; false when the
  // output ended or time ran out first.
  bool readUntil(const std::function<bool(const std::string&)>& done,
                 int patienceMs = kPatienceMs) {
    return readFrom(stream, output, done, patienceMs);
  }
  // The same for its standard error.
  bool readErrorsUntil(const std::function<bool(const std::string&)>& done,
                       int patienceMs = kPatienceMs) {
    return readFrom(errorStream, errors, done, patienceMs);
  }
  // Writes control text and waits until the helper has read it.
  void send(std::string_view text) {
    EXPECT_EQ(write(input, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    int unread = 0;
    for (int waited = 0; waited < kPatienceMs && ioctl(input, FIONREAD, &unread) == 0 && unread > 0;
         ++waited) {
      usleep(1000);
    }
  }
  // Reads to the end of the output and reaps the helper, which must exit with status 255 and
  // well-formed chunks, then `text`, or `text` then the reasons after a failure line ("...!").
  // A helper that refuses to start ends without control text.
  Stream finish(const std::string& text) {
    readUntil([](const std::string&) { return false; });
    int status = 0;
    kill(pid, SIGKILL);  // a helper still running when the wait runs out has failed
    waitpid(std::exchange(pid, -1), &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
    const Stream parsed = parseStream(output);
    EXPECT_TRUE(parsed.wellFormed);
    EXPECT_TRUE(text.ends_with("!\n")
                    ? parsed.text.starts_with(text) && parsed.text.size() > text.size()
                    : parsed.text == text)
        << parsed.text;
    return parsed;
  }

  pid_t pid = -1;
  int input = -1;  // the helper's standard input
  int stream = -1;
  int errorStream = -1;
  std::string output;  // everything read from the helper's standard output so far
  std::string errors;  // and from its standard error

 private:
  static bool readFrom(int descriptor, std::string& read,
                       const std::function<bool(const std::string&)>& done, int patienceMs) {
    char buffer[65536];
    pollfd waited{descriptor, POLLIN, 0};
    for (ssize_t length = 1; length > 0 && !done(read);) {
      length = poll(&waited, 1, patienceMs) == 1 ? ::read(descriptor, buffer, sizeof buffer) : 0;
      read.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    }
    return done(read);
  }
};

// The helper's text for a start-up in which every step succeeds up to `failing` (0: opening the
// device, 1: setting the interface, 5: setting the filter), which fails. The filter step is told
// only when a filter is given.
inline std::string startupText(const std::string& device, const std::string& interfaceName,
                               int failing = 6, const std::string& filter = "") {
  const std::string bpf = "Berkeley Packet Filter";
  // Each step's attempt, its success and its failure.
  const std::string steps[][3] = {
      {"open " + bpf + " device: " + device, "opened " + bpf, "open " + bpf},
      {"set " + bpf + " interface: " + interfaceName, "set " + bpf + " interface",
       "set " + bpf + " interface"},
      {"set " + bpf + " packet length", "set " + bpf + " packet length to 4096"},
      {"set promiscuous mode", "set promiscuous mode"},
      {"set immediate mode", "set immediate mode"},
      {"set capture filter: " + filter, "set capture filter", "set capture filter"}};
  std::string text;
  for (int step = 0; step <= std::min(failing, filter.empty() ? 4 : 5); ++step) {
    text += "Attempting to " + steps[step][0] + "...\n" +
            (step == failing ? "Could not " + steps[step][2] + "!\n"
                             : "Successfully " + steps[step][1] + ".\n");
  }
  return text;
}

}  // namespace netsiphon::testing
