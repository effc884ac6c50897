#include "chia/sha256.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "chia/openssl_error.h"
#include "tests/support/hex.h"
#include "tests/support/thrown_text.h"

// Known answers from the FIPS 180 validation suite (256- and 320-bit messages).
TEST(Sha256, ValidationSuiteVectors) {
  uint8_t out[32];
  auto m256 = FromHex("a9ab044b342d560d02c5c26b423c000d8a1a8466100f513a1c91125ebdc767c0");
  EXPECT_EQ(Sha256_32(out, m256.data()), out);
  EXPECT_EQ(ToHex(out, 32), "8d978f9bf44fbb319a61b5032f3afa62c6e68326f02011328bf99e35c9560bce");

  auto m320 =
      FromHex("0a4852d3a3aecab07d0a3439d184a970a6d29662e9ff6c07bf6b996a1a14b8098b13047f576a1360");
  EXPECT_EQ(Sha256_32_8(out, m320.data(), m320.data() + 32), out);
  EXPECT_EQ(ToHex(out, 32), "761af1709a07db3a226f5dc5587a494c602a3cedaa1abe9683be7ea7e1e968f0");

  // Split anywhere else the 40 bytes are still read as a then b, nothing more.
  std::vector<uint8_t> a(m320.begin(), m320.begin() + 32), b(m320.begin() + 32, m320.end());
  b.resize(64, 0xff);  // bytes after the 8 must not count
  Sha256_32_8(out, a.data(), b.data());
  EXPECT_EQ(ToHex(out, 32), "761af1709a07db3a226f5dc5587a494c602a3cedaa1abe9683be7ea7e1e968f0");

  auto padded = m256;
  padded.resize(48, 0x5a);
  Sha256_32(out, padded.data());
  EXPECT_EQ(ToHex(out, 32), "8d978f9bf44fbb319a61b5032f3afa62c6e68326f02011328bf99e35c9560bce");
}

TEST(OpenSslError, ThrowsEarliestPendingErrorText) {
  ERR_clear_error();
  ERR_raise(ERR_LIB_EVP, EVP_R_BAD_DECRYPT);
  ERR_raise(ERR_LIB_EVP, EVP_R_UNSUPPORTED_CIPHER);
  const std::string first = ThrownText<std::runtime_error>([] { ThrowOpenSslError(); });
  EXPECT_NE(first.find("bad decrypt"), std::string::npos) << first;
  EXPECT_LT(first.size(), 120u);
  // The first error was taken off the queue; the next one is still there.
  const std::string second = ThrownText<std::runtime_error>([] { ThrowOpenSslError(); });
  EXPECT_NE(second.find("unsupported cipher"), std::string::npos) << second;
  EXPECT_EQ(ERR_peek_error(), 0u);
}
