#include "chia/sort_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using KeyFn = std::function<unsigned __int128(const uint8_t*)>;
using SortFn = std::function<void(uint8_t* data, uint64_t n, uint8_t* scratch)>;

template <class T>
T LoadAt(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

// Records as whole byte strings, for multiset comparisons.
std::vector<Bytes> Split(const uint8_t* d, uint64_t n, size_t w) {
  std::vector<Bytes> out;
  for (uint64_t i = 0; i < n; ++i) out.emplace_back(d + i * w, d + (i + 1) * w);
  return out;
}

// The records sorted as byte strings: equal lists mean equal multisets.
std::vector<std::string> SortedRecords(const uint8_t* d, uint64_t n, size_t w) {
  std::vector<std::string> out;
  for (uint64_t i = 0; i < n; ++i) out.emplace_back(reinterpret_cast<const char*>(d + i * w), w);
  std::sort(out.begin(), out.end());
  return out;
}

struct Member {
  const char* name;
  size_t width;
  KeyFn key;
  SortFn sort;
  bool stable;  // every bucket ends in insertion sort, so equal keys keep their order
};

// Checks one sort against the reference: keys ascending, same multiset of records, and for
// members that are stable by construction the exact std::stable_sort result.
void CheckSorted(const Member& m, const Bytes& input) {
  uint64_t n = input.size() / m.width;
  Bytes data = input;
  Bytes scratch(input.size() + m.width, 0xA5);
  m.sort(data.data(), n, scratch.data());

  auto expect = Split(input.data(), n, m.width);
  std::stable_sort(expect.begin(), expect.end(), [&](const Bytes& a, const Bytes& b) {
    return m.key(a.data()) < m.key(b.data());
  });
  auto got = Split(data.data(), n, m.width);
  for (uint64_t i = 0; i < n; ++i) {
    ASSERT_EQ(m.key(got[i].data()), m.key(expect[i].data())) << m.name << " n=" << n << " i=" << i;
  }
  if (m.stable) {
    ASSERT_EQ(got, expect) << m.name << " n=" << n;
  } else {
    ASSERT_EQ(SortedRecords(data.data(), n, m.width), SortedRecords(input.data(), n, m.width))
        << m.name << " n=" << n;
  }
}

Bytes RandomRecords(std::mt19937_64& rng, uint64_t n, size_t w) {
  Bytes b(n * w);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Copies `src` bytes of the key into every record so that keys collide on the leading digits.
void ForceKeyBytes(Bytes& b, size_t w, std::initializer_list<std::pair<size_t, uint8_t>> fixed) {
  for (size_t off = 0; off < b.size(); off += w) {
    for (auto [pos, v] : fixed) b[off + pos] = v;
  }
}

unsigned __int128 KeyU64(const uint8_t* r) { return LoadAt<uint64_t>(r); }
unsigned __int128 KeyU32(const uint8_t* r) { return LoadAt<uint32_t>(r); }
unsigned __int128 Key56(const uint8_t* r) { return LoadAt<uint64_t>(r + 4) & ((1ull << 56) - 1); }
unsigned __int128 KeyGroupAt4(const uint8_t* r) { return LoadAt<uint32_t>(r + 4) >> 14; }
unsigned __int128 KeySecond(const uint8_t* r) { return LoadAt<uint32_t>(r + 4); }
unsigned __int128 KeyPair(const uint8_t* r) {
  return (uint64_t{LoadAt<uint32_t>(r)} << 32) | LoadAt<uint32_t>(r + 4);
}
unsigned __int128 KeyGlobalGroup(const uint8_t* r) { return LoadAt<uint64_t>(r + 8) >> 14; }
unsigned __int128 KeyGroup32(const uint8_t* r) { return LoadAt<uint32_t>(r) >> 14; }
unsigned __int128 KeyGroup64(const uint8_t* r) { return (LoadAt<uint64_t>(r) >> 14) & 0x1FFFF; }

std::vector<Member> RadixMembers() {
  auto u64 = [](uint8_t* d, uint64_t n, uint8_t* s) {
    RadixSortU64(reinterpret_cast<uint64_t*>(d), n, reinterpret_cast<uint64_t*>(s), n);
  };
  // The u32 sort leaves its result in the second array: hand it back for the common check.
  auto u32 = [](uint8_t* d, uint64_t n, uint8_t* s) {
    RadixSortU32(reinterpret_cast<uint32_t*>(d), n, reinterpret_cast<uint32_t*>(s), n);
    if (n != 0) std::memcpy(d, s, n * 4);
  };
  return {
      {"RadixSortU64", 8, KeyU64, u64, true},
      {"RadixSortRecords28", 28, Key56,
       [](uint8_t* d, uint64_t n, uint8_t* s) { RadixSortRecords28(d, n, s, n); }, true},
      {"RadixSortRecords24", 24, Key56,
       [](uint8_t* d, uint64_t n, uint8_t* s) { RadixSortRecords24(d, n, s, n); }, true},
      {"RadixSortRecords20", 20, Key56,
       [](uint8_t* d, uint64_t n, uint8_t* s) { RadixSortRecords20(d, n, s, n); }, true},
      {"RadixSortRecords12", 12, Key56,
       [](uint8_t* d, uint64_t n, uint8_t* s) { RadixSortRecords12(d, n, s, n); }, true},
      {"RadixSortEntriesByGroup", 8, KeyGroupAt4,
       [](uint8_t* d, uint64_t n, uint8_t* s) { RadixSortEntriesByGroup(d, n, s, n); }, false},
      {"RadixSortPairsBySecond", 8, KeySecond,
       [](uint8_t* d, uint64_t n, uint8_t* s) { RadixSortPairsBySecond(d, n, s, n); }, true},
      {"RadixSortU32", 4, KeyU32, u32, true},
      {"RadixSortPairs", 8, KeyPair,
       [](uint8_t* d, uint64_t n, uint8_t* s) { RadixSortPairs(d, n, s, n); }, true},
  };
}

std::vector<Member> SmallMembers() {
  return {
      {"SmallSortU64", 8, KeyU64,
       [](uint8_t* d, uint64_t n, uint8_t*) {
         SmallSortU64(reinterpret_cast<uint64_t*>(d), n, nullptr);
       },
       false},
      {"SmallSortRecords28", 28, Key56,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortRecords28(d, n); }, false},
      {"SmallSortRecords24", 24, Key56,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortRecords24(d, n); }, false},
      {"SmallSortRecords20", 20, Key56,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortRecords20(d, n); }, false},
      {"SmallSortRecords12", 12, Key56,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortRecords12(d, n); }, false},
      {"SmallSortEntriesByGroup", 8, KeyGroupAt4,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortEntriesByGroup(d, n); }, false},
      {"SmallSortPairsBySecond", 8, KeySecond,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortPairsBySecond(d, n); }, false},
      {"SmallSortU32", 4, KeyU32,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortU32(reinterpret_cast<uint32_t*>(d), n); },
       false},
      {"SmallSortPairs", 8, KeyPair, [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortPairs(d, n); },
       false},
      {"SortMatchPairs", 16, KeyGlobalGroup,
       [](uint8_t* d, uint64_t n, uint8_t*) { SortMatchPairs(d, n); }, false},
      {"SmallSortByGroup8", 8, KeyGroup32,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortByGroup8(d, n); }, false},
      {"SmallSortByGroup12", 12, KeyGroup32,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortByGroup12(d, n); }, false},
      {"SmallSortByGroup16", 16, KeyGroup64,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortByGroup16(d, n); }, false},
      {"SmallSortByGroup20", 20, KeyGroup64,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortByGroup20(d, n); }, false},
      {"SmallSortByGroup24", 24, KeyGroup64,
       [](uint8_t* d, uint64_t n, uint8_t*) { SmallSortByGroup24(d, n); }, false},
  };
}

// Byte offsets of each member's most significant key byte, so tests can make the first digit
// collide and push whole ranges into one bucket.
size_t TopKeyByte(const std::string& name) {
  if (name == "RadixSortU64") return 7;
  if (name == "RadixSortU32" || name == "RadixSortPairs") return 3;
  if (name == "RadixSortPairsBySecond" || name == "RadixSortEntriesByGroup") return 7;
  return 10;
}

TEST(SortKernels, RadixSortsMatchReferenceAcrossSizesAndSwitchPoints) {
  std::mt19937_64 rng(7);
  for (const auto& m : RadixMembers()) {
    for (uint64_t n : {0, 1, 2, 31, 32, 33, 255, 256, 257, 1000, 70000}) {
      CheckSorted(m, RandomRecords(rng, n, m.width));
    }
    // One leading digit for all: the first level yields one bucket of exactly n records, which
    // at 32/33 and 256/257 sits on either side of the small-sort threshold.
    for (uint64_t n : {32, 33, 256, 257, 3000}) {
      Bytes b = RandomRecords(rng, n, m.width);
      ForceKeyBytes(b, m.width, {{TopKeyByte(m.name), 0x5C}});
      CheckSorted(m, b);
    }
    // Keys that differ only below bit b, as a plot bucket's values do: the leading digits are
    // all one value, and the last ones split a few records at a time.
    for (unsigned b : {1, 3, 17, 40}) {
      Bytes shared = RandomRecords(rng, 20000, m.width);
      const Bytes top = RandomRecords(rng, 1, m.width);
      for (size_t off = 0; off < shared.size(); off += m.width) {
        for (size_t bit = b; bit < m.width * 8; ++bit) {
          Bytes probe(shared.begin() + off, shared.begin() + off + m.width);
          const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
          probe[bit / 8] ^= mask;
          // Only the key's own bits at or above b take the shared value.
          if (m.key(probe.data()) != m.key(shared.data() + off) &&
              (m.key(probe.data()) ^ m.key(shared.data() + off)) >> b != 0) {
            shared[off + bit / 8] =
                static_cast<uint8_t>((shared[off + bit / 8] & ~mask) | (top[bit / 8] & mask));
          }
        }
      }
      CheckSorted(m, shared);
    }
    // Narrow key values: long runs of equal keys and deep descents.
    Bytes few = RandomRecords(rng, 5000, m.width);
    for (size_t off = 0; off < few.size(); off += m.width) {
      for (size_t k = 0; k < m.width; ++k) {
        if (k != TopKeyByte(m.name)) few[off + k] &= 0x03;
      }
    }
    CheckSorted(m, few);
  }
}

// The finalization's sorts count digits only below the highest bit in which two keys differ:
// widths on either side of one, two and three digits, with a shared top of ones or zeros and a
// part or two that differ only in the lowest bit, keep to the stable reference.
TEST(SortKernels, FinalizationSortsCoverEveryDifferingBit) {
  std::mt19937_64 rng(13);
  for (const auto& m : RadixMembers()) {
    const std::string name = m.name;
    if (name != "RadixSortU32" && name != "RadixSortPairsBySecond") continue;
    const size_t keyAt = name == "RadixSortU32" ? 0 : 4;
    // {differing bits, records, shared top}
    const std::tuple<unsigned, uint64_t, uint32_t> rows[] = {
        {1, 40, 0},
        {12, 17, 0xFFFFFFFF},
        {12, 5000, 0},
        {13, 5000, 0xFFFFFFFF},
        {24, 50000, 0x5A000000},
        {25, 50000, 0},
        {31, 20000, 0x80000000},
        {32, 30000, 0},
    };
    for (const auto& [bits, n, top] : rows) {
      Bytes b = RandomRecords(rng, n, m.width);
      const uint32_t low = bits == 32 ? 0xFFFFFFFF : (uint32_t{1} << bits) - 1;
      for (size_t off = 0; off < b.size(); off += m.width) {
        const uint32_t key = (top & ~low) | (LoadAt<uint32_t>(b.data() + off + keyAt) & low);
        std::memcpy(b.data() + off + keyAt, &key, 4);
      }
      CheckSorted(m, b);
    }
  }
}

// n records that share one key and differ in random payload (the bits whose flip leaves the
// key alone); `hasPayload` is false when the key covers the whole record.
Bytes EqualKeyRecords(const Member& m, uint64_t n, std::mt19937_64& rng, bool& hasPayload) {
  Bytes first = RandomRecords(rng, 1, m.width);
  Bytes payloadMask(m.width, 0);
  hasPayload = false;
  for (size_t bit = 0; bit < m.width * 8; ++bit) {
    Bytes probe = first;
    probe[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    if (m.key(probe.data()) == m.key(first.data())) {
      payloadMask[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
      hasPayload = true;
    }
  }
  Bytes b = RandomRecords(rng, n, m.width);
  for (size_t off = 0; off < b.size(); off += m.width) {
    for (size_t k = 0; k < m.width; ++k) {
      b[off + k] =
          static_cast<uint8_t>((first[k] & ~payloadMask[k]) | (b[off + k] & payloadMask[k]));
    }
  }
  return b;
}

Bytes Sorted(const Member& m, const Bytes& input) {
  Bytes data = input;
  Bytes scratch(input.size() + m.width);
  m.sort(data.data(), input.size() / m.width, scratch.data());
  return data;
}

TEST(SortKernels, AllEqualKeysShowWhereTheSmallSortTakesOver) {
  std::mt19937_64 rng(11);
  for (const auto& m : RadixMembers()) {
    // Bucket sizes the small sort takes: 256 records, or 32 for the finalization's members.
    std::string name = m.name;
    uint64_t smallLimit =
        name == "RadixSortU32" || name == "RadixSortPairs" || name == "RadixSortPairsBySecond"
            ? 32
            : 256;
    for (uint64_t n : {uint64_t{1}, smallLimit, smallLimit + 1, uint64_t{4000}}) {
      bool hasPayload;
      Bytes b = EqualKeyRecords(m, n, rng, hasPayload);
      CheckSorted(m, b);
      Bytes got = Sorted(m, b);
      if (n > smallLimit || m.stable) {
        // One bucket at every level down to the last, whose scatter keeps the input order; the
        // stable members keep it at every size.
        EXPECT_EQ(got, b) << m.name << " n=" << n;
      } else if (n > 32 && hasPayload) {
        // Finished by the small sort, whose partition step swaps equal records.
        EXPECT_NE(got, b) << m.name << " n=" << n;
      }
    }
  }
  for (const auto& m : SmallMembers()) {
    // 32 records go straight to insertion sort; 33 take a partition step first.
    for (uint64_t n : {32, 33}) {
      bool hasPayload;
      Bytes b = EqualKeyRecords(m, n, rng, hasPayload);
      if (!hasPayload) continue;
      Bytes got = Sorted(m, b);
      if (n == 32) {
        EXPECT_EQ(got, b) << m.name;
      } else {
        EXPECT_NE(got, b) << m.name;
      }
    }
  }
}

TEST(SortKernels, SmallSortsMatchReference) {
  std::mt19937_64 rng(13);
  for (const auto& m : SmallMembers()) {
    for (uint64_t n : {0, 1, 2, 32, 33, 64, 256, 257, 3000}) {
      CheckSorted(m, RandomRecords(rng, n, m.width));
      Bytes narrow = RandomRecords(rng, n, m.width);
      for (auto& x : narrow) x &= 0x41;  // many equal keys
      CheckSorted(m, narrow);
    }
    // Up to 32 records the small sort is a pure insertion sort, which keeps equal keys in order.
    Member stable = m;
    stable.stable = true;
    for (uint64_t n : {2, 17, 32}) {
      Bytes b = RandomRecords(rng, n, m.width);
      for (auto& x : b) x &= 0x01;
      CheckSorted(stable, b);
    }
  }
}

}  // namespace
