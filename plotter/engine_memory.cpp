#include "plotter/engine_memory.h"

#include <algorithm>
#include <stdexcept>

#include "plotter/bucket_entry_counts.h"

namespace {

constexpr uint64_t kBucket0Capacity = 169096;
constexpr uint64_t kBucketCapacity = 159096;
constexpr uint64_t kProductionInputBound = 35231921;
constexpr uint64_t kFullBucketEntries = uint64_t{1} << 25;
constexpr uint64_t kProductionMargin = 65536;

// Per thread: the sort scratch counted twice, both staging buffers, match scratch and records.
constexpr uint64_t kPerThreadFixed = 10297056 - 2 * 4734688;
constexpr uint64_t kPerTempFile = 8404992;
// The plot-file worker, the two 64 MiB I/O buffers and the engine's small records.
constexpr uint64_t kEngineFixed = 8388608 + 134217728 + 258048;

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

void CheckFileCount(uint64_t files) {
  if (files > MultiFileStream::kMaxFiles) throw std::runtime_error("2A474139");
  if (files == 0) throw std::runtime_error("6E1D0B93");
}

// Entries one bucket area is sized for when the production table expects `expected`. Thinning
// flattens the production table's uneven shape (and adds small shapes of its own at low d), so
// a thinned area holds at least the flat mean plus a sixteenth of it.
uint64_t AreaEntries(uint64_t expected, const PlotScale& scale) {
  if (scale.IsProduction()) return expected + BucketMargin(scale);
  return scale.Shrink(std::max(expected, kFullBucketEntries)) +
         std::max(BucketMargin(scale), scale.Shrink(kFullBucketEntries / 16));
}

// Stream blocks one bucket area needs in each file for `expected` entries.
uint64_t AreaBlocks(uint64_t expected, uint64_t files, uint64_t perBlock, const PlotScale& scale) {
  return CeilDiv(CeilDiv(AreaEntries(expected, scale), files), perBlock);
}

}  // namespace

uint64_t BucketMargin(const PlotScale& scale) { return kProductionMargin >> ((scale.d + 1) / 2); }

uint64_t InputBucketBound(const PlotScale& scale) {
  if (scale.IsProduction()) return kProductionInputBound;
  const uint64_t largest = *std::max_element(BucketEntryCounts.begin(), BucketEntryCounts.end());
  return scale.Shrink(largest) + BucketMargin(scale);
}

uint64_t MemoryBucketCapacity(uint64_t bucket, const PlotScale& scale) {
  const uint64_t production = bucket == 0 ? kBucket0Capacity : kBucketCapacity;
  if (scale.IsProduction()) return production;
  const uint64_t input = InputBucketBound(scale);
  const uint64_t first = bucket * kGroupsPerMemoryBucket;
  const uint64_t groups =
      first >= scale.groups ? 0 : std::min(kGroupsPerMemoryBucket, scale.groups - first);
  const uint64_t byGroup = CeilDiv(input * groups, scale.groups);
  const uint64_t byValue = CeilDiv(input, kMemoryBuckets);
  return std::min(production, std::max(byGroup, byValue) + BucketMargin(scale));
}

uint64_t MemoryBucketBytes(const PlotScale& scale) {
  return MemoryBucketCapacity(0, scale) * kWidestEntryBytes;
}

uint64_t EstimateJobMemory(const PlotEngineSettings& settings) {
  if (settings.threadCount == 0) throw std::runtime_error("20FC6FEB");
  if (settings.tempFileLimit > MultiFileStream::kMaxFiles) throw std::runtime_error("C961616D");
  const PlotScale& scale = settings.scale;
  uint64_t buckets = 0;
  for (uint64_t b = 0; b < kMemoryBuckets; ++b) buckets += MemoryBucketCapacity(b, scale);
  const uint64_t perThread = kPerThreadFixed + 2 * MemoryBucketBytes(scale);
  return settings.threadCount * perThread + settings.tempFileLimit * kPerTempFile + kEngineFixed +
         8 * InputBucketBound(scale) + kWidestEntryBytes * buckets;
}

uint64_t RequiredJobMemory(const PlotEngineSettings& settings) {
  return EstimateJobMemory(settings) +
         kMinStreamBlocks * (settings.scale.StreamBlockBytes() + kStreamBlockBookkeeping);
}

uint64_t StreamBlockCount(const PlotEngineSettings& settings) {
  const uint64_t estimate = EstimateJobMemory(settings);
  if (settings.memoryBudget <= estimate) return 0;
  return (settings.memoryBudget - estimate) /
         (settings.scale.StreamBlockBytes() + kStreamBlockBookkeeping);
}

uint64_t BucketRegionBytes(uint64_t files, const PlotScale& scale) {
  CheckFileCount(files);
  const uint64_t perBlock = scale.StreamBlockBytes() / kWidestEntryBytes;
  const uint64_t uniform =
      MultiFileStream::kBuckets * AreaBlocks(kFullBucketEntries, files, perBlock, scale);
  uint64_t table = 0;
  for (uint64_t count : BucketEntryCounts) table += AreaBlocks(count, files, perBlock, scale);
  return std::max(uniform, table) * scale.StreamBlockBytes();
}

uint64_t TempFileBytes(uint64_t files, const PlotScale& scale) {
  return 16789504 + 2 * BucketRegionBytes(files, scale);
}

void LayoutBuckets(uint64_t files, uint64_t entryBytes, uint8_t region, const uint64_t* counts,
                   BucketRegion* out, const PlotScale& scale) {
  if (region > 1) throw std::runtime_error("4AA18EC96");
  CheckFileCount(files);
  const uint64_t blockBytes = scale.StreamBlockBytes();
  if (entryBytes == 0 || entryBytes > blockBytes) throw std::runtime_error("1B8E5D27");
  const uint64_t perBlock = blockBytes / entryBytes;
  uint64_t offset = kTempHeadBytes + (region == 1 ? BucketRegionBytes(files, scale) : 0);
  for (uint64_t i = 0; i < MultiFileStream::kBuckets; ++i) {
    const uint64_t expected = counts == nullptr ? kFullBucketEntries : counts[i];
    const uint64_t blocks = AreaBlocks(expected, files, perBlock, scale);
    out[i] = BucketRegion{offset, blocks, blocks * files * perBlock};
    offset += blocks * blockBytes;
  }
}
