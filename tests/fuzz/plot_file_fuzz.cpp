// Feeds arbitrary header bytes to OpenPlotFile. The first input byte chooses whether the rest is
// the whole file or is laid over a valid plot's header at an offset the input gives (so that the
// deeper checks are reached); a plot that opens is then looked up at a few positions. The only
// acceptable refusals are the coded errors of plot opening and reading; anything else traps, and
// the sanitizers catch reads or writes out of bounds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "chia/delta_coding_table.h"
#include "plotter/plot_file.h"

namespace {

bool IsCode(const std::string& text) {
  if (text.size() != 8) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool IsAcceptedRefusal(const std::string& text, const std::string& path) {
  const std::string plotPrefix = "invalid plot file: ";
  if (text.rfind(plotPrefix, 0) == 0) return IsCode(text.substr(plotPrefix.size()));
  return text == "unsupported plot file" || IsCode(text) ||
         text == "Failed to read file: \"" + path + "\"" ||
         text == "Failed to seek file: \"" + path + "\"";
}

// A complete final plot with valid coding tables, empty tables and two blocks of noise after
// the header area, so that mutated records can point at readable blocks.
std::vector<uint8_t> BasePlot() {
  PlotHeader h{};
  h.start.magic = kPlotMagic;
  h.start.version = 1;
  h.complete = 1;
  h.closed = 1;
  h.level = 2;
  h.creationTime = 1;
  for (uint32_t t = 0; t < kPlotTableCount; ++t) {
    BuildDeltaCodingTable(uint64_t{1} << (20 + t), h.tables[t].coding);
    h.tables[t].offset = kFinalPlotDataOffset;
  }
  const uint64_t markerOffset = kFinalPlotDataOffset + 2 * kPlotBlockBytes;
  h.start.markerOffset = markerOffset;
  h.start.markerValue = 0x0123456789ABCDEF;
  std::vector<uint8_t> bytes(CompletePlotFileSize(markerOffset), 0);
  std::memcpy(bytes.data(), &h, sizeof(h));
  uint64_t noise = 88172645463325252u;
  for (uint64_t i = kFinalPlotDataOffset; i < markerOffset; ++i) {
    noise ^= noise << 13;
    noise ^= noise >> 7;
    noise ^= noise << 17;
    bytes[i] = static_cast<uint8_t>(noise);
  }
  std::memcpy(bytes.data() + markerOffset, &h.start.markerValue, 8);
  return bytes;
}

std::string ScratchPath() {
  const std::filesystem::path dir = std::filesystem::exists("/dev/shm")
                                        ? std::filesystem::path("/dev/shm")
                                        : std::filesystem::temp_directory_path();
  return (dir / ("plot-file-fuzz-" + std::to_string(::getpid()) + ".fpt")).string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> kBase = BasePlot();
  static const std::string kPath = ScratchPath();
  static std::vector<uint8_t> reads(PlotFile::kMaxReadBlocks * kPlotBlockBytes);
  static std::vector<uint64_t> values(65536);
  if (size < 1) return 0;

  std::vector<uint8_t> file;
  if (data[0] & 1) {
    // Two bytes place the rest anywhere in the header of the valid plot.
    if (size < 3) return 0;
    file = kBase;
    const size_t at = (data[1] | (size_t{data[2]} << 8)) % sizeof(PlotHeader);
    std::memcpy(file.data() + at, data + 3, std::min(size - 3, file.size() - at));
  } else {
    file.assign(data + 1, data + size);
  }
  {
    std::ofstream out(kPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
  }

  PlotFileOwner owner;
  owner.messageCallback = [](const std::string&) {};
  owner.maxLevel = (data[0] >> 1) % 5;
  owner.privateStreams = (data[0] >> 4) & 1;
  owner.slots.push_back(PlotReadSlot{reads.data(), values.data(), values.size(), 0});
  try {
    std::shared_ptr<PlotFile> plot = OpenPlotFile(owner, kPath, 0);
    for (uint32_t t = 0; t < kLastPlotTable; ++t) {
      const uint64_t count = plot->header.tables[t].entryCount;
      for (uint64_t p : {uint64_t{0}, count / 2, count - 1}) {
        try {
          plot->ReadAndDecodeRange(t, p, 0);
        } catch (const std::exception& e) {
          if (!IsAcceptedRefusal(e.what(), kPath)) __builtin_trap();
        }
      }
    }
  } catch (const std::exception& e) {
    if (!IsAcceptedRefusal(e.what(), kPath)) __builtin_trap();
  } catch (...) {
    __builtin_trap();
  }
  return 0;
}
