#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "runtime/file_stream.h"
#include "tests/runtime/file_test_support.h"
#include "tests/runtime/stream_rig.h"

namespace {

constexpr uint64_t kStreamBlock = 4096;

struct Job {
  bool writer;
  uint64_t offset;
  uint64_t length;
  uint64_t firstSegment;
  std::vector<uint8_t> bytes;  // what a writer writes, or what a reader got
  uint64_t done = 0;
  std::unique_ptr<FileStream> stream;
};

// Regions laid end to end from an odd start, writers and readers alternating, so that
// neighbouring streams share blocks and the worker has to choose between near and far work.
std::vector<Job> PlanJobs(std::mt19937_64& random, uint64_t count, uint64_t fileSize) {
  std::vector<Job> jobs;
  uint64_t at = 1 + random() % 5000;
  for (uint64_t i = 0; i < count; ++i) {
    Job job;
    job.writer = i % 2 == 0;
    job.offset = at;
    job.length = 1 + random() % (fileSize / count - 5000);
    job.firstSegment = (random() % 3) * kStreamBlock;  // 0: a whole buffer
    if (job.writer) {
      job.bytes.resize(job.length);
      for (auto& b : job.bytes) b = static_cast<uint8_t>(random());
    } else {
      job.bytes.assign(job.length, 0);
    }
    at += job.length;
    jobs.push_back(std::move(job));
  }
  return jobs;
}

void Open(Job& job, IoWorker& worker) {
  if (job.writer) {
    job.stream = std::make_unique<FileWriter>(worker, job.offset, job.length, job.firstSegment);
  } else {
    job.stream = std::make_unique<FileReader>(worker, job.offset, job.length, job.firstSegment);
  }
}

// One step of odd size; true when the job is complete.
bool Step(Job& job, std::mt19937_64& random) {
  const uint64_t n = std::min<uint64_t>(job.length - job.done, 1 + random() % 20000);
  if (job.writer) {
    job.stream->Write(job.bytes.data() + job.done, n);
  } else {
    job.stream->Read(job.bytes.data() + job.done, n);
  }
  job.done += n;
  if (job.done < job.length) return false;
  job.stream->Finish();
  return true;
}

// A stalled stream would block the future's destructor for ever: end the test run instead.
void WaitOrDie(std::future<void>& run, const char* what) {
  if (run.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "%s stalled\n", what);
    std::fflush(stderr);
    std::_Exit(1);
  }
  run.get();
}

void CheckAgainstModel(const std::vector<Job>& jobs, const std::vector<uint8_t>& old,
                       const std::filesystem::path& path) {
  auto expected = old;
  for (const Job& job : jobs) {
    if (job.writer) {
      std::memcpy(expected.data() + job.offset, job.bytes.data(), job.length);
    } else {
      EXPECT_EQ(job.bytes, std::vector<uint8_t>(old.begin() + job.offset,
                                                old.begin() + job.offset + job.length))
          << "reader at " << job.offset;
    }
  }
  EXPECT_EQ(ReadWholeFile(path), expected);
}

// For each seed: a file of random bytes, six jobs planned over it, `drive`(path, jobs, random)
// to run them, then the file and what the readers got checked against the model.
template <typename Drive>
void ForEachScenario(const std::string& name, uint64_t fileSize, uint64_t seeds, Drive drive) {
  TestDirectory dir;
  for (uint64_t seed = 1; seed <= seeds; ++seed) {
    std::mt19937_64 random(seed);
    const auto path = dir / (name + std::to_string(seed));
    const auto old = RandomBytes(fileSize, 100 + seed);
    WriteWholeFile(path, old);
    auto jobs = PlanJobs(random, 6, fileSize);
    drive(path, jobs, random);
    CheckAgainstModel(jobs, old, path);
  }
}

}  // namespace

TEST(StreamContention, InterleavedReadersAndWritersOnOneWorker) {
  ForEachScenario(
      "interleaved", 96 * kStreamBlock, 6,
      [](const std::filesystem::path& path, std::vector<Job>& jobs, std::mt19937_64& random) {
        // Two tiny buffers per stream: one thread drives them all, so none may wait for another.
        StreamRig rig(path, 2 * kStreamBlock, 2 * jobs.size(), jobs.size());
        for (Job& job : jobs) Open(job, *rig.worker);
        std::vector<Job*> open;
        for (Job& job : jobs) open.push_back(&job);
        while (!open.empty()) {
          const uint64_t pick = random() % open.size();
          if (Step(*open[pick], random)) {
            open[pick]->stream.reset();
            open.erase(open.begin() + pick);
          }
        }
      });
}

TEST(StreamContention, OneThreadPerStreamWithFewerBuffersThanStreams) {
  ForEachScenario(
      "threads", 160 * kStreamBlock, 3,
      [](const std::filesystem::path& path, std::vector<Job>& jobs, std::mt19937_64& random) {
        StreamRig rig(path, 2 * kStreamBlock, 3, jobs.size());
        std::vector<std::future<void>> runs;
        for (uint64_t i = 0; i < jobs.size(); ++i) {
          const uint64_t streamSeed = random();
          runs.push_back(std::async(std::launch::async, [&, i, streamSeed] {
            std::mt19937_64 own(streamSeed);
            Open(jobs[i], *rig.worker);
            while (!Step(jobs[i], own)) {
            }
            jobs[i].stream.reset();
          }));
        }
        for (auto& run : runs) WaitOrDie(run, "streams");
      });
}

TEST(StreamContention, TwoWritersShareTwoBuffersWithoutStalling) {
  // Each writer can end up waiting for a buffer while the only other one sits unwritten in its
  // own spare slot, which the worker cannot reach while the writer waits.
  TestDirectory dir;
  const auto path = dir / "two";
  WriteWholeFile(path, {});
  const uint64_t each = 200 * kStreamBlock;
  std::vector<std::vector<uint8_t>> data = {RandomBytes(each, 1), RandomBytes(each, 2)};
  {
    StreamRig rig(path, kStreamBlock, 2, 2);
    std::vector<std::future<void>> runs;
    for (uint64_t i = 0; i < 2; ++i) {
      runs.push_back(std::async(std::launch::async, [&, i] {
        FileWriter writer(*rig.worker, i * each, each);
        for (uint64_t at = 0; at < each; at += kStreamBlock)
          writer.Write(data[i].data() + at, kStreamBlock);
        writer.Finish();
      }));
    }
    for (auto& run : runs) WaitOrDie(run, "writers");
  }
  auto expected = data[0];
  expected.insert(expected.end(), data[1].begin(), data[1].end());
  EXPECT_EQ(ReadWholeFile(path), expected);
}
