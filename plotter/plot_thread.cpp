#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "plotter/header_io.h"
#include "plotter/plot_engine.h"

namespace {

constexpr uint64_t kInputBuckets = MultiFileStream::kBuckets;

// Writes what memory holds back to the temp files, with the encoder's state of a table in
// progress after temp file 0's regions.
void FlushForResume(PlotEngine& e) {
  // Entries staged in the writers belong to buckets the position already counts as done.
  if (e.writers128[0]->sink != nullptr) e.FlushBucketBuffers();
  uint32_t* tables[MultiFileStream::kMaxFiles];
  for (uint64_t i = 0; i < e.usedTempFiles; ++i) tables[i] = &e.tempHeaders[i].counts[0][0];
  // Flush alone: stopping the threads first would discard what memory holds.
  e.stream->Flush(tables, e.usedTempFiles, [&e](double f) { e.SetProgress(f); });

  TempFileHeader& h = e.tempHeaders[0];
  h.encoderStateLength = 0;
  if (!e.encoder->HasSink()) return;
  FileWriter writer(*e.tempWorkers[0], e.tempRegionBytes, UINT64_MAX);
  uint64_t written = 0;
  e.encoder->SaveState([&](const void* data, uint64_t length) {
    writer.Write(data, length);
    written += length;
  });
  // A resume reads the state in whole 4096-byte units.
  static const uint8_t kZeros[4096] = {};
  const uint64_t padded = (written + 4095) / 4096 * 4096;
  writer.Write(kZeros, padded - written);
  writer.Finish();
  h.encoderStateLength = padded;
}

// The finished (step, sub-step) must have drained the side the next one writes.
void CheckReadSideDrained(PlotEngine& e) {
  for (uint64_t b = 0; b < kInputBuckets; ++b) {
    if (e.stream->HeldEntries(e.StepFlag(), b) != 0) throw std::runtime_error("6A13C0D4");
  }
}

void CheckStreamDrained(PlotEngine& e) {
  if (e.stream->IsIdle()) throw std::runtime_error("979352A6");
  for (uint64_t side = 0; side < 2; ++side) {
    for (uint64_t b = 0; b < kInputBuckets; ++b) {
      if (e.stream->HeldEntries(side, b) != 0) throw std::runtime_error("984CBA9D");
    }
  }
  e.stream->StopThreads();
}

void SaveHeaders(PlotEngine& e, bool complete) {
  const uint64_t link = complete ? 0 : e.random();
  if (complete) {
    e.plotHeader.complete = 1;
    for (uint64_t i = 0; i < e.usedTempFiles; ++i) e.tempHeaders[i].complete = 1;
  }
  e.plotData->Finish();
  const uint64_t dataEnd = e.plotData->Offset();
  e.plotWriter = nullptr;
  e.plotData.reset();

  const TempFileHeader& first = e.tempHeaders[0];
  const bool untouched = first.step == 0 && first.bucket == 0;
  for (uint64_t i = 0; i < e.usedTempFiles; ++i) {
    TempFileHeader& h = e.tempHeaders[i];
    h.saved = 1;
    h.link = link;
    h.fileIndex = static_cast<uint8_t>(i);
    if (untouched) {
      const int64_t size = e.tempFiles[i]->GetSize();
      h.start.markerOffset = std::max<uint64_t>(size < 0 ? 0 : size, 12288) - 4096;
    } else {
      h.start.markerOffset = e.tempRegionBytes + (i == 0 ? h.encoderStateLength : 0);
    }
    WriteHeaderAtStart(*e.tempWorkers[i], &h, kTempHeaderBytes);
    WriteCompletionMarker(*e.tempWorkers[i], h.start);
  }
  e.plotHeader.link = link;
  SealPlotHeader(e.plotHeader, dataEnd, e.random);
  WriteHeaderAtStart(*e.plotWorker, &e.plotHeader, kPlotHeaderBytes);
  WriteCompletionMarker(*e.plotWorker, e.plotHeader.start);
}

// After a failure nothing of the run may leak into the next one.
void DiscardRun(PlotEngine& e) {
  try {
    e.stream->StopThreads();
  } catch (...) {
  }
  for (uint64_t w = 0; w < e.writers128.Count(); ++w) {
    BucketWriter<128>& writer = *e.writers128[w];
    writer.sink = nullptr;
    std::fill(std::begin(writer.counts), std::end(writer.counts), 0);
  }
}

void CloseFiles(PlotEngine& e) {
  if (e.plotData.has_value()) {
    try {
      e.plotData->Finish();
    } catch (...) {
    }
  }
  e.plotWriter = nullptr;
  e.plotData.reset();
  e.plotWorker->SetFile(nullptr);
  e.plotFile->Close();
  for (uint64_t i = 0; i < e.tempFiles.Count(); ++i) {
    e.tempWorkers[i]->SetFile(nullptr);
    e.tempFiles[i]->Close();
  }
}

}  // namespace

void PlotEngine::ApplyStopHook() {
  if (!stopHook || state < kPlotAllocating || state > kPlotPlotting) return;
  if (stopHook(state, tempHeaders[0])) {
    state = kPlotSaving;
    progress = 0;
  }
}

void PlotEngine::Run() {
  std::exception_ptr caught;
  bool complete = false;
  try {
    TempFileHeader& h = tempHeaders[0];
    ResetStepState();
    DirectFile* files[MultiFileStream::kMaxFiles];
    for (uint64_t i = 0; i < usedTempFiles; ++i) files[i] = tempFiles[i];
    stream->Begin(files, usedTempFiles, TempFileBytes(usedTempFiles, settings.scale),
                  [this](double f) { return OnAllocateProgress(f); });
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (state == kPlotAllocating) state = resume != 0 ? kPlotLoading : kPlotPlotting;
      UpdateProgress();
      ApplyStopHook();
    }
    // Even a plot stopped before its first bucket is fed: the save flushes through the stream.
    FeedStream();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (state == kPlotLoading) state = kPlotPlotting;
      UpdateProgress();
    }
    stream->StartThreads();

    bool stepChanged = false;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        ApplyStopHook();
        if (state == kPlotSaving) break;
      }
      if (stepChanged) {
        ResetStepState();
        CheckReadSideDrained(*this);
        HandOverStream();
      }
      const uint8_t step = h.step;
      const uint8_t sub = h.subStep;
      RunStep();
      if (h.step == 8) {
        complete = true;
        break;
      }
      stepChanged = h.step != step || h.subStep != sub;
    }

    if (complete) {
      CheckStreamDrained(*this);
      tempHeaders[0].encoderStateLength = 0;
    } else {
      FlushForResume(*this);
    }
    SaveHeaders(*this, complete);
  } catch (...) {
    caught = std::current_exception();
    DiscardRun(*this);
  }
  encoder->ClearSink();
  CloseFiles(*this);
  {
    std::lock_guard<std::mutex> lock(mutex);
    failure = caught;
    state = kPlotIdle;
    progress = 0;
    finished = complete && caught == nullptr ? 1 : 0;
  }
  done.notify_all();
}
