#pragma once

#include <cstdint>
#include <optional>

#include "runtime/file_stream.h"
#include "runtime/io_worker.h"

// Reads a table region twice with fewer disk reads the second time. A strided first pass lays
// the region out as n + 1 equal chunks separated by gaps of a fixed size, followed by a tail, and
// keeps the chunks in a memory area of D bytes; a second pass over the same region (or one that
// starts earlier and ends at the same place) takes the chunks from memory and reads only the
// gaps, the tail and the earlier part from the file.
class RegionReader {
 public:
  // `memory` has room for `dataSize` bytes and outlives the holder.
  RegionReader(IoWorker& worker, uint64_t dataSize, uint64_t gapSize, uint8_t* memory);

  // Drops the reader and forgets the recorded layout.
  void Reset();

  // Whether a completed strided pass is available for a second pass.
  bool HasPattern() const { return pattern_.complete; }

  // Bytes of the current region fetched so far that lay past the end of the file and were
  // handed out as zeros.
  uint64_t ZeroFilledBytes() const;

 private:
  friend void OpenRegionReader(RegionReader& holder, uint64_t offset, uint64_t length,
                               bool strided);
  friend void RegionRead(RegionReader& holder, void* bytes, uint64_t n);

  struct Pattern {
    bool recorded = false;
    bool complete = false;  // every chunk reached memory
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t chunks = 0;  // n + 1
    uint64_t chunkSize = 0;
    uint64_t tail = 0;
  };

  void DropReader();
  uint64_t PieceOffset(uint64_t piece) const;
  void OpenPieceReader(uint64_t piece);
  void EnterPiece(uint64_t piece);
  // Copies up to n of the `left` bytes straight from the stream; returns how many.
  uint64_t ReadStraight(uint64_t& left, uint8_t* to, uint64_t n);

  IoWorker* worker_;
  uint64_t dataSize_;
  uint64_t gapSize_;
  uint8_t* memory_;
  uint8_t* memoryCursor_ = nullptr;
  Pattern pattern_;
  bool secondPass_ = false;
  uint64_t plainLeft_ = 0;
  uint64_t piece_ = 0;   // chunk 0, gap 0, chunk 1, ...; 2n + 1 pieces
  uint64_t pieces_ = 0;  // 0 when the region is read as plain bytes alone
  uint64_t pieceLeft_ = 0;
  uint64_t tailLeft_ = 0;
  std::optional<FileReader> reader_;
  uint64_t zeroFilled_ = 0;  // of the readers already dropped
};

// Points the holder at [offset, offset + length); offset must be a multiple of 4096
// ("9DEA78E0"). With `strided` the region is laid out in chunks and gaps for a first pass;
// without it a recorded layout that the region contains up to its end is used for a second pass,
// and otherwise the region is read as plain bytes.
void OpenRegionReader(RegionReader& holder, uint64_t offset, uint64_t length, bool strided);

// Delivers the next n bytes of the region in order; "46A0AB93" when the region is used up.
void RegionRead(RegionReader& holder, void* bytes, uint64_t n);
