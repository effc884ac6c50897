#include "chia/seeded_random.h"

#include <openssl/rand.h>

#include <cstdint>
#include <vector>

namespace {

// count 32-bit words from OpenSSL, or from the system device when it fails.
std::vector<uint32_t> SeedWords(size_t count) {
  std::vector<uint32_t> words(count, 0);
  if (RAND_bytes(reinterpret_cast<unsigned char*>(words.data()),
                 static_cast<int>(count * sizeof(uint32_t))) != 1) {
    std::random_device device("default");
    for (auto& w : words) w = device();
  }
  return words;
}

}  // namespace

std::mt19937 MakeSeededMt19937() {
  std::vector<uint32_t> words = SeedWords(std::mt19937::state_size);
  std::seed_seq seq(words.begin(), words.end());
  return std::mt19937(seq);
}

std::mt19937_64 MakeSeededMt19937_64() {
  // 312 seed words (1,248 bytes); seed_seq still generates the 624 halves of
  // the 312 state words from them.
  std::vector<uint32_t> words = SeedWords(std::mt19937_64::state_size);
  std::seed_seq seq(words.begin(), words.end());
  return std::mt19937_64(seq);
}
