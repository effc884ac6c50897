#pragma once

#include <filesystem>

// Unpacks every entry of `archive` (any format and compression the archive library reads) below
// `destination`, which must exist and contain no symbolic link in its own path. Entries named
// with an absolute path or a ".." component, and entries that would be written through a
// symbolic link, are refused. Throws std::runtime_error with the archive library's error text
// ("failed to open archive file" when the archive cannot be opened).
void ExtractUpdateArchive(const std::filesystem::path& archive,
                          const std::filesystem::path& destination);
