// Runs the netsiphon binary with pipes on its standard input and output, every wait bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netsiphon::testing {

using std::chrono::milliseconds;

inline constexpr int kExitStatus = 255;           // the helper's status whenever it stops
inline constexpr milliseconds kPatience(10'000);  // the longest any wait on the helper may take

struct HelperOptions {
  std::vector<std::string> command{};      // program and arguments
  std::vector<std::string> environment{};  // NAME=VALUE, added to the test's own environment
  std::optional<uid_t> runAs{};            // switch to this uid (and gid) before running
};

class HelperProcess {
 public:
  explicit HelperProcess(const HelperOptions& options);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Everything read from the helper's standard output so far.
  const std::string& output() const { return output_; }

  // Reads until `done(output())` holds; false when the output ended or time ran out first.
  bool readUntil(const std::function<bool(const std::string&)>& done, milliseconds timeout);
  void sendControl(std::string_view text);
  void closeControl();
  // Reads to the end of the output and waits for the exit: the exit status, or nothing when the
  // helper did not end in time (it is killed then) or ended by a signal.
  std::optional<int> finish(milliseconds timeout);

 private:
  // Reads once if output arrives within `timeout`; false at the end of the output or on timeout.
  bool readOnce(milliseconds timeout);

  pid_t pid_ = -1;
  int control_ = -1;
  int stream_ = -1;
  std::string output_;
};

// Runs the helper with `arguments` and no control text; returns its exit status and output.
struct HelperResult {
  std::optional<int> status;
  std::string output;
};
HelperResult runHelper(const std::vector<std::string>& arguments);

// The helper's text for a start-up in which every step succeeds.
std::string expectedStartupText(const std::string& device, const std::string& interfaceName);

}  // namespace netsiphon::testing
