// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/Privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

namespace netsiphon {
namespace {

constexpr uid_t kRootId = 0;

// A positive decimal id, or nothing for text that is missing, malformed, out of range, or root.
template <typename Id>
std::optional<Id> parseUnprivilegedId(const char* text) {
  if (text == nullptr) {
    return std::nullopt;
  }
  const std::string_view digits(text);
  Id id{};
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
  if (error != std::errc() || end != digits.data() + digits.size() || id == kRootId ||
      id == static_cast<Id>(-1)) {
    return std::nullopt;
  }
  return id;
}

std::optional<Account> pkexecAccount(const EnvironmentLookup& environment) {
  const std::optional<uid_t> uid = parseUnprivilegedId<uid_t>(environment("PKEXEC_UID"));
  if (!uid) {
    return std::nullopt;
  }
  const passwd* entry = getpwuid(*uid);
  return Account{*uid, entry != nullptr ? entry->pw_gid : static_cast<gid_t>(*uid)};
}

std::optional<Account> sudoAccount(const EnvironmentLookup& environment) {
  const std::optional<uid_t> uid = parseUnprivilegedId<uid_t>(environment("SUDO_UID"));
  const std::optional<gid_t> gid = parseUnprivilegedId<gid_t>(environment("SUDO_GID"));
  if (!uid || !gid) {
    return std::nullopt;
  }
  return Account{*uid, *gid};
}

std::optional<Account> nobodyAccount() {
  const passwd* entry = getpwnam("nobody");
  if (entry == nullptr || entry->pw_uid == kRootId) {
    return std::nullopt;
  }
  return Account{entry->pw_uid, entry->pw_gid};
}

std::string failedCall(std::string_view call) {
  return std::string(call) + ": " + std::strerror(errno);
}

std::optional<std::string> switchAccount(const Account& account) {
  if (setgroups(0, nullptr) != 0) {
    return failedCall("setgroups");
  }
  if (setresgid(account.gid, account.gid, account.gid) != 0) {
    return failedCall("setresgid");
  }
  if (setresuid(account.uid, account.uid, account.uid) != 0) {
    return failedCall("setresuid");
  }
  return std::nullopt;
}

using CapabilitySets = __user_cap_data_struct[_LINUX_CAPABILITY_U32S_3];

bool readCapabilities(CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return syscall(SYS_capget, &header, sets) == 0;
}

// Empties the permitted, effective and inheritable sets; the ambient set follows them.
std::optional<std::string> dropCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  CapabilitySets none{};
  if (syscall(SYS_capset, &header, none) != 0) {
    return failedCall("capset");
  }
  return std::nullopt;
}

bool holdsCapabilities() {
  CapabilitySets sets{};
  if (!readCapabilities(sets)) {
    return true;
  }
  for (const auto& set : sets) {
    if (set.permitted != 0 || set.effective != 0) {
      return true;
    }
  }
  return false;
}

bool isRoot() {
  uid_t real = 0;
  uid_t effective = 0;
  uid_t saved = 0;
  getresuid(&real, &effective, &saved);
  return real == kRootId || effective == kRootId || saved == kRootId;
}

}  // namespace

bool holdsCaptureRights() {
  CapabilitySets sets{};
  if (!readCapabilities(sets)) {
    return false;
  }
  const auto effective = [&sets](int capability) {
    return (sets[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
  };
  return effective(CAP_NET_RAW) && effective(CAP_NET_ADMIN);
}

std::optional<Account> accountToRunAs(const EnvironmentLookup& environment) {
  if (std::optional<Account> account = pkexecAccount(environment)) {
    return account;
  }
  if (std::optional<Account> account = sudoAccount(environment)) {
    return account;
  }
  return nobodyAccount();
}

std::optional<std::string> giveUpPrivileges(const EnvironmentLookup& environment) {
  if (isRoot()) {
    const std::optional<Account> account = accountToRunAs(environment);
    if (!account) {
      return "There is no unprivileged account (nobody) to run as.";
    }
    if (std::optional<std::string> problem = switchAccount(*account)) {
      return problem;
    }
  } else if (std::optional<std::string> problem = dropCapabilities()) {
    return problem;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return failedCall("prctl(PR_SET_NO_NEW_PRIVS)");
  }
  if (isRoot() || holdsCapabilities()) {
    return "Root privileges or capabilities remain after the switch.";
  }
  return std::nullopt;
}

}  // namespace netsiphon
