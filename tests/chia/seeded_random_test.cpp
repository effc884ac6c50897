// The generators' classic random-method hook lets the tests feed known bytes.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "chia/seeded_random.h"

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <cstdint>
#include <set>
#include <vector>

namespace {

template <typename Engine>
std::vector<typename Engine::result_type> Draw(Engine& e, int n) {
  std::vector<typename Engine::result_type> out(n);
  for (auto& v : out) v = e();
  return out;
}

// What the generator asked OpenSSL for, and a known byte pattern as the answer.
std::vector<int> requestedLengths;
uint8_t PatternByte(size_t i) { return static_cast<uint8_t>(i * 7 + 3 + (i >> 8)); }
int PatternBytes(unsigned char* buf, int num) {
  requestedLengths.push_back(num);
  for (int i = 0; i < num; ++i) buf[i] = PatternByte(static_cast<size_t>(i));
  return 1;
}
int FailingBytes(unsigned char*, int num) {
  requestedLengths.push_back(num);
  return 0;
}
int Ready() { return 1; }

RAND_METHOD patternMethod = {nullptr, PatternBytes, nullptr, nullptr, PatternBytes, Ready};
RAND_METHOD failingMethod = {nullptr, FailingBytes, nullptr, nullptr, FailingBytes, Ready};

// Puts a random method in place for one scope and restores the previous one.
class RandMethodScope {
 public:
  explicit RandMethodScope(const RAND_METHOD* method) : previous_(RAND_get_rand_method()) {
    requestedLengths.clear();
    RAND_set_rand_method(method);
  }
  ~RandMethodScope() { RAND_set_rand_method(previous_); }
  RandMethodScope(const RandMethodScope&) = delete;
  RandMethodScope& operator=(const RandMethodScope&) = delete;

 private:
  const RAND_METHOD* previous_;
};

// The engine seeded through seed_seq from `count` little-endian words of the pattern.
template <typename Engine>
Engine PatternEngine(size_t count) {
  std::vector<uint32_t> words(count);
  for (size_t w = 0; w < count; ++w) {
    words[w] = uint32_t{PatternByte(4 * w)} | uint32_t{PatternByte(4 * w + 1)} << 8 |
               uint32_t{PatternByte(4 * w + 2)} << 16 | uint32_t{PatternByte(4 * w + 3)} << 24;
  }
  std::seed_seq seq(words.begin(), words.end());
  return Engine(seq);
}

}  // namespace

// 624 words (2,496 bytes) for the 32-bit engine, 312 words (1,248 bytes) for
// the 64-bit one, read little-endian in order and handed to seed_seq.
TEST(SeededRandom, SeedWordsAndTheirOrder) {
  {
    RandMethodScope scope(&patternMethod);
    auto e32 = MakeSeededMt19937();
    EXPECT_EQ(requestedLengths, std::vector<int>{2496});
    auto expected32 = PatternEngine<std::mt19937>(624);
    EXPECT_EQ(Draw(e32, 700), Draw(expected32, 700));

    requestedLengths.clear();
    auto e64 = MakeSeededMt19937_64();
    EXPECT_EQ(requestedLengths, std::vector<int>{1248});
    auto expected64 = PatternEngine<std::mt19937_64>(312);
    EXPECT_EQ(Draw(e64, 400), Draw(expected64, 400));
  }
  {
    // A failing generator falls back to the system device: still seeded, not the pattern.
    RandMethodScope scope(&failingMethod);
    auto a = MakeSeededMt19937_64();
    auto b = MakeSeededMt19937_64();
    EXPECT_EQ(requestedLengths, (std::vector<int>{1248, 1248}));
    auto pattern = PatternEngine<std::mt19937_64>(312);
    auto first = Draw(a, 4);
    EXPECT_NE(first, Draw(b, 4));
    EXPECT_NE(first, Draw(pattern, 4));
  }
}
