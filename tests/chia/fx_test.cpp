#include "chia/fx.h"

#include <blake3.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// Bit string written most significant bit first, then zero-padded to whole bytes and hashed.
class BitString {
 public:
  void Put(uint64_t v, int bits) {
    for (int i = bits - 1; i >= 0; --i) bits_.push_back((v >> i) & 1);
  }
  // A big-endian byte string of `bytes` bytes.
  void PutBytes(const uint8_t* p, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) Put(p[i], 8);
  }
  std::vector<uint8_t> Digest() const {
    std::vector<uint8_t> packed((bits_.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits_.size(); ++i) {
      if (bits_[i]) packed[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    }
    blake3_hasher h;
    blake3_hasher_init(&h);
    blake3_hasher_update(&h, packed.data(), packed.size());
    std::vector<uint8_t> out(32);
    blake3_hasher_finalize(&h, out.data(), 32);
    return out;
  }
  size_t Size() const { return bits_.size(); }

 private:
  std::vector<bool> bits_;
};

// Digest bits [start, start + n), n <= 64, as a number.
uint64_t BitsOf(const std::vector<uint8_t>& d, size_t start, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) {
    size_t bit = start + i;
    v = v << 1 | ((d[bit / 8] >> (7 - bit % 8)) & 1);
  }
  return v;
}

struct Rng {
  std::mt19937_64 g{2024};
  uint64_t Y() { return g() >> 26; }
  void Fill(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(g());
  }
};

TEST(Fx, F2AndF3AndF7MatchTheBitPackedDefinition) {
  Rng rng;
  for (int i = 0; i < 2000; ++i) {
    uint64_t y = rng.Y();
    auto xl = static_cast<uint32_t>(rng.g()), xr = static_cast<uint32_t>(rng.g());
    BitString s;
    s.Put(y, 38);
    s.Put(xl, 32);
    s.Put(xr, 32);
    ASSERT_EQ(s.Size(), 102u);  // 13 bytes, the last two bits zero
    ASSERT_EQ(ComputeF2(y, xl, xr), BitsOf(s.Digest(), 0, 38)) << i;

    // Table-2 metadata: x left then x right, each big-endian: 64 bits per side.
    uint8_t buf[17];
    rng.Fill(buf, sizeof(buf));
    const uint8_t* left = buf + 1;  // deliberately unaligned
    const uint8_t* right = buf + 9;
    BitString t;
    t.Put(y, 38);
    t.PutBytes(left, 8);
    t.PutBytes(right, 8);
    ASSERT_EQ(t.Size(), 166u);  // 21 bytes
    ASSERT_EQ(Fx3Or7(left, right, y), BitsOf(t.Digest(), 0, 38)) << i;
  }
}

TEST(Fx, F4MatchesTheDefinitionAndWritesTableFourMetadata) {
  Rng rng;
  for (int i = 0; i < 2000; ++i) {
    uint64_t y = rng.Y();
    uint8_t buf[33], out[17];
    rng.Fill(buf, sizeof(buf));
    const uint8_t* left = buf + 1;
    const uint8_t* right = buf + 17;
    BitString s;
    s.Put(y, 38);
    s.PutBytes(left, 16);
    s.PutBytes(right, 16);
    ASSERT_EQ(s.Size(), 294u);  // 37 bytes
    auto d = s.Digest();
    ASSERT_EQ(Fx4(left, right, y, out + 1), BitsOf(d, 0, 38));
    uint64_t meta[2];
    std::memcpy(meta, out + 1, 16);
    ASSERT_EQ(meta[0], BitsOf(d, 38, 64));
    ASSERT_EQ(meta[1], BitsOf(d, 102, 64));
  }
}

TEST(Fx, F5MatchesTheDefinitionAndWritesTableFiveMetadata) {
  Rng rng;
  for (int i = 0; i < 2000; ++i) {
    uint64_t y = rng.Y();
    uint64_t l[2] = {rng.g(), rng.g()}, r[2] = {rng.g(), rng.g()};
    BitString s;
    s.Put(y, 38);
    s.Put(l[0], 64);  // high part first
    s.Put(l[1], 64);
    s.Put(r[0], 64);
    s.Put(r[1], 64);
    auto d = s.Digest();
    uint8_t out[13];
    std::memset(out, 0xCC, sizeof(out));
    ASSERT_EQ(Fx5(l, r, y, out), BitsOf(d, 0, 38));
    uint64_t high;
    uint32_t low;
    std::memcpy(&high, out, 8);
    std::memcpy(&low, out + 8, 4);
    ASSERT_EQ(high, BitsOf(d, 38, 64));
    ASSERT_EQ(low, BitsOf(d, 102, 32));
    ASSERT_EQ(out[12], 0xCC);  // 12 bytes written, no more
  }
}

TEST(Fx, F6MatchesTheDefinitionAndWritesTableSixMetadata) {
  Rng rng;
  for (int i = 0; i < 2000; ++i) {
    uint64_t y = rng.Y();
    uint8_t buf[25];
    rng.Fill(buf, sizeof(buf));
    const uint8_t* left = buf + 1;  // u64 then u32, native, unaligned
    const uint8_t* right = buf + 13;
    uint64_t lh, rh;
    uint32_t ll, rl;
    std::memcpy(&lh, left, 8);
    std::memcpy(&ll, left + 8, 4);
    std::memcpy(&rh, right, 8);
    std::memcpy(&rl, right + 8, 4);
    BitString s;
    s.Put(y, 38);
    s.Put(lh, 64);
    s.Put(ll, 32);
    s.Put(rh, 64);
    s.Put(rl, 32);
    ASSERT_EQ(s.Size(), 230u);  // 29 bytes
    auto d = s.Digest();
    uint8_t out[9];
    ASSERT_EQ(Fx6(left, right, y, out + 1), BitsOf(d, 0, 38));
    uint64_t meta;
    std::memcpy(&meta, out + 1, 8);
    ASSERT_EQ(meta, BitsOf(d, 38, 64));
  }
}

TEST(Fx, TableTwoEntryKeys) {
  Rng rng;
  for (uint64_t f : {uint64_t{0}, uint64_t{15112}, uint64_t{15113}, (uint64_t{1} << 38) - 1}) {
    EXPECT_EQ(F2Key(f) >> 14, f / 15113) << f;
    EXPECT_EQ(F2Key(f) & 0x3FFF, f % 15113) << f;
  }
  EXPECT_EQ(F2Key((uint64_t{1} << 38) - 1), uint64_t{18188176} << 14 | 3055);
  for (int i = 0; i < 100000; ++i) {
    uint64_t f = rng.Y();
    ASSERT_EQ(F2Key(f), (f / 15113) << 14 | (f % 15113)) << f;
  }
}

}  // namespace
