#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>

// What a directory scan leaves for the planner: one record per plot directory and one per
// usable plot or temp file. Both lists are rebuilt by every scan; the planner and its tasks
// refer to records by index, so nothing reorders them between scans.

using PlotIdBytes = std::array<uint8_t, 32>;

struct PlotIdHash {
  size_t operator()(const PlotIdBytes& id) const noexcept {
    size_t value;
    std::memcpy(&value, id.data(), sizeof(value));  // ids are hash outputs already
    return value;
  }
};

inline constexpr uint64_t kUnknownFreeBytes = ~uint64_t{0};

struct DirectoryState {
  uint64_t FreeBytes = 0;       // what this client may still use; kUnknownFreeBytes: unknown
  uint64_t PlotCountLimit = 0;  // all ones: none
  uint8_t tempAllowed = 0;
  uint8_t finalAllowed = 0;
  uint8_t sparseAllowed = 0;
  uint8_t readOnly = 0;
  // The file system the directory lies on and its own free bytes, which every directory on it
  // shares: claims are checked against both.
  uint64_t device = 0;
  uint64_t deviceFreeBytes = kUnknownFreeBytes;
};

enum ScannedFileKind : uint32_t {
  kUnrelatedFile = 0,  // never recorded
  kPlotFileKind = 1,
  kTempFileKind = 2,
};

// Key status of a plot: 0 to 5 as the key provider classifies its key record, 6 for no
// classification (not a plot, no usable header, marker or key block, or keys that failed).
inline constexpr uint32_t kNoKeyStatus = 6;

// Every field starts at zero; a field the reading did not reach stays zero.
struct ScannedFile {
  uint64_t DirectoryIndex = 0;
  uint64_t FileSize = 0;
  uint32_t Kind = kUnrelatedFile;
  uint8_t HeaderValid = 0;
  uint8_t MarkerMatches = 0;
  uint8_t Version = 0;
  uint8_t Initialized = 0;
  uint8_t Complete = 0;
  uint8_t Level = 0;
  uint8_t Sparse = 0;
  uint8_t HasKeyBlock = 0;
  uint8_t TempFileCount = 0;
  uint8_t TempFileIndex = 0;
  uint64_t LinkStamp = 0;
  PlotIdBytes PlotId{};
  uint32_t KeyStatus = 0;
  uint8_t KnownAtStartup = 0;

  friend bool operator==(const ScannedFile&, const ScannedFile&) = default;

  // A whole plot that was closed cleanly.
  bool IsCompletePlot() const {
    return Kind == kPlotFileKind && HeaderValid && MarkerMatches && Initialized && Complete;
  }
};

// A plot waiting for the plot test.
struct TestQueueEntry {
  uint64_t DirectoryIndex = 0;
  std::filesystem::path path;
};
