#pragma once

#include <cstdint>
#include <random>

#include "plotter/file_start_record.h"
#include "plotter/plot_header.h"
#include "runtime/io_worker.h"

// Header writes replace the whole header at offset 0 through a stream of the file's worker.
void WriteHeaderAtStart(IoWorker& worker, const void* header, uint64_t length);

// Writes the marker value of `start` as 8 bytes at its marker offset. Called after the header
// that holds it is on disk, so a stop between the two leaves a file that fails the marker check.
void WriteCompletionMarker(IoWorker& worker, const FileStartRecord& start);

// Closes a plot header for a stop: the marker goes to `markerOffset` (the end of the output),
// with a fresh value from the writer's generator, and the closed byte is set.
void SealPlotHeader(PlotHeader& header, uint64_t markerOffset, std::mt19937_64& random);

// Whether the u64 at the marker offset equals the marker value. A marker offset whose 8 bytes do
// not lie inside the file gives false.
bool CompletionMarkerMatches(IoWorker& worker, const FileStartRecord& start);
