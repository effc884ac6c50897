#pragma once

#include <cstdint>
#include <stdexcept>

#include "plotter/bucket_sinks.h"
#include "plotter/distribution_kernels.h"
#include "plotter/engine_buffers.h"
#include "runtime/thread_pool.h"

// The shared body of every distribution pass: every worker's 256-slot writer is bound to the
// pass's sink (none may be bound or hold entries: "628B520A" / "2CE9ACE7", and then no writer is
// left bound by this pass), the kernel runs as a 256-task job, then every writer hands its
// partial slots to the sink and is unbound ("0D86FEB5" when one is not bound). When the job
// fails, the writers are emptied and unbound, so the failure does not block the next pass.
void RunDistribution(ThreadPool& pool, OwnedArray<BucketWriter<256>>& writers, BucketSink& sink,
                     const DistributionJob& job, DistributionKernel kernel);

using RegroupKernel = void (*)(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket);

// Runs a regroup kernel over the 256 in-memory buckets with the 128-slot writers, which stay
// bound to the step's stream.
void RunRegroup(ThreadPool& pool, OwnedArray<BucketWriter<128>>& writers, const RegroupJob& job,
                RegroupKernel kernel);

inline constexpr const char* kBucketOverflowError = "C7E14A2D";

// Copies the 256 fills into `counts`. A bucket that overflowed would make an incomplete table,
// so dropped entries fail the pass with "C7E14A2D".
template <uint64_t W>
void TakeBucketCounts(const InMemoryBucketSink<W>& sink, uint64_t* counts) {
  for (uint64_t b = 0; b < InMemoryBucketSink<W>::kBuckets; ++b) counts[b] = sink.Fill(b);
  if (sink.Dropped() != 0) throw std::runtime_error(kBucketOverflowError);
}
