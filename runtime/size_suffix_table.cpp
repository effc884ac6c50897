#include "runtime/size_suffix_table.h"

#include <cctype>
#include <string>

std::optional<int64_t> FindSizeSuffix(std::string_view suffix) {
  std::string upper(suffix);
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  for (const SizeSuffix& entry : SizeSuffixTable) {
    if (upper == entry.suffix) return entry.multiplier;
  }
  return std::nullopt;
}
