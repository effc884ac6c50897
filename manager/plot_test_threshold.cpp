#include "manager/plot_test_threshold.h"

#include <cmath>

namespace {

constexpr uint64_t kMinMatches = 400;
// A thinned plot's tables keep a little less than 2^-d of the entries: it answers about
// 0.87 / 2^d challenges where a full plot answers one.
constexpr double kThinnedMatchesPerChallenge = 0.87;
// 400 lies 4.5 spreads below a full plot's mean of 500.
constexpr double kSpreads = 4.5;

}  // namespace

uint64_t PlotTestMinMatches(const PlotScale& scale) {
  if (scale.IsProduction()) return kMinMatches;
  // A plain 400 >> d sits near a thinned plot's mean and fails sound plots by chance; the
  // thinned threshold keeps production's distance below the mean instead.
  const double mean = static_cast<double>(kPlotTestChallenges) * kThinnedMatchesPerChallenge /
                      static_cast<double>(uint64_t{1} << scale.d);
  const double bound = mean - kSpreads * std::sqrt(mean);
  return bound > 0 ? static_cast<uint64_t>(bound) : 0;
}
