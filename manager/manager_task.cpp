#include "manager/manager_task.h"

#include "runtime/text_utils.h"

namespace {

void AddMissingLines(const MissingSpace& missing, const std::vector<DirectorySpec>& specs,
                     std::vector<std::string>& lines) {
  for (const auto& [directory, bytes] : missing) {
    lines.push_back("Additional " + FormatGiB(bytes) + "GiB of free space required in \"" +
                    specs[directory].path.string() + "\"");
  }
}

}  // namespace

std::vector<std::string> MorePlotsReport::Lines(const std::vector<DirectorySpec>& specs) const {
  std::vector<std::string> lines{"WARNING: Following directories could contain more plots:"};
  for (uint64_t directory : directories) {
    lines.push_back(std::string("\"").append(specs[directory].path.string()).append("\""));
  }
  if (missingTempFiles == 0) {
    lines.push_back(
        "But no temp directories was specified (plotter requires at least one temp file to "
        "work)");
    return lines;
  }
  lines.push_back("But there is no enough free space for " + std::to_string(missingTempFiles) +
                  " temp " + (missingTempFiles == 1 ? "file" : "files") + " in temp directories:");
  AddMissingLines(missing, specs, lines);
  lines.push_back("If you want to use less temp files, mark some directories as \"notemp\"");
  return lines;
}

std::vector<std::string> FinalizeSpaceReport::Lines(const std::vector<DirectorySpec>& specs) const {
  std::vector<std::string> lines{
      "WARNING: Following directories contain more than one sparse plots but not enough free "
      "space to finalize them:"};
  AddMissingLines(missing, specs, lines);
  return lines;
}
