#include "chia/iterations_quality.h"

#include <openssl/bn.h>

#include <limits>
#include <memory>

#include "chia/openssl_error.h"
#include "chia/thread_digest_context.h"

namespace {

// Expected size of a k = 32 plot: 65 * 2^31.
constexpr BN_ULONG kPlotSizeDivisor = 0x2080000000;
// 256 - 67: the hash keeps its top 67 bits of scale.
constexpr int kShift = 189;

struct BignumFree {
  void operator()(BIGNUM* n) const { BN_free(n); }
};

}  // namespace

uint64_t CalculateIterationsQuality(const uint8_t quality[32], uint64_t difficulty,
                                    const uint8_t signagePointHash[32]) {
  thread_local ThreadDigestContext context;
  uint8_t hash[32];
  const DigestPiece pieces[] = {{quality, 32}, {signagePointHash, 32}};
  Sha256Pieces(context.Get(), pieces, 2, hash);

  std::unique_ptr<BIGNUM, BignumFree> n(BN_bin2bn(hash, 32, nullptr));
  if (!n) ThrowOpenSslError();
  static_assert(sizeof(BN_ULONG) >= sizeof(uint64_t));
  if (BN_mul_word(n.get(), difficulty) != 1) ThrowOpenSslError();
  if (BN_rshift(n.get(), n.get(), kShift) != 1) ThrowOpenSslError();
  if (BN_div_word(n.get(), kPlotSizeDivisor) == static_cast<BN_ULONG>(-1)) ThrowOpenSslError();

  // A quotient of 2^64 or more must not read as a tiny (excellent) figure.
  if (BN_num_bits(n.get()) > 64) return std::numeric_limits<uint64_t>::max();
  uint8_t le[8] = {};
  if (BN_bn2lebinpad(n.get(), le, sizeof le) != sizeof le) ThrowOpenSslError();
  uint64_t iterations = 0;
  for (int i = 7; i >= 0; --i) iterations = iterations << 8 | le[i];
  return iterations == 0 ? 1 : iterations;
}
