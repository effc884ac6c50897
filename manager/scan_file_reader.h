#pragma once

#include <array>
#include <cstdint>
#include <filesystem>

#include "manager/scanned_file.h"

// Reads what the scan needs of one file: at most the 32-byte start record, the 8 bytes at its
// completion marker and one header; never a table. A file too short for a part, or that cannot
// be opened at all, leaves the fields of that part zero (one that cannot be opened gets an
// all-ones size and stays unrelated). When the plot header carries a key block it is copied
// to keyBlock. A failing stream throws std::runtime_error
// "Failed to open or read file \"<path>\": <reason>".
ScannedFile ReadScannedFile(const std::filesystem::path& path, uint64_t directoryIndex,
                            std::array<uint8_t, 512>& keyBlock);
