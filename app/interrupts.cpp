#include "app/interrupts.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "app/terminal_echo.h"
#include "manager/client.h"
#include "runtime/console_logger.h"
#include "runtime/stop_requested.h"

namespace {

constexpr char kStopAfterCurrentPlot = 'F';
constexpr char kSaveAndStop = 'S';

// Write end of the request pipe, -1 while no request thread runs.
constinit std::atomic<int> requestPipe{-1};
// Handlers between reading requestPipe and finishing their write; the pipe is closed only
// when none is left.
constinit std::atomic<int> handlersPosting{0};
static_assert(std::atomic<int>::is_always_lock_free, "used inside signal handlers");

void Route(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // as signal() installs it: stays installed, calls restart
  sigaction(signal, &action, nullptr);
}

// Async-signal-safe.
void RouteToQuickExit() {
  Route(SIGPIPE, SIG_IGN);
  Route(SIGHUP, QuickExitHandler);
  Route(SIGTERM, QuickExitHandler);
  Route(SIGABRT, QuickExitHandler);
  Route(SIGQUIT, QuickExitHandler);
  Route(SIGINT, QuickExitHandler);
}

// Async-signal-safe. False when no request thread takes it.
bool Post(char request) {
  handlersPosting.fetch_add(1);
  const int fd = requestPipe.load();
  const bool posted = fd >= 0 && write(fd, &request, 1) == 1;
  handlersPosting.fetch_sub(1);
  return posted;
}

// The following run on the request thread.

void SaveAndStop() {
  RouteToQuickExit();
  ClientInstance().WithClient([](Client* client) {
    if (client != nullptr && client->RequestShutdown(false) != 0) {
      LogF(
          "Saving, please wait. If you press Ctrl+C again, program will terminate abruptly and "
          "currently generated plot will be lost.");
    }
  });
  StopRequested.store(true);
}

void StopAfterCurrentPlot() {
  const bool stopping = ClientInstance().WithClient([](Client* client) {
    if (client == nullptr || client->RequestStop() == 0) return false;
    LogF(
        "Stop requested. Program will quit after completing the current plot. Press Ctrl+C again "
        "to save current progress and exit.");
    return true;
  });
  if (stopping) {
    StopRequested.store(true);
    return;
  }
  // No Client yet, or nothing in progress: the stop request stays and a save request follows.
  SaveAndStop();
}

}  // namespace

void OnFirstInterrupt(int) {
  const int savedErrno = errno;
  Route(SIGINT, OnSecondInterrupt);
  if (!Post(kStopAfterCurrentPlot)) {
    RouteToQuickExit();
    StopRequested.store(true);
  }
  errno = savedErrno;
}

void OnSecondInterrupt(int) {
  const int savedErrno = errno;
  RouteToQuickExit();
  if (!Post(kSaveAndStop)) StopRequested.store(true);
  errno = savedErrno;
}

void QuickExitHandler(int signal) {
  if (TerminalEchoSwitchedOff()) RestoreTerminalEcho();
  std::quick_exit(signal);
}

InterruptRequests::InterruptRequests() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("Failed to create the interrupt pipe: ") +
                             std::strerror(errno));
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
  // A handler must never block on a full pipe.
  fcntl(writeFd_, F_SETFL, fcntl(writeFd_, F_GETFL) | O_NONBLOCK);
  try {
    thread_ = std::thread(&InterruptRequests::ThreadMain, this);
  } catch (...) {
    close(readFd_);
    close(writeFd_);
    throw;
  }
  requestPipe.store(writeFd_);
}

InterruptRequests::~InterruptRequests() {
  requestPipe.store(-1);
  while (handlersPosting.load() != 0) std::this_thread::yield();
  close(writeFd_);  // the thread reads what is posted, then the end of the pipe
  if (thread_.joinable()) thread_.join();
  close(readFd_);
}

void InterruptRequests::ThreadMain() {
  for (;;) {
    char request = 0;
    const ssize_t got = read(readFd_, &request, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got != 1) return;
    try {
      if (request == kStopAfterCurrentPlot) {
        StopAfterCurrentPlot();
      } else {
        SaveAndStop();
      }
    } catch (const std::exception& error) {
      StopRequested.store(true);
      LogF("ERROR: %s", error.what());
    }
  }
}

InterruptRequests& InterruptRequestsInstance() {
  static InterruptRequests requests;
  return requests;
}

void InstallInterruptHandlers() {
  InterruptRequestsInstance();
  Route(SIGPIPE, OnSecondInterrupt);
  Route(SIGHUP, OnSecondInterrupt);
  Route(SIGTERM, OnSecondInterrupt);
  Route(SIGABRT, OnSecondInterrupt);
  Route(SIGQUIT, OnSecondInterrupt);
  Route(SIGINT, OnFirstInterrupt);
}
