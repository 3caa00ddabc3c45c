// Runs part of a test as an ordinary user. Root may write any file, so a test
// of what happens to files a user may not write (mode 0444, another user's
// file) runs its body in a child process that gives up root's rights and
// becomes "nobody"; an unprivileged test process runs the body itself.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

namespace korvel_test {

inline void RunUnprivileged(const std::function<void()>& body) {
  if (::geteuid() != 0) {
    body();
    return;
  }
  std::fflush(stdout);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    body();
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a check failed as the unprivileged user (see above); 3: could not drop root's rights";
}

// Lets every user into a folder (a test's temporary folder is its owner's only).
inline void OpenFolderToAll(const std::filesystem::path& folder) {
  std::filesystem::permissions(folder, std::filesystem::perms::all);
}

}  // namespace korvel_test
