#pragma once

#include <cstdint>

#include "plotter/plot_header.h"

// The checks of a plot header's table records that every reader of a plot makes before it
// trusts them for block reads. Each returns the code of the first fault found, or null.

// One table's record: entry and block counts, raw bits, block index corrections.
const char* TableRecordFault(const PlotTableRecord& record);

// The tables together, once each record has passed: table 5 without table 4, a park wider than
// the 65,536-value buffers, a table that does not lie inside a file of `fileSize` bytes.
const char* TableLayoutFault(const PlotHeader& header, uint64_t fileSize);
