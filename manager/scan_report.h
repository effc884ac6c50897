#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "manager/directory_spec.h"
#include "manager/scanned_file.h"

// Plots of one directory that share a key text (the delegation key's text, "_" for keys that
// name none, empty for plots without a key block).
struct KeyGroupCount {
  uint64_t plots = 0;
  std::array<uint64_t, 5> plotsByLevel{};
  uint64_t Sparse = 0;
  uint64_t untested = 0;
  uint8_t passwordNeeded = 0;
};

// A count with the first paths behind it.
struct ReportedFiles {
  static constexpr size_t kMaxPaths = 10;
  uint64_t count = 0;
  std::vector<std::string> paths;
  void Add(const std::string& path);
};

// What the start-up scan gathers for its report. Ordered containers keep the report's group
// and key lines in a stable order from run to run.
struct StartupReportData {
  std::vector<std::map<std::string, KeyGroupCount>> KeyGroupCounts;  // per directory
  std::set<std::string> PasswordKeys;
  uint64_t passwordNeededPlots = 0;
  uint64_t totalPlots = 0;
  uint64_t mineablePlots = 0;
  std::unordered_set<PlotIdBytes, PlotIdHash> mineableIds;
  ReportedFiles unrelated;
  ReportedFiles withoutKeys;
  ReportedFiles unsupportedVersion;
  ReportedFiles unsupportedKeys;
  uint64_t readOnlyTestable = 0;
};

// The lines of the start-up report, in print order; "" is an empty line.
std::vector<std::string> DirectoryReportLines(const StartupReportData& data,
                                              const std::set<PlotIdBytes>& duplicateIds,
                                              const std::vector<ScannedFile>& files,
                                              const std::vector<std::filesystem::path>& paths,
                                              const std::vector<DirectoryState>& states,
                                              const std::vector<DirectorySpec>& specs);
