// Throughput of the temp-file stream against the disk's own sequential limit: the same byte count
// is pushed through Append -> Flush (write) and Feed -> TakeEntries (read), and written and read
// plainly through one DirectFile, in the same run.
//
// VARNOK_BENCH_DIR picks the directory (default: the working directory; use a real disk),
// VARNOK_BENCH_MB the data size in MiB (default 1024), VARNOK_BENCH_FILES the temp file count
// (default 2).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/direct_file.h"
#include "runtime/memory_arena.h"
#include "runtime/multi_file_stream.h"

namespace {

constexpr uint64_t kEntrySize = 16;
constexpr uint64_t kBlockSize = 1 << 20;
constexpr uint64_t kBlocks = 1024;
constexpr uint64_t kBuckets = MultiFileStream::kBuckets;
constexpr uint64_t kProducers = 2;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

struct Entry {
  uint64_t a;
  uint64_t b;
};

void BM_StreamVersusPlainFile(benchmark::State& state) {
  const std::filesystem::path dir = std::getenv("VARNOK_BENCH_DIR") != nullptr
                                        ? std::getenv("VARNOK_BENCH_DIR")
                                        : std::filesystem::current_path();
  const uint64_t bytes = EnvOr("VARNOK_BENCH_MB", 1024) << 20;
  const uint64_t fileCount = std::clamp<uint64_t>(EnvOr("VARNOK_BENCH_FILES", 2), 1, 16);
  const uint64_t perBucket = bytes / kEntrySize / kBuckets;
  const uint64_t perBlock = kBlockSize / kEntrySize;
  const double mib = static_cast<double>(perBucket * kBuckets * kEntrySize) / (1 << 20);

  MemoryArena arena([](const std::string&) {});
  const std::string tag = std::to_string(::getpid());
  std::vector<std::unique_ptr<DirectFile>> owned;
  std::vector<DirectFile*> files;
  for (uint64_t f = 0; f < fileCount; ++f) {
    owned.push_back(std::make_unique<DirectFile>([](const std::string&) {}));
    owned.back()->Open(dir / ("bench-mfs-" + tag + "-" + std::to_string(f)), true);
    files.push_back(owned.back().get());
  }

  std::array<std::array<BucketRegion, kBuckets>, 2> regions{};
  uint64_t offset = 0;
  const uint64_t regionBlocks = (perBucket + perBlock - 1) / perBlock / fileCount + 2;
  for (uint64_t s = 0; s < 2; ++s) {
    for (uint64_t b = 0; b < kBuckets; ++b) {
      regions[s][b] = BucketRegion{offset, regionBlocks, perBucket};
      offset += regionBlocks * kBlockSize;
    }
  }

  std::vector<std::vector<uint32_t>> tables(
      fileCount, std::vector<uint32_t>(MultiFileStream::kCountTableEntries));
  std::vector<const uint32_t*> stored;
  std::vector<uint32_t*> out;
  for (auto& t : tables) {
    stored.push_back(t.data());
    out.push_back(t.data());
  }

  for (auto _ : state) {
    MultiFileStream stream(kBlocks, kBlockSize, &arena, nullptr);
    stream.Begin(files.data(), fileCount, offset, {});

    // Write direction: producers spread entries over all buckets, then everything is flushed.
    for (auto& t : tables) std::fill(t.begin(), t.end(), 0);
    stream.Feed(files.data(), fileCount, stored.data(), fileCount, 0, 0, kEntrySize,
                regions[0].data(), regions[1].data(), kBuckets);
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> producers;
    for (uint64_t p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        std::vector<Entry> chunk(1024);
        for (uint64_t i = 0; i < chunk.size(); ++i) chunk[i] = Entry{i, p};
        const uint64_t share = perBucket / kProducers;
        for (uint64_t done = 0; done < share; done += chunk.size()) {
          for (uint64_t b = 0; b < kBuckets; ++b) {
            stream.Append(b, chunk.data(), std::min<uint64_t>(chunk.size(), share - done));
          }
        }
      });
    }
    for (auto& t : producers) t.join();
    stream.Flush(out.data(), fileCount, {});
    const double writeSeconds = Seconds(start);

    // Read direction: every bucket drained in turn.
    start = std::chrono::steady_clock::now();
    stream.Feed(files.data(), fileCount, stored.data(), fileCount, 1, kEntrySize, 0,
                regions[0].data(), regions[1].data(), 0);
    std::vector<Entry> buffer(4096);
    uint64_t checksum = 0;
    for (uint64_t b = 0; b < kBuckets; ++b) {
      stream.SetReadBucket(b);
      uint64_t left = stream.HeldEntries(0, b);
      while (left > 0) {
        const uint64_t n = std::min<uint64_t>(left, buffer.size());
        stream.TakeEntries(buffer.data(), n);
        checksum += buffer[0].a;
        left -= n;
      }
    }
    const double readSeconds = Seconds(start);
    stream.StopThreads();
    benchmark::DoNotOptimize(checksum);

    // The disk's own limit: one file, 64 MiB vectors, the same byte count.
    DirectFile plain([](const std::string&) {});
    const std::filesystem::path plainPath = dir / ("bench-mfs-" + tag + "-plain");
    plain.Open(plainPath, true);
    void* raw = std::aligned_alloc(4096, kBlockSize);
    std::memset(raw, 0x5A, kBlockSize);
    std::vector<iovec> pieces(64, iovec{raw, kBlockSize});
    const uint64_t total = perBucket * kBuckets * kEntrySize / kBlockSize * kBlockSize;
    start = std::chrono::steady_clock::now();
    for (uint64_t at = 0; at < total; at += 64 * kBlockSize) {
      const uint64_t n = std::min<uint64_t>(64, (total - at) / kBlockSize);
      plain.WriteV(at, pieces.data(), n);
    }
    const double plainWriteSeconds = Seconds(start);
    start = std::chrono::steady_clock::now();
    for (uint64_t at = 0; at < total; at += 64 * kBlockSize) {
      const uint64_t n = std::min<uint64_t>(64, (total - at) / kBlockSize);
      plain.ReadV(at, pieces.data(), n);
    }
    const double plainReadSeconds = Seconds(start);
    std::free(raw);
    std::filesystem::remove(plainPath);

    state.counters["stream_write_MBps"] = mib / writeSeconds;
    state.counters["stream_read_MBps"] = mib / readSeconds;
    state.counters["plain_write_MBps"] = mib / plainWriteSeconds;
    state.counters["plain_read_MBps"] = mib / plainReadSeconds;
    state.counters["write_ratio"] = plainWriteSeconds / writeSeconds;
    state.counters["read_ratio"] = plainReadSeconds / readSeconds;
  }

  owned.clear();
  for (uint64_t f = 0; f < fileCount; ++f) {
    std::filesystem::remove(dir / ("bench-mfs-" + tag + "-" + std::to_string(f)));
  }
}

}  // namespace

BENCHMARK(BM_StreamVersusPlainFile)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
