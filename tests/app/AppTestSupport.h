// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the application's tests: a private environment for this process and the programs it
// starts, the capture helper found, watched and reaped through /proc, scripts and programs run
// here, and datagrams sent between network namespaces.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>

#include <QProcess>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/NetworkNamespaces.h"
#include "tests/support/ScratchFiles.h"

namespace wq::apptest {

using std::chrono::milliseconds;

// UTC, no display, and settings and runtime folders of their own under `scratch`.
inline void isolateEnvironment(const testing::ScratchDirectory& scratch) {
  setenv("TZ", "UTC", 1);
  tzset();
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("XDG_CONFIG_HOME", scratch.subdirectory("config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", scratch.subdirectory("runtime").c_str(), 1);
}

inline std::string readFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// /proc/PID/NAME; empty when there is no such process.
inline std::string procFile(pid_t pid, const std::string& name) {
  return readFile("/proc/" + std::to_string(pid) + "/" + name);
}

// A shell script at `path` that anyone may run.
inline void writeScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
}

// What `program` run with `arguments` to its end wrote on its standard output.
inline std::string outputOf(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  process.waitForFinished(30'000);
  return process.readAllStandardOutput().toStdString();
}

// Polls `done` until it holds; false when `timeout` passed first.
template <class Condition>
bool pollUntil(Condition done, milliseconds timeout) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout; !done();) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

// Whether `pid` has ended: no such process, or one that awaits its reaper.
inline bool processEnded(pid_t pid) {
  const std::string stat = procFile(pid, "stat");
  const std::size_t close = stat.rfind(") ");
  return close == std::string::npos || stat[close + 2] == 'Z' || stat[close + 2] == 'X';
}

// Polls `processEnded`, reaping the process when it is a child of this one.
inline bool waitUntilEnded(pid_t pid, milliseconds timeout) {
  return pollUntil([pid] { return waitpid(pid, nullptr, WNOHANG), processEnded(pid); }, timeout);
}

// A child of `parent`'s main thread running the program `name`; -1 when none appeared in time.
inline pid_t waitForChild(pid_t parent, const std::string& name, milliseconds timeout) {
  const std::string task = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent);
  pid_t found = -1;
  pollUntil(
      [&] {
        std::istringstream children(readFile(task + "/children"));
        for (pid_t child; children >> child;) {
          // Named at exec, its command line a moment later; one that has ended keeps its name.
          const std::string proc = "/proc/" + std::to_string(child);
          if (readFile(proc + "/comm") == name + "\n" &&
              (!readFile(proc + "/cmdline").empty() || processEnded(child))) {
            found = child;
          }
        }
        return found > 0;
      },
      timeout);
  return found;
}

// The capture helper that `parent` started, once its capture is active (it has given up root);
// -1 when that did not happen in time.
inline pid_t capturingHelper(pid_t parent, milliseconds timeout) {
  const pid_t helper = waitForChild(parent, "netsiphon", timeout);
  return helper > 0 && testing::waitUntilUnprivileged(helper, timeout) ? helper : -1;
}

// `count` datagrams of 32 bytes from namespace `from` to a socket bound at `address`:`port` in
// namespace `to` (no port-unreachable answers), `pause` apart; false when one was not sent.
inline bool sendDatagrams(const std::string& from, const std::string& to,
                          const std::string& address, std::uint16_t port, int count,
                          milliseconds pause) {
  const testing::Descriptor receiver = testing::socketIn(to, SOCK_DGRAM);
  const testing::Descriptor sender = testing::socketIn(from, SOCK_DGRAM);
  const sockaddr_in at = testing::socketAddress(address, port);
  const auto* where = reinterpret_cast<const sockaddr*>(&at);
  const std::string payload(32, 'd');
  bool sent = bind(receiver.get(), where, sizeof at) == 0;
  for (int i = 0; sent && i < count; ++i, std::this_thread::sleep_for(pause)) {
    sent = sendto(sender.get(), payload.data(), 32, 0, where, sizeof at) == 32;
  }
  return sent;
}

}  // namespace wq::apptest
