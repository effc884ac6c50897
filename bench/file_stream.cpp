// Sequential throughput of FileWriter and FileReader against plain buffered writes and reads of
// the same bytes (flushed to disk, and dropped from the page cache before reading), and against
// bare DirectFile reads of whole buffers. The file
// lies in VARNOK_DIRECT_IO_DIR when set, else in the temporary directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "runtime/buffer_pool.h"
#include "runtime/direct_file.h"
#include "runtime/file_stream.h"
#include "runtime/io_worker.h"
#include "runtime/memory_arena.h"

namespace {

constexpr uint64_t kTotal = 128ull << 20;
constexpr uint64_t kPiece = 64 * 1024;  // what a park encoder hands over at a time
constexpr uint64_t kBuffer = 32ull << 20;

std::filesystem::path BenchFile(const char* name) {
  const char* configured = std::getenv("VARNOK_DIRECT_IO_DIR");
  const std::filesystem::path dir = configured != nullptr && *configured != '\0'
                                        ? std::filesystem::path(configured)
                                        : std::filesystem::temp_directory_path();
  return dir / (std::string("varnok-bench-") + name + "-" + std::to_string(::getpid()));
}

std::vector<uint8_t> Piece();

// Real data on disk, so that reads do not just return holes.
bool FillFile(const std::filesystem::path& path) {
  const auto piece = Piece();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  bool ok = fd >= 0;
  for (uint64_t at = 0; ok && at < kTotal; at += kPiece) {
    ok = ::pwrite(fd, piece.data(), kPiece, static_cast<off_t>(at)) == static_cast<ssize_t>(kPiece);
  }
  if (fd >= 0) {
    ok = ok && ::fdatasync(fd) == 0;
    ::close(fd);
  }
  return ok;
}

std::vector<uint8_t> Piece() {
  std::vector<uint8_t> bytes(kPiece);
  for (uint64_t i = 0; i < kPiece; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
  return bytes;
}

struct Rig {
  Rig(const std::filesystem::path& path, bool truncate)
      : arena([](const std::string&) {}),
        pool(BufferPool::Create(arena, kBuffer, 4096, 2, nullptr)),
        file(NewDirectFile(arena, [](const std::string&) {})),
        worker(NewIoWorker(arena, *pool, 4, nullptr)) {
    file->Open(path, truncate);
    worker->SetFile(file.get());
  }
  ~Rig() { DeleteIoWorker(worker); }
  MemoryArena arena;
  BufferPool::Handle pool;
  DirectFileHandle file;
  IoWorkerHandle worker;
};

void BM_FileWriter(benchmark::State& state) {
  const auto path = BenchFile("writer");
  const auto piece = Piece();
  {
    Rig rig(path, true);
    for (auto _ : state) {
      FileWriter writer(*rig.worker, 0, kTotal);
      for (uint64_t at = 0; at < kTotal; at += kPiece) writer.Write(piece.data(), kPiece);
      writer.Finish();
    }
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_PlainWrite(benchmark::State& state) {
  const auto path = BenchFile("plain-write");
  const auto piece = Piece();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  for (auto _ : state) {
    for (uint64_t at = 0; at < kTotal; at += kPiece) {
      if (::pwrite(fd, piece.data(), kPiece, static_cast<off_t>(at)) !=
          static_cast<ssize_t>(kPiece)) {
        state.SkipWithError("write failed");
        break;
      }
    }
    ::fdatasync(fd);
  }
  ::close(fd);
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_FileReader(benchmark::State& state) {
  const auto path = BenchFile("reader");
  std::vector<uint8_t> piece(kPiece);
  if (!FillFile(path)) state.SkipWithError("cannot fill the file");
  {
    Rig rig(path, false);
    for (auto _ : state) {
      FileReader reader(*rig.worker, 0, kTotal);
      for (uint64_t at = 0; at < kTotal; at += kPiece) reader.Read(piece.data(), kPiece);
      benchmark::DoNotOptimize(piece.data());
    }
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_PlainRead(benchmark::State& state) {
  const auto path = BenchFile("plain-read");
  std::vector<uint8_t> piece(kPiece);
  if (!FillFile(path)) state.SkipWithError("cannot fill the file");
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  for (auto _ : state) {
    state.PauseTiming();
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    state.ResumeTiming();
    for (uint64_t at = 0; at < kTotal; at += kPiece) {
      if (::pread(fd, piece.data(), kPiece, static_cast<off_t>(at)) !=
          static_cast<ssize_t>(kPiece)) {
        state.SkipWithError("read failed");
        break;
      }
    }
    benchmark::DoNotOptimize(piece.data());
  }
  ::close(fd);
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

// The floor for the reader: one DirectFile read of a whole buffer after another, no copying.
void BM_DirectRead(benchmark::State& state) {
  const auto path = BenchFile("direct-read");
  if (!FillFile(path)) state.SkipWithError("cannot fill the file");
  {
    Rig rig(path, false);
    BufferSlot* slot = rig.pool->Take(true);
    for (auto _ : state) {
      for (uint64_t at = 0; at < kTotal; at += kBuffer) rig.file->Read(at, slot->buffer, kBuffer);
      benchmark::DoNotOptimize(slot->buffer);
    }
    BufferPool::GiveBack(slot);
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

}  // namespace

BENCHMARK(BM_FileWriter)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FileReader)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DirectRead)->Unit(benchmark::kMillisecond)->UseRealTime();
