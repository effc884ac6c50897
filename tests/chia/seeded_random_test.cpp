#include "chia/seeded_random.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

template <typename Engine>
std::vector<typename Engine::result_type> Draw(Engine& e, int n) {
  std::vector<typename Engine::result_type> out(n);
  for (auto& v : out) v = e();
  return out;
}

}  // namespace

TEST(SeededRandom, GeneratorsMadeInTurnDiffer) {
  std::set<std::vector<std::mt19937_64::result_type>> seen64;
  std::set<std::vector<std::mt19937::result_type>> seen32;
  for (int i = 0; i < 8; ++i) {
    auto e64 = MakeSeededMt19937_64();
    auto e32 = MakeSeededMt19937();
    EXPECT_TRUE(seen64.insert(Draw(e64, 4)).second);
    EXPECT_TRUE(seen32.insert(Draw(e32, 4)).second);
  }
  // Neither matches a default-seeded engine.
  std::mt19937 default32;
  std::mt19937_64 default64;
  auto e32 = MakeSeededMt19937();
  auto e64 = MakeSeededMt19937_64();
  EXPECT_NE(Draw(e32, 4), Draw(default32, 4));
  EXPECT_NE(Draw(e64, 4), Draw(default64, 4));
}
