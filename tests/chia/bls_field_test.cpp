// Base-field and scalar-field arithmetic checked against GMP on random and edge-case operands.
#include <gmp.h>
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "chia/bls/fp.h"
#include "chia/bls/scalar.h"

namespace {

using bls::Fp;

class Mpz {
 public:
  Mpz() { mpz_init(v_); }
  explicit Mpz(const char* hex) { mpz_init_set_str(v_, hex, 16); }
  ~Mpz() { mpz_clear(v_); }
  Mpz(const Mpz&) = delete;
  Mpz& operator=(const Mpz&) = delete;
  mpz_ptr get() { return v_; }
  mpz_srcptr get() const { return v_; }

 private:
  mpz_t v_;
};

void ToMpz(const Fp::Bytes& b, Mpz& out) { mpz_import(out.get(), b.size(), 1, 1, 1, 0, b.data()); }

// The big-endian N-byte form of v.
template <size_t N = Fp::kBytes>
std::array<uint8_t, N> FromMpz(const Mpz& v) {
  std::array<uint8_t, N> b{};
  size_t count = 0;
  uint8_t tmp[64] = {};
  mpz_export(tmp, &count, 1, 1, 1, 0, v.get());
  EXPECT_LE(count, b.size());
  std::copy(tmp, tmp + count, b.begin() + (b.size() - count));
  return b;
}

const char* kP =
    "1a0111ea397fe69a4b1ba7b6434bacd764774b84f38512bf6730d2a0f6b0f6241eabfffeb153ffffb9feffffffff"
    "aaab";

// Random field elements plus the values around the edges of [0, p).
std::vector<Fp::Bytes> Operands() {
  Mpz p(kP);
  std::vector<Fp::Bytes> out;
  Mpz v;
  for (unsigned small : {0u, 1u, 2u, 3u}) {
    mpz_set_ui(v.get(), small);
    out.push_back(FromMpz(v));
  }
  for (unsigned below : {1u, 2u}) {
    mpz_sub_ui(v.get(), p.get(), below);
    out.push_back(FromMpz(v));
  }
  mpz_fdiv_q_2exp(v.get(), p.get(), 1);  // (p-1)/2
  out.push_back(FromMpz(v));
  mpz_add_ui(v.get(), v.get(), 1);
  out.push_back(FromMpz(v));
  gmp_randstate_t st;
  gmp_randinit_mt(st);
  gmp_randseed_ui(st, 12345);
  for (int i = 0; i < 200; ++i) {
    mpz_urandomm(v.get(), st, p.get());
    out.push_back(FromMpz(v));
  }
  gmp_randclear(st);
  return out;
}

TEST(BlsFp, EncodingRoundTripsAndRefusesOutOfRange) {
  Mpz p(kP);
  for (const auto& b : Operands()) {
    auto f = Fp::FromBytes(b);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->ToBytes(), b);
  }
  Mpz v;
  for (unsigned above : {0u, 1u, 1000u}) {
    mpz_add_ui(v.get(), p.get(), above);
    EXPECT_FALSE(Fp::FromBytes(FromMpz(v)).has_value()) << above;
  }
  Fp::Bytes allOnes;
  allOnes.fill(0xff);
  EXPECT_FALSE(Fp::FromBytes(allOnes).has_value());
  EXPECT_TRUE(Fp().IsZero());
  EXPECT_TRUE(Fp::One().IsOne());
  EXPECT_FALSE(Fp::One().IsZero());
  EXPECT_EQ(Fp::FromU64(1), Fp::One());
  Fp::Bytes seven{};
  seven[47] = 7;
  EXPECT_EQ(Fp::FromU64(7).ToBytes(), seven);
}

TEST(BlsFp, ArithmeticMatchesGmp) {
  Mpz p(kP), a, b, r, half;
  mpz_fdiv_q_2exp(half.get(), p.get(), 1);
  auto ops = Operands();
  std::mt19937 rng(7);
  for (size_t i = 0; i < ops.size(); ++i) {
    const auto& ab = ops[i];
    const auto& bb = ops[rng() % ops.size()];
    Fp fa = *Fp::FromBytes(ab), fb = *Fp::FromBytes(bb);
    ToMpz(ab, a);
    ToMpz(bb, b);

    mpz_add(r.get(), a.get(), b.get());
    mpz_mod(r.get(), r.get(), p.get());
    EXPECT_EQ((fa + fb).ToBytes(), FromMpz(r));

    mpz_sub(r.get(), a.get(), b.get());
    mpz_mod(r.get(), r.get(), p.get());
    EXPECT_EQ((fa - fb).ToBytes(), FromMpz(r));

    mpz_neg(r.get(), a.get());
    mpz_mod(r.get(), r.get(), p.get());
    EXPECT_EQ((-fa).ToBytes(), FromMpz(r));

    mpz_mul(r.get(), a.get(), b.get());
    mpz_mod(r.get(), r.get(), p.get());
    EXPECT_EQ((fa * fb).ToBytes(), FromMpz(r));

    mpz_mul(r.get(), a.get(), a.get());
    mpz_mod(r.get(), r.get(), p.get());
    EXPECT_EQ(fa.Square().ToBytes(), FromMpz(r));

    if (mpz_sgn(a.get()) != 0) {
      ASSERT_NE(mpz_invert(r.get(), a.get(), p.get()), 0);
      EXPECT_EQ(fa.Inverse().ToBytes(), FromMpz(r));
      EXPECT_TRUE((fa * fa.Inverse()).IsOne());
    } else {
      EXPECT_TRUE(fa.Inverse().IsZero());
    }

    bool isSquare = mpz_legendre(a.get(), p.get()) >= 0;
    EXPECT_EQ(fa.IsSquare(), isSquare);
    auto root = fa.Sqrt();
    ASSERT_EQ(root.has_value(), isSquare);
    if (root) {
      EXPECT_EQ(root->Square(), fa);
    }

    EXPECT_EQ(fa.IsLexicographicallyLargest(), mpz_cmp(a.get(), half.get()) > 0);
    EXPECT_EQ(fa.Sgn0(), mpz_odd_p(a.get()) != 0);
    EXPECT_EQ(fa == fb, mpz_cmp(a.get(), b.get()) == 0);
    EXPECT_EQ(fa.IsZero(), mpz_sgn(a.get()) == 0);
  }
}

TEST(BlsFp, ReductionOfLongInputsMatchesGmp) {
  Mpz p(kP), v;
  std::mt19937 rng(99);
  for (size_t len : {0u, 1u, 7u, 8u, 47u, 48u, 49u, 64u, 96u}) {
    for (int round = 0; round < 5; ++round) {
      std::vector<uint8_t> in(len);
      for (auto& c : in) c = static_cast<uint8_t>(round == 0 ? 0xff : rng());
      if (len == 0) {
        mpz_set_ui(v.get(), 0);
      } else {
        mpz_import(v.get(), len, 1, 1, 1, 0, in.data());
      }
      mpz_mod(v.get(), v.get(), p.get());
      EXPECT_EQ(Fp::FromBytesReduce(in).ToBytes(), FromMpz(v)) << len;
    }
  }
}

}  // namespace

namespace {

using bls::Scalar;

const char* kR = "73eda753299d7d483339d80809a1d80553bda402fffe5bfeffffffff00000001";

Scalar::Bytes ScalarFromMpz(const Mpz& v) { return FromMpz<Scalar::kBytes>(v); }

TEST(BlsScalar, ArithmeticAndReductionMatchGmp) {
  Mpz r(kR), a, b, t;
  gmp_randstate_t st;
  gmp_randinit_mt(st);
  gmp_randseed_ui(st, 777);
  std::vector<Scalar::Bytes> values;
  for (unsigned below : {1u, 2u}) {
    mpz_sub_ui(t.get(), r.get(), below);
    values.push_back(ScalarFromMpz(t));
  }
  mpz_set_ui(t.get(), 0);
  values.push_back(ScalarFromMpz(t));
  mpz_set_ui(t.get(), 1);
  values.push_back(ScalarFromMpz(t));
  for (int i = 0; i < 100; ++i) {
    mpz_urandomm(t.get(), st, r.get());
    values.push_back(ScalarFromMpz(t));
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const auto& ab = values[i];
    const auto& bb = values[(i * 7 + 3) % values.size()];
    auto sa = Scalar::FromBytes(ab), sb = Scalar::FromBytes(bb);
    ASSERT_TRUE(sa && sb);
    EXPECT_EQ(sa->ToBytes(), ab);
    mpz_import(a.get(), 32, 1, 1, 1, 0, ab.data());
    mpz_import(b.get(), 32, 1, 1, 1, 0, bb.data());
    mpz_add(t.get(), a.get(), b.get());
    mpz_mod(t.get(), t.get(), r.get());
    EXPECT_EQ((*sa + *sb).ToBytes(), ScalarFromMpz(t));
    mpz_sub(t.get(), a.get(), b.get());
    mpz_mod(t.get(), t.get(), r.get());
    EXPECT_EQ((*sa - *sb).ToBytes(), ScalarFromMpz(t));
    mpz_mul(t.get(), a.get(), b.get());
    mpz_mod(t.get(), t.get(), r.get());
    EXPECT_EQ((*sa * *sb).ToBytes(), ScalarFromMpz(t));
  }
  // Any-length reduction, including 48-byte values near 2^384 and values just at r.
  for (size_t len : {1u, 31u, 32u, 33u, 48u, 64u}) {
    for (int round = 0; round < 4; ++round) {
      std::vector<uint8_t> in(len);
      mpz_urandomb(t.get(), st, static_cast<mp_bitcnt_t>(8 * len));
      if (round == 0) {
        std::fill(in.begin(), in.end(), 0xff);
      } else {
        size_t count = 0;
        std::vector<uint8_t> tmp(len + 8);
        mpz_export(tmp.data(), &count, 1, 1, 1, 0, t.get());
        std::copy(tmp.begin(), tmp.begin() + count, in.begin() + (len - count));
      }
      mpz_import(t.get(), len, 1, 1, 1, 0, in.data());
      mpz_mod(t.get(), t.get(), r.get());
      EXPECT_EQ(Scalar::FromBytesReduce(in).ToBytes(), ScalarFromMpz(t)) << len;
    }
  }
  gmp_randclear(st);
  Scalar::Bytes rb = ScalarFromMpz(r);
  EXPECT_FALSE(Scalar::FromBytes(rb).has_value());
  Scalar::Bytes ones;
  ones.fill(0xff);
  EXPECT_FALSE(Scalar::FromBytes(ones).has_value());
  EXPECT_TRUE(Scalar::FromBytesReduce(rb).IsZero());
  EXPECT_EQ(Scalar::FromU64(5) * Scalar::FromU64(7), Scalar::FromU64(35));
}

}  // namespace
