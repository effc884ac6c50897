#include "chia/chacha8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <utility>

#include "tests/support/child_process.h"
#include "tests/support/hex.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/whole_file.h"

namespace {

std::vector<uint8_t> KeystreamBytes(const uint32_t words[16]) {
  std::vector<uint8_t> bytes(64);
  for (int i = 0; i < 16; ++i) {
    for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
  }
  return bytes;
}

std::string Block(const std::vector<uint8_t>& key, uint32_t counter) {
  uint32_t state[16];
  ChaCha8InitState(state, key.data());
  uint32_t out[16];
  ChaCha8Block(state, counter, out);
  return ToHex(KeystreamBytes(out));
}

}  // namespace

TEST(ChaCha8, PublishedEightRoundBlocks) {
  std::vector<uint8_t> zero(32, 0), counting(32);
  for (int i = 0; i < 32; ++i) counting[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Block(zero, 0),
            "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
            "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42");
  EXPECT_EQ(Block(counting, 0),
            "4015b28f6e12ab6ad9e8667b31c51233f78f172790b2d94f326b2ed7ffbcbecb"
            "ff9ead365f89ce3b6f4055bc759d90fd8f831d27c7b0df93b3b9ed8238a256d6");
  EXPECT_EQ(Block(counting, 1),
            "761a6e0fc8b2b859f5a9f3ae170a7599b0b023ce79d7659b32ee79373e727289"
            "712ff289f30f641fcd822ff8e656ffd8725691f839a7b433a5b61053d99baee0");
}

// F1 of k = 32: y = keystream bytes 4x..4x+3 read big-endian, then the top 6 bits of x.
TEST(ChaCha8, F1KeystreamRuleKnownAnswers) {
  std::vector<uint8_t> key(32);
  key[0] = 0x01;
  for (int i = 1; i < 32; ++i) key[i] = static_cast<uint8_t>(i - 1);
  uint32_t state[16];
  ChaCha8InitState(state, key.data());
  auto f1 = [&](uint32_t x) {
    uint32_t block[16];
    ChaCha8Block(state, x >> 4, block);
    return uint64_t{__builtin_bswap32(block[x & 15])} << 6 | (x >> 26);
  };
  struct Case {
    uint32_t x;
    uint64_t y, bucket, localGroup, r;
  };
  const Case cases[] = {
      {0, 254014609664, 118, 40361, 5807},
      {1, 147847582208, 68, 120280, 4904},
      {15, 56303608256, 26, 31012, 5852},
      {16, 88352093760, 41, 20162, 14686},
      {123456789, 74615798017, 34, 105929, 208},
      {2147483648u, 91310660704, 42, 73830, 298},
      {4294967295u, 225404750783, 104, 136642, 8045},
  };
  for (const Case& c : cases) {
    uint64_t y = f1(c.x);
    EXPECT_EQ(y, c.y) << "x=" << c.x;
    uint64_t g = y / 15113;
    EXPECT_EQ(y % 15113, c.r) << "x=" << c.x;
    EXPECT_EQ(g / 142096, c.bucket) << "x=" << c.x;
    EXPECT_EQ(g % 142096, c.localGroup) << "x=" << c.x;
  }
}

// The multi-block paths give exactly the single blocks, for every count, any
// start (the counter wraps mod 2^32) and every vector width this machine runs.
TEST(ChaCha8, MultiBlockPathsMatchSingleBlocks) {
  std::vector<uint8_t> key(32);
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 37 + 11);
  uint32_t state[16];
  ChaCha8InitState(state, key.data());
  using Path = void (*)(const uint32_t*, uint32_t, uint64_t, uint32_t*);
  std::vector<std::pair<const char*, Path>> paths = {{"dispatch", ChaCha8Blocks},
                                                     {"4 lanes", chacha8_detail::Blocks4}};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) paths.emplace_back("8 lanes", chacha8_detail::Blocks8);
  if (__builtin_cpu_supports("avx512f")) paths.emplace_back("16 lanes", chacha8_detail::Blocks16);
  for (uint32_t first : {0u, 5u, 0xfffffff0u}) {
    for (uint64_t count : {0, 1, 3, 4, 7, 8, 15, 16, 17, 31, 32, 33, 50}) {
      std::vector<uint32_t> expected(16 * count);
      for (uint64_t i = 0; i < count; ++i) {
        ChaCha8Block(state, first + static_cast<uint32_t>(i), &expected[16 * i]);
      }
      for (auto& [name, path] : paths) {
        std::vector<uint32_t> got(16 * count + 16, 0xabababab);
        path(state, first, count, got.data());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()))
            << name << " first " << first << " count " << count;
        EXPECT_EQ(got[16 * count], 0xababababu) << name << ": wrote past the end";
      }
    }
  }
}

// Random keys and counters against an independent JavaScript implementation.
TEST(ChaCha8, MatchesIndependentImplementationOnRandomInputs) {
  TestDirectory dir;
  std::mt19937_64 rng(20240611);
  std::ostringstream input, expected;
  for (int i = 0; i < 64; ++i) {
    std::vector<uint8_t> key(32);
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    uint32_t counter = i == 0 ? 0xfffffffeu : static_cast<uint32_t>(rng());
    input << ToHex(key) << ' ' << counter << '\n';
    expected << Block(key, counter) << '\n';
  }
  const auto cases = dir / "cases.txt";
  WriteWholeFile(cases, input.str());
  std::string script = R"(
import { chacha8 } from 'file://)" +
                       std::string(VARNOK_NODE_MODULES) +
                       R"(/@noble/ciphers/chacha.js';
import { readFileSync } from 'node:fs';
const hex = (b) => Buffer.from(b).toString('hex');
for (const line of readFileSync(process.argv[2], 'utf8').trim().split('\n')) {
  const [k, c] = line.split(' ');
  const out = chacha8(Buffer.from(k, 'hex'), new Uint8Array(12), new Uint8Array(64), undefined, Number(c));
  console.log(hex(out));
}
)";
  const auto js = dir / "chacha8.mjs";
  WriteWholeFile(js, script);
  EXPECT_EQ(RunCommand("node " + js.string() + " " + cases.string()), expected.str());
}
