#include <openssl/bn.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "chia/bls/g1_element.h"
#include "chia/deployment.h"
#include "chia/ed25519_point.h"
#include "chia/openssl_error.h"

namespace {

struct BnFree {
  void operator()(BIGNUM* n) const { BN_free(n); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct BnCtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};

Bn NewBn() {
  Bn n(BN_new());
  if (!n) ThrowOpenSslError();
  return n;
}

// Arithmetic modulo p = 2^255 - 19 on the twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2.
class Field {
 public:
  Field() : ctx_(BN_CTX_new()), p_(NewBn()), d_(NewBn()), sqrtMinusOne_(NewBn()) {
    if (!ctx_) ThrowOpenSslError();
    Check(BN_set_word(p_.get(), 1) && BN_lshift(p_.get(), p_.get(), 255) &&
          BN_sub_word(p_.get(), 19));
    // d = -121665 / 121666
    Bn num = Word(121665), den = Word(121666);
    Check(BN_sub(num.get(), p_.get(), num.get()) &&
          BN_mod_inverse(den.get(), den.get(), p_.get(), ctx_.get()) != nullptr);
    d_ = Mul(num.get(), den.get());
    // sqrt(-1) = 2^((p - 1) / 4)
    Bn e = NewBn();
    Check(BN_sub_word(BN_copy(e.get(), p_.get()), 1) && BN_rshift(e.get(), e.get(), 2));
    sqrtMinusOne_ = Exp(Word(2).get(), e.get());
  }

  Bn Word(unsigned long w) {
    Bn n = NewBn();
    Check(BN_set_word(n.get(), w));
    return n;
  }
  Bn Mul(const BIGNUM* a, const BIGNUM* b) {
    Bn r = NewBn();
    Check(BN_mod_mul(r.get(), a, b, p_.get(), ctx_.get()));
    return r;
  }
  Bn Add(const BIGNUM* a, const BIGNUM* b) {
    Bn r = NewBn();
    Check(BN_mod_add(r.get(), a, b, p_.get(), ctx_.get()));
    return r;
  }
  Bn Sub(const BIGNUM* a, const BIGNUM* b) {
    Bn r = NewBn();
    Check(BN_mod_sub(r.get(), a, b, p_.get(), ctx_.get()));
    return r;
  }
  Bn Exp(const BIGNUM* a, const BIGNUM* e) {
    Bn r = NewBn();
    Check(BN_mod_exp(r.get(), a, e, p_.get(), ctx_.get()));
    return r;
  }
  Bn Div(const BIGNUM* a, const BIGNUM* b) {
    Bn inverse = NewBn();
    Check(BN_mod_inverse(inverse.get(), b, p_.get(), ctx_.get()) != nullptr);
    return Mul(a, inverse.get());
  }
  static bool Equal(const BIGNUM* a, const BIGNUM* b) { return BN_cmp(a, b) == 0; }

  const BIGNUM* P() const { return p_.get(); }
  const BIGNUM* D() const { return d_.get(); }
  const BIGNUM* SqrtMinusOne() const { return sqrtMinusOne_.get(); }

 private:
  static void Check(int ok) {
    if (!ok) ThrowOpenSslError();
  }

  std::unique_ptr<BN_CTX, BnCtxFree> ctx_;
  Bn p_, d_, sqrtMinusOne_;
};

struct Point {
  Bn x, y;
};

// The complete addition law: no exceptional cases for points of the curve.
Point Add(Field& f, const Point& a, const Point& b) {
  Bn xx = f.Mul(a.x.get(), b.x.get()), yy = f.Mul(a.y.get(), b.y.get());
  Bn dxy = f.Mul(f.D(), f.Mul(xx.get(), yy.get()).get());
  Bn one = f.Word(1);
  Bn xNum = f.Add(f.Mul(a.x.get(), b.y.get()).get(), f.Mul(a.y.get(), b.x.get()).get());
  Bn yNum = f.Add(yy.get(), xx.get());
  return {f.Div(xNum.get(), f.Add(one.get(), dxy.get()).get()),
          f.Div(yNum.get(), f.Sub(one.get(), dxy.get()).get())};
}

}  // namespace

Ed25519KeyClass ClassifyEd25519Key(const uint8_t key[32]) {
  Field f;
  uint8_t yBytes[32];
  for (int i = 0; i < 32; ++i) yBytes[i] = key[i];
  const bool xOdd = (yBytes[31] & 0x80) != 0;
  yBytes[31] &= 0x7f;
  Bn y(BN_lebin2bn(yBytes, 32, nullptr));
  if (!y) ThrowOpenSslError();
  if (BN_cmp(y.get(), f.P()) >= 0) return Ed25519KeyClass::kNotAPoint;

  // x^2 = (y^2 - 1) / (d y^2 + 1); the denominator is never zero since d is not a square.
  Bn one = f.Word(1);
  Bn yy = f.Mul(y.get(), y.get());
  Bn xx =
      f.Div(f.Sub(yy.get(), one.get()).get(), f.Add(f.Mul(f.D(), yy.get()).get(), one.get()).get());
  // p = 5 (mod 8): a root candidate is xx^((p + 3) / 8), times sqrt(-1) when it squares to -xx.
  Bn e = NewBn();
  if (!BN_copy(e.get(), f.P()) || !BN_add_word(e.get(), 3) || !BN_rshift(e.get(), e.get(), 3)) {
    ThrowOpenSslError();
  }
  Bn x = f.Exp(xx.get(), e.get());
  if (!Field::Equal(f.Mul(x.get(), x.get()).get(), xx.get())) {
    x = f.Mul(x.get(), f.SqrtMinusOne());
    if (!Field::Equal(f.Mul(x.get(), x.get()).get(), xx.get())) return Ed25519KeyClass::kNotAPoint;
  }
  if (BN_is_zero(x.get()) && xOdd) return Ed25519KeyClass::kNotAPoint;
  if (BN_is_odd(x.get()) != xOdd) x = f.Sub(f.P(), x.get());

  // Small order: 8 P is the neutral element (0, 1).
  Point p{std::move(x), std::move(y)};
  for (int i = 0; i < 3; ++i) p = Add(f, p, p);
  if (BN_is_zero(p.x.get()) && BN_is_one(p.y.get())) return Ed25519KeyClass::kSmallOrder;
  return Ed25519KeyClass::kValid;
}

namespace {

void CheckEd25519Key(const std::array<uint8_t, 32>& key, const char* name) {
  switch (ClassifyEd25519Key(key.data())) {
    case Ed25519KeyClass::kValid:
      return;
    case Ed25519KeyClass::kNotAPoint:
      throw std::runtime_error(std::string("Invalid deployment: the ") + name +
                               " is not an Ed25519 public key");
    case Ed25519KeyClass::kSmallOrder:
      throw std::runtime_error(std::string("Invalid deployment: the ") + name +
                               " is an Ed25519 point of small order");
  }
}

}  // namespace

void CheckDeployment(const Deployment& deployment) {
  bls::G1Element poolKey;
  try {
    poolKey = bls::G1Element::FromBytes(deployment.poolPublicKey);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error(std::string("Invalid deployment: the pool key is not a G1 key (") +
                             e.what() + ")");
  }
  if (poolKey.GetPoint().IsInfinity()) {
    throw std::runtime_error("Invalid deployment: the pool key is the identity");
  }
  CheckEd25519Key(deployment.ServerKey, "server key");
  CheckEd25519Key(deployment.UpdateKey, "update key");
}
