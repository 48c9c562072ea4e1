#include "tests/app/AppTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace wq::apptest {

namespace {

constexpr milliseconds kPollInterval(10);

bool timeLeft(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::steady_clock::now() < deadline;
}

// Fields of /proc/PID/stat after the command name: the state, then the parent's pid.
bool processStat(pid_t pid, std::string* name, char* state, pid_t* parent) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t open = stat.find('(');
  const std::size_t close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close + 4 >= stat.size()) {
    return false;
  }
  *name = stat.substr(open + 1, close - open - 1);
  std::istringstream rest(stat.substr(close + 2));
  return static_cast<bool>(rest >> *state >> *parent);
}

}  // namespace

std::vector<std::string> isolatedEnvironment(const ScratchDirectory& scratch) {
  return {"TZ=UTC", "QT_QPA_PLATFORM=offscreen",
          "XDG_CONFIG_HOME=" + scratch.subdirectory("config"),
          "XDG_RUNTIME_DIR=" + scratch.subdirectory("runtime")};
}

ChildProcess::ChildProcess(const std::vector<std::string>& command,
                           const std::vector<std::string>& environment,
                           const ScratchDirectory& scratch) {
  static int started = 0;
  const std::string stem = scratch.path() + "/child" + std::to_string(++started);
  outputPath_ = stem + ".out";
  errorPath_ = stem + ".err";

  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    variables[text.substr(0, text.find('='))] = text;
  }
  for (const std::string& text : environment) {
    variables[text.substr(0, text.find('='))] = text;
  }
  std::vector<std::string> texts = command;
  std::vector<char*> argv;
  for (std::string& text : texts) {
    argv.push_back(text.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& [name, text] : variables) {
    envp.push_back(text.data());
  }
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int failed = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + command.front());
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> ChildProcess::waitForExit(milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (reaped < 0 || !timeLeft(deadline)) {
      return std::nullopt;  // the destructor kills what is left
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::string ChildProcess::standardOutput() const {
  return readFile(outputPath_);
}

std::string ChildProcess::standardError() const {
  return readFile(errorPath_);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<pid_t> childrenNamed(pid_t parent, const std::string& name) {
  std::vector<pid_t> children;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string file = entry.path().filename().string();
    if (file.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const auto pid = static_cast<pid_t>(std::stol(file));
    std::string command;
    char state = 0;
    pid_t parentPid = 0;
    if (processStat(pid, &command, &state, &parentPid) && parentPid == parent && command == name) {
      children.push_back(pid);
    }
  }
  return children;
}

pid_t waitForChild(pid_t parent, const std::string& name, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    const std::vector<pid_t> children = childrenNamed(parent, name);
    if (children.size() == 1) {
      return children.front();
    }
    std::this_thread::sleep_for(kPollInterval);
  } while (timeLeft(deadline));
  return -1;
}

bool processEnded(pid_t pid) {
  std::string name;
  char state = 0;
  pid_t parent = 0;
  return !processStat(pid, &name, &state, &parent) || state == 'Z' || state == 'X';
}

bool waitUntilEnded(pid_t pid, milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    waitpid(pid, nullptr, WNOHANG);  // reaps it if it is a child of this process
    if (processEnded(pid)) {
      return true;
    }
    if (!timeLeft(deadline)) {
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace wq::apptest
