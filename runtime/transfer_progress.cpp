#include "runtime/transfer_progress.h"

#include <algorithm>
#include <stdexcept>

namespace {

void AddDone(TransferProgress& job, uint64_t bytes) {
  job.doneBytes += bytes;
  std::lock_guard<std::mutex> lock(job.mutex);
  job.progress = job.totalBytes == 0
                     ? 0.0
                     : static_cast<double>(job.doneBytes) / static_cast<double>(job.totalBytes);
}

}  // namespace

void WriteEntries(TransferProgress& job, FileStream& stream, std::span<const uint64_t> entries) {
  for (uint64_t at = 0; at < entries.size(); at += kEntryChunk) {
    const uint64_t count = std::min<uint64_t>(kEntryChunk, entries.size() - at);
    stream.Write(entries.data() + at, count * sizeof(uint64_t));
    AddDone(job, count * sizeof(uint64_t));
  }
}

void ReadEntries(TransferProgress& job, uint64_t offset, std::span<uint64_t> entries) {
  if (job.readWorker == nullptr) throw std::runtime_error("46621417");
  FileReader reader(*job.readWorker, offset, entries.size() * sizeof(uint64_t));
  for (uint64_t at = 0; at < entries.size(); at += kEntryChunk) {
    const uint64_t count = std::min<uint64_t>(kEntryChunk, entries.size() - at);
    reader.Read(entries.data() + at, count * sizeof(uint64_t));
    if (reader.ZeroFilledBytes() != 0) {
      DirectFile* file = job.readWorker->File();
      throw std::runtime_error("Failed to read file \"" +
                               (file != nullptr ? file->Path().string() : std::string()) +
                               "\": read less than expected");
    }
    AddDone(job, count * sizeof(uint64_t));
  }
}

void WriteBytes(TransferProgress& job, const void* bytes, uint64_t n) {
  if (job.output == nullptr) throw std::runtime_error("D4F635FA");
  job.output->Write(bytes, n);
}
