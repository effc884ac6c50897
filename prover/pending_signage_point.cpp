#include "prover/pending_signage_point.h"

PendingSignagePoint::~PendingSignagePoint() {
  for (const std::shared_ptr<PlotJob>& job : Jobs) job->Cancel();
}
