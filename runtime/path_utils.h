#pragma once

#include <array>
#include <cstdint>
#include <filesystem>

// The system temporary directory joined with the 40 lower-case hex digits of the hash.
// Throws std::filesystem::filesystem_error when that directory is missing.
std::filesystem::path MakeTempPath(std::array<uint8_t, 20> hash);

// The running executable's path, read from /proc/self/exe once and then cached. A failed read
// throws std::filesystem::filesystem_error and the next call tries again.
std::filesystem::path GetExecutablePath();
