#include "chia/fx.h"

#include <cstring>

#include "chia/blake3_hash.h"
#include "chia/packed_bytes.h"

namespace {

using packed_bytes::Load;
using packed_bytes::LoadBig64;
using packed_bytes::StoreBig64;

// Writes the first `bytes` bytes of v big-endian (bytes <= 8).
inline void StoreBigPrefix(uint8_t* p, uint64_t v, size_t bytes) {
  uint8_t tmp[8];
  StoreBig64(tmp, v);
  std::memcpy(p, tmp, bytes);
}

// Digest bits [start, start + 64) for a start at byte offset `byte` plus 6 bits.
inline uint64_t DigestBits(const uint8_t* d, size_t byte) {
  return LoadBig64(d + byte) << 6 | d[byte + 8] >> 2;
}

inline uint64_t DigestF(const uint8_t* d) { return LoadBig64(d) >> 26; }

// y (38 bits) followed by two 128-bit values (each as high, low): 294 bits in 37 bytes.
uint64_t Hash128Pair(uint64_t y, uint64_t lh, uint64_t ll, uint64_t rh, uint64_t rl,
                     uint8_t digest[32]) {
  uint8_t in[37];
  StoreBig64(in, y << 26 | lh >> 38);
  StoreBig64(in + 8, lh << 26 | ll >> 38);
  StoreBig64(in + 16, ll << 26 | rh >> 38);
  StoreBig64(in + 24, rh << 26 | rl >> 38);
  StoreBigPrefix(in + 32, rl << 26, 5);
  Blake3Hash(in, sizeof(in), digest);
  return DigestF(digest);
}

}  // namespace

uint64_t Fx3Or7(const void* left, const void* right, uint64_t y) {
  uint64_t l = LoadBig64(static_cast<const uint8_t*>(left));
  uint64_t r = LoadBig64(static_cast<const uint8_t*>(right));
  uint8_t in[21];
  StoreBig64(in, y << 26 | l >> 38);
  StoreBig64(in + 8, l << 26 | r >> 38);
  StoreBigPrefix(in + 16, r << 26, 5);
  uint8_t digest[32];
  Blake3Hash(in, sizeof(in), digest);
  return DigestF(digest);
}

uint64_t Fx4(const void* left, const void* right, uint64_t y, void* out) {
  const auto* l = static_cast<const uint8_t*>(left);
  const auto* r = static_cast<const uint8_t*>(right);
  uint8_t digest[32];
  uint64_t f =
      Hash128Pair(y, LoadBig64(l), LoadBig64(l + 8), LoadBig64(r), LoadBig64(r + 8), digest);
  uint64_t meta[2] = {DigestBits(digest, 4), DigestBits(digest, 12)};
  std::memcpy(out, meta, 16);
  return f;
}

uint64_t Fx5(const void* left, const void* right, uint64_t y, void* out) {
  const auto* l = static_cast<const uint8_t*>(left);
  const auto* r = static_cast<const uint8_t*>(right);
  uint8_t digest[32];
  uint64_t f = Hash128Pair(y, Load<uint64_t>(l), Load<uint64_t>(l + 8), Load<uint64_t>(r),
                           Load<uint64_t>(r + 8), digest);
  uint64_t high = DigestBits(digest, 4);
  auto low = static_cast<uint32_t>(DigestBits(digest, 12) >> 32);
  auto* o = static_cast<uint8_t*>(out);
  std::memcpy(o, &high, 8);
  std::memcpy(o + 8, &low, 4);
  return f;
}

uint64_t Fx6(const void* left, const void* right, uint64_t y, void* out) {
  const auto* l = static_cast<const uint8_t*>(left);
  const auto* r = static_cast<const uint8_t*>(right);
  uint64_t lh = Load<uint64_t>(l), rh = Load<uint64_t>(r);
  uint64_t ll = Load<uint32_t>(l + 8), rl = Load<uint32_t>(r + 8);
  // y | lh | ll(32) | rh | rl(32): 230 bits in 29 bytes.
  uint8_t in[29];
  StoreBig64(in, y << 26 | lh >> 38);
  StoreBig64(in + 8, lh << 26 | ll >> 6);
  StoreBig64(in + 16, ll << 58 | rh >> 6);
  StoreBigPrefix(in + 24, rh << 58 | rl << 26, 5);
  uint8_t digest[32];
  Blake3Hash(in, sizeof(in), digest);
  uint64_t meta = DigestBits(digest, 4);
  std::memcpy(out, &meta, 8);
  return DigestF(digest);
}

uint64_t ComputeF2(uint64_t y, uint32_t xLeft, uint32_t xRight) {
  uint8_t in[13];
  StoreBig64(in, y << 26 | xLeft >> 6);
  StoreBigPrefix(in + 8, (uint64_t{xLeft} << 32 | xRight) << 26, 5);
  uint8_t digest[32];
  Blake3Hash(in, sizeof(in), digest);
  return DigestF(digest);
}
