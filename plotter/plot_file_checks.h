#pragma once

#include <string>

// Header checks that sort files on disk. None of them looks at the completion marker. A
// malformed or short header gives false; a file that cannot be opened or read raises
// "Failed to open or read file \"<path>\": <reason>".

// A complete sparse plot: plot magic, version 1, sparse, complete and closed bytes set, a
// creation time and a level of at most 4.
bool IsSparsePlotFile(const std::string& path);

// A complete final plot: as above with the sparse byte clear.
bool IsFinalPlotFile(const std::string& path);

// A temp file (its magic alone decides), or a plot of version 0 or 1 with a creation time whose
// complete or closed byte is clear.
bool IsUnfinishedPlotOrTemp(const std::string& path);
