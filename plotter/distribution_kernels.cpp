#include "plotter/distribution_kernels.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "chia/bc_group.h"
#include "chia/sort_kernels.h"
#include "plotter/kernel_records.h"

namespace {

using kernel_records::Fail;
using kernel_records::Load;
using kernel_records::Store;

constexpr uint64_t kGroupsPerMemoryBucket = 556;
constexpr uint64_t kLow56 = (uint64_t{1} << 56) - 1;
constexpr uint64_t kGroupField64 = uint64_t{0x3FFFF} << 14;

// Where an entry goes and the new value of its rewritten field.
template <typename Field>
struct Placement {
  uint64_t bucket;
  Field field;
};

// Takes the task's share in rounds and stages every entry where `place` sends it, with the
// field at byte `At` replaced. The entry is copied into its slot first and the field patched
// there, so no load waits on a narrower store to the same bytes.
template <uint64_t W, uint64_t At, typename Field, class Place>
void DistributeShare(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task,
                     const Place& place) {
  static_assert(W * BucketWriter<256>::kSlotEntries <= BucketWriter<256>::kSlotStride);
  uint64_t share = TaskShare(job.total, task);
  alignas(64) uint8_t round[kTakeRound * W];
  while (share > 0) {
    const uint64_t n = std::min(share, kTakeRound);
    job.source->TakeEntries(round, n);
    for (uint64_t j = 0; j < n; ++j) {
      const uint8_t* entry = round + j * W;
      const Placement<Field> p = place(entry);
      const uint64_t staged = writer.counts[p.bucket];
      uint8_t* slot = writer.Slot(p.bucket);
      std::memcpy(slot + staged * W, entry, W);
      std::memcpy(slot + staged * W + At, &p.field, sizeof(Field));
      if (staged == BucketWriter<256>::kSlotEntries - 1) {
        writer.sink->Append(p.bucket, slot, BucketWriter<256>::kSlotEntries);
        writer.counts[p.bucket] = 0;
      } else {
        writer.counts[p.bucket] = staged + 1;
      }
    }
    share -= n;
  }
}

struct GroupSplit {
  uint64_t bucket;
  uint64_t local;
};

inline GroupSplit SplitGroup(uint64_t group) {
  const uint64_t bucket = group / kGroupsPerMemoryBucket;
  return {bucket, group - bucket * kGroupsPerMemoryBucket};
}

template <uint64_t W>
void ByGroup32(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task,
               const char* groupCode, const char* yCode) {
  const uint64_t limit = job.groupLimit;
  DistributeShare<W, 0, uint32_t>(job, writer, task, [&](const uint8_t* entry) {
    const uint32_t key = Load<uint32_t>(entry);
    const uint64_t group = key >> 14;
    if (group >= limit) Fail(groupCode);
    if ((key & 0x3FFF) >= kBC) Fail(yCode);
    const GroupSplit split = SplitGroup(group);
    return Placement<uint32_t>{split.bucket,
                               (key & 0x3FFF) | static_cast<uint32_t>(split.local << 14)};
  });
}

template <uint64_t W>
void ByGroup64(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  const uint64_t limit = job.groupLimit;
  DistributeShare<W, 0, uint64_t>(job, writer, task, [&](const uint8_t* entry) {
    const uint64_t key = Load<uint64_t>(entry);
    const uint64_t group = (key & kGroupField64) >> 14;
    if (group >= limit) Fail("8C00FDCD");
    if ((key & 0x3FFF) >= kBC) Fail("37293BD6");
    const GroupSplit split = SplitGroup(group);
    return Placement<uint64_t>{split.bucket, (key & ~kGroupField64) | (split.local << 14)};
  });
}

// Quotient and remainder by r through a reciprocal: for x below 2^56 the estimate is the
// quotient or one less, and one correction makes it exact.
struct Divider {
  uint64_t r;
  uint64_t m;
  explicit Divider(uint64_t range) : r(range), m(~uint64_t{0} / range) {}
  void Divide(uint64_t x, uint64_t& q, uint64_t& rem) const {
    q = MulHigh64(x, m);
    rem = x - q * r;
    const uint64_t over = rem >= r;
    q += over;
    rem -= over * r;
  }
};

template <uint64_t W>
void ByValue(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  CheckValueRange(job.valueRange);
  const Divider divider(job.valueRange);
  DistributeShare<W, 4, uint64_t>(job, writer, task, [&](const uint8_t* entry) {
    const uint64_t v = Load<uint64_t>(entry + 4);
    uint64_t bucket, rem;
    divider.Divide(v & kLow56, bucket, rem);
    if (bucket > 255) Fail("9EB17911");
    return Placement<uint64_t>{bucket, (v & ~kLow56) | rem};
  });
}

uint64_t CheckedIndex(const RegroupJob& job, uint64_t bucket) {
  const uint64_t first = job.start[bucket];
  if (job.counts[bucket] != 0 && first + job.counts[bucket] - 1 > 0xFFFFFFFFu) {
    throw std::runtime_error("3D9A6E15");
  }
  return first;
}

// 20, 24, 28 -> 16, 20, 24: (idx << 32) | K, then the bytes after V.
template <uint64_t In>
void RegroupWide(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket) {
  constexpr uint64_t kOut = In - 4;
  const uint64_t first = CheckedIndex(job, bucket);
  const uint8_t* entry = job.data[bucket];
  uint8_t out[kOut];
  for (uint64_t j = 0; j < job.counts[bucket]; ++j, entry += In) {
    const uint64_t key = Load<uint32_t>(entry);
    const uint64_t v = Load<uint64_t>(entry + 4);
    Store<uint64_t>(out, ((first + j) << 32) | key);
    std::memcpy(out + 8, entry + 12, In - 12);
    writer.Stage<kOut>(v >> 57, out);
  }
}

template <uint64_t W>
uint64_t GroupOf(const uint8_t* record) {
  if constexpr (W <= 12) {
    return Load<uint32_t>(record) >> 14;
  } else {
    return (Load<uint64_t>(record) >> 14) & 0x1FFFF;
  }
}

// One scatter straight to the groups' places and one sequential copy back: the 556 write
// streams stay within the second-level cache, and a copy costs less than a second scatter.
template <uint64_t W>
void CountingSortByGroup(void* records, uint64_t count, void* scratchArea, uint64_t* start,
                         uint64_t* length) {
  auto* data = static_cast<uint8_t*>(records);
  auto* scratch = static_cast<uint8_t*>(scratchArea);
  uint64_t groups[kGroupsPerMemoryBucket] = {};
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t g = GroupOf<W>(data + i * W);
    if (g >= kGroupsPerMemoryBucket) Fail("C2D541B9");
    ++groups[g];
  }
  uint64_t cursor[kGroupsPerMemoryBucket];
  uint64_t below = 0;
  for (uint64_t g = 0; g < kGroupsPerMemoryBucket; ++g) {
    start[g] = below;
    length[g] = groups[g];
    cursor[g] = below;
    below += groups[g];
  }
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* record = data + i * W;
    std::memcpy(scratch + cursor[GroupOf<W>(record)]++ * W, record, W);
  }
  std::memcpy(data, scratch, count * W);
}

}  // namespace

void CheckValueRange(uint64_t valueRange) {
  if (valueRange == 0) Fail("5C3A0E97");
}

void DistributeEntries8(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  ByGroup32<8>(job, writer, task, "1534F744", "BB9A0DF4");
}
void DistributeEntries12B(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  ByGroup32<12>(job, writer, task, "A8CE68F1", "AEF51066");
}
void DistributeEntries16(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  ByGroup64<16>(job, writer, task);
}
void DistributeEntries20B(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  ByGroup64<20>(job, writer, task);
}
void DistributeEntries24B(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  ByGroup64<24>(job, writer, task);
}
void DistributeEntries12(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  ByValue<12>(job, writer, task);
}
void DistributeEntries20(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  ByValue<20>(job, writer, task);
}
void DistributeEntries24(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  ByValue<24>(job, writer, task);
}
void DistributeEntries28(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  ByValue<28>(job, writer, task);
}

void ScatterToBuckets(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task) {
  DistributeShare<8, 0, uint64_t>(job, writer, task, [](const uint8_t* entry) {
    const uint64_t v = Load<uint64_t>(entry);
    if ((v >> 49) > 255) Fail("9D65BCE2");
    return Placement<uint64_t>{v >> 49, v};
  });
}

void RegroupEntries12(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket) {
  const uint64_t first = CheckedIndex(job, bucket);
  const uint8_t* entry = job.data[bucket];
  for (uint64_t j = 0; j < job.counts[bucket]; ++j, entry += 12) {
    const uint32_t key = Load<uint32_t>(entry);
    const uint64_t out = (uint64_t{key & 0x1FFFFFFu} << 32) | (first + j);
    writer.Stage<8>(key >> 25, &out);
  }
}
void RegroupEntries20(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket) {
  RegroupWide<20>(job, writer, bucket);
}
void RegroupEntries24(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket) {
  RegroupWide<24>(job, writer, bucket);
}
void RegroupEntries28(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket) {
  RegroupWide<28>(job, writer, bucket);
}

void BucketStarts(const uint64_t* counts, uint64_t base, uint64_t* start) {
  for (uint64_t b = 0; b < 256; ++b) {
    start[b] = base;
    base += counts[b];
  }
}

void SortBucketRecords8(void* data, uint64_t count, void* scratch, uint64_t* start,
                        uint64_t* length) {
  CountingSortByGroup<8>(data, count, scratch, start, length);
}
void SortBucketRecords12(void* data, uint64_t count, void* scratch, uint64_t* start,
                         uint64_t* length) {
  CountingSortByGroup<12>(data, count, scratch, start, length);
}
void SortBucketRecords16(void* data, uint64_t count, void* scratch, uint64_t* start,
                         uint64_t* length) {
  CountingSortByGroup<16>(data, count, scratch, start, length);
}
void SortBucketRecords20(void* data, uint64_t count, void* scratch, uint64_t* start,
                         uint64_t* length) {
  CountingSortByGroup<20>(data, count, scratch, start, length);
}
void SortBucketRecords24(void* data, uint64_t count, void* scratch, uint64_t* start,
                         uint64_t* length) {
  CountingSortByGroup<24>(data, count, scratch, start, length);
}
