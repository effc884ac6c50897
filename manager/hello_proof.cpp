#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>

#include "manager/client.h"
#include "prover/challenge_scan_job.h"
#include "prover/full_proof_job.h"

namespace {

constexpr int64_t kHelloPriority = std::numeric_limits<int64_t>::min();

// Runs the job to its end; a failure is logged as `what` with the plot's path and counts as none.
bool WaitLogged(PlotJob& job, const char* what, const ClientLogCallback& log) {
  std::string line = std::string("ERROR: ") + what + " \"" + job.Plot().path.string();
  try {
    job.Wait();
    return true;
  } catch (const std::exception& error) {
    line += std::string("\": ") + error.what();
  } catch (...) {
    line += "\"";
  }
  if (log) log(line);
  return false;
}

}  // namespace

int Client::ProveHelloPlot(const PlotIdBytes& id, const uint8_t challenge[32], uint64_t pick,
                           uint32_t proof[64]) {
  std::shared_ptr<PlotFile> plot;
  {
    std::lock_guard lock(MinedPlotsMutex);
    for (const std::shared_ptr<PlotFile>& mined : MinedPlots) {
      if (std::equal(id.begin(), id.end(), std::begin(mined->header.plotId))) plot = mined;
    }
  }
  // A plot that left mining since it was chosen has nothing to prove.
  if (plot == nullptr || Engine == nullptr) return 0;

  // The hello waits on these jobs, so they go ahead of every signage point's.
  std::shared_ptr<ChallengeScanJob> scan =
      Engine->QueueChallengeScan(plot.get(), challenge, kHelloPriority, nullptr, nullptr);
  if (!WaitLogged(*scan, "Failed to find proofs in", log_)) return -1;
  if (scan->Count() == 0) return 0;
  const uint64_t match = pick % scan->Count();

  std::shared_ptr<FullProofJob> full =
      Engine->QueueFullProof(plot.get(), scan->Positions()[match], scan->Challenge(),
                             kHelloPriority, nullptr, nullptr, nullptr, 1);
  if (!WaitLogged(*full, "Failed to read proof from", log_)) return -1;
  std::memcpy(proof, full->Proof(), 64 * sizeof(uint32_t));
  return 1;
}
