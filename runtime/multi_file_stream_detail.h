#pragma once
// What the parts of the temp-file stream (multi_file_stream*.cpp) share.

#include <chrono>
#include <cstdint>
#include <thread>

namespace multi_file_stream_detail {

inline constexpr uint64_t kIoUnit = 4096;
inline constexpr uint64_t kZeroBlockSize = 131072;

// A code of our own for a damaged temp file: a region that reads back shorter than its stored
// count says.
inline constexpr const char* kShortReadError = "invalid temp file: 7B41D2E8";

inline void SleepOneMs() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

inline uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

}  // namespace multi_file_stream_detail
