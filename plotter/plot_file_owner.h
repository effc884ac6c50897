#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PlotFile;

// Where one reader thread reads blocks and decodes values. One thread uses a slot at a time.
struct PlotReadSlot {
  uint8_t* readBuffer = nullptr;  // room for kMaxReadBlocks blocks of 64 KiB
  uint64_t* values = nullptr;
  uint64_t valueCapacity = 0;
  // Blocks that the last PlotFile::ReadTableBlocks left in readBuffer.
  uint64_t blocksRead = 0;
};

// What the reader of plots needs of the engine that opens them; the engine embeds it.
struct PlotFileOwner {
  std::function<void(const std::string&)> messageCallback;
  // Guards `plots`; OpenPlotFile holds it to look up and to list, never while it reads.
  std::mutex mutex;
  // Open plots: each file is open once however many jobs use it.
  std::vector<std::weak_ptr<PlotFile>> plots;
  uint8_t maxLevel = 4;
  // Non-zero: every block read opens a stream of its own instead of the plot's shared stream.
  uint64_t privateStreams = 0;
  std::vector<PlotReadSlot> slots;
};
