#include "capture/Privileges.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "tests/support/NetworkNamespaces.h"

namespace netsiphon {
namespace {

using wq::testing::statusField;

EnvironmentLookup environmentOf(std::map<std::string, std::string> settings) {
  return [settings = std::move(settings)](const char* name) -> const char* {
    const auto found = settings.find(name);
    return found == settings.end() ? nullptr : found->second.c_str();
  };
}

Account nobody() {
  const passwd* entry = getpwnam("nobody");
  return entry != nullptr ? Account{entry->pw_uid, entry->pw_gid} : Account{};
}

gid_t primaryGroupOf(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry != nullptr ? entry->pw_gid : uid;
}

TEST(Privileges, RunAsTheUserWhoInvokedTheHelper) {
  EXPECT_EQ(accountToRunAs(environmentOf({{"PKEXEC_UID", "4321"}, {"SUDO_UID", "1000"}})),
            (Account{4321, primaryGroupOf(4321)}));
  EXPECT_EQ(accountToRunAs(environmentOf({{"SUDO_UID", "1000"}, {"SUDO_GID", "1001"}})),
            (Account{1000, 1001}));
}

TEST(Privileges, RunAsNobodyWhenTheInvokingUserIsUnknownOrRoot) {
  ASSERT_NE(nobody().uid, 0u) << "this system has no user nobody";
  const std::map<std::string, std::string> unusable[] = {
      {},
      {{"PKEXEC_UID", "0"}},
      {{"PKEXEC_UID", ""}},
      {{"PKEXEC_UID", "12x"}},
      {{"PKEXEC_UID", "-5"}},
      {{"PKEXEC_UID", "4294967295"}},
      {{"PKEXEC_UID", "99999999999"}},
      {{"SUDO_UID", "1000"}},
      {{"SUDO_UID", "0"}, {"SUDO_GID", "0"}},
  };
  for (const auto& settings : unusable) {
    EXPECT_EQ(accountToRunAs(environmentOf(settings)), nobody())
        << (settings.empty() ? "" : settings.begin()->first + "=" + settings.begin()->second);
  }
}

// Run in a child process, which must not return to the test.
[[noreturn]] void dropAndCheck() {
  const std::optional<std::string> problem =
      giveUpPrivileges(environmentOf({{"SUDO_UID", "4321"}, {"SUDO_GID", "4322"}}));
  uid_t uids[3] = {};
  gid_t gids[3] = {};
  getresuid(&uids[0], &uids[1], &uids[2]);
  getresgid(&gids[0], &gids[1], &gids[2]);
  const bool dropped = !problem && uids[0] == 4321 && uids[1] == 4321 && uids[2] == 4321 &&
                       gids[0] == 4322 && gids[1] == 4322 && gids[2] == 4322 &&
                       getgroups(0, nullptr) == 0 &&
                       statusField(getpid(), "CapEff") == "\t0000000000000000" &&
                       statusField(getpid(), "CapPrm") == "\t0000000000000000" &&
                       prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
  _exit(dropped ? 0 : 1);
}

TEST(Privileges, GiveUpRootAndEveryCapabilityForGood) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "giving up root needs root: run the tests as root to cover it";
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dropAndCheck();
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace netsiphon
