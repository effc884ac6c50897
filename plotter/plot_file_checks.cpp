#include "plotter/plot_file_checks.h"

#include <cstring>
#include <exception>
#include <fstream>
#include <stdexcept>

#include "plotter/plot_header.h"

namespace {

class HeaderFile {
 public:
  explicit HeaderFile(const std::string& path) {
    stream_.exceptions(std::ios::failbit | std::ios::badbit);
    stream_.open(path, std::ios::binary | std::ios::in);
    stream_.seekg(0, std::ios::end);
    size_ = static_cast<uint64_t>(stream_.tellg());
  }

  uint64_t Size() const { return size_; }

  void ReadStart(void* bytes, uint64_t length) {
    stream_.seekg(0);
    stream_.read(static_cast<char*>(bytes), static_cast<std::streamsize>(length));
  }

  // The header when the file holds all of it.
  bool ReadPlotHeader(PlotHeader& header) {
    if (size_ < sizeof(PlotHeader)) return false;
    ReadStart(&header, sizeof(header));
    return true;
  }

 private:
  std::ifstream stream_;
  uint64_t size_ = 0;
};

template <class Check>
bool CheckFile(const std::string& path, Check check) {
  try {
    HeaderFile file(path);
    return check(file);
  } catch (const std::exception& e) {
    throw std::runtime_error("Failed to open or read file \"" + path + "\": " + e.what());
  } catch (...) {
    throw std::runtime_error("Failed to open or read file \"" + path + "\"");
  }
}

bool IsCompletePlot(const PlotHeader& h) {
  return h.start.magic == kPlotMagic && h.start.version == kFileFormatVersion && h.closed != 0 &&
         h.complete != 0 && h.creationTime != 0 && h.level <= kMaxCompressionLevel;
}

}  // namespace

bool IsSparsePlotFile(const std::string& path) {
  return CheckFile(path, [](HeaderFile& file) {
    PlotHeader header;
    return file.ReadPlotHeader(header) && IsCompletePlot(header) && header.sparse != 0;
  });
}

bool IsFinalPlotFile(const std::string& path) {
  return CheckFile(path, [](HeaderFile& file) {
    PlotHeader header;
    return file.ReadPlotHeader(header) && IsCompletePlot(header) && header.sparse == 0;
  });
}

bool IsUnfinishedPlotOrTemp(const std::string& path) {
  return CheckFile(path, [](HeaderFile& file) {
    if (file.Size() < 8) return false;
    uint64_t magic = 0;
    file.ReadStart(&magic, sizeof(magic));
    if (magic == kTempMagic) return true;
    if (magic != kPlotMagic) return false;
    PlotHeader header;
    if (!file.ReadPlotHeader(header)) return false;
    return header.start.version <= kFileFormatVersion && header.creationTime != 0 &&
           (header.closed == 0 || header.complete == 0);
  });
}
