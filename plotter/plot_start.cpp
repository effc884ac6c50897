#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

#include "chia/f1.h"
#include "plotter/header_io.h"
#include "plotter/plot_engine.h"
#include "runtime/file_error_texts.h"

namespace {

[[noreturn]] void Refuse(FileError error, const char* code) {
  throw std::runtime_error(FileErrorText(error, code));
}

[[noreturn]] void Refuse(FileError error) {
  throw std::runtime_error(FileErrorTexts[static_cast<size_t>(error)]);
}

void ReadHeader(IoWorker& worker, void* header, uint64_t length) {
  FileReader reader(worker, 0, length);
  reader.Read(header, length);
  reader.Finish();
}

uint64_t FileSize(DirectFile& file) {
  const int64_t size = file.GetSize();
  return size < 0 ? 0 : static_cast<uint64_t>(size);
}

// Codes of the checks that the first temp header and the further ones share.
struct TempCodes {
  const char* shortFile;
  const char* magic;
  const char* marker;
};

void ReadTempHeader(IoWorker& worker, TempFileHeader& header, const TempCodes& codes) {
  if (FileSize(*worker.File()) < kTempHeaderBytes)
    Refuse(FileError::kInvalidTempFile, codes.shortFile);
  ReadHeader(worker, &header, kTempHeaderBytes);
  if (header.start.magic != kTempMagic) Refuse(FileError::kInvalidTempFile, codes.magic);
  if (header.start.version != kFileFormatVersion) Refuse(FileError::kUnsupportedTempFile);
  if (!CompletionMarkerMatches(worker, header.start)) {
    Refuse(FileError::kInvalidTempFile, codes.marker);
  }
}

void NewPlotHeaders(PlotEngine& engine, const uint8_t* plotId, uint8_t level,
                    const uint8_t* keyBlock) {
  PlotHeader& h = engine.plotHeader;
  std::memset(&h, 0, sizeof(h));
  const uint64_t link = engine.random();
  h.start.magic = kPlotMagic;
  h.start.version = kFileFormatVersion;
  h.sparse = 1;
  h.level = level;
  h.link = link;
  h.creationTime = static_cast<uint64_t>(std::time(nullptr));
  std::memcpy(h.plotId, plotId, sizeof(h.plotId));
  if (keyBlock != nullptr) {
    h.keyBlockFlag = 1;
    std::memcpy(h.keyBlock, keyBlock, sizeof(h.keyBlock));
  }
  for (uint64_t i = 0; i < engine.usedTempFiles; ++i) {
    TempFileHeader& t = engine.tempHeaders[i];
    std::memset(&t, 0, sizeof(t));
    t.start.magic = kTempMagic;
    t.start.version = kFileFormatVersion;
    t.link = link;
    t.fileCount = static_cast<uint8_t>(engine.usedTempFiles);
    t.fileIndex = static_cast<uint8_t>(i);
    t.level = level;
    std::memcpy(t.plotId, plotId, sizeof(t.plotId));
  }
}

// A plot is only continued from temp files that belong to it and were saved cleanly.
void CheckSavedPlot(PlotEngine& engine, const std::filesystem::path& plotPath) {
  const uint64_t n = engine.usedTempFiles;
  TempFileHeader& first = engine.tempHeaders[0];
  ReadTempHeader(*engine.tempWorkers[0], first, {"44330887", "5EF8B4F8", "1E022F3F"});
  if (first.saved == 0) Refuse(FileError::kInvalidTempFile, "78934383");
  if (first.complete != 0) Refuse(FileError::kInvalidTempFile, "E0BC3349");
  if (first.level > kMaxCompressionLevel) Refuse(FileError::kInvalidTempFile, "8187E6FC");
  if (first.step > 7) Refuse(FileError::kInvalidTempFile, "4D783010");
  if (first.bucket < 0) Refuse(FileError::kInvalidTempFile, "9CB42810");
  if (first.fileCount != n) Refuse(FileError::kInvalidTempFile, "A8A6A948");
  if (first.fileIndex != 0) Refuse(FileError::kInvalidTempFile, "AFFD5D60");
  for (uint64_t i = 1; i < n; ++i) {
    if (!engine.tempFiles[i]->IsOpen()) throw std::runtime_error("300E29A7");
    TempFileHeader& t = engine.tempHeaders[i];
    ReadTempHeader(*engine.tempWorkers[i], t, {"958BEAFA", "AEE3D37F", "754C258B)"});
    if (t.fileCount != n) Refuse(FileError::kInvalidTempFile, "2BF1FB52");
    if (t.fileIndex != i) Refuse(FileError::kInvalidTempFile, "77A797C7)");
    if (t.link != first.link) Refuse(FileError::kInvalidTempFile, "8A046060");
    if (t.saved == 0) Refuse(FileError::kInvalidTempFile, "AC813B25");
    if (t.complete != 0) Refuse(FileError::kInvalidTempFile, "013419AA");
  }

  engine.plotFile->Open(plotPath, false);
  engine.plotWorker->SetFile(engine.plotFile.get());
  PlotHeader& h = engine.plotHeader;
  if (FileSize(*engine.plotFile) < kPlotHeaderBytes) {
    Refuse(FileError::kInvalidPlotFile, "A0961565");
  }
  ReadHeader(*engine.plotWorker, &h, kPlotHeaderBytes);
  if (h.start.magic != kPlotMagic) Refuse(FileError::kInvalidPlotFile, "86C32406");
  if (h.start.version != kFileFormatVersion) Refuse(FileError::kUnsupportedPlotFile);
  if (!CompletionMarkerMatches(*engine.plotWorker, h.start)) {
    Refuse(FileError::kInvalidPlotFile, "E288AE21");
  }
  if (h.complete != 0 || h.closed == 0 || h.sparse == 0) {
    Refuse(FileError::kInvalidPlotFile, "FD57D3E6");
  }
  if (std::memcmp(h.plotId, first.plotId, sizeof(h.plotId)) != 0) {
    Refuse(FileError::kInvalidPlotFile, "99163D28");
  }
  if (first.link != h.link) Refuse(FileError::kInvalidPlotFile, "9DB2F630");
  if (first.level != h.level) Refuse(FileError::kInvalidPlotFile, "DD6A62EB");
}

}  // namespace

void PlotEngine::StartPlot(const std::vector<std::filesystem::path>& tempPaths,
                           const std::filesystem::path& plotPath, const uint8_t* plotId,
                           uint8_t level, const uint8_t* keyBlock) {
  // The previous plot thread takes the mutex at its end.
  if (plotThread.joinable()) plotThread.join();
  std::lock_guard<std::mutex> lock(mutex);
  if (state != kPlotIdle) throw std::runtime_error("13994997");
  failure = nullptr;
  const uint64_t n = tempPaths.size();
  if (n == 0 || n > settings.tempFileLimit) throw std::runtime_error("10497308");
  if (level > kMaxCompressionLevel) throw std::runtime_error("A4D85629");

  try {
    usedTempFiles = n;
    resume = plotId == nullptr ? 1 : 0;
    for (uint64_t i = 0; i < n; ++i) {
      tempFiles[i]->Open(tempPaths[i], false);
      tempWorkers[i]->SetFile(tempFiles[i]);
    }
    if (plotId != nullptr) {
      plotFile->Open(plotPath, true);
      plotWorker->SetFile(plotFile.get());
      NewPlotHeaders(*this, plotId, level, keyBlock);
    } else {
      CheckSavedPlot(*this, plotPath);
    }
    progress = 0;
    state = plotId != nullptr ? kPlotPlotting : kPlotLoading;
    finished = 0;

    // Until the thread's next save every header on disk says "not saved", so a crash in between
    // leaves files that a resume refuses.
    plotHeader.closed = 0;
    for (uint64_t i = 0; i < n; ++i) {
      tempHeaders[i].saved = 0;
      WriteHeaderAtStart(*tempWorkers[i], &tempHeaders[i], kTempHeaderBytes);
    }
    WriteHeaderAtStart(*plotWorker, &plotHeader, kPlotHeaderBytes);
    MakeF1Key(plotHeader.plotId, f1Key);
    const uint64_t dataStart =
        plotId != nullptr ? kFinalPlotDataOffset : plotHeader.start.markerOffset;
    plotData.emplace(*plotWorker, dataStart, UINT64_MAX);
    plotWriter = &*plotData;
    plotThread = std::thread([this] { Run(); });
  } catch (...) {
    // Nothing runs: the engine must be startable again and no file may stay locked.
    plotWriter = nullptr;
    plotData.reset();
    plotWorker->SetFile(nullptr);
    plotFile->Close();
    for (uint64_t i = 0; i < tempFiles.Count(); ++i) {
      tempWorkers[i]->SetFile(nullptr);
      tempFiles[i]->Close();
    }
    state = kPlotIdle;
    progress = 0;
    throw;
  }
}

void PlotEngine::StartPlotWithPaths(std::vector<std::filesystem::path> tempPaths,
                                    const std::filesystem::path& plotPath) {
  StartPlot(tempPaths, plotPath, nullptr, 0, nullptr);
}
