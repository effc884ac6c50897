#pragma once

#include <atomic>

// Set once the user or the system asked the process to stop (interrupts, end of the run);
// never cleared. Written from the interrupt handling and read by any thread.
extern std::atomic<bool> StopRequested;
