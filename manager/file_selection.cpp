#include "manager/file_selection.h"

#include <algorithm>

#include "plotter/engine_memory.h"
#include "plotter/plot_size_tables.h"

namespace {

bool IsTempDirectory(const DirectoryState& d) { return d.tempAllowed && !d.readOnly; }

bool IsPlot(const ScannedFile& f) {
  return f.Kind == kPlotFileKind && f.HeaderValid && f.MarkerMatches;
}

bool IsUnfinishedSparsePlot(const ScannedFile& f) {
  return IsPlot(f) && f.Initialized && !f.Complete && f.Sparse;
}

bool LinkedTo(const ScannedFile& temp, const ScannedFile& plot) {
  return temp.LinkStamp == plot.LinkStamp && temp.Level == plot.Level && temp.PlotId == plot.PlotId;
}

int64_t FindTempRecord(const PlanningView& view, const ScannedFile& plot, uint8_t index,
                       uint8_t count) {
  for (size_t i = 0; i < view.files.size(); ++i) {
    const ScannedFile& f = view.files[i];
    if (IsTempRecord(f, view.options) && f.TempFileIndex == index && LinkedTo(f, plot) &&
        (index == 0 || f.TempFileCount == count)) {
      return static_cast<int64_t>(i);
    }
  }
  return -1;
}

constexpr uint64_t kFinalizeMargin = 151261184;
// Headers and key blocks keep their size in a thinned plot.
constexpr uint64_t kThinnedFixedBytes = uint64_t{1} << 20;

uint64_t Thinned(uint64_t bytes, const PlotScale& scale) {
  return scale.IsProduction() ? bytes : scale.Shrink(bytes) + kThinnedFixedBytes;
}

// Bytes an existing temp file of `size` still has to grow by.
uint64_t Growth(uint64_t size, uint64_t s) { return size < s ? s - size : 0; }

}  // namespace

uint64_t PlannedTempFileBytes(uint64_t files, const PlotScale& scale) {
  return TempFileBytes(files, scale);
}

uint64_t PlannedSparseBytes(uint8_t level, const PlotScale& scale) {
  return Thinned(SparsePlotSizeByLevel[level], scale);
}

uint64_t PlannedFinalBytes(uint8_t level, const PlotScale& scale) {
  return Thinned(FinalPlotSizeByLevel[level] + kFinalizeMargin, scale);
}

uint64_t TempDirectoryCount(const std::vector<DirectoryState>& directories) {
  const auto count = std::ranges::count_if(directories, IsTempDirectory);
  return std::min<uint64_t>(count, kMaxTempSlots);
}

bool IsTempRecord(const ScannedFile& f, const PlanningOptions& options) {
  return f.Kind == kTempFileKind && f.HeaderValid && f.MarkerMatches &&
         f.Version == options.Version && f.Initialized && !f.Complete;
}

bool FindTempFilesOfPlot(const PlanningView& view, uint64_t plot, std::vector<int64_t>& slots) {
  const ScannedFile& record = view.files[plot];
  slots.assign(1, FindTempRecord(view, record, 0, 0));
  if (slots[0] < 0) return false;
  const uint8_t count = view.files[slots[0]].TempFileCount;
  bool all = true;
  for (uint8_t k = 1; k < count; ++k) {
    slots.push_back(FindTempRecord(view, record, k, count));
    all &= slots.back() >= 0;
  }
  return all;
}

bool CanResumeWithTempFiles(const PlanningView& view, const std::vector<int64_t>& slots,
                            uint64_t plot) {
  if (slots.size() != TempDirectoryCount(view.directories)) return false;
  std::vector<uint64_t> directories;
  for (int64_t slot : slots) {
    const uint64_t d = view.files[slot].DirectoryIndex;
    if (!IsTempDirectory(view.directories[d])) return false;
    directories.push_back(d);
  }
  std::ranges::sort(directories);
  if (std::ranges::adjacent_find(directories) != directories.end()) return false;
  const DirectoryState& own = view.directories[view.files[plot].DirectoryIndex];
  return own.sparseAllowed && !own.readOnly;
}

int64_t FindPlotWithSameId(const PlanningView& view, const ScannedFile& record) {
  for (size_t i = 0; i < view.files.size(); ++i) {
    const ScannedFile& f = view.files[i];
    if (IsPlot(f) && f.Version == view.options.Version && f.Initialized && f.Complete && f.Sparse &&
        f.Level == record.Level && f.PlotId == record.PlotId) {
      return static_cast<int64_t>(i);
    }
  }
  return -1;
}

std::vector<uint8_t> ResumableTempFiles(const PlanningView& view) {
  std::vector<uint8_t> taken(view.files.size(), 0);
  std::vector<int64_t> slots;
  for (size_t i = 0; i < view.files.size(); ++i) {
    if (!IsUnfinishedSparsePlot(view.files[i])) continue;
    if (!FindTempFilesOfPlot(view, i, slots) || !CanResumeWithTempFiles(view, slots, i)) continue;
    for (int64_t slot : slots) taken[slot] = 1;
  }
  return taken;
}

uint64_t AssignTempFiles(const PlanningView& view, SpacePool& pool, std::vector<int64_t>& slots) {
  slots.clear();
  const uint64_t n = TempDirectoryCount(view.directories);
  if (n == 0) return 0;
  const uint64_t s = PlannedTempFileBytes(n, view.options.scale);
  const std::vector<uint8_t> taken = ResumableTempFiles(view);
  // A new temp file would take the name of a resumable plot's file.
  std::vector<uint8_t> blocked(view.directories.size(), 0);
  for (size_t i = 0; i < view.files.size(); ++i) {
    if (taken[i]) blocked[view.files[i].DirectoryIndex] = 1;
  }

  std::vector<uint8_t> hasSlot(view.directories.size(), 0);
  for (size_t d = 0; d < view.directories.size() && slots.size() < n; ++d) {
    const DirectoryState& dir = view.directories[d];
    if (!IsTempDirectory(dir) || blocked[d]) continue;
    int64_t best = -1;
    for (size_t i = 0; i < view.files.size(); ++i) {
      const ScannedFile& f = view.files[i];
      if (f.DirectoryIndex != d || f.Kind != kTempFileKind) continue;
      if (f.FileSize < s && s - f.FileSize > dir.FreeBytes) continue;
      const uint64_t current = best < 0 ? 0 : view.files[best].FileSize;
      if (best < 0 || (current >= s && f.FileSize < current && f.FileSize >= s) ||
          (current < s && f.FileSize > current)) {
        best = static_cast<int64_t>(i);
      }
    }
    if (best < 0) continue;
    slots.push_back(best);
    hasSlot[d] = 1;
  }
  for (int64_t slot : slots) {
    const ScannedFile& f = view.files[slot];
    if (!pool.Claim(f.DirectoryIndex, Growth(f.FileSize, s))) {
      slots.clear();
      return 0;
    }
  }
  for (size_t d = 0; d < view.directories.size() && slots.size() < n; ++d) {
    if (!IsTempDirectory(view.directories[d]) || hasSlot[d] || blocked[d]) continue;
    if (pool.Claim(d, s)) slots.push_back(~static_cast<int64_t>(d));
  }
  if (slots.size() != n) slots.clear();
  return slots.size();
}

std::unique_ptr<DeleteFileTask> SelectFileToDelete(const PlanningView& view) {
  const std::vector<ScannedFile>& files = view.files;
  std::vector<uint8_t> spared(files.size(), 0);
  bool resumable = false;
  std::vector<int64_t> slots;
  for (size_t i = 0; i < files.size(); ++i) {
    const ScannedFile& f = files[i];
    const DirectoryState& dir = view.directories[f.DirectoryIndex];
    // A plot whose header says complete holds a farmer's whole plot, whatever else it shows.
    if (f.Kind == kUnrelatedFile || !f.HeaderValid || f.Version > view.options.Version ||
        dir.readOnly || (f.Kind == kPlotFileKind && f.Complete)) {
      spared[i] = 1;
      continue;
    }
    if (f.Kind != kPlotFileKind || !f.Initialized || !f.MarkerMatches) continue;
    if (f.Sparse) {
      if (!FindTempFilesOfPlot(view, i, slots) || !CanResumeWithTempFiles(view, slots, i)) continue;
      spared[i] = 1;
      for (int64_t slot : slots) spared[slot] = 1;
      resumable = true;
    } else {
      const int64_t source = FindPlotWithSameId(view, f);
      if (source >= 0 && !view.directories[files[source].DirectoryIndex].readOnly &&
          dir.finalAllowed) {
        spared[i] = 1;
      }
    }
  }
  if (!resumable) {
    SpacePool pool(view.directories);
    AssignTempFiles(view, pool, slots);
    for (int64_t slot : slots) {
      if (slot >= 0) spared[slot] = 1;
    }
  }
  const auto first = std::ranges::find(spared, 0);
  if (first == spared.end()) return nullptr;
  return std::make_unique<DeleteFileTask>(first - spared.begin());
}

std::unique_ptr<MorePlotsReport> MakeMorePlotsReport(const PlanningView& view) {
  const uint64_t sparse = PlannedSparseBytes(view.options.Level, view.options.scale);
  const std::vector<DirectoryState>& dirs = view.directories;
  auto report = std::make_unique<MorePlotsReport>();
  const uint64_t n = TempDirectoryCount(dirs);
  if (n == 0) {
    for (size_t d = 0; d < dirs.size(); ++d) {
      uint64_t complete = 0;
      for (const ScannedFile& f : view.files) {
        complete += f.DirectoryIndex == d && f.Kind == kPlotFileKind && f.HeaderValid &&
                    f.Initialized && f.Complete;
      }
      if (dirs[d].sparseAllowed && !dirs[d].readOnly && dirs[d].FreeBytes >= sparse &&
          dirs[d].PlotCountLimit > complete) {
        report->directories.push_back(d);
      }
    }
    if (report->directories.empty()) return nullptr;
    return report;
  }

  const uint64_t s = PlannedTempFileBytes(n, view.options.scale);
  SpacePool pool(dirs);
  uint64_t withRoom = 0;
  std::vector<uint8_t> lacking(dirs.size(), 0);
  for (size_t d = 0; d < dirs.size(); ++d) {
    if (!IsTempDirectory(dirs[d])) continue;
    uint64_t need = s;
    for (const ScannedFile& f : view.files) {
      if (f.DirectoryIndex == d && f.Kind == kTempFileKind)
        need = std::min(need, Growth(f.FileSize, s));
    }
    const uint64_t available = pool.Available(d);
    if (pool.Claim(d, need)) {
      if (++withRoom == n) return nullptr;
    } else {
      report->missing.emplace_back(d, need - available);
      lacking[d] = 1;
    }
  }
  for (size_t d = 0; d < dirs.size(); ++d) {
    if (dirs[d].sparseAllowed && !dirs[d].readOnly && !lacking[d] && pool.Available(d) >= sparse) {
      report->directories.push_back(d);
    }
  }
  if (report->directories.empty()) return nullptr;
  report->missingTempFiles = n - withRoom;
  return report;
}
