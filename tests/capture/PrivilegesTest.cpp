// Which account the helper switches to; the switch itself is checked on the live helper.
#include "capture/Privileges.h"

#include <gtest/gtest.h>
#include <pwd.h>

#include <map>
#include <string>

namespace netsiphon {
namespace {

TEST(Privileges, RunAsTheUserWhoInvokedTheHelperElseAsNobody) {
  const passwd* entry = getpwnam("nobody");
  ASSERT_TRUE(entry != nullptr && entry->pw_uid != 0) << "this system has no user nobody";
  const Account nobody{entry->pw_uid, entry->pw_gid};
  entry = getpwuid(4321);
  const Account pkexecUser{4321, entry != nullptr ? entry->pw_gid : 4321};
  const std::pair<std::map<std::string, std::string>, Account> cases[] = {
      {{{"PKEXEC_UID", "4321"}, {"SUDO_UID", "1000"}}, pkexecUser},
      {{{"SUDO_UID", "1000"}, {"SUDO_GID", "1001"}}, {1000, 1001}},
      {{}, nobody},
      {{{"PKEXEC_UID", "0"}}, nobody},
      {{{"PKEXEC_UID", ""}}, nobody},
      {{{"PKEXEC_UID", "12x"}}, nobody},
      {{{"PKEXEC_UID", "-5"}}, nobody},
      {{{"PKEXEC_UID", "4294967295"}}, nobody},
      {{{"PKEXEC_UID", "99999999999"}}, nobody},
      {{{"SUDO_UID", "1000"}}, nobody},
      {{{"SUDO_UID", "0"}, {"SUDO_GID", "0"}}, nobody},
  };
  for (const auto& testCase : cases) {
    const auto& [settings, account] = testCase;
    EXPECT_EQ(accountToRunAs([&environment = testCase.first](const char* name) -> const char* {
                const auto found = environment.find(name);
                return found == environment.end() ? nullptr : found->second.c_str();
              }),
              account)
        << (settings.empty() ? "" : settings.begin()->first + "=" + settings.begin()->second);
  }
}

}  // namespace
}  // namespace netsiphon
