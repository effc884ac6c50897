#include "manager/scan_file_reader.h"

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "manager/key_embedding.h"
#include "plotter/file_start_record.h"
#include "plotter/plot_header.h"
#include "plotter/temp_file_header.h"

namespace {

// False on a short read, which is no error: the fields it would have filled stay zero.
bool ReadAt(std::ifstream& in, uint64_t offset, void* into, uint64_t length) {
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return false;
  in.read(static_cast<char*>(into), static_cast<std::streamsize>(length));
  return static_cast<uint64_t>(in.gcount()) == length;
}

uint32_t KindOfMagic(uint64_t magic) {
  if (magic == kTempMagic) return kTempFileKind;
  if (magic == kPlotMagic) return kPlotFileKind;
  return kUnrelatedFile;
}

void ReadTempHeader(std::ifstream& in, ScannedFile& file) {
  TempFileHeader header{};
  if (file.FileSize < sizeof(header) || !ReadAt(in, 0, &header, sizeof(header))) return;
  if (header.level > kMaxCompressionLevel || header.fileCount < 1 ||
      header.fileCount > kMaxTempFiles || header.fileIndex >= header.fileCount) {
    return;
  }
  file.Initialized = header.saved != 0;
  file.Complete = header.complete != 0;
  file.Level = header.level;
  file.TempFileCount = header.fileCount;
  file.TempFileIndex = header.fileIndex;
  file.LinkStamp = header.link;
  std::memcpy(file.PlotId.data(), header.plotId, file.PlotId.size());
  file.HeaderValid = 1;
}

void ReadPlotHeader(std::ifstream& in, ScannedFile& file, std::array<uint8_t, 512>& keyBlock) {
  PlotHeader header{};
  if (file.FileSize < sizeof(header) || !ReadAt(in, 0, &header, sizeof(header))) return;
  if (header.level > kMaxCompressionLevel || header.creationTime == 0) return;
  file.Initialized = header.closed != 0;
  file.Complete = header.complete != 0;
  file.Level = header.level;
  file.Sparse = header.sparse != 0;
  // Flag 0 with a block that gives the plot id: an embedding stopped between its writes.
  file.HasKeyBlock =
      header.keyBlockFlag != 0 || KeyBlockMatchesPlotId(header.plotId, header.keyBlock);
  file.LinkStamp = header.link;
  std::memcpy(file.PlotId.data(), header.plotId, file.PlotId.size());
  if (file.HasKeyBlock) std::memcpy(keyBlock.data(), header.keyBlock, keyBlock.size());
  file.HeaderValid = 1;
}

void ReadInto(const std::filesystem::path& path, ScannedFile& file,
              std::array<uint8_t, 512>& keyBlock) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    file.FileSize = ~uint64_t{0};
    return;
  }
  in.exceptions(std::ios::badbit);
  in.seekg(0, std::ios::end);
  file.FileSize = static_cast<uint64_t>(static_cast<int64_t>(in.tellg()));
  if (file.FileSize < 8 || file.FileSize == ~uint64_t{0}) return;

  FileStartRecord start{};
  const bool whole = file.FileSize >= sizeof(start);
  if (!ReadAt(in, 0, &start, whole ? sizeof(start) : sizeof(start.magic))) return;
  file.Kind = KindOfMagic(start.magic);
  if (!whole || start.version == 0) return;

  file.Version = start.version;
  uint64_t stored = 0;
  if (FitsInFile(start.markerOffset, sizeof(stored), file.FileSize) &&
      ReadAt(in, start.markerOffset, &stored, sizeof(stored)) && stored == start.markerValue) {
    file.MarkerMatches = 1;
  }
  if (file.Kind == kTempFileKind) ReadTempHeader(in, file);
  if (file.Kind == kPlotFileKind) ReadPlotHeader(in, file, keyBlock);
}

}  // namespace

ScannedFile ReadScannedFile(const std::filesystem::path& path, uint64_t directoryIndex,
                            std::array<uint8_t, 512>& keyBlock) {
  ScannedFile file;
  file.DirectoryIndex = directoryIndex;
  const std::string failure = "Failed to open or read file \"" + path.string() + "\"";
  try {
    ReadInto(path, file, keyBlock);
  } catch (const std::exception& error) {
    throw std::runtime_error(failure + ": " + error.what());
  } catch (...) {
    throw std::runtime_error(failure);
  }
  return file;
}
