#pragma once

#include <memory>
#include <string>

#include "runtime/buffer_pool.h"
#include "runtime/direct_file.h"
#include "runtime/file_stream.h"
#include "runtime/io_worker.h"
#include "runtime/memory_arena.h"
#include "tests/runtime/file_test_support.h"

// One file served by one IoWorker with a pool of small buffers, all from an arena that holds no
// block (every piece comes from the heap, so nothing is locked into memory).
struct StreamRig {
  StreamRig(const std::filesystem::path& path, uint64_t bufferSize, uint64_t buffers,
            uint64_t slots = 8, const PauseByte* pause = nullptr,
            std::unique_ptr<DirectFile> customFile = nullptr)
      : arena([](const std::string&) {}),
        pool(BufferPool::Create(arena, bufferSize, 4096, buffers, nullptr)),
        file(customFile ? std::move(customFile)
                        : std::make_unique<DirectFile>([](const std::string&) {})),
        worker(NewIoWorker(arena, *pool, slots, pause)) {
    file->Open(path, false);
    worker->SetFile(file.get());
  }
  ~StreamRig() { DeleteIoWorker(worker); }

  MemoryArena arena;
  BufferPool::Handle pool;
  std::unique_ptr<DirectFile> file;
  IoWorkerHandle worker;
};
