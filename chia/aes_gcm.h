#pragma once

#include <cstdint>

// AES-128-GCM with an 8-byte IV (the nonce's 8 bytes, little-endian), no
// additional data and a 16-byte tag. Each thread keeps its own cipher
// contexts; any thread may call at any time.

// Encrypts length bytes of in into out and writes the tag. A zero length
// (pointers may then be null) yields the tag of an empty message. Throws
// "AEAD encryption failed" or through ThrowOpenSslError.
void AesGcmEncrypt(const uint8_t* in, uint32_t length, const uint8_t key[16], uint64_t nonce,
                   uint8_t* out, uint8_t tag[16]);

// Decrypts into out and checks the tag: true when it verifies. On false, out
// has been wiped to zeros, so no unauthenticated plaintext is left behind.
// Throws "AEAD decryption failed" or through ThrowOpenSslError.
bool AesGcmDecrypt(const uint8_t* in, uint32_t length, const uint8_t key[16], uint64_t nonce,
                   uint8_t* out, const uint8_t tag[16]);

struct evp_cipher_ctx_st;
// Frees a per-thread cipher context at thread exit; does nothing for null.
void FreeThreadCipherContext(evp_cipher_ctx_st* context);
