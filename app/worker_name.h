#pragma once

#include <array>
#include <cstdint>
#include <string>

extern const std::array<const char*, 49> WorkerNameAdjectives;
extern const std::array<const char*, 44> WorkerNameNouns;

// "<adjective>_<noun>" chosen by the worker id; at most 16 characters.
std::string GenerateWorkerName(uint64_t workerId);
