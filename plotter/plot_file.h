#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "chia/park_decoder.h"
#include "plotter/plot_file_owner.h"
#include "plotter/plot_header.h"

class PlotFile;

// Returns the plot already open for `path` in `owner`, or opens and checks it and lists it
// there. A plot open under another device index gives the owner the message
// "WARNING: CF761795" and keeps its first index. Every refusal is a std::runtime_error with a
// file error text and code; nothing is listed then.
std::shared_ptr<PlotFile> OpenPlotFile(PlotFileOwner& owner, const std::filesystem::path& path,
                                       uint64_t deviceIndex);

struct DecodedBlock {
  uint64_t* values;
  uint64_t count;
};

// An open, checked plot. Its owner lists it weakly, so it closes when the last job lets go.
class PlotFile {
 public:
  static constexpr uint64_t kMaxReadBlocks = 32;

  // Reads blocks [first, end) of table t into the read buffer of `slot`. More than
  // kMaxReadBlocks blocks, an end below the first or past the table, or a table without blocks:
  // "9CB78316".
  void ReadTableBlocks(uint32_t t, uint64_t first, uint64_t end, uint64_t slot);

  // Decodes block i of the slot's last read window with table t's decoder into the slot's
  // value buffer; the flags are those of ParkDecoder::Decode. A block outside the window:
  // "F4F49433"; a decoder failure: "invalid plot file: 5FA82DD7".
  DecodedBlock ReadAndDecodeBlock(uint32_t t, uint64_t i, uint64_t& position, bool positionOnly,
                                  bool anchorOnly, uint64_t slot);

  // The value at position p of table t (0..4), found through the table's block index. A
  // position no block holds: "invalid plot file: 9BA3D4B5".
  uint64_t ReadAndDecodeRange(uint32_t t, uint64_t p, uint64_t slot);

  // Disposal of the shared pointer: frees the decoders, the stream and the path.
  static void Dispose(PlotFile* plot);

  // Closes the shared stream; the next shared read opens it again.
  void CloseSharedStream();

  const std::filesystem::path path;
  PlotFileOwner* const owner;
  // Guards the shared stream, and the job fields below for the owner's jobs.
  std::mutex mutex;
  std::ifstream stream;
  PlotHeader header{};
  // Guards the key block and the embed-pending byte for the owner's jobs.
  std::mutex keyMutex;
  std::array<ParkDecoder, kPlotTableCount> decoders;
  const uint64_t deviceIndex;
  uint64_t liveJobCount = 0;
  uint8_t embedPending = 0;
  std::atomic<uint64_t> failedProofCount{0};

 private:
  friend std::shared_ptr<PlotFile> OpenPlotFile(PlotFileOwner&, const std::filesystem::path&,
                                                uint64_t);
  PlotFile(const std::filesystem::path& path, PlotFileOwner& owner, uint64_t deviceIndex);
  ~PlotFile() = default;
  PlotFile(const PlotFile&) = delete;
  PlotFile& operator=(const PlotFile&) = delete;

  void Open(std::ifstream& in) const;
  void ReadAt(std::ifstream& in, uint64_t offset, uint8_t* into, uint64_t length) const;
  PlotReadSlot& Slot(uint64_t slot) const;
};
