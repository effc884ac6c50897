#pragma once

#include <array>
#include <string>
#include <string_view>

// The fixed texts of plot and temporary file errors; an error adds ": " and a code.
enum class FileError {
  kInvalidTempFile,
  kInvalidPlotFile,
  kUnsupportedPlotFile,
  kUnsupportedTempFile,
  kMoreMemoryNeeded,
  kInvalidInputPlotFile,
  kInvalidOutputPlotFile,
  kUnsupportedInputPlotFile,
  kUnsupportedOutputPlotFile,
  kFailedToAllocateMemory,
};

inline constexpr std::array<const char*, 10> FileErrorTexts = {
    "invalid temp file",         "invalid plot file",           "unsupported plot file",
    "unsupported temp file",     "more memory needed",          "invalid input plot file",
    "invalid output plot file",  "unsupported input plot file", "unsupported output plot file",
    "failed to allocate memory",
};

// "invalid temp file: 44330887" for (FileError::InvalidTempFile, "44330887").
std::string FileErrorText(FileError error, std::string_view code);
