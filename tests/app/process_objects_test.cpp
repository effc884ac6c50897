#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/process_objects.h"
#include "manager/client.h"
#include "runtime/console_logger.h"
#include "tests/manager/fake_client.h"
#include "tests/support/child_process.h"
#include "tests/support/time_prefix.h"
#include "update/updater.h"

namespace {

// Logs from its destructor, the way the real Client reports while it shuts down.
std::unique_ptr<FakeClient> LoggingClient() {
  auto client = std::make_unique<FakeClient>();
  client->onDestroy = [] {
    LogLine(ConsoleLoggerInstance().PrinterStarted() ? "client destroyed, printer running"
                                                     : "client destroyed, printer stopped");
  };
  return client;
}

}  // namespace

// Exit order: the held Client goes first (its last line still reaches the queue), the logger
// prints every queued line, and the updater restarts the process last.
TEST(ProcessObjects, ExitRunsDestructorsInReverseOrder) {
  ChildProcess child([] {
    InitProcessObjects();
    Updater& updater = UpdaterInstance();
    updater.executablePath = "/bin/sh";
    updater.savedArgs = {"sh", "-c", "echo restarted"};
    updater.state = UpdaterState::Restart;
    ConsoleLoggerInstance().StartPrinter();
    auto client = LoggingClient();
    client->StartupScanPending.store(0);
    ClientInstance().Reset(std::move(client));
    PrintLine("from the client");
    LogLine("queued before exit");
    std::exit(0);
  });
  EXPECT_EQ(MarkTime(child.ReadLine()), "<time> from the client");
  EXPECT_EQ(MarkTime(child.ReadLine()), "<time> queued before exit");
  EXPECT_EQ(MarkTime(child.ReadLine()), "<time> client destroyed, printer running");
  EXPECT_EQ(child.ReadLine(), "Running the updated version");
  EXPECT_EQ(child.ReadLine(), "restarted");
  EXPECT_EQ(child.ReadRest(), "");
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ProcessObjects, PrintLineIsBareUntilTheClientHasScanned) {
  ChildProcess child([] {
    InitProcessObjects();
    PrintLine("no client");
    auto client = LoggingClient();
    Client* raw = client.get();
    ClientInstance().Reset(std::move(client));
    PrintLine("scanning");
    raw->StartupScanPending.store(0);
    PrintLine("scanned");
    ClientInstance().Reset();
    PrintLine("gone");
    std::_Exit(0);
  });
  EXPECT_EQ(child.ReadLine(), "no client");
  EXPECT_EQ(child.ReadLine(), "scanning");
  EXPECT_EQ(MarkTime(child.ReadLine()), "<time> scanned");
  EXPECT_EQ(MarkTime(child.ReadLine()), "<time> client destroyed, printer stopped");
  EXPECT_EQ(child.ReadLine(), "gone");
}
