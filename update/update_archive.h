#pragma once

#include <cstdint>
#include <filesystem>

// What one update may unpack: far above any real release, far below a full disk.
struct ExtractLimits {
  uint64_t bytes = uint64_t{1} << 30;
  uint32_t entries = 10000;
};

// Unpacks every entry of `archive` (any format and compression the archive library reads) below
// `destination`, which must exist and contain no symbolic link in its own path. Entries named
// with an absolute path or a ".." component, and entries that would be written through a
// symbolic link, are refused. Throws std::runtime_error with the archive library's error text
// ("failed to open archive file" when the archive cannot be opened). An archive with more entries
// or more bytes of file contents than `limits` allows is refused before the entry that would
// pass the limit is written.
void ExtractUpdateArchive(const std::filesystem::path& archive,
                          const std::filesystem::path& destination,
                          const ExtractLimits& limits = {});
