#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "runtime/path_utils.h"
#include "tests/app/child_process.h"
#include "update/updater.h"

namespace {

struct ChildResult {
  std::string output;
  int status = -1;
};

// Runs body in a child whose standard output and error are captured together.
template <typename Body>
ChildResult RunInChild(Body body) {
  ChildProcess child([&] {
    dup2(STDOUT_FILENO, STDERR_FILENO);
    body();
  });
  ChildResult result;
  result.output = child.ReadRest();
  result.status = child.Wait();
  return result;
}

}  // namespace

TEST(Updater, StartsIdleWithDefaults) {
  Updater updater;
  EXPECT_TRUE(updater.savedArgs.empty());
  EXPECT_EQ(updater.executablePath, GetExecutablePath().string());
  EXPECT_EQ(updater.state, UpdaterState::Idle);
  EXPECT_EQ(updater.shareRatioTarget, 2);
  EXPECT_EQ(updater.seedMinutes, 10);
  EXPECT_EQ(updater.bestProgressPpm, 0);
  EXPECT_EQ(updater.session, nullptr);
  EXPECT_EQ(updater.torrent, nullptr);
}

TEST(Updater, RestartStateReplacesProcessWithSavedCommandLine) {
  const ChildResult restarted = RunInChild([] {
    auto* updater = new Updater;
    updater->executablePath = "/bin/sh";
    updater->savedArgs = {"sh", "-c", "echo \"restarted as $0 with $1\"; exit 3", "first", "two"};
    updater->state = UpdaterState::Restart;
    delete updater;
    _exit(1);  // only reached when the restart failed
  });
  EXPECT_EQ(restarted.output, "Running the updated version\nrestarted as first with two\n");
  ASSERT_TRUE(WIFEXITED(restarted.status));
  EXPECT_EQ(WEXITSTATUS(restarted.status), 3);

  // A failed exec is reported and the process goes on.
  const ChildResult failed = RunInChild([] {
    auto* updater = new Updater;
    updater->executablePath = "/nonexistent/VarnokChiaPool";
    updater->savedArgs = {"VarnokChiaPool"};
    updater->state = UpdaterState::Restart;
    delete updater;
    std::puts("went on");
  });
  EXPECT_EQ(failed.output,
            "Running the updated version\nexecve: No such file or directory\nwent on\n");
  ASSERT_TRUE(WIFEXITED(failed.status));
  EXPECT_EQ(WEXITSTATUS(failed.status), 0);

  // Any other state leaves the process alone.
  const ChildResult idle = RunInChild([] {
    auto* updater = new Updater;
    updater->executablePath = "/bin/sh";
    updater->savedArgs = {"sh", "-c", "echo restarted"};
    updater->state = UpdaterState::Installed;
    delete updater;
    std::puts("stayed");
  });
  EXPECT_EQ(idle.output, "stayed\n");
}
