#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>

#include "manager/client.h"
#include "manager/file_classification.h"
#include "manager/scan_file_reader.h"
#include "manager/text_helpers.h"

namespace {

std::string WithReason(std::string text, const std::exception* error) {
  return error != nullptr ? text + "\": " + error->what() : text + "\"";
}

}  // namespace

uint64_t Client::QueryFreeSpace(const std::filesystem::path& directory) {
  // The file system follows links itself, relative ones included, and ends a loop with an error.
  return std::filesystem::space(directory).available;
}

uint64_t Client::QueryDevice(const std::filesystem::path& directory) {
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0)
    throw std::system_error(errno, std::generic_category());
  return info.st_dev;
}

void Client::WarnOnce(const std::string& subject, const std::string& text) {
  if (scanWarnings_.ShouldPrint(subject, text)) log_(text);
}

void Client::ScanDirectories() {
  bool startup;
  {
    std::lock_guard lock(Mutex);
    startup = ScanPending != 0;
  }
  scannedFiles_.clear();
  scannedPaths_.clear();
  seenPlotIds_.clear();
  duplicatePlotIds_.clear();
  startupReport_ = StartupReportData{};
  startupReport_.KeyGroupCounts.resize(directories_.size());
  directoryStates_.assign(directories_.size(), DirectoryState{});
  if (directories_.empty() && !startup) return;

  scanWarnings_.BeginScan();
  uint64_t newPlots = 0;
  for (uint64_t i = 0; i < directories_.size(); ++i) ScanDirectory(i, startup, newPlots);
  scanWarnings_.EndScan();

  if (!startup) {
    if (newPlots > NewPlotsReported) {
      NewPlotsReported = newPlots;
      log_("Found " + std::to_string(newPlots) + (newPlots == 1 ? " new plot" : " new plots") +
          ", restart the client to view report");
    }
    return;
  }
  for (const std::string& line : DirectoryReportLines(startupReport_, duplicatePlotIds_, scannedFiles_,
                                                      scannedPaths_, directoryStates_, directories_)) {
    log_(line);
  }
  {
    std::lock_guard lock(Mutex);
    ScanPending = 0;
  }
  StartupScanPending.store(0);
  TestWake.notify_all();
}

void Client::ScanDirectory(uint64_t index, bool startup, uint64_t& newPlots) {
  const DirectorySpec& spec = directories_[index];
  DirectoryState& state = directoryStates_[index];
  state = {kUnknownFreeBytes,       static_cast<uint64_t>(spec.PlotCountLimit),
           spec.tempFilesAllowed,   spec.finalPlotsAllowed,
           spec.sparsePlotsAllowed, spec.readOnly};
  const std::string path = spec.path.string();
  const std::string spaceFailure = "WARNING: Failed to retrive free space of directory \"" + path;
  try {
    state.FreeBytes = QueryFreeSpace(spec.path);
    state.deviceFreeBytes = state.FreeBytes;
  } catch (const std::exception& error) {
    WarnOnce("space " + path, WithReason(spaceFailure, &error));
  } catch (...) {
    WarnOnce("space " + path, WithReason(spaceFailure, nullptr));
  }

  try {
    state.device = QueryDevice(spec.path);
  } catch (...) {
    state.device = ~index;  // a file system of its own: its space is not pooled with others
  }

  // A directory that cannot be read must not look empty: what it holds may be the source or
  // the temp files of work elsewhere, and the planner plans nothing while space is unknown.
  std::error_code error;
  std::filesystem::directory_iterator entries(spec.path, error);
  if (error) {
    WarnOnce("list " + path, "ERROR: Failed to enumerate files in directory \"" + path + "\"");
    state.FreeBytes = kUnknownFreeBytes;
    return;
  }
  uint64_t used = 0;
  for (const std::filesystem::directory_entry& entry : entries) {
    std::error_code statusError;
    if (!entry.is_regular_file(statusError) || statusError) continue;
    if (UndeletablePaths.count(entry.path()) != 0) {
      // Still on the disk, and still within the user's limit.
      std::error_code sizeError;
      const uint64_t size = entry.file_size(sizeError);
      if (!sizeError) used += size;
      continue;
    }
    ScanEntry(entry.path(), index, startup, used, newPlots);
  }

  const uint64_t limit = static_cast<uint64_t>(spec.spaceLimit);
  if (limit != ~uint64_t{0} && state.FreeBytes != kUnknownFreeBytes) {
    state.FreeBytes = limit > used ? std::min(state.FreeBytes, limit - used) : 0;
  }
}

void Client::ScanEntry(const std::filesystem::path& path, uint64_t index, bool startup,
                       uint64_t& used, uint64_t& newPlots) {
  const std::string text = path.string();
  std::array<uint8_t, 512> keyBlock{};
  ScannedFile file;
  file.DirectoryIndex = index;
  try {
    file = ReadScannedFile(path, index, keyBlock);
  } catch (const std::exception& error) {
    WarnOnce("read " + text, std::string("WARNING: ") + error.what());
  } catch (...) {
    WarnOnce("read " + text, "WARNING: 84A17C6A");
  }

  FileVerdict verdict = ClassifyScannedFile(file, path);
  if (startup) {
    for (const std::string& warning : verdict.warnings) log_(warning);
  }
  if (file.Kind == kPlotFileKind) {
    if (startup) {
      file.KnownAtStartup = 1;
      KnownPlotPaths.insert(path);
    } else {
      file.KnownAtStartup = KnownPlotPaths.count(path) != 0;
      if (!file.KnownAtStartup && file.IsCompletePlot() && file.Version <= 1) ++newPlots;
    }
  }

  std::string keyText;
  file.KeyStatus = kNoKeyStatus;
  if (file.Kind == kPlotFileKind) file.KeyStatus = ClassifyKeys(file, keyBlock, text, keyText);
  if (startup) {
    if (file.Kind == kUnrelatedFile) {
      startupReport_.unrelated.Add(text);
    } else if (verdict.recorded) {
      CountForReport(file, keyText, path);
    }
  }
  if (file.Kind != kUnrelatedFile && !verdict.recorded) {
    used += file.FileSize;  // ignored, but it is this system's file and takes the space
    return;
  }
  if (!verdict.recorded) return;

  const bool mineableKeys = file.KeyStatus == 0 || file.KeyStatus == 1 || file.KeyStatus == 4;
  if (file.IsCompletePlot() && file.Version <= 1 && file.HasKeyBlock && mineableKeys) {
    AdmitToMining(file, path, startup);
  }
  used += file.FileSize;
  scannedFiles_.push_back(file);
  scannedPaths_.push_back(path);
  if (file.IsCompletePlot() && file.Version <= 1) {
    if (!seenPlotIds_.insert(file.PlotId).second) duplicatePlotIds_.insert(file.PlotId);
  }
}

uint32_t Client::ClassifyKeys(const ScannedFile& file, const std::array<uint8_t, 512>& keyBlock,
                              const std::string& path, std::string& keyText) {
  if (!file.HeaderValid || !file.MarkerMatches || file.Version > 1 || !file.HasKeyBlock) {
    return kNoKeyStatus;
  }
  const std::string failure = "ERROR: Invalid plot keys in \"" + path;
  try {
    const uint32_t code = KeyProvider->Classify(file.PlotId.data(), keyBlock.data());
    if (code >= 1 && code <= 4) {
      keyText = KeyProvider->CheckPlotId(file.PlotId.data(), keyBlock.data());
    } else if (code == 0 || code == 5) {
      keyText.assign(1, '_');
    }
    return code;
  } catch (const std::exception& error) {
    WarnOnce("keys " + path, WithReason(failure, &error));
  } catch (...) {
    WarnOnce("keys " + path, WithReason(failure, nullptr));
  }
  return kNoKeyStatus;
}

void Client::CountForReport(const ScannedFile& file, const std::string& keyText,
                            const std::filesystem::path& path) {
  StartupReportData& report = startupReport_;
  if (file.Version > 1) {
    report.unsupportedVersion.Add(path.string());
    return;
  }
  if (!file.IsCompletePlot() || (file.HasKeyBlock && file.KeyStatus == kNoKeyStatus)) return;

  const bool testThread = config_.testThreadOff == 0;
  const bool checkAll = testThread && config_.checkPlots != 0;
  const bool readOnly = directories_[file.DirectoryIndex].readOnly != 0;
  ++report.totalPlots;
  KeyGroupCount& group = report.KeyGroupCounts[file.DirectoryIndex][keyText];
  ++group.plots;
  ++group.plotsByLevel[file.Level];
  group.Sparse += file.Sparse != 0;

  if (!file.HasKeyBlock) {
    if (checkAll) QueueForTest(file, path);
    report.withoutKeys.Add(path.string());
    return;
  }
  switch (file.KeyStatus) {
    case 4:
      ++group.untested;
      report.readOnlyTestable += readOnly;
      if (testThread && (config_.checkPlots != 0 || !readOnly)) QueueForTest(file, path);
      break;
    case 2:
    case 3:
      ++group.untested;
      group.passwordNeeded = 1;
      report.PasswordKeys.insert(keyText);
      ++report.passwordNeededPlots;
      if (checkAll) QueueForTest(file, path);
      return;
    case 5:
      if (checkAll) QueueForTest(file, path);
      report.unsupportedKeys.Add(path.string());
      return;
    default:
      if (checkAll) QueueForTest(file, path);
      break;
  }
  try {
    if (report.mineableIds.insert(file.PlotId).second) ++report.mineablePlots;
  } catch (...) {
    log_("WARNING: 88D5E821");
  }
}

void Client::QueueForTest(const ScannedFile& file, const std::filesystem::path& path) {
  TestQueueEntry entry{file.DirectoryIndex, path};
  std::lock_guard lock(Mutex);
  TestQueue.push_back(std::move(entry));
}

std::shared_ptr<PlotFile> Client::OpenMinedPlot(const std::filesystem::path& path, uint64_t index) {
  return OpenPlotFile(*Engine, path, index);
}

void Client::AdmitToMining(const ScannedFile& file, const std::filesystem::path& path,
                           bool startup) {
  if (config_.miningOff != 0 || Engine == nullptr) return;
  {
    std::lock_guard lock(MinedPlotsMutex);
    if (MinedPlotIds.count(file.PlotId) != 0) return;
  }
  const std::string failure = "WARNING: Failed to open plot \"" + path.string();
  std::shared_ptr<PlotFile> plot;
  try {
    plot = OpenMinedPlot(path, file.DirectoryIndex);
  } catch (const std::exception& error) {
    WarnOnce("open " + path.string(), WithReason(failure, &error));
    return;
  } catch (...) {
    WarnOnce("open " + path.string(), WithReason(failure, nullptr));
    return;
  }
  if (plot == nullptr || !CheckPlotKeys(*plot)) return;

  MinedPlotPaths.insert(path);
  if (!startup) log_("Plot \"" + PathStem(path) + "\" included in mining");
  std::lock_guard lock(MinedPlotsMutex);
  MinedPlots.push_back(std::move(plot));
  try {
    MinedPlotIds.insert(file.PlotId);
  } catch (...) {
    log_("WARNING: 7A81D122");
  }
}
