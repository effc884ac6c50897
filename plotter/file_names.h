#pragma once

// The plotter's temporary file, one in each temporary directory.
inline constexpr char TempFileName[] = "VarnokChiaPool.tmp";

// Plot file extensions; the "_part" forms are files still being written.
inline constexpr char FinalPlotExtension[] = ".fpt";
inline constexpr char SparsePlotExtension[] = ".spt";
inline constexpr char FinalPlotPartExtension[] = ".fpt_part";
inline constexpr char SparsePlotPartExtension[] = ".spt_part";
