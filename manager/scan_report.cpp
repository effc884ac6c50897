#include "manager/scan_report.h"

#include "runtime/text_utils.h"

namespace {

std::string Counted(uint64_t n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

void AddList(std::vector<std::string>& lines, const ReportedFiles& list, const std::string& first) {
  if (list.count == 0) return;
  lines.push_back(first);
  for (const std::string& path : list.paths) lines.push_back(Quoted(path));
  if (list.count > list.paths.size()) lines.push_back("...");
}

std::string GroupLine(const std::string& keyText, const KeyGroupCount& group) {
  std::string line = group.passwordNeeded ? "!!!password needed!!! " : "";
  line += Counted(group.plots, "plot", "plots") + " (";
  std::vector<std::string> items;
  if (group.untested > 0) items.push_back(std::to_string(group.untested) + " untested");
  if (group.Sparse > 0) items.push_back(std::to_string(group.Sparse) + " sparse");
  size_t levels = 0;
  for (const uint64_t count : group.plotsByLevel) levels += count != 0;
  for (size_t level = 0; level < group.plotsByLevel.size(); ++level) {
    const uint64_t count = group.plotsByLevel[level];
    if (count == 0) continue;
    const std::string name = "CL" + std::to_string(level + 1);
    items.push_back(levels == 1 ? name : std::to_string(count) + name);
  }
  for (size_t i = 0; i < items.size(); ++i) line += (i == 0 ? "" : ", ") + items[i];
  line += ")";
  if (keyText.empty()) return line + " without any key";
  if (keyText == "_") return line + " without public key";
  return line + " with public key " +
         (keyText.size() > 18 ? keyText.substr(0, 18) + "..." : keyText);
}

}  // namespace

void ReportedFiles::Add(const std::string& path) {
  ++count;
  try {
    if (paths.size() < kMaxPaths) paths.push_back(path);
  } catch (...) {
    // The count alone still tells the user.
  }
}

std::vector<std::string> DirectoryReportLines(const StartupReportData& data,
                                              const std::set<PlotIdBytes>& duplicateIds,
                                              const std::vector<ScannedFile>& files,
                                              const std::vector<std::filesystem::path>& paths,
                                              const std::vector<DirectoryState>& states,
                                              const std::vector<DirectorySpec>& specs) {
  std::vector<std::string> lines;
  for (const PlotIdBytes& id : duplicateIds) {
    std::vector<std::string> copies;
    for (size_t i = 0; i < files.size(); ++i) {
      if (files[i].IsCompletePlot() && files[i].PlotId == id) copies.push_back(paths[i].string());
    }
    if (copies.size() < 2) continue;
    lines.push_back("WARNING: Found multiple plots with same plot id \"" + ToHexUpper(id.data()) +
                    "\":");
    for (const std::string& copy : copies) lines.push_back(Quoted(copy));
  }

  const ReportedFiles& unrelated = data.unrelated;
  AddList(
      lines, unrelated,
      "WARNING: Found " +
          Counted(unrelated.count, "unrelated or corrupted file", "unrelated or corrupted files") +
          ":");
  AddList(lines, data.withoutKeys,
          "WARNING: Found " + Counted(data.withoutKeys.count, "plot", "plots") + " without keys:");
  AddList(lines, data.unsupportedVersion,
          "WARNING: Found " + Counted(data.unsupportedVersion.count, "file", "files") +
              " with unsupported version:");
  AddList(lines, data.unsupportedKeys,
          "WARNING: Found " + Counted(data.unsupportedKeys.count, "plot", "plots") +
              " with unsupported keys:");
  if (data.readOnlyTestable > 0) {
    lines.push_back("WARNING: Found " + Counted(data.readOnlyTestable, "plot", "plots") +
                    " applicable for testing but containing directory is specified as readonly");
  }

  lines.insert(lines.end(), {"", "Directories summary:"});
  for (size_t d = 0; d < specs.size(); ++d) {
    lines.insert(lines.end(), {"", "--- " + Quoted(specs[d].path.string()) + " ---"});
    if (d < data.KeyGroupCounts.size()) {
      for (const auto& [keyText, group] : data.KeyGroupCounts[d]) {
        lines.push_back(GroupLine(keyText, group));
      }
    }
    const uint64_t free = d < states.size() ? states[d].FreeBytes : kUnknownFreeBytes;
    lines.push_back(free == kUnknownFreeBytes ? "(??? GiB available)"
                                              : "(" + FormatGiB(free) + " GiB available)");
  }
  lines.insert(lines.end(), {"", "Total plots: " + std::to_string(data.totalPlots),
                             "Mineable plots: " + std::to_string(data.mineablePlots), ""});

  if (!data.PasswordKeys.empty()) {
    const size_t keys = data.PasswordKeys.size();
    lines.insert(lines.end(), {"!!!WARNING!!!", "",
                               std::string("Password needed for the following public ") +
                                   (keys == 1 ? "key" : "keys") + ":"});
    lines.insert(lines.end(), data.PasswordKeys.begin(), data.PasswordKeys.end());
    lines.insert(lines.end(), {"",
                               std::to_string(data.passwordNeededPlots) +
                                   (data.passwordNeededPlots == 1 ? " plot" : " plots") +
                                   " can not be used until password is specified",
                               ""});
  }
  return lines;
}
