#include "plotter/plot_file.h"

#include <algorithm>
#include <stdexcept>

#include "chia/block_index.h"
#include "plotter/table_record_checks.h"
#include "runtime/file_error_texts.h"

namespace {

std::runtime_error PlotError(const char* code) {
  return std::runtime_error(FileErrorText(FileError::kInvalidPlotFile, code));
}

// Reads `length` bytes at `offset`; false when the stream cannot seek there or the file ends
// first. The stream has failbit and badbit exceptions enabled.
bool ReadExactly(std::ifstream& in, uint64_t offset, void* into, uint64_t length) {
  try {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(static_cast<char*>(into), static_cast<std::streamsize>(length));
    return true;
  } catch (const std::ios_base::failure&) {
    return false;
  }
}

uint64_t FileSize(std::ifstream& in) {
  try {
    in.clear();
    in.seekg(0, std::ios::end);
    return static_cast<uint64_t>(in.tellg());
  } catch (const std::ios_base::failure&) {
    return 0;
  }
}

// Every check of a freshly read header, in order; throws the refusal.
void CheckHeader(PlotFile& plot, std::ifstream& in, uint8_t maxLevel) {
  const PlotHeader& header = plot.header;
  if (header.start.magic != kPlotMagic) throw PlotError("F5222A80");
  if (header.start.version != kFileFormatVersion) {
    throw std::runtime_error(FileErrorTexts[static_cast<int>(FileError::kUnsupportedPlotFile)]);
  }

  const uint64_t size = FileSize(in);
  uint64_t stored = 0;
  if (!FitsInFile(header.start.markerOffset, sizeof(stored), size) ||
      !ReadExactly(in, header.start.markerOffset, &stored, sizeof(stored))) {
    throw PlotError("9BC69782");
  }
  if (stored != header.start.markerValue) throw PlotError("0AD4804F");
  if (header.complete == 0 || header.closed == 0) throw PlotError("77BC8EBD");
  if (header.level > kMaxCompressionLevel) throw PlotError("2BCA2123");
  if (header.level > maxLevel) throw std::runtime_error("516AA948");

  for (uint32_t t = 0; t < kPlotTableCount; ++t) {
    const PlotTableRecord& record = header.tables[t];
    const bool last = t == kLastPlotTable;
    try {
      plot.decoders[t].Init(record.coding, last, !last);
    } catch (...) {
      throw PlotError("FE896E3E");
    }
    if (const char* fault = TableRecordFault(record)) throw PlotError(fault);
  }
  // Block reads trust these bounds, so every table must lie inside the file.
  if (const char* fault = TableLayoutFault(header, size)) throw PlotError(fault);
}

}  // namespace

PlotFile::PlotFile(const std::filesystem::path& path, PlotFileOwner& owner, uint64_t deviceIndex)
    : path(path), owner(&owner), deviceIndex(deviceIndex) {}

void PlotFile::Dispose(PlotFile* plot) { delete plot; }

void PlotFile::Open(std::ifstream& in) const {
  in.exceptions(std::ios::goodbit);
  in.clear();
  in.open(path, std::ios::binary | std::ios::in);
  if (!in.is_open()) throw std::runtime_error("Failed to open file: \"" + path.string() + "\"");
  in.exceptions(std::ios::failbit | std::ios::badbit);
}

void PlotFile::ReadAt(std::ifstream& in, uint64_t offset, uint8_t* into, uint64_t length) const {
  try {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
  } catch (const std::ios_base::failure&) {
    throw std::runtime_error("Failed to seek file: \"" + path.string() + "\"");
  }
  try {
    in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(length));
  } catch (const std::ios_base::failure&) {
    throw std::runtime_error("Failed to read file: \"" + path.string() + "\"");
  }
}

void PlotFile::CloseSharedStream() {
  std::lock_guard<std::mutex> lock(mutex);
  try {
    if (stream.is_open()) stream.close();
  } catch (const std::ios_base::failure&) {
  }
}

PlotReadSlot& PlotFile::Slot(uint64_t slot) const {
  if (slot >= owner->slots.size()) throw std::runtime_error("55D8B19C");
  return owner->slots[slot];
}

namespace {

// The plot listed for `path`, or null; the caller holds the owner's mutex. Drops expired entries.
std::shared_ptr<PlotFile> FindListedPlot(PlotFileOwner& owner, const std::filesystem::path& path,
                                         uint64_t deviceIndex) {
  std::erase_if(owner.plots, [](const std::weak_ptr<PlotFile>& weak) { return weak.expired(); });
  for (const std::weak_ptr<PlotFile>& weak : owner.plots) {
    std::shared_ptr<PlotFile> plot = weak.lock();
    if (plot && plot->path == path) {
      if (plot->deviceIndex != deviceIndex) owner.messageCallback("WARNING: CF761795");
      return plot;
    }
  }
  return nullptr;
}

}  // namespace

std::shared_ptr<PlotFile> OpenPlotFile(PlotFileOwner& owner, const std::filesystem::path& path,
                                       uint64_t deviceIndex) {
  {
    std::lock_guard<std::mutex> lock(owner.mutex);
    if (std::shared_ptr<PlotFile> listed = FindListedPlot(owner, path, deviceIndex)) return listed;
  }

  // The owner's mutex also serves its readers, so the disk work happens without it.
  std::unique_ptr<PlotFile, void (*)(PlotFile*)> plot(new PlotFile(path, owner, deviceIndex),
                                                      &PlotFile::Dispose);
  plot->Open(plot->stream);
  if (!ReadExactly(plot->stream, 0, &plot->header, sizeof(plot->header))) {
    throw PlotError("BCACEF7C");
  }
  CheckHeader(*plot, plot->stream, owner.maxLevel);
  try {
    plot->stream.close();
  } catch (const std::ios_base::failure&) {
  }

  std::lock_guard<std::mutex> lock(owner.mutex);
  // Another caller may have listed the same file meanwhile: its object stays the only one.
  if (std::shared_ptr<PlotFile> listed = FindListedPlot(owner, path, deviceIndex)) return listed;
  std::shared_ptr<PlotFile> shared(plot.release(), &PlotFile::Dispose);
  owner.plots.push_back(shared);
  return shared;
}

void PlotFile::ReadTableBlocks(uint32_t t, uint64_t first, uint64_t end, uint64_t slot) {
  if (t >= kPlotTableCount) throw std::runtime_error("A566C686");
  const PlotTableRecord& record = header.tables[t];
  PlotReadSlot& target = Slot(slot);
  // Whatever the outcome, the slot's previous window is gone.
  target.blocksRead = 0;
  if (end < first || end - first > kMaxReadBlocks || end > record.blockCount ||
      record.blockCount == 0) {
    throw std::runtime_error("9CB78316");
  }
  if (end == first) return;

  const uint64_t offset = record.offset + first * kPlotBlockBytes;
  const uint64_t length = (end - first) * kPlotBlockBytes;
  if (owner->privateStreams != 0) {
    std::ifstream own;
    Open(own);
    ReadAt(own, offset, target.readBuffer, length);
  } else {
    std::lock_guard<std::mutex> lock(mutex);
    if (!stream.is_open()) Open(stream);
    try {
      ReadAt(stream, offset, target.readBuffer, length);
    } catch (...) {
      // A failed stream is not reused: the next read opens it afresh.
      try {
        stream.close();
      } catch (const std::ios_base::failure&) {
      }
      throw;
    }
  }
  target.blocksRead = end - first;
}

DecodedBlock PlotFile::ReadAndDecodeBlock(uint32_t t, uint64_t i, uint64_t& position,
                                          bool positionOnly, bool anchorOnly, uint64_t slot) {
  if (t >= kPlotTableCount) throw std::runtime_error("A566C686");
  PlotReadSlot& source = Slot(slot);
  if (i >= source.blocksRead) throw std::runtime_error("F4F49433");
  try {
    const auto [count, values] =
        decoders[t].Decode(source.readBuffer + i * kPlotBlockBytes, kPlotBlockBytes, source.values,
                           source.valueCapacity, position, positionOnly, anchorOnly);
    return DecodedBlock{values, count};
  } catch (...) {
    throw PlotError("5FA82DD7");
  }
}

uint64_t PlotFile::ReadAndDecodeRange(uint32_t t, uint64_t p, uint64_t slot) {
  if (t >= kLastPlotTable) throw std::runtime_error("A566C686");
  const PlotTableRecord& record = header.tables[t];
  // The blocks the index names for p; none (an empty table, an untouched pair) means nothing is
  // read.
  const ParkRange range = FindParkRange(record.index, record.blockCount, p);
  if (range.end <= range.first) throw PlotError("9BA3D4B5");
  const int64_t first = static_cast<int64_t>(range.first);
  int64_t end = static_cast<int64_t>(range.end);
  int64_t start = end > static_cast<int64_t>(kMaxReadBlocks)
                      ? std::max<int64_t>(end - static_cast<int64_t>(kMaxReadBlocks), first)
                      : first;
  for (;;) {
    ReadTableBlocks(t, static_cast<uint64_t>(start), static_cast<uint64_t>(end), slot);
    // Walk down to the first block that starts at or before p: only it can hold p.
    for (int64_t b = end - 1; b >= start; --b) {
      const uint64_t index = static_cast<uint64_t>(b - start);
      uint64_t firstPosition = 0;
      ReadAndDecodeBlock(t, index, firstPosition, true, false, slot);
      if (firstPosition > p) continue;
      uint64_t unused = 0;
      const DecodedBlock block = ReadAndDecodeBlock(t, index, unused, false, false, slot);
      if (p - firstPosition < block.count) return block.values[p - firstPosition];
      throw PlotError("9BA3D4B5");
    }
    if (start <= first) throw PlotError("9BA3D4B5");
    end = start;
    start =
        start < 33 ? first : std::max<int64_t>(start - static_cast<int64_t>(kMaxReadBlocks), first);
  }
}
