#include "runtime/random.h"

#include <random>

uint64_t Random64() {
  std::random_device device("default");
  const uint64_t high = device();
  const uint64_t low = device();
  return (high << 32) | (low & 0xFFFFFFFFu);
}
