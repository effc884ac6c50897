#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>

// Whether a key block holds a key record whose keys give the plot id. A plot whose key flag
// reads 0 but whose block passes this was interrupted after its block was written, and still
// carries its keys.
bool KeyBlockMatchesPlotId(const uint8_t plotId[32], const uint8_t keyBlock[512]);

// Writes the 512-byte key block into the plot header on disk: flag byte 36 to 0, the block at
// 88, the flag to 1, each flushed. Failures throw std::runtime_error with the file texts; after
// a failure the original block and flag are written back (best effort), so an interrupted
// embedding never leaves a mineable plot without keys. `beforeWrite` (step 0, 1, 2 for the
// three writes, 3 for the close) lets tests fail a step.
void EmbedKeyBlock(const std::filesystem::path& path, const uint8_t keyBlock[512],
                   const std::function<void(int step)>& beforeWrite = {});
