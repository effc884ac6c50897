#include "app/terminal_echo.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>

namespace {

constinit std::atomic<bool> echoSwitchedOff{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read inside signal handlers");

}  // namespace

bool SwitchTerminalEchoOff() {
  termios attributes{};
  if (tcgetattr(STDIN_FILENO, &attributes) != 0) return false;
  attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (tcsetattr(STDIN_FILENO, TCSANOW, &attributes) != 0) return false;
  echoSwitchedOff.store(true);
  return true;
}

void RestoreTerminalEcho() {
  termios attributes{};
  if (tcgetattr(STDIN_FILENO, &attributes) == 0) {
    attributes.c_lflag |= ECHO;
    tcsetattr(STDIN_FILENO, TCSANOW, &attributes);
  }
  echoSwitchedOff.store(false);
}

bool TerminalEchoSwitchedOff() { return echoSwitchedOff.load(); }
