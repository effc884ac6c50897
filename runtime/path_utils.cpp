#include "runtime/path_utils.h"

#include "runtime/text_utils.h"

std::filesystem::path MakeTempPath(std::array<uint8_t, 20> hash) {
  return std::filesystem::temp_directory_path() / ToHexLower(hash.data(), hash.size());
}

std::filesystem::path GetExecutablePath() {
  // A throwing initialiser leaves the static uninitialised, so a later call retries.
  static const std::filesystem::path kPath = std::filesystem::read_symlink("/proc/self/exe");
  return kPath;
}
