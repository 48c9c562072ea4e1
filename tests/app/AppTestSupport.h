// Shared by the application's tests: child processes run with a private environment, and
// processes found through /proc; scratch directories and capture files from the shared support.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ScratchFiles.h"

namespace wq::apptest {

using std::chrono::milliseconds;

using testing::kCaptureStart;
using testing::ScratchDirectory;
using testing::TimedFrame;
using testing::writeCaptureFile;

// The environment every run of the application gets in tests: UTC, no display, and settings and
// runtime folders of its own under `scratch`.
std::vector<std::string> isolatedEnvironment(const ScratchDirectory& scratch);

// A program started with its standard input from /dev/null and its standard output and error
// into files. A program still running when this goes out of scope is killed and reaped.
class ChildProcess {
 public:
  // `environment` holds NAME=VALUE entries that replace or add to this process's own.
  ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment,
               const ScratchDirectory& scratch);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The exit status once the program has ended, or nothing when it did not end in time (it is
  // then killed). A program ended by a signal gives 128 + the signal number.
  std::optional<int> waitForExit(milliseconds timeout);
  std::string standardOutput() const;
  std::string standardError() const;

 private:
  pid_t pid_ = -1;
  std::string outputPath_;
  std::string errorPath_;
};

std::string readFile(const std::string& path);

// The processes whose parent is `parent` and whose command name is `name`.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string& name);
// Polls until exactly one such child exists; -1 when none appeared in time.
pid_t waitForChild(pid_t parent, const std::string& name, milliseconds timeout);
// Whether `pid` has ended: no such process, or one that has exited and awaits its reaper.
bool processEnded(pid_t pid);
// Polls `processEnded`, reaping the process when it is a child of this one.
bool waitUntilEnded(pid_t pid, milliseconds timeout);

}  // namespace wq::apptest
