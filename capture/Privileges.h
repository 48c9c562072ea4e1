// SPDX-License-Identifier: GPL-3.0-or-later
// Gives up root once the capture is active: the helper needs no privileges to relay packets.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace netsiphon {

struct Account {
  uid_t uid = 0;
  gid_t gid = 0;
  bool operator==(const Account&) const = default;
};

// Looks up one environment variable; nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

// The unprivileged account to run as: the user who invoked the helper through pkexec (PKEXEC_UID)
// or sudo (SUDO_UID, SUDO_GID), else nobody. Root as the invoking user does not count.
std::optional<Account> accountToRunAs(const EnvironmentLookup& environment);

// Whether this process may capture live: CAP_NET_RAW and CAP_NET_ADMIN are in its effective set,
// as they are for root and for a helper with those file capabilities.
bool holdsCaptureRights();

// Switches a root process to accountToRunAs() and drops every capability of any other process;
// either way no privileges can be regained (no_new_privs). Returns why that failed, if it did.
std::optional<std::string> giveUpPrivileges(const EnvironmentLookup& environment);

}  // namespace netsiphon
