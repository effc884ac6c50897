#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "chia/block_index.h"
#include "chia/delta_coding_table.h"
#include "chia/fse_tables.h"
#include "runtime/arena_buffer.h"
#include "runtime/memory_arena.h"

class ParkEncoder;

// The object lives in `objectArena`; its park buffer, value buffer and park index in
// `bufferArena`. Throws std::bad_alloc when an arena cannot serve, and
// "failed to allocate memory: 32229AA1" when the compression table cannot be allocated.
ArenaPtr<ParkEncoder> CreateParkEncoder(MemoryArena& objectArena, MemoryArena& bufferArena);

// Turns a non-decreasing stream of 64-bit values into parks, one table at a time. Every finished
// park goes to the sink; Finish leaves the block index that locates each park. One thread at a
// time; the sink runs on the calling thread.
class ParkEncoder {
 public:
  // Receives each park (its bytes and length); its result is returned by EncodePark.
  using Sink = std::function<uint64_t(const uint8_t* park, uint64_t length)>;
  using ChunkWriter = std::function<void(const void* data, uint64_t length)>;
  using ChunkReader = std::function<void(void* data, uint64_t length)>;

  struct IndexEntry {
    uint64_t first;
    uint64_t last;
  };

  static constexpr uint64_t kValueCapacity = 65536;
  static constexpr uint64_t kIndexCapacity = 524288;

  // Starts a table. `indexDivisor` 0 indexes parks by position, otherwise by value / divisor.
  void Begin(const DeltaCodingTable& table, bool wideAnchor, bool positionField,
             uint64_t indexDivisor, Sink sink);
  // Buffers the values; a park is encoded each time the buffer holds kValueCapacity values.
  void Append(const uint64_t* values, uint64_t count);
  // Encodes as many buffered values as fit into one park and hands it to the sink.
  uint64_t EncodePark();
  // Encodes everything buffered, computes the block index and detaches the sink.
  void Finish();

  // Writes the resume record through `write` and detaches the sink.
  void SaveState(const ChunkWriter& write);
  // Restores a table in progress from a resume record and attaches `sink`.
  void LoadState(const DeltaCodingTable& table, bool wideAnchor, bool positionField,
                 uint64_t indexDivisor, Sink sink, const ChunkReader& read);

  // Abandons the table in progress.
  void ClearSink() { sink_ = nullptr; }
  bool HasSink() const { return static_cast<bool>(sink_); }

  // Bytes per park; the plot formats use kParkBytes (the default). At most kParkBytes.
  void SetParkLength(uint64_t bytes);
  uint64_t ParkLength() const { return parkLength_; }

  uint64_t ValuesEncoded() const { return valuesEncoded_; }
  uint64_t BufferedCount() const { return buffered_; }
  uint32_t ParkCount() const { return parkCount_; }
  uint64_t IndexEntryCount() const { return indexCount_; }
  const IndexEntry* IndexEntries() const { return index_.Data(); }
  // Valid after Finish.
  const BlockIndex& Lookup() const { return lookup_; }

  ~ParkEncoder();
  ParkEncoder(const ParkEncoder&) = delete;
  ParkEncoder& operator=(const ParkEncoder&) = delete;

 private:
  friend ArenaPtr<ParkEncoder> CreateParkEncoder(MemoryArena&, MemoryArena&);
  ParkEncoder() = default;

  void Configure(const DeltaCodingTable& table, bool wideAnchor, bool positionField,
                 uint64_t indexDivisor);
  void ComputeLookup();
  void MakeBufferContiguous();

  FseEncodeTable* fse_ = nullptr;  // from the heap
  uint8_t rawBits_ = 0;
  bool wideAnchor_ = false;
  bool positionField_ = false;
  bool ready_ = false;
  bool bmi2_ = false;
  Sink sink_;
  // Ring buffer: the buffered values start at valueHead_, so a park leaves without a move.
  ArenaBuffer<uint64_t> values_;
  uint64_t valueHead_ = 0;
  ArenaBuffer<uint8_t> park_;
  uint64_t parkLength_ = 65536;
  uint64_t indexDivisor_ = 0;
  uint64_t position_ = 0;
  uint64_t buffered_ = 0;
  uint64_t valuesEncoded_ = 0;
  uint32_t parkCount_ = 0;
  uint32_t indexedParkCount_ = 0;
  ArenaBuffer<IndexEntry> index_;
  uint64_t indexCount_ = 0;
  BlockIndex lookup_{};
};
