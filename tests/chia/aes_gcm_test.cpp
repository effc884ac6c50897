#include "chia/aes_gcm.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/hex.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/threads_agree.h"
#include "tests/support/whole_file.h"

namespace {

struct Sealed {
  std::vector<uint8_t> ciphertext;
  std::vector<uint8_t> tag;
};

Sealed Seal(const std::vector<uint8_t>& plain, const std::vector<uint8_t>& key, uint64_t nonce) {
  Sealed s{std::vector<uint8_t>(plain.size()), std::vector<uint8_t>(16)};
  AesGcmEncrypt(plain.data(), static_cast<uint32_t>(plain.size()), key.data(), nonce,
                s.ciphertext.data(), s.tag.data());
  return s;
}

// The nonce whose little-endian bytes are the given 8 bytes.
uint64_t NonceOf(const std::vector<uint8_t>& iv) {
  uint64_t n = 0;
  for (int i = 7; i >= 0; --i) n = n << 8 | iv[i];
  return n;
}

// Runs the independent JavaScript AES-GCM over "key iv plaintext" lines and
// returns its "ciphertext tag" lines. It first proves itself on the published
// 64-bit-IV case, additional data included.
std::string IndependentSeal(const std::string& cases) {
  TestDirectory dir;
  WriteWholeFile(dir / "cases.txt", cases);
  std::string script = R"(
import { gcm } from 'file://)" +
                       std::string(VARNOK_NODE_MODULES) +
                       R"(/@noble/ciphers/aes.js';
import { readFileSync } from 'node:fs';
const h = (s) => Uint8Array.from(Buffer.from(s, 'hex'));
const hex = (b) => Buffer.from(b).toString('hex');
const k = 'feffe9928665731c6d6a8f9467308308';
const p = 'd9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39';
const a = 'feedfacedeadbeeffeedfacedeadbeefabaddad2';
const known = hex(gcm(h(k), h('cafebabefacedbad'), h(a)).encrypt(h(p)));
if (known !== '61353b4c2806934a777ff51fa22a4755699b2a714fcdc6f83766e5f97b6c742373806900e49f24b22b097544d4896b424989b5e1ebac0f07c23f4598' + '3612d2e79e3b0785561be14aaca2fccb') {
  console.log('oracle fails the published case');
  process.exit(1);
}
for (const line of readFileSync(process.argv[2], 'utf8').split('\n')) {
  if (line === '') continue;
  const [key, iv, plain] = line.split(' ');
  const sealed = gcm(h(key), h(iv)).encrypt(h(plain));
  console.log(hex(sealed.subarray(0, sealed.length - 16)) + ' ' + hex(sealed.subarray(sealed.length - 16)));
}
)";
  WriteWholeFile(dir / "gcm.mjs", script);
  return RunCommand("node " + (dir / "gcm.mjs").string() + " " + (dir / "cases.txt").string());
}

}  // namespace

TEST(AesGcm, PublishedSixtyFourBitIvCaseAndIndependentTags) {
  auto key = FromHex("feffe9928665731c6d6a8f9467308308");
  auto plain = FromHex(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
      "49a6b525b16aedf5aa0de657ba637b39");
  auto iv = FromHex("cafebabefacedbad");
  // Additional data only changes the tag: the ciphertext is the published one.
  Sealed tc5 = Seal(plain, key, NonceOf(iv));
  EXPECT_EQ(ToHex(tc5.ciphertext),
            "61353b4c2806934a777ff51fa22a4755699b2a714fcdc6f83766e5f97b6c742373806900e49f24b22b"
            "097544d4896b424989b5e1ebac0f07c23f4598");

  // Tags (no additional data) and ciphertexts against the independent
  // implementation: the published case, nonce 1 as 01 00 .. 00, and random cases.
  std::mt19937_64 rng(3);
  struct Case {
    std::vector<uint8_t> key, iv, plain;
    uint64_t nonce;
  };
  std::vector<Case> cases;
  cases.push_back({key, iv, plain, NonceOf(iv)});
  cases.push_back({key, FromHex("0100000000000000"), plain, 1});
  for (size_t n : {0, 1, 15, 16, 17, 63, 64, 100, 257, 1300}) {
    Case c{std::vector<uint8_t>(16), std::vector<uint8_t>(8), std::vector<uint8_t>(n), 0};
    for (auto& b : c.key) b = static_cast<uint8_t>(rng());
    for (auto& b : c.plain) b = static_cast<uint8_t>(rng());
    c.nonce = rng();
    for (int i = 0; i < 8; ++i) c.iv[i] = static_cast<uint8_t>(c.nonce >> (8 * i));
    cases.push_back(c);
  }
  std::ostringstream input, expected;
  for (const Case& c : cases) {
    input << ToHex(c.key) << ' ' << ToHex(c.iv) << ' ' << ToHex(c.plain) << '\n';
    Sealed s = Seal(c.plain, c.key, c.nonce);
    expected << ToHex(s.ciphertext) << ' ' << ToHex(s.tag) << '\n';
  }
  EXPECT_EQ(IndependentSeal(input.str()), expected.str());
}

TEST(AesGcm, DecryptRoundTripAndEmptyMessage) {
  std::mt19937_64 rng(8);
  std::vector<uint8_t> key(16);
  for (auto& b : key) b = static_cast<uint8_t>(rng());
  for (size_t n : {1, 31, 32, 33, 500}) {
    std::vector<uint8_t> plain(n);
    for (auto& b : plain) b = static_cast<uint8_t>(rng());
    Sealed s = Seal(plain, key, 42);
    std::vector<uint8_t> back(n, 0xcc);
    ASSERT_TRUE(AesGcmDecrypt(s.ciphertext.data(), static_cast<uint32_t>(n), key.data(), 42,
                              back.data(), s.tag.data()));
    EXPECT_EQ(back, plain);
  }
  // A zero length with null pointers: only the tag is made and checked.
  uint8_t tag[16];
  AesGcmEncrypt(nullptr, 0, key.data(), 9, nullptr, tag);
  EXPECT_TRUE(AesGcmDecrypt(nullptr, 0, key.data(), 9, nullptr, tag));
  EXPECT_FALSE(AesGcmDecrypt(nullptr, 0, key.data(), 10, nullptr, tag));
  tag[15] ^= 0x80;
  EXPECT_FALSE(AesGcmDecrypt(nullptr, 0, key.data(), 9, nullptr, tag));
}

// Every kind of tampering returns false without throwing and leaves no
// unauthenticated plaintext in the output.
TEST(AesGcm, TamperingIsRefusedAndOutputWiped) {
  std::mt19937_64 rng(21);
  std::vector<uint8_t> key(16), plain(48);
  for (auto& b : key) b = static_cast<uint8_t>(rng());
  for (auto& b : plain) b = static_cast<uint8_t>(rng() | 1);  // no zero bytes
  const uint64_t nonce = 0x0123456789abcdefull;
  Sealed s = Seal(plain, key, nonce);

  auto refused = [&](const std::vector<uint8_t>& ct, const std::vector<uint8_t>& k, uint64_t n,
                     const std::vector<uint8_t>& tag, const char* what) {
    std::vector<uint8_t> out(ct.size(), 0xcc);
    bool ok = true;
    EXPECT_NO_THROW(ok = AesGcmDecrypt(ct.data(), static_cast<uint32_t>(ct.size()), k.data(), n,
                                       out.data(), tag.data()))
        << what;
    EXPECT_FALSE(ok) << what;
    EXPECT_EQ(out, std::vector<uint8_t>(ct.size(), 0)) << what;
  };
  for (size_t bit : {0, 7, 100, 383}) {
    auto ct = s.ciphertext;
    ct[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    refused(ct, key, nonce, s.tag, "ciphertext bit");
  }
  for (size_t bit : {0, 64, 127}) {
    auto tag = s.tag;
    tag[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    refused(s.ciphertext, key, nonce, tag, "tag bit");
  }
  auto otherKey = key;
  otherKey[5] ^= 1;
  refused(s.ciphertext, otherKey, nonce, s.tag, "key");
  refused(s.ciphertext, key, nonce ^ (1ull << 63), s.tag, "nonce");
  auto shorter = s.ciphertext;
  shorter.pop_back();
  refused(shorter, key, nonce, s.tag, "truncated");

  // The context is fine for the next call after a refusal.
  std::vector<uint8_t> out(plain.size());
  EXPECT_TRUE(AesGcmDecrypt(s.ciphertext.data(), static_cast<uint32_t>(plain.size()), key.data(),
                            nonce, out.data(), s.tag.data()));
  EXPECT_EQ(out, plain);
}

TEST(AesGcm, ThreadsSealingAtOnceAgree) {
  std::vector<uint8_t> key(16, 7), plain(200);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i);
  std::vector<std::string> expected;
  for (uint64_t n = 0; n < 64; ++n) {
    Sealed s = Seal(plain, key, n);
    expected.push_back(ToHex(s.ciphertext) + ToHex(s.tag));
  }
  EXPECT_EQ(CountFailuresAcrossThreads(4, 25 * 64,
                                       [&](int, int round) {
                                         const uint64_t n = round % 64;
                                         Sealed s = Seal(plain, key, n);
                                         if (ToHex(s.ciphertext) + ToHex(s.tag) != expected[n]) {
                                           return false;
                                         }
                                         // Every other pass a bad tag.
                                         const bool badTag = (round / 64) & 1;
                                         s.tag[0] ^= static_cast<uint8_t>(badTag);
                                         std::vector<uint8_t> back(plain.size());
                                         const bool ok = AesGcmDecrypt(
                                             s.ciphertext.data(),
                                             static_cast<uint32_t>(plain.size()), key.data(), n,
                                             back.data(), s.tag.data());
                                         return ok == !badTag && (!ok || back == plain);
                                       }),
            0);
}
