#include <system_error>

#include "manager/client.h"
#include "manager/text_helpers.h"
#include "plotter/plot_file_checks.h"
#include "runtime/direct_file.h"

void Client::DeletePlotFile(const std::filesystem::path& path, bool completeSparsePlot) {
  const std::string text = path.string();
  const std::string failure = "WARNING: Failed to delete file \"" + text + "\": ";
  try {
    bool expected = false;
    try {
      expected = completeSparsePlot ? IsSparsePlotFile(text) : IsUnfinishedPlotOrTemp(text);
    } catch (const std::exception&) {
      // Gone or unreadable: not what the caller saw, so it fails the check like any other file.
    }
    if (!expected) throw std::runtime_error("Final check before delete failed");
    // Taking the lock refuses a file that another process still writes or reads.
    DirectFile probe(log_);
    probe.Open(path, false);
  } catch (const std::exception& error) {
    log_(failure + error.what());
    UndeletablePaths.insert(path);
    return;
  }
  std::error_code error;
  if (std::filesystem::remove(path, error)) {
    log_("File deleted \"" + PathStem(path) + "\"");
    return;
  }
  if (!error) error = std::make_error_code(std::errc::no_such_file_or_directory);
  log_(failure + error.message());
  UndeletablePaths.insert(path);
}

bool Client::AddPlotToMining(bool recordId) {
  const std::filesystem::path path = JobPlotPath;
  KnownPlotPaths.insert(path);
  if (config_.miningOff || !JobMineable || Engine == nullptr) return true;
  try {
    std::shared_ptr<PlotFile> plot = OpenMinedPlot(path, JobDirectoryIndex);
    if (plot == nullptr || !CheckPlotKeys(*plot)) return false;
    PlotIdBytes id;
    std::memcpy(id.data(), plot->header.plotId, id.size());
    MinedPlotPaths.insert(path);
    std::lock_guard lock(MinedPlotsMutex);
    if (recordId) MinedPlotIds.insert(id);
    MinedPlots.push_back(std::move(plot));
    return true;
  } catch (const std::exception& error) {
    log_("WARNING: Failed to open plot \"" + path.string() + "\": " + error.what());
  } catch (...) {
    log_("WARNING: Failed to open plot");
  }
  return false;
}
