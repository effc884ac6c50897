#include "plotter/distribution_pass.h"

#include <cstring>
#include <exception>

namespace {

void Abandon(BucketWriter<256>& writer) {
  std::memset(writer.counts, 0, sizeof(writer.counts));
  writer.sink = nullptr;
}

}  // namespace

void RunDistribution(ThreadPool& pool, OwnedArray<BucketWriter<256>>& writers, BucketSink& sink,
                     const DistributionJob& job, DistributionKernel kernel) {
  const uint64_t n = writers.Count();
  for (uint64_t w = 0; w < n; ++w) {
    try {
      writers[w]->Bind(&sink);
    } catch (...) {
      for (uint64_t bound = 0; bound < w; ++bound) writers[bound]->sink = nullptr;
      throw;
    }
  }
  try {
    pool.RunForEachBucket(
        [&](uint64_t worker, uint64_t task) { kernel(job, *writers[worker], task); });
  } catch (...) {
    for (uint64_t w = 0; w < n; ++w) Abandon(*writers[w]);
    throw;
  }
  for (uint64_t w = 0; w < n; ++w) writers[w]->Flush();
}

void RunRegroup(ThreadPool& pool, OwnedArray<BucketWriter<128>>& writers, const RegroupJob& job,
                RegroupKernel kernel) {
  pool.RunForEachBucket(
      [&](uint64_t worker, uint64_t bucket) { kernel(job, *writers[worker], bucket); });
}
