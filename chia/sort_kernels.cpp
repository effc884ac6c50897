#include "chia/sort_kernels.h"

#include <cstddef>
#include <cstring>

#include "chia/packed_bytes.h"

namespace {

using packed_bytes::Load;

// Key extractors: record bytes -> an unsigned integer ordered like the record.
struct KeyU64 {
  static uint64_t Of(const uint8_t* r) { return Load<uint64_t>(r); }
};
struct KeyU32 {
  static uint32_t Of(const uint8_t* r) { return Load<uint32_t>(r); }
};
struct Key56At4 {
  static uint64_t Of(const uint8_t* r) { return Load<uint64_t>(r + 4) & 0x00FFFFFFFFFFFFFFull; }
};
struct KeyGroupAt4 {
  static uint32_t Of(const uint8_t* r) { return Load<uint32_t>(r + 4) >> 14; }
};
struct KeySecondWord {
  static uint32_t Of(const uint8_t* r) { return Load<uint32_t>(r + 4); }
};
struct KeyPair {
  static uint64_t Of(const uint8_t* r) {
    return (uint64_t{Load<uint32_t>(r)} << 32) | Load<uint32_t>(r + 4);
  }
};
struct KeyGlobalGroupAt8 {
  static uint64_t Of(const uint8_t* r) { return Load<uint64_t>(r + 8) >> 14; }
};
struct KeyGroup32 {
  static uint32_t Of(const uint8_t* r) { return Load<uint32_t>(r) >> 14; }
};
struct KeyGroup64 {
  static uint64_t Of(const uint8_t* r) { return (Load<uint64_t>(r) >> 14) & 0x1FFFF; }
};

template <size_t W>
inline void SwapRecords(uint8_t* a, uint8_t* b) {
  uint8_t t[W];
  std::memcpy(t, a, W);
  std::memcpy(a, b, W);
  std::memcpy(b, t, W);
}

template <size_t W, class K>
void InsertionSort(uint8_t* d, uint64_t n) {
  for (uint64_t i = 1; i < n; ++i) {
    uint8_t t[W];
    std::memcpy(t, d + i * W, W);
    auto k = K::Of(t);
    uint64_t j = i;
    while (j > 0 && K::Of(d + (j - 1) * W) > k) {
      std::memcpy(d + j * W, d + (j - 1) * W, W);
      --j;
    }
    std::memcpy(d + j * W, t, W);
  }
}

// Hoare quicksort on the middle record's key; ranges below 33 records go to insertion sort.
template <size_t W, class K>
void QuickSort(uint8_t* d, uint64_t n) {
  while (n >= 33) {
    auto pivot = K::Of(d + (n / 2) * W);
    int64_t i = 0;
    int64_t j = static_cast<int64_t>(n) - 1;
    for (;;) {
      while (K::Of(d + i * W) < pivot) ++i;
      while (K::Of(d + j * W) > pivot) --j;
      if (j < i) break;
      SwapRecords<W>(d + i * W, d + j * W);
      ++i;
      --j;
      if (j <= i) break;
    }
    if (j > 0) QuickSort<W, K>(d, static_cast<uint64_t>(j) + 1);
    d += i * W;
    n -= static_cast<uint64_t>(i);
  }
  InsertionSort<W, K>(d, n);
}

// Radix traits: record width, digit count and width, digit extraction per level (most
// significant first), the bucket size at or below which the small sort takes over.
template <size_t W, unsigned Levels, unsigned Small, class K, const unsigned char* ByteOfLevel>
struct ByteRadix {
  static constexpr size_t kWidth = W;
  static constexpr unsigned kLevels = Levels;
  static constexpr uint64_t kSmall = Small;
  using Key = K;
  template <unsigned L>
  static constexpr unsigned DigitBits() {
    return 8;
  }
  template <unsigned L>
  static unsigned Digit(const uint8_t* r) {
    return r[ByteOfLevel[L]];
  }
};

constexpr unsigned char kBytes7To0[] = {7, 6, 5, 4, 3, 2, 1, 0};
constexpr unsigned char kBytes10To4[] = {10, 9, 8, 7, 6, 5, 4};
constexpr unsigned char kBytes3To0[] = {3, 2, 1, 0};
constexpr unsigned char kBytes3To0Then7To4[] = {3, 2, 1, 0, 7, 6, 5, 4};

struct GroupRadix {
  static constexpr size_t kWidth = 8;
  static constexpr unsigned kLevels = 2;
  static constexpr uint64_t kSmall = 256;
  using Key = KeyGroupAt4;
  template <unsigned L>
  static constexpr unsigned DigitBits() {
    return 9;
  }
  template <unsigned L>
  static unsigned Digit(const uint8_t* r) {
    uint32_t v = Load<uint32_t>(r + 4);
    return L == 0 ? (v >> 23) : ((v >> 14) & 0x1FF);
  }
};

// One level: scatter `from` into `to` by this level's digit, then finish each bucket. Exactly
// one of the two ranges belongs to the array that must hold the result (`toIsFinal` says
// which); the next level scatters back the other way.
template <class T, unsigned L>
void RadixLevel(uint8_t* from, uint8_t* to, bool toIsFinal, uint64_t n) {
  constexpr size_t kW = T::kWidth;
  constexpr unsigned kR = 1u << T::template DigitBits<L>();
  uint64_t count[kR] = {};
  uint64_t start[kR];
  uint64_t pos[kR];
  for (uint64_t i = 0; i < n; ++i) ++count[T::template Digit<L>(from + i * kW)];
  uint64_t sum = 0;
  for (unsigned d = 0; d < kR; ++d) {
    start[d] = sum;
    pos[d] = sum;
    sum += count[d];
  }
  for (uint64_t i = 0; i < n; ++i) {
    const uint8_t* rec = from + i * kW;
    std::memcpy(to + pos[T::template Digit<L>(rec)]++ * kW, rec, kW);
  }
  if constexpr (L + 1 == T::kLevels) {
    if (!toIsFinal) std::memcpy(from, to, n * kW);
  } else {
    for (unsigned d = 0; d < kR; ++d) {
      uint64_t c = count[d];
      if (c == 0) continue;
      uint8_t* bucket = to + start[d] * kW;
      uint8_t* other = from + start[d] * kW;
      if (c == 1) {
        if (!toIsFinal) std::memcpy(other, bucket, kW);
      } else if (c <= T::kSmall) {
        // Below 33 records the small sort is insertion sort; calling it directly lets it inline.
        if (c < 33) {
          InsertionSort<kW, typename T::Key>(bucket, c);
        } else {
          QuickSort<kW, typename T::Key>(bucket, c);
        }
        if (!toIsFinal) std::memcpy(other, bucket, c * kW);
      } else {
        RadixLevel<T, L + 1>(bucket, other, !toIsFinal, c);
      }
    }
  }
}

template <class T>
void RadixSortInto(void* data, void* scratch, bool resultInScratch, uint64_t n) {
  RadixLevel<T, 0>(static_cast<uint8_t*>(data), static_cast<uint8_t*>(scratch), resultInScratch, n);
}

// Whole u64 keys: any correct sort gives the same result, so the digits can be chosen for speed.
// The top byte splits a bucket into 256 parts that fit the second-level cache; eleven bits more
// leave parts of a few values for insertion sort where eight left 32. The remaining levels only
// serve runs of near-equal values.
struct RadixU64 {
  static constexpr size_t kWidth = 8;
  static constexpr unsigned kLevels = 8;
  static constexpr uint64_t kSmall = 256;
  using Key = KeyU64;
  static constexpr unsigned kBits[kLevels] = {8, 11, 8, 8, 8, 8, 8, 5};
  static constexpr unsigned kShift[kLevels] = {56, 45, 37, 29, 21, 13, 5, 0};
  template <unsigned L>
  static constexpr unsigned DigitBits() {
    return kBits[L];
  }
  template <unsigned L>
  static unsigned Digit(const uint8_t* r) {
    return static_cast<unsigned>(Load<uint64_t>(r) >> kShift[L]) & ((1u << kBits[L]) - 1);
  }
};
template <size_t W>
using RadixRecords = ByteRadix<W, 7, 256, Key56At4, kBytes10To4>;
using RadixPairsBySecond = ByteRadix<8, 4, 32, KeySecondWord, kBytes7To0>;
using RadixU32 = ByteRadix<4, 4, 32, KeyU32, kBytes3To0>;
using RadixPairs = ByteRadix<8, 8, 32, KeyPair, kBytes3To0Then7To4>;

template <size_t W, class K>
void Small(void* data, uint64_t n) {
  QuickSort<W, K>(static_cast<uint8_t*>(data), n);
}

}  // namespace

void RadixSortU64(uint64_t* data, uint64_t count, uint64_t* scratch, uint64_t) {
  RadixSortInto<RadixU64>(data, scratch, false, count);
}
void RadixSortRecords28(void* data, uint64_t count, void* scratch, uint64_t) {
  RadixSortInto<RadixRecords<28>>(data, scratch, false, count);
}
void RadixSortRecords24(void* data, uint64_t count, void* scratch, uint64_t) {
  RadixSortInto<RadixRecords<24>>(data, scratch, false, count);
}
void RadixSortRecords20(void* data, uint64_t count, void* scratch, uint64_t) {
  RadixSortInto<RadixRecords<20>>(data, scratch, false, count);
}
void RadixSortRecords12(void* data, uint64_t count, void* scratch, uint64_t) {
  RadixSortInto<RadixRecords<12>>(data, scratch, false, count);
}
void RadixSortEntriesByGroup(void* data, uint64_t count, void* scratch, uint64_t) {
  RadixSortInto<GroupRadix>(data, scratch, false, count);
}
void RadixSortPairsBySecond(void* data, uint64_t count, void* scratch, uint64_t) {
  RadixSortInto<RadixPairsBySecond>(data, scratch, false, count);
}
void RadixSortU32(uint32_t* data, uint64_t count, uint32_t* scratch, uint64_t) {
  RadixSortInto<RadixU32>(data, scratch, true, count);
}
void RadixSortPairs(void* data, uint64_t count, void* scratch, uint64_t) {
  RadixSortInto<RadixPairs>(data, scratch, false, count);
}

void SmallSortU64(uint64_t* data, uint64_t count, void*) { Small<8, KeyU64>(data, count); }
void SmallSortRecords28(void* data, uint64_t count, void*) { Small<28, Key56At4>(data, count); }
void SmallSortRecords24(void* data, uint64_t count, void*) { Small<24, Key56At4>(data, count); }
void SmallSortRecords20(void* data, uint64_t count, void*) { Small<20, Key56At4>(data, count); }
void SmallSortRecords12(void* data, uint64_t count, void*) { Small<12, Key56At4>(data, count); }
void SmallSortEntriesByGroup(void* data, uint64_t count, void*) {
  Small<8, KeyGroupAt4>(data, count);
}
void SmallSortPairsBySecond(void* data, uint64_t count, void*) {
  Small<8, KeySecondWord>(data, count);
}
void SmallSortU32(uint32_t* data, uint64_t count, void*) { Small<4, KeyU32>(data, count); }
void SmallSortPairs(void* data, uint64_t count, void*) { Small<8, KeyPair>(data, count); }
void SortMatchPairs(void* data, uint64_t count, void*) {
  Small<16, KeyGlobalGroupAt8>(data, count);
}
void SmallSortByGroup8(void* data, uint64_t count, void*) { Small<8, KeyGroup32>(data, count); }
void SmallSortByGroup12(void* data, uint64_t count, void*) { Small<12, KeyGroup32>(data, count); }
void SmallSortByGroup16(void* data, uint64_t count, void*) { Small<16, KeyGroup64>(data, count); }
void SmallSortByGroup20(void* data, uint64_t count, void*) { Small<20, KeyGroup64>(data, count); }
void SmallSortByGroup24(void* data, uint64_t count, void*) { Small<24, KeyGroup64>(data, count); }
