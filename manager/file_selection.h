#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "manager/manager_task.h"
#include "manager/scanned_file.h"
#include "manager/space_pool.h"
#include "plotter/plot_scale.h"

// Pure choices over the records of the last scan: what may be deleted, which temp files belong
// to an unfinished plot, where the temp files of a new plot go and what space is missing.

struct PlanningOptions {
  uint8_t Version = 1;
  uint8_t Level = 0;  // 0..4
  uint8_t noPlotting = 0;
  uint8_t noFinalizing = 0;
  PlotScale scale{};
};

struct PlanningView {
  const std::vector<DirectoryState>& directories;
  const std::vector<ScannedFile>& files;
  PlanningOptions options;
};

inline constexpr size_t kMaxTempSlots = 16;

// Bytes of each temp file of a plot that uses `files` temp files.
uint64_t PlannedTempFileBytes(uint64_t files, const PlotScale& scale);
// Bytes of a sparse plot of the level, and of a final plot with the room finalizing it takes.
uint64_t PlannedSparseBytes(uint8_t level, const PlotScale& scale);
uint64_t PlannedFinalBytes(uint8_t level, const PlotScale& scale);

// Directories that take temp files and are not read-only, at most 16: the temp-file count of a
// new plot.
uint64_t TempDirectoryCount(const std::vector<DirectoryState>& directories);

bool IsTempRecord(const ScannedFile& file, const PlanningOptions& options);

// One record per temp file of `plot`, in file-index order; false when a file is missing (its
// slot is then -1).
bool FindTempFilesOfPlot(const PlanningView& view, uint64_t plot, std::vector<int64_t>& slots);
bool CanResumeWithTempFiles(const PlanningView& view, const std::vector<int64_t>& slots,
                            uint64_t plot);
// The complete sparse plot with the level and id of `record`, or -1.
int64_t FindPlotWithSameId(const PlanningView& view, const ScannedFile& record);

// Per file: it is a temp file of an unfinished plot that can still be resumed.
std::vector<uint8_t> ResumableTempFiles(const PlanningView& view);

// Temp-file slots of a new plot, their sizes claimed in `pool`; 0 when no complete set fits.
// Temp files of a resumable plot are never taken, nor is a new one made beside them.
uint64_t AssignTempFiles(const PlanningView& view, SpacePool& pool, std::vector<int64_t>& slots);

std::unique_ptr<DeleteFileTask> SelectFileToDelete(const PlanningView& view);
std::unique_ptr<MorePlotsReport> MakeMorePlotsReport(const PlanningView& view);
