#pragma once
// The optimal ate pairing on BLS12-381: Miller loop over |x| = 0xd201000000010000 (x is
// negative) and the final exponentiation to the power (p^12 - 1) / r. The hard part of the final
// exponentiation uses the multiple 3 (p^4 - p^2 + 1) / r of its exponent, so the values are the
// cubes of the textbook pairing: the same kernel and the same bilinearity, as verification needs.

#include "chia/bls/fp12.h"
#include "chia/bls/g1.h"
#include "chia/bls/g2.h"

namespace bls {

// The Miller loop value f_{x,Q}(P); one for a point at infinity.
Fp12 MillerLoop(const G1Affine& p, const G2Affine& q);

// Raises a Miller loop value (or a product of them) into the order-r subgroup of Fp12*.
Fp12 FinalExponentiation(const Fp12& f);

Fp12 Pairing(const G1Point& p, const G2Point& q);

// Whether e(p1, q1) e(p2, q2) = 1, with one shared final exponentiation.
bool PairingProductIsOne(const G1Point& p1, const G2Point& q1, const G1Point& p2,
                         const G2Point& q2);

}  // namespace bls
