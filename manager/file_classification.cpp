#include "manager/file_classification.h"

#include <cctype>

#include "manager/text_helpers.h"
#include "plotter/file_names.h"
#include "runtime/text_utils.h"

namespace {

std::string WrongExtension(const char* prefix, const std::string& path, const char* extension) {
  return prefix + path + "\", it will be ignored, change extension to \"" + extension +
         "\" to use this file";
}

// A stem that someone may have meant as a plot id: long, with many digits or digit runs.
bool LooksLikeHex(const std::string& stem) {
  if (stem.size() < 36) return false;
  size_t digits = 0, runs = 0;
  bool inRun = false;
  for (const char ch : stem) {
    const bool digit = std::isdigit(static_cast<unsigned char>(ch)) != 0;
    digits += digit;
    runs += digit && !inRun;
    inRun = digit;
  }
  return digits >= 8 || runs >= 4;
}

void CheckName(const ScannedFile& file, const std::filesystem::path& path, FileVerdict& verdict) {
  const std::string name = path.filename().string();
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  if (!LooksLikeHex(stem)) return;
  const std::string id = ToHexUpper(file.PlotId.data());
  if (stem == id) return;
  verdict.warnings.push_back("WARNING: Plot file name looks like hex \"" + path.string() +
                             "\" but does not match with embedded plot id \"" + id + "\"");
}

FileVerdict ClassifyTempFile(const ScannedFile& file, const std::filesystem::path& path) {
  FileVerdict verdict;
  const std::string text = path.string();
  if (path.filename() != TempFileName) {
    verdict.warnings.push_back("WARNING: Found temporary file with strange name \"" + text +
                               "\", it will be ignored, delete this file if it is not needed");
    return verdict;
  }
  verdict.recorded = true;
  if (!file.HeaderValid || (file.Initialized && !file.MarkerMatches)) {
    verdict.warnings.push_back("WARNING: Found partially copied or damaged temporary file \"" +
                               text + "\"");
  }
  return verdict;
}

// The warning when the extension does not fit the header; empty when it does.
std::string ExtensionMismatch(const ScannedFile& file, const std::string& text) {
  const auto ends = [&text](const char* suffix) { return StringEndsWith(text, suffix); };
  if (!file.HeaderValid) {
    if (ends(".spt") || ends(".fpt") || ends(".spt_part") || ends(".fpt_part")) return {};
    return "WARNING: Found partially copied or damaged plot with strange extension \"" + text +
           "\", it will be ignored";
  }
  if (file.Sparse && file.Complete) {
    if (ends(".spt")) return {};
    if (ends(".spt_part")) {
      return WrongExtension("WARNING: Found completed sparse plot with wrong extension \"", text,
                            ".spt");
    }
    return WrongExtension("WARNING: Found sparse plot with strange extension \"", text, ".spt");
  }
  if (file.Sparse) {
    if (ends(".spt_part") || ends(".spt")) return {};
    return WrongExtension("WARNING: Found uncompleted sparse plot with strange extension \"", text,
                          ".spt_part");
  }
  if (file.Complete) {
    if (ends(".fpt")) return {};
    if (ends(".fpt_part")) {
      return WrongExtension("WARNING: Found completed final plot with wrong extension \"", text,
                            ".fpt");
    }
    return WrongExtension("WARNING: Found final plot with strange extension \"", text, ".fpt");
  }
  if (ends(".fpt_part") || ends(".fpt")) return {};
  return WrongExtension("WARNING: Found uncompleted final plot with wrong extension \"", text,
                        ".fpt_part");
}

}  // namespace

FileVerdict ClassifyScannedFile(const ScannedFile& file, const std::filesystem::path& path) {
  if (file.Kind == kTempFileKind) return ClassifyTempFile(file, path);
  FileVerdict verdict;
  if (file.Kind != kPlotFileKind) return verdict;

  const std::string text = path.string();
  std::string mismatch = ExtensionMismatch(file, text);
  if (!mismatch.empty()) {
    verdict.warnings.push_back(std::move(mismatch));
    return verdict;
  }
  verdict.recorded = true;
  if (!file.HeaderValid || (file.Initialized && !file.MarkerMatches)) {
    verdict.warnings.push_back("WARNING: Found partially copied or damaged plot \"" + text + "\"");
  } else if (file.MarkerMatches) {
    CheckName(file, path, verdict);
  }
  return verdict;
}
