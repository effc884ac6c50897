#pragma once

#include <random>

// Mersenne Twisters seeded through std::seed_seq from 32-bit OpenSSL random
// words, one per state word (624 for the 32-bit engine, 312 for the 64-bit
// one); std::random_device("default") stands in when OpenSSL's generator
// fails.
std::mt19937 MakeSeededMt19937();
std::mt19937_64 MakeSeededMt19937_64();
