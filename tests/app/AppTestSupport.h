// Shared by the application's tests: a private environment for this process and the programs it
// starts, and the capture helper found, watched and reaped through /proc.
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

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
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
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

}  // namespace wq::apptest
