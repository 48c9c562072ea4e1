#include "tests/capture/HelperProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <stdexcept>

namespace netsiphon::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::array<int, 2> makePipe() {
  std::array<int, 2> ends{};
  if (pipe2(ends.data(), O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  return ends;
}

// Runs in the child between fork and exec: only async-signal-safe calls and no return.
[[noreturn]] void execHelper(const HelperOptions& options, int control, int stream,
                             std::vector<char*>& argv, std::vector<char*>& envp) {
  dup2(control, STDIN_FILENO);
  dup2(stream, STDOUT_FILENO);
  if (options.runAs &&
      (setgroups(0, nullptr) != 0 || setgid(*options.runAs) != 0 || setuid(*options.runAs) != 0)) {
    _exit(127);
  }
  execve(argv[0], argv.data(), envp.data());
  _exit(127);
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

int remainingMilliseconds(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<milliseconds::rep>(left.count(), 0));
}

}  // namespace

HelperProcess::HelperProcess(const HelperOptions& options) {
  const std::array<int, 2> control = makePipe();
  const std::array<int, 2> stream = makePipe();
  std::vector<std::string> command = options.command;
  std::vector<char*> argv = pointersTo(command);
  std::vector<std::string> environment = options.environment;
  for (char** setting = environ; *setting != nullptr; ++setting) {
    environment.emplace_back(*setting);
  }
  std::vector<char*> envp = pointersTo(environment);
  pid_ = fork();
  if (pid_ == 0) {
    execHelper(options, control[0], stream[1], argv, envp);
  }
  close(control[0]);
  close(stream[1]);
  control_ = control[1];
  stream_ = stream[0];
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
}

HelperProcess::~HelperProcess() {
  closeControl();
  if (stream_ >= 0) {
    close(stream_);
  }
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool HelperProcess::readOnce(milliseconds timeout) {
  pollfd readable{stream_, POLLIN, 0};
  if (poll(&readable, 1, static_cast<int>(timeout.count())) <= 0) {
    return false;
  }
  std::array<char, 65536> buffer{};
  const ssize_t length = read(stream_, buffer.data(), buffer.size());
  if (length <= 0) {
    return false;
  }
  output_.append(buffer.data(), static_cast<std::size_t>(length));
  return true;
}

bool HelperProcess::readUntil(const std::function<bool(const std::string&)>& done,
                              milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!done(output_)) {
    if (!readOnce(milliseconds(remainingMilliseconds(deadline)))) {
      return done(output_);
    }
  }
  return true;
}

void HelperProcess::sendControl(std::string_view text) {
  if (write(control_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("control write failed");
  }
}

void HelperProcess::closeControl() {
  if (control_ >= 0) {
    close(control_);
    control_ = -1;
  }
}

std::optional<int> HelperProcess::finish(milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  while (readOnce(milliseconds(remainingMilliseconds(deadline)))) {
  }
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(pid_, &status, WNOHANG);
    if (ended == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
    }
    if (Clock::now() >= deadline) {
      return std::nullopt;  // the destructor kills it
    }
    usleep(10'000);
  }
}

HelperResult runHelper(const std::vector<std::string>& arguments) {
  std::vector<std::string> command{NETSIPHON_PATH};
  command.insert(command.end(), arguments.begin(), arguments.end());
  HelperProcess helper({.command = command});
  helper.closeControl();
  const std::optional<int> status = helper.finish(kPatience);
  return {status, helper.output()};
}

std::string expectedStartupText(const std::string& device, const std::string& interfaceName) {
  return "Attempting to open Berkeley Packet Filter device: " + device +
         "...\n"
         "Successfully opened Berkeley Packet Filter.\n"
         "Attempting to set Berkeley Packet Filter interface: " +
         interfaceName +
         "...\n"
         "Successfully set Berkeley Packet Filter interface.\n"
         "Attempting to set Berkeley Packet Filter packet length...\n"
         "Successfully set Berkeley Packet Filter packet length to 4096.\n"
         "Attempting to set promiscuous mode...\n"
         "Successfully set promiscuous mode.\n"
         "Attempting to set immediate mode...\n"
         "Successfully set immediate mode.\n";
}

}  // namespace netsiphon::testing
