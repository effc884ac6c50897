#include "runtime/stop_requested.h"

constinit std::atomic<bool> StopRequested{false};

static_assert(std::atomic<bool>::is_always_lock_free, "signal handlers may set it");
