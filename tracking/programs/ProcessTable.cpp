// SPDX-License-Identifier: GPL-3.0-or-later
#include "tracking/programs/ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <memory>
#include <optional>

namespace wq {

namespace {

constexpr std::size_t kCommLength = 15;  // the kernel cuts longer names there
constexpr std::size_t kLongestFileRead = 64 * 1024;

struct CloseDirectory {
  void operator()(DIR* directory) const { closedir(directory); }
};
using Directory = std::unique_ptr<DIR, CloseDirectory>;

Directory openDirectory(const std::string& path) {
  return Directory(opendir(path.c_str()));
}

std::string readLink(int directory, const char* name) {
  char target[PATH_MAX];
  const ssize_t length = readlinkat(directory, name, target, sizeof target);
  return length > 0 && length < static_cast<ssize_t>(sizeof target) ? std::string(target, length)
                                                                    : std::string();
}

std::string readSmallFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::string text;
  if (fd < 0) {
    return text;
  }
  char chunk[4096];
  while (text.size() < kLongestFileRead) {
    const ssize_t length = read(fd, chunk, sizeof chunk);
    if (length < 0 && errno == EINTR) {
      continue;
    }
    if (length <= 0) {
      break;
    }
    text.append(chunk, static_cast<std::size_t>(length));
  }
  close(fd);
  return text;
}

// A number a /proc folder or descriptor is named with; nothing for other names ("self", ".").
template <typename Number>
std::optional<Number> numberNamed(std::string_view name) {
  Number number{};
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
  if (error != std::errc{} || end != name.data() + name.size() || name.empty()) {
    return std::nullopt;
  }
  return number;
}

// The inode of a descriptor whose link reads "socket:[INODE]"; 0 for anything else.
std::uint64_t socketInode(std::string_view target) {
  constexpr std::string_view kPrefix = "socket:[";
  if (!target.starts_with(kPrefix) || !target.ends_with(']')) {
    return 0;
  }
  return numberNamed<std::uint64_t>(
             target.substr(kPrefix.size(), target.size() - kPrefix.size() - 1))
      .value_or(0);
}

void addHolders(const std::string& descriptorFolder, std::int32_t pid,
                const std::unordered_set<std::uint64_t>& socketInodes,
                std::unordered_map<std::uint64_t, SocketHolder>& found) {
  const Directory descriptors = openDirectory(descriptorFolder);
  if (!descriptors) {
    return;  // gone, or another user's
  }
  while (const dirent* entry = readdir(descriptors.get())) {
    const std::optional<int> fd = numberNamed<int>(entry->d_name);
    if (!fd) {
      continue;
    }
    const std::uint64_t inode = socketInode(readLink(dirfd(descriptors.get()), entry->d_name));
    if (inode != 0 && socketInodes.contains(inode)) {
      found.try_emplace(inode, SocketHolder{pid, *fd});
    }
  }
}

bool isHexId(std::string_view text) {
  return text.size() >= 12 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

// The container a cgroup path component names ("docker-<id>.scope" and the like, or an id under a
// "docker" or "lxc" parent): its id's first 12 digits, or nothing.
std::string containerNamed(std::string_view component, std::string_view parent) {
  static constexpr std::string_view kScopePrefixes[] = {"docker-", "libpod-", "crio-",
                                                        "cri-containerd-"};
  constexpr std::string_view kScope = ".scope";
  std::string_view id;
  if (parent == "docker" || parent == "lxc") {
    id = component;
  } else if (component.ends_with(kScope)) {
    for (const std::string_view prefix : kScopePrefixes) {
      if (component.starts_with(prefix)) {
        id = component.substr(prefix.size(), component.size() - prefix.size() - kScope.size());
      }
    }
  }
  return isHexId(id) ? std::string(id.substr(0, 12)) : std::string();
}

CgroupPlace placeOfPath(std::string_view path) {
  std::string_view service;
  std::string_view scope;
  std::string_view parent;
  while (!path.empty()) {
    const std::size_t end = std::min(path.find('/'), path.size());
    const std::string_view component = path.substr(0, end);
    path.remove_prefix(std::min(end + 1, path.size()));
    if (std::string container = containerNamed(component, parent); !container.empty()) {
      return {{}, std::move(container)};
    }
    if (component.ends_with(".service")) {
      service = component;
    } else if (component.ends_with(".scope")) {
      scope = component;
    }
    parent = component;
  }
  return {std::string(service.empty() ? scope : service), {}};
}

// Which hierarchy's path tells the unit best: the unified one's, then systemd's own, then any
// controller's.
int preferenceOf(std::string_view hierarchy, std::string_view controllers) {
  if (hierarchy == "0" && controllers.empty()) {
    return 0;
  }
  return controllers == "name=systemd" ? 1 : 2;
}

// A process's name: its comm, or the name of its executable when the kernel cut comm at 15
// characters and the executable's name goes on from it.
std::string programName(std::string comm, std::string_view executablePath) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (comm.size() != kCommLength) {
    return comm;
  }
  if (executablePath.ends_with(kDeleted)) {
    executablePath.remove_suffix(kDeleted.size());
  }
  const std::string_view file = executablePath.substr(executablePath.rfind('/') + 1);
  return file.starts_with(comm) ? std::string(file) : comm;
}

}  // namespace

std::unordered_map<std::uint64_t, SocketHolder> ProcessTable::holdersOf(
    const std::unordered_set<std::uint64_t>& socketInodes, std::stop_token stop) const {
  std::unordered_map<std::uint64_t, SocketHolder> found;
  const Directory processes = openDirectory(root_);
  while (processes && found.size() < socketInodes.size() && !stop.stop_requested()) {
    const dirent* entry = readdir(processes.get());
    if (entry == nullptr) {
      break;
    }
    if (const std::optional<std::int32_t> pid = numberNamed<std::int32_t>(entry->d_name)) {
      addHolders(processFolder(*pid) + "/fd", *pid, socketInodes, found);
    }
  }
  return found;
}

ProcessFacts ProcessTable::describe(std::int32_t pid) const {
  const std::string folder = processFolder(pid);
  std::string comm = readSmallFile(folder + "/comm");
  if (comm.ends_with('\n')) {
    comm.pop_back();
  }
  if (comm.empty()) {
    return {};
  }
  CgroupPlace place = cgroupPlace(readSmallFile(folder + "/cgroup"));
  return {programName(std::move(comm), readLink(AT_FDCWD, (folder + "/exe").c_str())),
          std::move(place.unit), std::move(place.container)};
}

bool ProcessTable::stillHolds(const SocketHolder& holder, std::uint64_t socketInode) const {
  const std::string link = processFolder(holder.pid) + "/fd/" + std::to_string(holder.fd);
  return wq::socketInode(readLink(AT_FDCWD, link.c_str())) == socketInode;
}

std::string ProcessTable::processFolder(std::int32_t pid) const {
  return root_ + "/" + std::to_string(pid);
}

CgroupPlace cgroupPlace(std::string_view cgroupFile) {
  CgroupPlace chosen;
  int chosenPreference = INT_MAX;
  while (!cgroupFile.empty()) {
    const std::size_t end = std::min(cgroupFile.find('\n'), cgroupFile.size());
    const std::string_view line = cgroupFile.substr(0, end);
    cgroupFile.remove_prefix(std::min(end + 1, cgroupFile.size()));
    // hierarchy-id:controllers:path
    const std::size_t first = line.find(':');
    const std::size_t second = first == line.npos ? line.npos : line.find(':', first + 1);
    if (second == line.npos) {
      continue;
    }
    CgroupPlace place = placeOfPath(line.substr(second + 1));
    if (!place.container.empty()) {
      return place;
    }
    const int preference =
        preferenceOf(line.substr(0, first), line.substr(first + 1, second - first - 1));
    if (!place.unit.empty() && preference < chosenPreference) {
      chosen = std::move(place);
      chosenPreference = preference;
    }
  }
  return chosen;
}

}  // namespace wq
