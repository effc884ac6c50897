#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>

#include "plotter/plot_engine.h"
#include "runtime/open_gate.h"

// The passes that make the tables: sub-step 0 matches the table in the temp files into the next
// one; sub-step 1 sorts it by value, writes it through the park encoder and passes every entry,
// with its index in the written table, on to the next step.

namespace {

constexpr uint64_t kLow56 = (uint64_t{1} << 56) - 1;
constexpr uint64_t kValueBatch = 1024;

uint64_t LoadU64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The first entry of an in-memory bucket of the last table that cannot be valid, and why.
struct BadEntry {
  uint64_t index = UINT64_MAX;
  const char* code = nullptr;
};

// Turns the sorted entries of one in-memory bucket of the last table into their values where
// they lie, up to the first entry that cannot be valid.
BadEntry MakeLastTableValues(uint8_t* entries, uint64_t count, uint64_t inputBucket,
                             uint64_t divisor) {
  for (uint64_t j = 0; j < count; ++j) {
    uint8_t* entry = entries + 8 * j;
    const uint64_t v = LoadU64(entry);
    if ((v >> 32) > (uint64_t{1} << 25) - 1) return {j, "invalid temp file: 9B275625"};
    if ((v & 0xFFFFFFFFu) >= divisor) return {j, "invalid temp file: 419419EB"};
    const uint64_t value = ((inputBucket << 25) | (v >> 32)) * divisor + (v & 0xFFFFFFFFu);
    std::memcpy(entry, &value, 8);
  }
  return {};
}

}  // namespace

template <uint64_t W>
void PlotEngine::RunMatchPass(void (PlotEngine::*distribute)(uint64_t), MatchKernel kernel,
                              bool valued, uint64_t range) {
  TempFileHeader& h = tempHeaders[0];
  if (h.bucket < 0) throw std::runtime_error("4880AF42");
  if (valued && h.bucket == 0) {
    const ValueRanges ranges = ComputeValueRanges(range);
    h.ranges[0] = ranges.range;
    h.ranges[1] = ranges.rangeIn;
    h.ranges[2] = ranges.rangeMem;
  }
  BindBucketBuffers();
  MatchJob job;
  job.data = bucketData.data();
  job.groupStart = groupStart.Data();
  job.groupLength = groupLength.Data();
  job.groupSlots = MatchGroupSlots(settings.scale);
  job.scale = settings.scale;
  job.level = h.level;
  job.rangeIn = valued ? h.ranges[1] : 1;
  if (job.rangeIn == 0) throw std::runtime_error("invalid temp file: 557F11BD");
  stream->SetReadBucket(static_cast<uint64_t>(h.bucket));
  for (uint64_t i = static_cast<uint64_t>(h.bucket);; ++i) {
    (this->*distribute)(i);
    stream->SetReadBucket(i + 1);
    pool->RunForEachBucket(
        [this](uint64_t worker, uint64_t bucket) { SortBucketGroups<W>(worker, bucket); });
    job.inputBucket = i;
    pool->RunForEachBucket([&](uint64_t worker, uint64_t task) {
      kernel(job, *writers128[worker], *matchScratch[worker], sortScratch[worker], task);
    });
    if (i == 127) break;
    h.bucket = static_cast<int8_t>(i + 1);
    if (SaveRequested()) return FlushBucketBuffers();
  }
  FlushBucketBuffers();
  if (h.step == 1) {
    h.step = 2;
  } else {
    h.subStep = 1;
  }
  h.bucket = 0;
}

void PlotEngine::RunStep1() {
  RunMatchPass<8>(&PlotEngine::RunBucketPass8, MatchBucketAndHash, false, 0);
}

void PlotEngine::RunStep2Sub0() {
  RunMatchPass<12>(&PlotEngine::RunBucketPass12, MatchBucketWide, true,
                   tempHeaders[0].bucket == 0 ? PrefixValueRange(tempHeaders[0].level) : 0);
}
void PlotEngine::RunStep3Sub0() {
  RunMatchPass<24>(&PlotEngine::SetupBucketOutputs3, MatchBucketFx4, true,
                   LinePointRange(plotHeader.tables[0].entryCount));
}
void PlotEngine::RunStep4Sub0() {
  RunMatchPass<24>(&PlotEngine::SetupBucketOutputs3, MatchBucketFx5, true,
                   LinePointRange(plotHeader.tables[1].entryCount));
}
void PlotEngine::RunStep5Sub0() {
  RunMatchPass<20>(&PlotEngine::SetupBucketOutputs2, MatchBucket, true,
                   LinePointRange(plotHeader.tables[2].entryCount));
}
void PlotEngine::RunStep6Sub0() {
  RunMatchPass<16>(&PlotEngine::SetupBucketOutputs, MatchAndHashTable7, true,
                   LinePointRange(plotHeader.tables[3].entryCount));
}

template <uint64_t W>
void PlotEngine::RunTablePass(uint32_t table, DistributionKernel kernel,
                              void (*sort)(PlotEngine&, uint64_t, uint64_t),
                              RegroupKernel regroup) {
  TempFileHeader& h = tempHeaders[0];
  const bool last = table == kLastPlotTable;
  if (h.bucket < 0) throw std::runtime_error(last ? "0FC6401B" : "9F153201");
  PlotTableRecord& record = plotHeader.tables[table];
  const uint64_t divisor = last ? plotHeader.tables[kLastPlotTable - 1].entryCount : 0;
  if (h.bucket == 0) {
    uint64_t figure = kMaxTableEntries;
    if (!last) {
      uint64_t total = 0;
      for (uint64_t b = 0; b < MultiFileStream::kBuckets; ++b) {
        total += stream->HeldEntries(streamReadSide, b);
      }
      if (total == 0) throw std::runtime_error(kEmptyTableError);
      const uint64_t n = table == 0 ? 0 : plotHeader.tables[table - 1].entryCount;
      figure = table == 0 ? h.ranges[0] / total : n / 2 * n / total;
    }
    BuildDeltaCodingTable(figure, record.coding);
  }
  if (!last) BindBucketBuffers();
  if (h.bucket == 0) {
    StartTableEncoder(record.coding, last, divisor);
    record.offset = plotWriter->Offset();
    h.runningTotal = 0;
  } else {
    if (!last && h.runningTotal > kMaxTableEntries) {
      throw std::runtime_error("invalid temp file: 758F6F45");
    }
    ResumeTableEncoder(record.coding, last, divisor);
  }
  batchQueue->SetConsumer(EncodeValuesTask(*encoder));
  uint64_t written = last ? 0 : h.runningTotal;
  uint64_t remaining = kMaxTableEntries - written;
  const uint64_t rangeIn = h.ranges[1], rangeMem = h.ranges[2];
  stream->SetReadBucket(static_cast<uint64_t>(h.bucket));
  for (uint64_t i = static_cast<uint64_t>(h.bucket);; ++i) {
    DistributeInputBucket<W>(i, kernel);
    stream->SetReadBucket(i + 1);
    std::array<BadEntry, kMemoryBuckets> bad{};
    pool->RunForEachBucket([&](uint64_t worker, uint64_t bucket) {
      sort(*this, worker, bucket);
      // The last table's values are made here, while the sorted bucket is in the worker's cache.
      if (last) {
        bad[bucket] = MakeLastTableValues(bucketData[bucket], bucketCounts[bucket], i, divisor);
      }
    });
    uint64_t taken = 0;
    if (last) {
      // No wait for the encoder: the queue holds a whole input bucket and a push waits for room,
      // so the encoder goes from one bucket to the next without a gap. A bad entry ends the
      // pass after the values before it, as one entry at a time would.
      for (uint64_t b = 0; b < kMemoryBuckets; ++b) {
        const uint64_t good = std::min(bad[b].index, bucketCounts[b]);
        PushToBatchQueueTask(*batchQueue, reinterpret_cast<const uint64_t*>(bucketData[b]), good);
        if (bad[b].code != nullptr) throw std::runtime_error(bad[b].code);
      }
    } else {
      // No wait for the encoder either: pushes wait for room in the queue, so the encoder works
      // through the previous bucket's values while this one's are distributed and sorted.
      std::array<uint64_t, kMemoryBuckets> take{};
      for (uint64_t b = 0; b < kMemoryBuckets; ++b) {
        const uint64_t count = bucketCounts[b];
        // A table ends at 2^32 values; the bucket that crosses it passes none of its entries on.
        take[b] = std::min(count, remaining);
        if (count > remaining) bucketCounts[b] = 0;
        remaining -= take[b];
        taken += take[b];
      }
      // The regroup and the park values only read the sorted buckets, so the workers do both at
      // once: each memory bucket's values go straight into their place in the encoder's queue,
      // which a whole input bucket fits. A larger one is handed on by this thread instead.
      std::array<uint64_t, kMemoryBuckets> start{};
      BucketStarts(bucketCounts.data(), written, start.data());
      const RegroupJob job{bucketData.data(), bucketCounts.data(), start.data()};
      std::array<uint64_t, kMemoryBuckets> at{};
      for (uint64_t b = 1; b < kMemoryBuckets; ++b) at[b] = at[b - 1] + take[b - 1];
      const bool direct = taken <= batchQueue->Capacity();
      std::array<std::span<uint64_t>, 2> room{};
      // The room is free only once the encoder is through the previous bucket: the regroup parts,
      // handed out first, go ahead meanwhile and the value parts wait here for it.
      OpenGate roomGate;
      const auto values = [&](uint64_t b, uint64_t from, uint64_t count, uint64_t* out) {
        const uint8_t* entry = bucketData[b] + from * W;
        const uint64_t base = i * rangeIn + b * rangeMem;
        for (uint64_t j = 0; j < count; ++j, entry += W)
          out[j] = (LoadU64(entry + 4) & kLow56) + base;
      };
      pool->Post(
          [&](uint64_t worker, uint64_t part) {
            if (part < kMemoryBuckets) return regroup(job, *writers128[worker], part);
            if (!roomGate.Pass()) return;
            const uint64_t b = part - kMemoryBuckets;
            const uint64_t split = room[0].size();
            const uint64_t head = at[b] >= split ? 0 : std::min(take[b], split - at[b]);
            if (head != 0) values(b, 0, head, room[0].data() + at[b]);
            if (head != take[b])
              values(b, head, take[b] - head, room[1].data() + (at[b] + head - split));
          },
          direct ? 2 * kMemoryBuckets : kMemoryBuckets);
      try {
        if (direct) {
          room = batchQueue->Reserve(taken);
          roomGate.Open();
        }
        uint64_t chunk[kValueBatch];
        for (uint64_t b = 0; !direct && b < kMemoryBuckets; ++b) {
          for (uint64_t from = 0; from < take[b]; from += kValueBatch) {
            const uint64_t n = std::min(kValueBatch, take[b] - from);
            values(b, from, n, chunk);
            PushToBatchQueueTask(*batchQueue, chunk, n);
          }
        }
      } catch (...) {
        // The job reads this frame: it must end before the failure leaves it, and value parts
        // still waiting for the room go without it.
        roomGate.Fail();
        try {
          pool->Wait();
        } catch (...) {
        }
        throw;
      }
      pool->Wait();
      if (direct) batchQueue->Commit(taken);
    }
    written += taken;
    if (i == 127) break;
    h.bucket = static_cast<int8_t>(i + 1);
    if (SaveRequested()) {
      batchQueue->WaitIdle();
      batchQueue->ResetConsumer();
      if (!last) {
        FlushBucketBuffers();
        h.runningTotal = written;
      }
      return;
    }
  }
  if (!last) FlushBucketBuffers();
  batchQueue->WaitIdle();
  batchQueue->ResetConsumer();
  encoder->Finish();
  record.entryCount = encoder->ValuesEncoded();
  record.blockCount = encoder->ParkCount();
  record.index = encoder->Lookup();
  h.step = static_cast<uint8_t>(last ? 8 : table + 3);
  h.subStep = 0;
  h.bucket = 0;
}

void PlotEngine::RunStep2Sub1() {
  RunTablePass<28>(0, DistributeEntries28, SortBucketTask4, RegroupEntries28);
}
void PlotEngine::RunStep3Sub1() {
  RunTablePass<28>(1, DistributeEntries28, SortBucketTask4, RegroupEntries28);
}
void PlotEngine::RunStep4Sub1() {
  RunTablePass<24>(2, DistributeEntries24, SortBucketTask3, RegroupEntries24);
}
void PlotEngine::RunStep5Sub1() {
  RunTablePass<20>(3, DistributeEntries20, SortBucketTask2, RegroupEntries20);
}
void PlotEngine::RunStep6Sub1() {
  RunTablePass<12>(4, DistributeEntries12, ::SortBucketTask, RegroupEntries12);
}
void PlotEngine::RunStep7() {
  RunTablePass<8>(
      kLastPlotTable, ScatterToBuckets,
      [](PlotEngine& engine, uint64_t worker, uint64_t bucket) {
        engine.SortBucketTask(worker, bucket);
      },
      nullptr);
}
