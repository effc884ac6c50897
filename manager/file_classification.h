#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "manager/scanned_file.h"

// Whether a scanned file is kept for planning and mining, and what the start-up scan tells the
// user about it: a file whose name or extension does not fit its header is ignored, so a plot
// half copied under a strange name is never mined, deleted or finalized by mistake.
struct FileVerdict {
  bool recorded = false;
  std::vector<std::string> warnings;  // in the order they are printed
};

FileVerdict ClassifyScannedFile(const ScannedFile& file, const std::filesystem::path& path);
