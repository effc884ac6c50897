#include "chia/delta_coding_table.h"

#include <cmath>
#include <stdexcept>

#include "chia/fse_tables.h"

namespace {

constexpr int16_t kLowProbability = -1;
constexpr int16_t kNotYetAssigned = -2;

// Fallback normalisation for skewed distributions where the proportional method over-assigns.
void NormalizeSecondMethod(int16_t norm[kFseSymbolCount], const uint32_t counts[kFseSymbolCount],
                           uint64_t total) {
  uint32_t distributed = 0;
  const uint64_t lowThreshold = total >> kFseTableLog;
  uint64_t lowOne = (total * 3) >> (kFseTableLog + 1);

  for (unsigned s = 0; s < kFseSymbolCount; ++s) {
    if (counts[s] == 0) {
      norm[s] = 0;
    } else if (counts[s] <= lowThreshold) {
      norm[s] = kLowProbability;
      ++distributed;
      total -= counts[s];
    } else if (counts[s] <= lowOne) {
      norm[s] = 1;
      ++distributed;
      total -= counts[s];
    } else {
      norm[s] = kNotYetAssigned;
    }
  }
  uint64_t toDistribute = kFseTableSize - distributed;

  if (total / toDistribute > lowOne) {
    lowOne = (total * 3) / (toDistribute * 2);
    for (unsigned s = 0; s < kFseSymbolCount; ++s) {
      if (norm[s] == kNotYetAssigned && counts[s] <= lowOne) {
        norm[s] = 1;
        ++distributed;
        total -= counts[s];
      }
    }
    toDistribute = kFseTableSize - distributed;
  }

  if (distributed == kFseSymbolCount) {
    unsigned maxSymbol = 0;
    uint32_t maxCount = 0;
    for (unsigned s = 0; s < kFseSymbolCount; ++s) {
      if (counts[s] > maxCount) {
        maxSymbol = s;
        maxCount = counts[s];
      }
    }
    norm[maxSymbol] = static_cast<int16_t>(norm[maxSymbol] + toDistribute);
    return;
  }

  if (total == 0) {
    for (unsigned s = 0; toDistribute > 0; s = (s + 1) % kFseSymbolCount) {
      if (norm[s] > 0) {
        --toDistribute;
        ++norm[s];
      }
    }
    return;
  }

  constexpr unsigned kStepLog = 62 - kFseTableLog;
  constexpr uint64_t kMid = (uint64_t{1} << (kStepLog - 1)) - 1;
  const uint64_t rStep = ((toDistribute << kStepLog) + kMid) / total;
  uint64_t running = kMid;
  for (unsigned s = 0; s < kFseSymbolCount; ++s) {
    if (norm[s] != kNotYetAssigned) continue;
    const uint64_t end = running + counts[s] * rStep;
    const uint64_t weight = (end >> kStepLog) - (running >> kStepLog);
    if (weight < 1) throw std::runtime_error("2C801DE8");
    norm[s] = static_cast<int16_t>(weight);
    running = end;
  }
}

void NormalizeCounts(int16_t norm[kFseSymbolCount], const uint32_t counts[kFseSymbolCount],
                     uint64_t total) {
  static constexpr uint32_t kRestToBeat[8] = {0,      473195, 504333, 520860,
                                              550000, 700000, 750000, 830000};
  constexpr unsigned kScale = 62 - kFseTableLog;
  const uint64_t step = (uint64_t{1} << 62) / total;
  const uint64_t lowThreshold = total >> kFseTableLog;
  int64_t stillToDistribute = kFseTableSize;
  unsigned largest = 0;
  int64_t largestProba = 0;

  for (unsigned s = 0; s < kFseSymbolCount; ++s) {
    if (counts[s] == total) return;  // a single symbol; unreachable with 256 non-zero counts
    if (counts[s] == 0) {
      norm[s] = 0;
      continue;
    }
    if (counts[s] <= lowThreshold) {
      norm[s] = kLowProbability;
      --stillToDistribute;
      continue;
    }
    const uint64_t scaled = counts[s] * step;
    int64_t proba = static_cast<int64_t>(scaled >> kScale);
    if (proba < 8) {
      const uint64_t restToBeat = uint64_t{kRestToBeat[proba]} << 28;
      if (scaled - (static_cast<uint64_t>(proba) << kScale) > restToBeat) ++proba;
    }
    if (proba > largestProba) {
      largestProba = proba;
      largest = s;
    }
    norm[s] = static_cast<int16_t>(proba);
    stillToDistribute -= proba;
  }

  if (-stillToDistribute >= (norm[largest] >> 1)) {
    NormalizeSecondMethod(norm, counts, total);
  } else {
    norm[largest] = static_cast<int16_t>(norm[largest] + stillToDistribute);
  }
}

}  // namespace

void BuildDeltaCodingTable(uint64_t expectedGap, DeltaCodingTable& table) {
  if (expectedGap == 0) throw std::runtime_error("6D51514F");

  double logGap = std::log2(static_cast<double>(expectedGap));
  const int64_t rounded = static_cast<int64_t>(std::round(logGap + 0.25));
  const int64_t rawBits = rounded > 4 ? rounded - 4 : 0;
  if (rounded > 4) logGap -= static_cast<double>(rawBits);
  table.rawBits = static_cast<uint8_t>(rawBits);

  // Probabilities of the unit buckets [i, i + 1) of an exponential distribution with mean
  // 2^logGap, in units of 2^-31.
  const double c = -1.0 / (std::exp2(logGap) * 0.6931471805599453);
  uint32_t counts[kFseSymbolCount];
  uint64_t total = 0;
  for (unsigned i = 0; i < kFseSymbolCount; ++i) {
    const double p = std::exp2(i * c) - std::exp2((i + 1) * c);
    const int64_t q = std::llround(2147483648.0 * p);
    const uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(q));
    counts[i] = low == 0 ? 1 : low;
    total += counts[i];
  }
  NormalizeCounts(table.counts, counts, total);
}
