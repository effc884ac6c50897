#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "runtime/path_utils.h"
#include "tests/support/child_process.h"
#include "update/updater.h"

namespace {

struct ChildResult {
  std::string output;  // standard output and error
  int status = -1;
};

ChildResult RunCaptured(const std::function<void()>& body) {
  ChildProcess child(body, ChildProcess::kStdoutAndStderr);
  ChildResult result;
  result.output = child.ReadRest();
  result.status = child.Wait();
  return result;
}

}  // namespace

TEST(Updater, RestartStateReplacesProcessWithSavedCommandLine) {
  const ChildResult restarted = RunCaptured([] {
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
  const ChildResult failed = RunCaptured([] {
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
  const ChildResult idle = RunCaptured([] {
    auto* updater = new Updater;
    updater->executablePath = "/bin/sh";
    updater->savedArgs = {"sh", "-c", "echo restarted"};
    updater->state = UpdaterState::Installed;
    delete updater;
    std::puts("stayed");
  });
  EXPECT_EQ(idle.output, "stayed\n");
}
