#pragma once

#include <cstdint>

// Proof-of-space constants for k = 32 and the split of the 38-bit y range into BC groups and
// 128 buckets. Both divisions go through 64-bit reciprocals: exact for every y < 2^38 and
// every group index in range.

inline constexpr uint32_t kB = 119;
inline constexpr uint32_t kC = 127;
inline constexpr uint32_t kBC = kB * kC;  // 15,113
inline constexpr uint32_t kExtraBits = 6;
inline constexpr uint32_t kYBits = 38;
inline constexpr uint64_t kYLimit = uint64_t{1} << kYBits;
inline constexpr uint64_t kGroupsPerBucket = 142096;
inline constexpr uint32_t kBucketCount = 128;
inline constexpr uint64_t kLastGroup = (kYLimit - 1) / kBC;  // 18,188,176

// ceil(2^64 / 15,113) and ceil(2^64 / 142,096).
inline constexpr uint64_t kBCReciprocal = 0x4561E40CF1025;
inline constexpr uint64_t kGroupsPerBucketReciprocal = 0x7611D07012E9;

inline constexpr uint64_t MulHigh64(uint64_t a, uint64_t b) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
}

// floor(y / kBC) for y < 2^38.
inline constexpr uint64_t BcGroupOf(uint64_t y) { return MulHigh64(y, kBCReciprocal); }

// floor(g / 142,096) for every group index of a 38-bit y.
inline constexpr uint64_t BucketOfGroup(uint64_t g) {
  return MulHigh64(g, kGroupsPerBucketReciprocal);
}

// The y of a thinned pipeline: the local group within its bucket is squeezed into `groups`
// groups (rounded down); the bucket and y mod kBC stay. Identity for kGroupsPerBucket.
inline uint64_t ThinY(uint64_t y, uint64_t groups) {
  const uint64_t g = BcGroupOf(y);
  const uint64_t b = BucketOfGroup(g);
  const uint64_t local = g - b * kGroupsPerBucket;
  return (b * kGroupsPerBucket + local * groups / kGroupsPerBucket) * kBC + (y - g * kBC);
}

// The 32-bit key word of a y: bits 0..13 = y mod kBC, bits 14..31 = group within its bucket.
struct BcKey {
  uint32_t key;
  uint32_t bucket;
};

inline constexpr BcKey SplitY(uint64_t y) {
  uint64_t g = BcGroupOf(y);
  uint64_t b = BucketOfGroup(g);
  uint32_t local = static_cast<uint32_t>(g - b * kGroupsPerBucket);
  // r < 2^16, so the difference of the low 16 bits is exact.
  uint16_t r = static_cast<uint16_t>(static_cast<uint16_t>(y) - static_cast<uint16_t>(g * kBC));
  return {static_cast<uint32_t>(r) | (local << 14), static_cast<uint32_t>(b)};
}

// Inverse of SplitY.
inline constexpr uint64_t JoinY(uint32_t key, uint32_t bucket) {
  return (uint64_t{bucket} * kGroupsPerBucket + (key >> 14)) * kBC + (key & 0x3FFF);
}
