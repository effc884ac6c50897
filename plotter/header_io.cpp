#include "plotter/header_io.h"

#include "runtime/file_stream.h"

void WriteHeaderAtStart(IoWorker& worker, const void* header, uint64_t length) {
  FileWriter writer(worker, 0, length);
  writer.Write(header, length);
  writer.Finish();
}

void WriteCompletionMarker(IoWorker& worker, const FileStartRecord& start) {
  FileWriter writer(worker, start.markerOffset, sizeof(start.markerValue), 4096);
  writer.Write(&start.markerValue, sizeof(start.markerValue));
  writer.Finish();
}

void SealPlotHeader(PlotHeader& header, uint64_t markerOffset, std::mt19937_64& random) {
  header.start.markerOffset = markerOffset;
  header.start.markerValue = random();
  header.closed = 1;
}

bool CompletionMarkerMatches(IoWorker& worker, const FileStartRecord& start) {
  DirectFile* file = worker.File();
  const int64_t size = file != nullptr ? file->GetSize() : -1;
  if (size < 0 || !FitsInFile(start.markerOffset, 8, static_cast<uint64_t>(size))) return false;
  uint64_t stored = 0;
  FileReader reader(worker, start.markerOffset, sizeof(stored), 4096);
  reader.Read(&stored, sizeof(stored));
  reader.Finish();
  return stored == start.markerValue;
}
