#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The shapes plot management gives paths and durations in its console lines.

// The path with its file stem cut to its first and last four characters when longer than 8:
// "/plots/0123...CDEF.fpt".
std::string PathStem(std::filesystem::path path);

// "1h 2m 5s", "1m 0s", "59s"; hours are never folded into days.
std::string FormatDuration(uint64_t seconds);

// Inside a catch block: prefix + ": " + the failure's text, or the prefix alone for a failure
// that is no std::exception.
std::string FailureText(const std::string& prefix);

// Case-sensitive; true for an empty suffix.
bool StringEndsWith(const std::string& text, const std::string& suffix);
