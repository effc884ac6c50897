#pragma once

#include <cstdint>
#include <filesystem>

// One -d option: a plot directory with what it may hold and how much of it may be used. Its
// index in the command-line list is the directory's index everywhere else.
struct DirectorySpec {
  std::filesystem::path path;
  int64_t spaceLimit = -1;      // bytes, -1: no limit
  int64_t PlotCountLimit = -1;  // -1: no limit
  uint8_t tempFilesAllowed = 0;
  uint8_t finalPlotsAllowed = 0;
  uint8_t sparsePlotsAllowed = 0;
  uint8_t readOnly = 0;

  friend bool operator==(const DirectorySpec&, const DirectorySpec&) = default;
};

// items: the text attached to -d (a comma-separated list of sizes, counts and type letters such
// as ",1TB,ts"), or null; path: the next command-line word, or null when it is missing or is
// the next option. Throws std::runtime_error naming the first rule the option breaks.
DirectorySpec ParseDirectorySpec(const char* items, const char* path);
