#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

struct evp_pkey_st;

// The fresh RSA key of one hello (1024 bits, public exponent 3): the server seals the session key
// to it with RSA-OAEP (SHA-1, MGF1-SHA-1). Failures of the cryptography library are thrown
// through ThrowOpenSslError.
class HelloKey {
 public:
  static constexpr size_t kModulusBytes = 128;
  static constexpr size_t kSealedBytes = 128;

  static std::unique_ptr<HelloKey> Generate();
  ~HelloKey();
  HelloKey(const HelloKey&) = delete;
  HelloKey& operator=(const HelloKey&) = delete;

  // Big-endian, left-padded with zeros.
  const std::array<uint8_t, kModulusBytes>& Modulus() const { return modulus_; }
  // Opens 128 sealed bytes into out (room for 128); the plaintext length, or -1 when the bytes
  // do not open under this key.
  int Open(const uint8_t sealed[kSealedBytes], uint8_t out[kSealedBytes]) const;

 private:
  explicit HelloKey(evp_pkey_st* key);

  evp_pkey_st* key_;
  std::array<uint8_t, kModulusBytes> modulus_{};
};
