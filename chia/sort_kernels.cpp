#include "chia/sort_kernels.h"

#include <algorithm>
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

using RadixPairs = ByteRadix<8, 8, 32, KeyPair, kBytes3To0Then7To4>;

// Sorts by a whole key of up to 64 bits whose leading bits are mostly shared: a plot bucket's
// values have a fixed top and a range far below 2^64. The digits start at the highest bit in
// which any two keys differ and are as wide as the part's size calls for, so every scatter
// splits the records and the parts left for insertion sort hold a handful each.
template <size_t W, class K>
class SpreadRadix {
 public:
  // Sorts n records of `data`, through `scratch`, into `data`.
  static void Sort(uint8_t* data, uint8_t* scratch, uint64_t n) {
    if (n <= kInsertionLimit) return InsertionSort<W, K>(data, n);
    const uint64_t first = K::Of(data);
    uint64_t differ = 0;
    for (uint64_t i = 1; i < n; ++i) differ |= K::Of(data + i * W) ^ first;
    if (differ == 0) return;
    Level(data, scratch, true, n, 64 - static_cast<unsigned>(__builtin_clzll(differ)));
  }

 private:
  static constexpr uint64_t kInsertionLimit = 16;
  static constexpr unsigned kMaxBits = 11;
  static constexpr uint64_t kCachedBytes = uint64_t{1} << 20;

  // Scatters `from` into `to` by the key bits below `high`, then finishes each part. `fromIsFinal`
  // says which of the two ranges must hold the result.
  static void Level(uint8_t* from, uint8_t* to, bool fromIsFinal, uint64_t n, unsigned high) {
    // About four records per digit value: a wider digit gains nothing on the parts it makes.
    // Beyond the second-level cache, scatters to more than 256 places miss on every record.
    const unsigned sizeBits = 64 - static_cast<unsigned>(__builtin_clzll(n >> 2 | 1));
    const unsigned widest = n * W > kCachedBytes ? 8 : kMaxBits;
    const unsigned bits = std::min({widest, sizeBits, high});
    const unsigned shift = high - bits;
    const uint64_t mask = (uint64_t{1} << bits) - 1;
    uint64_t count[1u << kMaxBits];
    uint64_t pos[1u << kMaxBits];
    std::fill(count, count + mask + 1, uint64_t{0});
    for (uint64_t i = 0; i < n; ++i) ++count[(K::Of(from + i * W) >> shift) & mask];
    uint64_t sum = 0;
    for (uint64_t d = 0; d <= mask; ++d) {
      pos[d] = sum;
      sum += count[d];
    }
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* record = from + i * W;
      std::memcpy(to + pos[(K::Of(record) >> shift) & mask]++ * W, record, W);
    }
    uint64_t begin = 0;
    for (uint64_t d = 0; d <= mask; ++d) {
      const uint64_t c = count[d];
      if (c == 0) continue;
      uint8_t* part = to + begin * W;
      uint8_t* other = from + begin * W;
      begin += c;
      if (c <= kInsertionLimit || shift == 0) {
        if (c > 1 && shift != 0) InsertionSort<W, K>(part, c);
        if (fromIsFinal) std::memcpy(other, part, c * W);
      } else {
        Level(part, other, !fromIsFinal, c, shift);
      }
    }
  }
};

// Sorts by a 32-bit key from the lowest bit up to the highest in which two keys differ, in as
// few digits of at most 12 bits as cover them, all counted in one read. The finalization's parts
// of a range bucket share their leading bits, and a whole part fits the second-level cache, where
// a wide digit's scatter stays cheap. Leaves the result in `data` or `scratch`; returns which.
template <size_t W, class K>
class LowDigitRadix {
 public:
  static uint8_t* Sort(uint8_t* data, uint8_t* scratch, uint64_t n) {
    if (n <= kInsertionLimit) {
      InsertionSort<W, K>(data, n);
      return data;
    }
    // Counts are 32-bit; a larger part takes the spread sort.
    if (n > UINT32_MAX) {
      SpreadRadix<W, K>::Sort(data, scratch, n);
      return data;
    }
    const uint32_t first = K::Of(data);
    uint32_t differ = 0;
    for (uint64_t i = 1; i < n; ++i) differ |= K::Of(data + i * W) ^ first;
    if (differ == 0) return data;
    const unsigned high = 32 - static_cast<unsigned>(__builtin_clz(differ));
    const unsigned digits = (high + kMaxBits - 1) / kMaxBits;
    const unsigned bits = (high + digits - 1) / digits;
    const uint32_t mask = (uint32_t{1} << bits) - 1;
    uint32_t count[kMaxDigits][uint32_t{1} << kMaxBits];
    for (unsigned d = 0; d < digits; ++d) std::fill(count[d], count[d] + mask + 1, 0u);
    for (uint64_t i = 0; i < n; ++i) {
      const uint32_t key = K::Of(data + i * W);
      for (unsigned d = 0; d < digits; ++d) ++count[d][(key >> (d * bits)) & mask];
    }
    uint8_t* from = data;
    uint8_t* to = scratch;
    for (unsigned d = 0; d < digits; ++d) {
      uint32_t* pos = count[d];
      uint32_t sum = 0;
      for (uint32_t v = 0; v <= mask; ++v) {
        const uint32_t c = pos[v];
        pos[v] = sum;
        sum += c;
      }
      const unsigned shift = d * bits;
      for (uint64_t i = 0; i < n; ++i) {
        const uint8_t* record = from + i * W;
        std::memcpy(to + uint64_t{pos[(K::Of(record) >> shift) & mask]++} * W, record, W);
      }
      std::swap(from, to);
    }
    return from;
  }

 private:
  static constexpr uint64_t kInsertionLimit = 16;
  static constexpr unsigned kMaxBits = 12;
  static constexpr unsigned kMaxDigits = 3;
};

template <size_t W, class K>
void Small(void* data, uint64_t n) {
  QuickSort<W, K>(static_cast<uint8_t*>(data), n);
}

}  // namespace

void RadixSortU64(uint64_t* data, uint64_t count, uint64_t* scratch, uint64_t) {
  SpreadRadix<8, KeyU64>::Sort(reinterpret_cast<uint8_t*>(data),
                               reinterpret_cast<uint8_t*>(scratch), count);
}
void RadixSortRecords28(void* data, uint64_t count, void* scratch, uint64_t) {
  SpreadRadix<28, Key56At4>::Sort(static_cast<uint8_t*>(data), static_cast<uint8_t*>(scratch),
                                  count);
}
void RadixSortRecords24(void* data, uint64_t count, void* scratch, uint64_t) {
  SpreadRadix<24, Key56At4>::Sort(static_cast<uint8_t*>(data), static_cast<uint8_t*>(scratch),
                                  count);
}
void RadixSortRecords20(void* data, uint64_t count, void* scratch, uint64_t) {
  SpreadRadix<20, Key56At4>::Sort(static_cast<uint8_t*>(data), static_cast<uint8_t*>(scratch),
                                  count);
}
void RadixSortRecords12(void* data, uint64_t count, void* scratch, uint64_t) {
  SpreadRadix<12, Key56At4>::Sort(static_cast<uint8_t*>(data), static_cast<uint8_t*>(scratch),
                                  count);
}
void RadixSortEntriesByGroup(void* data, uint64_t count, void* scratch, uint64_t) {
  RadixSortInto<GroupRadix>(data, scratch, false, count);
}
void RadixSortPairsBySecond(void* data, uint64_t count, void* scratch, uint64_t) {
  uint8_t* const into = static_cast<uint8_t*>(data);
  const uint8_t* sorted =
      LowDigitRadix<8, KeySecondWord>::Sort(into, static_cast<uint8_t*>(scratch), count);
  if (sorted != into) std::memcpy(into, sorted, count * 8);
}
void RadixSortU32(uint32_t* data, uint64_t count, uint32_t* scratch, uint64_t) {
  uint8_t* const into = reinterpret_cast<uint8_t*>(scratch);
  const uint8_t* sorted =
      LowDigitRadix<4, KeyU32>::Sort(reinterpret_cast<uint8_t*>(data), into, count);
  if (sorted != into && count != 0) std::memcpy(into, sorted, count * 4);
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
