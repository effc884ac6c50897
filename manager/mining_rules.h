#pragma once

#include <cstdint>
#include <string>

// The message of one record that expired with a full proof outstanding, given the counts after
// it was added; empty for none. Updates `staleSeen`: the first stale proof after a handled full
// proof is silent, the next ones warn, and once stale proofs pass 1 in 200 requested (at least
// 5) each warns that the machine cannot keep up.
std::string StaleProofWarning(uint64_t staleProofs, uint64_t proofsRequested, bool& staleSeen);

// The warning for a full proof that took 4 s or more to prepare; empty below that.
std::string SlowProofWarning(const std::string& plotStem, int64_t preparationNs);
