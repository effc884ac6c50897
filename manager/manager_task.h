#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "manager/directory_spec.h"

class PlotFile;

// The planner's decision for one pass. The indexes refer to the scan the pass was planned on and
// stay valid only until the next scan.
class ManagerTask {
 public:
  virtual ~ManagerTask() = default;
  virtual uint32_t Kind() const = 0;
};

enum ManagerTaskKind : uint32_t {
  kPlotTaskKind = 0,
  kFinalizeTaskKind = 1,
  kDeleteFileTaskKind = 2,
  kMorePlotsReportKind = 3,
  kFinalizeSpaceReportKind = 4,
};

// A slot >= 0 names an existing temp file's record; a negative slot is ~directory index of a
// temp file still to be made.
class PlotTask : public ManagerTask {
 public:
  uint32_t Kind() const override { return kPlotTaskKind; }
  uint8_t resume = 0;
  std::vector<int64_t> tempSlots;  // at most 16
  uint64_t target = 0;             // continue: record of the unfinished plot; new: ~directory
};

class FinalizeTask : public ManagerTask {
 public:
  uint32_t Kind() const override { return kFinalizeTaskKind; }
  uint8_t resume = 0;
  uint64_t source = 0;  // record of the complete sparse plot
  uint64_t target = 0;  // continue: record of the unfinished final plot; new: ~directory
};

class DeleteFileTask : public ManagerTask {
 public:
  explicit DeleteFileTask(uint64_t file) : file(file) {}
  uint32_t Kind() const override { return kDeleteFileTaskKind; }
  uint64_t file = 0;
};

using MissingSpace = std::vector<std::pair<uint64_t, uint64_t>>;  // (directory, bytes)

class MorePlotsReport : public ManagerTask {
 public:
  uint32_t Kind() const override { return kMorePlotsReportKind; }
  uint64_t missingTempFiles = 0;  // 0 when no directory takes temp files
  std::vector<uint64_t> directories;
  MissingSpace missing;

  bool operator==(const MorePlotsReport& other) const {
    return missingTempFiles == other.missingTempFiles && directories == other.directories &&
           missing == other.missing;
  }
  std::vector<std::string> Lines(const std::vector<DirectorySpec>& specs) const;
};

class FinalizeSpaceReport : public ManagerTask {
 public:
  uint32_t Kind() const override { return kFinalizeSpaceReportKind; }
  MissingSpace missing;

  bool operator==(const FinalizeSpaceReport& other) const { return missing == other.missing; }
  std::vector<std::string> Lines(const std::vector<DirectorySpec>& specs) const;
};

// A replaced plot file that proof jobs may still be reading: deleted once nobody holds the plot.
struct PendingDelete {
  std::weak_ptr<PlotFile> plot;
  std::filesystem::path path;
};
