#include "chia/fx_batch.h"

#include <algorithm>
#include <cstring>

#include "chia/blake3_lanes.h"
#include "chia/packed_bytes.h"

namespace {

using packed_bytes::Load;
using packed_bytes::LoadBig64;

// Input bytes 8j .. 8j + 7 of one lane = v big-endian. Every packed input ends in a value whose
// unused low bytes are zero, so the padding stays zero.
inline void Put64(Blake3LaneBlocks& b, unsigned j, unsigned lane, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(b.bytes[lane] + 8 * j, &v, 8);
}

// The digest of one lane, read at the bit offsets the outputs take.
struct DigestWords {
  const uint8_t* d;
  DigestWords(const Blake3LaneDigests& digests, unsigned lane) : d(digests.bytes[lane]) {}
  uint64_t F() const { return LoadBig64(d) >> 26; }
  uint64_t Bits38() const { return LoadBig64(d + 4) << 6 | d[12] >> 2; }
  uint64_t Bits102() const { return LoadBig64(d + 12) << 6 | d[20] >> 2; }
};

// Runs `pack(blocks, lane, i)` for up to 16 inputs, hashes them together, then
// `unpack(digest, i)` for each.
template <class Pack, class Unpack>
void Batched(uint64_t count, uint32_t length, SimdLevel level, Pack pack, Unpack unpack) {
  Blake3LaneBlocks blocks{};
  Blake3LaneDigests digests;
  for (uint64_t first = 0; first < count; first += kBlake3Lanes) {
    auto lanes = static_cast<unsigned>(std::min<uint64_t>(kBlake3Lanes, count - first));
    for (unsigned lane = 0; lane < lanes; ++lane) pack(blocks, lane, first + lane);
    Blake3HashLanes(blocks, length, digests, level);
    for (unsigned lane = 0; lane < lanes; ++lane) unpack(DigestWords(digests, lane), first + lane);
  }
}

// y || two 128-bit values (high, low each): 37 bytes.
inline void Pack128Pair(Blake3LaneBlocks& b, unsigned lane, uint64_t y, uint64_t lh, uint64_t ll,
                        uint64_t rh, uint64_t rl) {
  Put64(b, 0, lane, y << 26 | lh >> 38);
  Put64(b, 1, lane, lh << 26 | ll >> 38);
  Put64(b, 2, lane, ll << 26 | rh >> 38);
  Put64(b, 3, lane, rh << 26 | rl >> 38);
  Put64(b, 4, lane, rl << 26);
}

}  // namespace

void ComputeF2Batch(const uint64_t* y, const uint32_t* xLeft, const uint32_t* xRight,
                    uint64_t count, uint64_t* f, SimdLevel level) {
  Batched(
      count, 13, level,
      [&](Blake3LaneBlocks& b, unsigned lane, uint64_t i) {
        Put64(b, 0, lane, y[i] << 26 | xLeft[i] >> 6);
        Put64(b, 1, lane, (uint64_t{xLeft[i]} << 32 | xRight[i]) << 26);
      },
      [&](const DigestWords& d, uint64_t i) { f[i] = d.F(); });
}

void Fx3Or7Batch(const uint64_t* y, const void* left, const void* right, size_t inStride,
                 uint64_t count, uint64_t* f, SimdLevel level) {
  const auto* l = static_cast<const uint8_t*>(left);
  const auto* r = static_cast<const uint8_t*>(right);
  Batched(
      count, 21, level,
      [&](Blake3LaneBlocks& b, unsigned lane, uint64_t i) {
        uint64_t lv = LoadBig64(l + i * inStride), rv = LoadBig64(r + i * inStride);
        Put64(b, 0, lane, y[i] << 26 | lv >> 38);
        Put64(b, 1, lane, lv << 26 | rv >> 38);
        Put64(b, 2, lane, rv << 26);
      },
      [&](const DigestWords& d, uint64_t i) { f[i] = d.F(); });
}

void Fx4Batch(const uint64_t* y, const void* left, const void* right, size_t inStride,
              uint64_t count, uint64_t* f, void* out, size_t outStride, SimdLevel level) {
  const auto* l = static_cast<const uint8_t*>(left);
  const auto* r = static_cast<const uint8_t*>(right);
  auto* o = static_cast<uint8_t*>(out);
  Batched(
      count, 37, level,
      [&](Blake3LaneBlocks& b, unsigned lane, uint64_t i) {
        const uint8_t* li = l + i * inStride;
        const uint8_t* ri = r + i * inStride;
        Pack128Pair(b, lane, y[i], LoadBig64(li), LoadBig64(li + 8), LoadBig64(ri),
                    LoadBig64(ri + 8));
      },
      [&](const DigestWords& d, uint64_t i) {
        f[i] = d.F();
        uint64_t meta[2] = {d.Bits38(), d.Bits102()};
        std::memcpy(o + i * outStride, meta, 16);
      });
}

void Fx5Batch(const uint64_t* y, const void* left, const void* right, size_t inStride,
              uint64_t count, uint64_t* f, void* out, size_t outStride, SimdLevel level) {
  const auto* l = static_cast<const uint8_t*>(left);
  const auto* r = static_cast<const uint8_t*>(right);
  auto* o = static_cast<uint8_t*>(out);
  Batched(
      count, 37, level,
      [&](Blake3LaneBlocks& b, unsigned lane, uint64_t i) {
        const uint8_t* li = l + i * inStride;
        const uint8_t* ri = r + i * inStride;
        Pack128Pair(b, lane, y[i], Load<uint64_t>(li), Load<uint64_t>(li + 8), Load<uint64_t>(ri),
                    Load<uint64_t>(ri + 8));
      },
      [&](const DigestWords& d, uint64_t i) {
        f[i] = d.F();
        uint64_t high = d.Bits38();
        auto low = static_cast<uint32_t>(d.Bits102() >> 32);
        std::memcpy(o + i * outStride, &high, 8);
        std::memcpy(o + i * outStride + 8, &low, 4);
      });
}

void Fx6Batch(const uint64_t* y, const void* left, const void* right, size_t inStride,
              uint64_t count, uint64_t* f, void* out, size_t outStride, SimdLevel level) {
  const auto* l = static_cast<const uint8_t*>(left);
  const auto* r = static_cast<const uint8_t*>(right);
  auto* o = static_cast<uint8_t*>(out);
  Batched(
      count, 29, level,
      [&](Blake3LaneBlocks& b, unsigned lane, uint64_t i) {
        const uint8_t* li = l + i * inStride;
        const uint8_t* ri = r + i * inStride;
        uint64_t lh = Load<uint64_t>(li), rh = Load<uint64_t>(ri);
        uint64_t ll = Load<uint32_t>(li + 8), rl = Load<uint32_t>(ri + 8);
        Put64(b, 0, lane, y[i] << 26 | lh >> 38);
        Put64(b, 1, lane, lh << 26 | ll >> 6);
        Put64(b, 2, lane, ll << 58 | rh >> 6);
        Put64(b, 3, lane, rh << 58 | rl << 26);
      },
      [&](const DigestWords& d, uint64_t i) {
        f[i] = d.F();
        uint64_t meta = d.Bits38();
        std::memcpy(o + i * outStride, &meta, 8);
      });
}
