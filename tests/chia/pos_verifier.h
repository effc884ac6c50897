#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "chia/blake3_hash.h"
#include "chia/chacha8.h"
#include "chia/sha256.h"

// Genuine k = 32 proofs, and an independent check of the published proof rule (f1 from the
// ChaCha8 keystream, the matching condition, fx up the tree, f7 against the challenge) that
// shares no code with the production F1, Fx or match finder.
struct PosRecord {
  uint8_t plotId[32];
  uint8_t challenge[32];
  uint32_t proof[64];  // proof (matching) order
};

// The records of the file named by VARNOK_POS_VECTORS, else of the project's copy.
inline std::vector<PosRecord> LoadPosRecords() {
  const char* named = std::getenv("VARNOK_POS_VECTORS");
  std::ifstream in(named != nullptr ? named : VARNOK_VECTORS_DIR "/pos-k32.txt");
  std::vector<PosRecord> records;
  std::string id, k, challenge, proof;
  auto hex = [](const std::string& text, uint8_t* out) {
    for (size_t i = 0; i < text.size() / 2; ++i) out[i] = std::stoi(text.substr(2 * i, 2), 0, 16);
  };
  while (in >> id >> k >> challenge >> proof) {
    PosRecord& r = records.emplace_back();
    hex(id, r.plotId);
    hex(challenge, r.challenge);
    hex(proof, reinterpret_cast<uint8_t*>(r.proof));
    for (uint32_t& x : r.proof) x = __builtin_bswap32(x);
  }
  return records;
}

namespace pos_oracle {

constexpr uint64_t kBC = 15113, kB = 119, kC = 127, kGroups = 142096;

// Under a plot scale of shift d the local group of every y (within its bucket of 142096 groups)
// is squeezed into 142096 >> d groups, rounded down; the identity at d = 0.
inline uint64_t ScaledY(uint64_t y, int shift) {
  const uint64_t g = y / kBC, b = g / kGroups, l = g % kGroups;
  return (b * kGroups + l * (kGroups >> shift) / kGroups) * kBC + y % kBC;
}

inline uint64_t F1(const uint8_t plotId[32], uint32_t x) {
  uint8_t key[32] = {1};
  std::copy(plotId, plotId + 31, key + 1);
  uint32_t state[16], block[16];
  ChaCha8InitState(state, key);
  ChaCha8Block(state, x >> 4, block);
  return uint64_t{__builtin_bswap32(block[x & 15])} << 6 | x >> 26;
}

inline bool Matches(uint64_t yl, uint64_t yr) {
  const uint64_t g = yl / kBC, l = yl % kBC, r = yr % kBC;
  bool found = false;
  for (uint64_t m = 0; m < 64; ++m) {
    found |= (r / kC + kB - l / kC) % kB == m &&
             (r % kC + kC - l % kC) % kC == (2 * m + g % 2) * (2 * m + g % 2) % kC;
  }
  return yr / kBC == g + 1 && found;
}

using Bits = std::vector<bool>;  // most significant first

inline Bits Put(uint64_t value, int width, Bits bits = {}) {
  for (int i = width - 1; i >= 0; --i) bits.push_back((value >> i) & 1);
  return bits;
}

// f of table t (2..7) over y and both sides' metadata; `meta` receives the new metadata.
inline uint64_t Fx(int t, uint64_t y, const Bits& left, const Bits& right, Bits& meta) {
  Bits in = Put(y, 38);
  in.insert(in.end(), left.begin(), left.end());
  in.insert(in.end(), right.begin(), right.end());
  uint8_t bytes[40] = {}, digest[32];
  for (size_t i = 0; i < in.size(); ++i) bytes[i / 8] |= in[i] << (7 - i % 8);
  Blake3Hash(bytes, (in.size() + 7) / 8, digest);
  Bits out;
  for (int i = 0; i < 256; ++i) out.push_back((digest[i / 8] >> (7 - i % 8)) & 1);
  const size_t length = t == 4 ? 128 : t == 5 ? 96 : t == 6 ? 64 : 0;
  meta =
      t < 4 ? Bits(in.begin() + 38, in.end()) : Bits(out.begin() + 38, out.begin() + 38 + length);
  uint64_t f = 0;
  for (int i = 0; i < 38; ++i) f = f << 1 | out[i];
  return f;
}

// True when the 64 x values match up to a root whose f7 >> 6 is the challenge's first 32 bits.
// A plot of scale `shift` holds only the x of every 2^shift-th ChaCha8 block, and matches and
// hashes scaled y values; f7 itself is not scaled.
inline bool VerifyProof(const uint8_t plotId[32], const uint8_t challenge[32],
                        const uint32_t proof[64], uint64_t* f7 = nullptr, int shift = 0) {
  std::vector<uint64_t> y(64);
  std::vector<Bits> meta(64);
  for (int i = 0; i < 64; ++i) {
    if ((proof[i] >> 4) % (uint64_t{1} << shift) != 0) return false;
    y[i] = ScaledY(F1(plotId, proof[i]), shift), meta[i] = Put(proof[i], 32);
  }
  for (int t = 2; t <= 7; ++t) {
    for (size_t i = 0; i < y.size() / 2; ++i) {
      if (!Matches(y[2 * i], y[2 * i + 1])) return false;
      y[i] = Fx(t, y[2 * i], meta[2 * i], meta[2 * i + 1], meta[i]);
      if (t < 7) y[i] = ScaledY(y[i], shift);
    }
    y.resize(y.size() / 2);
  }
  if (f7 != nullptr) *f7 = y[0];
  return y[0] >> 6 ==
         (uint64_t{challenge[0]} << 24 | challenge[1] << 16 | challenge[2] << 8 | challenge[3]);
}

// The quality string: the proof in plot order (of two sibling groups, the one smaller when
// compared from its last element back comes first), the pair chosen by the challenge's last
// byte, hashed after the challenge.
inline std::vector<uint8_t> Quality(const uint8_t challenge[32], const uint32_t proof[64]) {
  std::vector<uint32_t> p(proof, proof + 64);
  for (long s = 1; s < 64; s *= 2) {
    for (long j = 0; j < 64; j += 2 * s) {
      auto end = p.rend() - j;
      if (std::lexicographical_compare(end - 2 * s, end - s, end - s, end)) {
        std::rotate(p.begin() + j, p.begin() + j + s, p.begin() + j + 2 * s);
      }
    }
  }
  const uint32_t pair[2] = {__builtin_bswap32(p[2 * (challenge[31] & 31)]),
                            __builtin_bswap32(p[2 * (challenge[31] & 31) + 1])};
  std::vector<uint8_t> out(32);
  Sha256_32_8(out.data(), challenge, reinterpret_cast<const uint8_t*>(pair));
  return out;
}

}  // namespace pos_oracle
