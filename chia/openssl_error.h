#pragma once

// Throws std::runtime_error carrying the text of the earliest pending OpenSSL
// error of this thread, and removes that error from the thread's queue.
[[noreturn]] void ThrowOpenSslError();
