#include "runtime/region_reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

RegionReader::RegionReader(IoWorker& worker, uint64_t dataSize, uint64_t gapSize, uint8_t* memory)
    : worker_(&worker), dataSize_(dataSize), gapSize_(gapSize), memory_(memory) {}

void RegionReader::DropReader() {
  if (reader_) zeroFilled_ += reader_->ZeroFilledBytes();
  reader_.reset();
}

uint64_t RegionReader::ZeroFilledBytes() const {
  return zeroFilled_ + (reader_ ? reader_->ZeroFilledBytes() : 0);
}

void RegionReader::Reset() {
  reader_.reset();
  zeroFilled_ = 0;
  pattern_ = Pattern{};
  secondPass_ = false;
  plainLeft_ = piece_ = pieces_ = pieceLeft_ = tailLeft_ = 0;
  memoryCursor_ = nullptr;
}

// File offset of a piece of the recorded layout; piece 2n + 1 is the tail.
uint64_t RegionReader::PieceOffset(uint64_t piece) const {
  const uint64_t chunksBefore = (piece + 1) / 2;
  const uint64_t gapsBefore = piece / 2;
  return pattern_.start + chunksBefore * pattern_.chunkSize + gapsBefore * gapSize_;
}

// Second pass: a reader over one gap or the tail alone, so that the chunks are not read again.
void RegionReader::OpenPieceReader(uint64_t piece) {
  DropReader();
  const uint64_t length = piece < pieces_ ? gapSize_ : pattern_.tail;
  if (length > 0) reader_.emplace(*worker_, PieceOffset(piece), length);
}

void RegionReader::EnterPiece(uint64_t piece) {
  piece_ = piece;
  if (piece >= pieces_) {
    pieceLeft_ = 0;
    return;
  }
  const bool chunk = piece % 2 == 0;
  pieceLeft_ = chunk ? pattern_.chunkSize : gapSize_;
  // While a chunk is copied from memory, the worker already fetches the piece after it.
  if (secondPass_ && chunk) OpenPieceReader(piece + 1);
}

uint64_t RegionReader::ReadStraight(uint64_t& left, uint8_t* to, uint64_t n) {
  const uint64_t take = std::min(n, left);
  reader_->Read(to, take);
  left -= take;
  return take;
}

void OpenRegionReader(RegionReader& holder, uint64_t offset, uint64_t length, bool strided) {
  if (offset % DirectFile::kBlockSize != 0) throw std::runtime_error("9DEA78E0");
  holder.reader_.reset();
  holder.zeroFilled_ = 0;
  holder.secondPass_ = false;
  holder.plainLeft_ = holder.piece_ = holder.pieces_ = holder.pieceLeft_ = holder.tailLeft_ = 0;
  holder.memoryCursor_ = holder.memory_;
  const uint64_t end = offset + length;
  using Pattern = RegionReader::Pattern;

  if (strided) {
    const uint64_t d = holder.dataSize_;
    const uint64_t g = holder.gapSize_;
    Pattern pattern;
    if (length > d) {
      // Without gaps the chunks lie back to back: one chunk of what fits, the rest as tail.
      const uint64_t gaps = g == 0 ? 0 : (length - d) / g;
      pattern.chunks = gaps + 1;
      pattern.chunkSize = d / pattern.chunks / DirectFile::kBlockSize * DirectFile::kBlockSize;
      pattern.tail = length - (pattern.chunks * pattern.chunkSize + gaps * g);
    } else {
      pattern.chunks = 1;
      pattern.chunkSize = length;
      pattern.tail = 0;
    }
    if (pattern.chunkSize == 0) {
      holder.pattern_ = Pattern{};
      holder.plainLeft_ = length;
    } else {
      pattern.recorded = true;
      pattern.start = offset;
      pattern.end = end;
      holder.pattern_ = pattern;
      holder.pieces_ = 2 * pattern.chunks - 1;
      holder.tailLeft_ = pattern.tail;
      holder.EnterPiece(0);
    }
    if (length > 0) holder.reader_.emplace(*holder.worker_, offset, length);
    return;
  }

  const Pattern& recorded = holder.pattern_;
  if (recorded.complete && recorded.end == end && offset <= recorded.start) {
    holder.secondPass_ = true;
    holder.plainLeft_ = recorded.start - offset;
    holder.pieces_ = 2 * recorded.chunks - 1;
    holder.tailLeft_ = recorded.tail;
    if (holder.plainLeft_ > 0) {
      holder.reader_.emplace(*holder.worker_, offset, holder.plainLeft_);
      holder.piece_ = 0;
      holder.pieceLeft_ = recorded.chunkSize;
    } else {
      holder.EnterPiece(0);
    }
    return;
  }
  // Memory left from an unrelated pass is never taken for file data.
  holder.pattern_ = Pattern{};
  holder.plainLeft_ = length;
  if (length > 0) holder.reader_.emplace(*holder.worker_, offset, length);
}

void RegionRead(RegionReader& holder, void* bytes, uint64_t n) {
  uint8_t* to = static_cast<uint8_t*>(bytes);
  while (n > 0) {
    if (holder.plainLeft_ > 0) {
      const uint64_t take = holder.ReadStraight(holder.plainLeft_, to, n);
      to += take;
      n -= take;
      if (holder.plainLeft_ == 0 && holder.secondPass_) holder.EnterPiece(0);
      continue;
    }
    if (holder.piece_ < holder.pieces_) {
      const uint64_t take = std::min(n, holder.pieceLeft_);
      if (holder.piece_ % 2 == 0) {
        if (!holder.secondPass_) holder.reader_->Read(holder.memoryCursor_, take);
        std::memcpy(to, holder.memoryCursor_, take);
        holder.memoryCursor_ += take;
      } else {
        holder.reader_->Read(to, take);
      }
      holder.pieceLeft_ -= take;
      to += take;
      n -= take;
      if (holder.pieceLeft_ == 0) {
        holder.EnterPiece(holder.piece_ + 1);
        if (!holder.secondPass_ && holder.piece_ == holder.pieces_) holder.pattern_.complete = true;
      }
      continue;
    }
    if (holder.tailLeft_ > 0) {
      const uint64_t take = holder.ReadStraight(holder.tailLeft_, to, n);
      to += take;
      n -= take;
      continue;
    }
    throw std::runtime_error("46A0AB93");
  }
}
