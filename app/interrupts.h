#pragma once

#include <thread>

// Ctrl+C and the termination signals become requests to the Client: the first Ctrl+C asks it to
// stop after the current plot, the second (or SIGHUP, SIGTERM, SIGABRT, SIGQUIT) to save its
// progress and stop now, and any signal after that ends the process with the signal number.
//
// The handlers only reroute signals and post the request on a pipe; a thread of their own makes
// the Client calls and prints the messages, so a handler never waits for a lock that the thread
// it interrupted may hold.

// Routes SIGPIPE, SIGHUP, SIGTERM, SIGABRT, SIGQUIT to OnSecondInterrupt and SIGINT to
// OnFirstInterrupt, starting the request thread first when it is not running yet.
void InstallInterruptHandlers();

void OnFirstInterrupt(int signal);
// Also called by the entry point with 0 when a signal came before the Client existed.
void OnSecondInterrupt(int signal);
// Restores terminal echo when a password prompt switched it off, then quick_exit(signal).
[[noreturn]] void QuickExitHandler(int signal);

// The thread that turns posted requests into Client calls and log lines. Built once per
// process; destroying it lets the thread finish the requests already posted. Handlers that run
// without it only set StopRequested.
class InterruptRequests {
 public:
  InterruptRequests();
  ~InterruptRequests();

  InterruptRequests(const InterruptRequests&) = delete;
  InterruptRequests& operator=(const InterruptRequests&) = delete;

 private:
  void ThreadMain();

  int readFd_ = -1;
  int writeFd_ = -1;
  std::thread thread_;
};

InterruptRequests& InterruptRequestsInstance();
