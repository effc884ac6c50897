#pragma once

#include <cstddef>

// Sweeps over many recorded inputs take every kSanitizerSample-th one in the address and
// undefined-behaviour sanitizer build, where each costs several times as much: every path is
// still walked there, and the plain build checks every input.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr size_t kSanitizerSample = 3;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr size_t kSanitizerSample = 3;
#else
inline constexpr size_t kSanitizerSample = 1;
#endif
#else
inline constexpr size_t kSanitizerSample = 1;
#endif
