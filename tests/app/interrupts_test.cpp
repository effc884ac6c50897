#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <memory>
#include <string>

#include "app/interrupts.h"
#include "app/process_objects.h"
#include "app/terminal_echo.h"
#include "manager/client.h"
#include "runtime/stop_requested.h"
#include "tests/manager/fake_client.h"
#include "tests/support/child_process.h"
#include "tests/support/time_prefix.h"

namespace {

const char kStopLine[] =
    "Stop requested. Program will quit after completing the current plot. Press Ctrl+C again to "
    "save current progress and exit.";
const char kSavingLine[] =
    "Saving, please wait. If you press Ctrl+C again, program will terminate abruptly and "
    "currently generated plot will be lost.";

// Reports every request on standard output and answers with a fixed ManagerState; can take its
// time over a stop request, as a Client whose mutex is busy would.
std::unique_ptr<FakeClient> SayingClient(uint32_t state, int stopDelayMs = 0) {
  auto client = std::make_unique<FakeClient>();
  client->onDestroy = [] { Say("[Client destroyed]"); };
  client->onStop = [=] {
    Say("[RequestStop]");
    if (stopDelayMs > 0) usleep(stopDelayMs * 1000);
    return state;
  };
  client->onShutdown = [=](bool stopAfterCurrentPlot) {
    Say(stopAfterCurrentPlot ? "[RequestShutdown true]" : "[RequestShutdown false]");
    return state;
  };
  return client;
}

// Reports StopRequested once it is set, then runs `then`; ends itself after 30 s in case the
// parent never sends the final signal.
void IdleUntilKilled(const std::function<void()>& then = {}) {
  Say("ready");
  bool reported = false;
  for (int ms = 0; ms < 30000; ++ms) {
    if (!reported && StopRequested.load()) {
      reported = true;
      Say("[StopRequested]");
      if (then) then();
    }
    usleep(1000);
  }
  _exit(99);
}

void RunWithClient(uint32_t managerState, const std::function<void()>& then = {}) {
  ClientInstance().Reset(SayingClient(managerState));
  InstallInterruptHandlers();
  IdleUntilKilled(then);
}

// Where each signal goes now, as "INT:first HUP:second ... PIPE:ignored".
void SayDispositions() {
  std::string text;
  for (auto [signal, name] : {std::pair{SIGINT, "INT"},
                              {SIGHUP, "HUP"},
                              {SIGTERM, "TERM"},
                              {SIGABRT, "ABRT"},
                              {SIGQUIT, "QUIT"},
                              {SIGPIPE, "PIPE"}}) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    const char* where = action.sa_handler == OnFirstInterrupt    ? "first"
                        : action.sa_handler == OnSecondInterrupt ? "second"
                        : action.sa_handler == QuickExitHandler  ? "quick"
                        : action.sa_handler == SIG_IGN           ? "ignored"
                                                                 : "other";
    if (!text.empty()) text += ' ';
    text += std::string(name) + ":" + where;
  }
  Say(text.c_str());
}

void ExpectExitStatus(ChildProcess& child, int expected) {
  EXPECT_EQ(child.ReadRest(), "");
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), expected);
}

}  // namespace

TEST(Interrupts, CtrlCWhilePlottingStopsThenSavesThenQuits) {
  ChildProcess child([] {
    ClientInstance().Reset(SayingClient(1));
    InstallInterruptHandlers();
    SayDispositions();
    IdleUntilKilled(SayDispositions);
  });
  EXPECT_EQ(child.ReadLine(),
            "INT:first HUP:second TERM:second ABRT:second QUIT:second PIPE:second");
  ASSERT_EQ(child.ReadLine(), "ready");
  child.Signal(SIGINT);
  EXPECT_EQ(child.ReadLine(), "[RequestStop]");
  EXPECT_EQ(LoggedText(child.ReadLine()), kStopLine);
  EXPECT_EQ(child.ReadLine(), "[StopRequested]");
  EXPECT_EQ(child.ReadLine(),
            "INT:second HUP:second TERM:second ABRT:second QUIT:second PIPE:second");
  child.Signal(SIGINT);
  EXPECT_EQ(child.ReadLine(), "[RequestShutdown false]");
  EXPECT_EQ(LoggedText(child.ReadLine()), kSavingLine);
  child.Signal(SIGINT);
  ExpectExitStatus(child, SIGINT);
}

TEST(Interrupts, CtrlCWhileIdleAsksStopAndSaveWithoutMessages) {
  ChildProcess child([] { RunWithClient(0); });
  ASSERT_EQ(child.ReadLine(), "ready");
  child.Signal(SIGINT);
  EXPECT_EQ(child.ReadLine(), "[RequestStop]");
  EXPECT_EQ(child.ReadLine(), "[RequestShutdown false]");
  EXPECT_EQ(child.ReadLine(), "[StopRequested]");
  child.Signal(SIGINT);  // the idle case already counts as the second interrupt
  ExpectExitStatus(child, SIGINT);
}

TEST(Interrupts, TerminationSignalsActAsSecondInterrupt) {
  for (int first : {SIGTERM, SIGHUP, SIGQUIT, SIGABRT}) {
    SCOPED_TRACE(first);
    ChildProcess child([] { RunWithClient(2); });
    ASSERT_EQ(child.ReadLine(), "ready");
    child.Signal(first);
    EXPECT_EQ(child.ReadLine(), "[RequestShutdown false]");
    EXPECT_EQ(LoggedText(child.ReadLine()), kSavingLine);
    EXPECT_EQ(child.ReadLine(), "[StopRequested]");
    child.Signal(SIGTERM);
    ExpectExitStatus(child, SIGTERM);
  }
}

TEST(Interrupts, FirstBrokenPipeSavesLaterOnesAreIgnored) {
  ChildProcess child([] { RunWithClient(1, SayDispositions); });
  ASSERT_EQ(child.ReadLine(), "ready");
  child.Signal(SIGPIPE);
  EXPECT_EQ(child.ReadLine(), "[RequestShutdown false]");
  EXPECT_EQ(LoggedText(child.ReadLine()), kSavingLine);
  EXPECT_EQ(child.ReadLine(), "[StopRequested]");
  EXPECT_EQ(child.ReadLine(), "INT:quick HUP:quick TERM:quick ABRT:quick QUIT:quick PIPE:ignored");
  child.Signal(SIGPIPE);  // ignored: the process keeps running
  child.Signal(SIGHUP);
  ExpectExitStatus(child, SIGHUP);
}

TEST(Interrupts, SignalBeforeTheClientExistsBecomesSaveRequest) {
  ChildProcess child([] {
    InstallInterruptHandlers();
    // As the entry point does once the Client is stored after a start-up interrupt.
    IdleUntilKilled([] {
      ClientInstance().Reset(SayingClient(1));
      OnSecondInterrupt(0);
    });
  });
  ASSERT_EQ(child.ReadLine(), "ready");
  child.Signal(SIGINT);
  EXPECT_EQ(child.ReadLine(), "[StopRequested]");
  EXPECT_EQ(child.ReadLine(), "[RequestShutdown false]");
  EXPECT_EQ(LoggedText(child.ReadLine()), kSavingLine);
  child.Signal(SIGINT);  // no Client at the first one: it already counted as the second
  ExpectExitStatus(child, SIGINT);
}

TEST(Interrupts, RequestsPostedBeforeExitReachTheClientBeforeItIsDestroyed) {
  ChildProcess child([] {
    InitProcessObjects();
    ClientInstance().Reset(SayingClient(1, 300));
    InstallInterruptHandlers();
    raise(SIGINT);   // the request thread is still busy with this one at exit
    raise(SIGTERM);  // and this one waits in the pipe
    std::exit(0);
  });
  EXPECT_EQ(child.ReadLine(), "[RequestStop]");
  EXPECT_EQ(LoggedText(child.ReadLine()), kStopLine);
  EXPECT_EQ(child.ReadLine(), "[RequestShutdown false]");
  EXPECT_EQ(LoggedText(child.ReadLine()), kSavingLine);
  EXPECT_EQ(child.ReadLine(), "[Client destroyed]");
  ExpectExitStatus(child, 0);
}

TEST(Interrupts, QuickExitRestoresTerminalEchoSwitchedOffForAPassword) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    GTEST_SKIP() << "no pseudo-terminal available";
  }
  const std::string slaveName = ptsname(master);
  const int slave = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios attributes{};
  ASSERT_EQ(tcgetattr(slave, &attributes), 0);
  ASSERT_NE(attributes.c_lflag & ECHO, 0u);

  ChildProcess child([slave] {
    dup2(slave, STDIN_FILENO);
    if (!SwitchTerminalEchoOff() || !TerminalEchoSwitchedOff()) Say("echo still on");
    InstallInterruptHandlers();
    IdleUntilKilled();
  });
  ASSERT_EQ(child.ReadLine(), "ready");
  ASSERT_EQ(tcgetattr(slave, &attributes), 0);
  EXPECT_EQ(attributes.c_lflag & ECHO, 0u);  // the prompt's state, seen from outside
  child.Signal(SIGTERM);
  EXPECT_EQ(child.ReadLine(), "[StopRequested]");
  child.Signal(SIGTERM);
  ExpectExitStatus(child, SIGTERM);
  ASSERT_EQ(tcgetattr(slave, &attributes), 0);
  EXPECT_NE(attributes.c_lflag & ECHO, 0u);
  close(slave);
  close(master);
}

// Switching off and restoring on a terminal is seen in the quick-exit test above.
TEST(TerminalEcho, NotATerminalIsLeftAlone) {
  ChildProcess pipeChild([] {
    int fds[2];
    if (pipe(fds) == 0) dup2(fds[0], STDIN_FILENO);
    Say(SwitchTerminalEchoOff() ? "switched" : "refused");
    Say(TerminalEchoSwitchedOff() ? "flagged" : "not flagged");
  });
  EXPECT_EQ(pipeChild.ReadLine(), "refused");
  EXPECT_EQ(pipeChild.ReadLine(), "not flagged");
  ExpectExitStatus(pipeChild, 0);
}
