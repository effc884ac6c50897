#include "manager/directory_spec.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "runtime/size_suffix_table.h"

namespace {

// 2^63: limits at or above it cannot be held and mean no limit in practice.
constexpr double kNoLimitThreshold = 9223372036854775808.0;

[[noreturn]] void Fail(const std::string& message) { throw std::runtime_error(message); }

struct TypeFlags {
  bool t = false, f = false, s = false, r = false;
};

void ParseSizeItem(const std::string& item, DirectorySpec& spec, bool& sizeGiven,
                   bool& countGiven) {
  char* end = nullptr;
  const double number = std::strtod(item.c_str(), &end);
  // NaN is no non-negative number either.
  if (!(number >= 0)) Fail("Directory space limit can't be negative");
  if (*end == '\0') Fail("Directory space declaration requires a suffix");
  const std::string rest(end);
  const std::optional<int64_t> multiplier = FindSizeSuffix(rest);
  if (!multiplier) Fail("Unknown directory space suffix: " + rest);
  if (*multiplier == kPlotCountSuffix) {
    if (item.find('.') != std::string::npos) Fail("Plot count limit must be integer");
    if (countGiven) Fail("Plot count limit specified more than once");
    countGiven = true;
    const double count = std::round(number);
    spec.PlotCountLimit = count < kNoLimitThreshold ? static_cast<int64_t>(count) : -1;
    return;
  }
  if (sizeGiven) Fail("Directory size limit specified more than once");
  sizeGiven = true;
  const double bytes = number * static_cast<double>(*multiplier);
  spec.spaceLimit = bytes < kNoLimitThreshold ? static_cast<int64_t>(bytes) : -1;
}

// S, T and F set their flag in either kind of type item; false for any other letter.
bool SetFileTypeFlag(char ch, TypeFlags& flags) {
  switch (std::toupper(static_cast<unsigned char>(ch))) {
    case 'S':
      flags.s = true;
      return true;
    case 'T':
      flags.t = true;
      return true;
    case 'F':
      flags.f = true;
      return true;
    default:
      return false;
  }
}

bool IsReadOnlyLetter(char ch) { return std::toupper(static_cast<unsigned char>(ch)) == 'R'; }

void ParseTypeItem(const std::string& item, TypeFlags& flags) {
  for (const char ch : item) {
    if (SetFileTypeFlag(ch, flags)) continue;
    if (!IsReadOnlyLetter(ch)) Fail(std::string("Unknown directory type: ") + ch);
    flags.r = true;
  }
}

void ParseInvertedTypeItem(const std::string& item, TypeFlags& flags) {
  for (const char ch : std::string_view(item).substr(1)) {
    if (SetFileTypeFlag(ch, flags)) continue;
    if (IsReadOnlyLetter(ch)) Fail(std::string("Unknown directory type: ~") + ch);
    Fail(std::string("Unknown directory type: ") + ch);
  }
  if (!flags.t && !flags.f && !flags.s) Fail("Unknown directory type: ~");
  flags.t = !flags.t;
  flags.f = !flags.f;
  flags.s = !flags.s;
}

}  // namespace

DirectorySpec ParseDirectorySpec(const char* items, const char* path) {
  if (path == nullptr || path[0] == '-') Fail("Empty directory path");

  DirectorySpec spec;
  TypeFlags flags;
  bool sizeGiven = false, countGiven = false, typeGiven = false;
  const std::string_view list = items != nullptr ? items : "";
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    const std::string item(list.substr(start, comma - start));
    start = comma + 1;
    if (item.empty()) continue;

    const char first = item[0];
    if (std::isdigit(static_cast<unsigned char>(first)) || first == '-' || first == '.') {
      ParseSizeItem(item, spec, sizeGiven, countGiven);
      continue;
    }
    if (first == '~') {
      ParseInvertedTypeItem(item, flags);
    } else {
      ParseTypeItem(item, flags);
    }
    if (typeGiven) Fail("Directory type specified more than once");
    typeGiven = true;
  }

  if (flags.r && (flags.t || flags.f || flags.s)) {
    Fail("Readonly directory type can't mix with other types");
  }
  if (!typeGiven) flags.t = flags.f = flags.s = true;
  spec.tempFilesAllowed = flags.t;
  spec.finalPlotsAllowed = flags.f;
  spec.sparsePlotsAllowed = flags.s;
  spec.readOnly = flags.r;

  spec.path = path;
  if (spec.path.empty()) Fail("Empty directory path");
  return spec;
}
