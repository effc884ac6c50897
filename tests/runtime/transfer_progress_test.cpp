#include "runtime/transfer_progress.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tests/runtime/file_test_support.h"
#include "tests/runtime/stream_rig.h"

TEST(TransferProgress, EntriesRoundTripAndMoveTheProgress) {
  TestDirectory dir;
  const auto path = dir / "entries";
  WriteWholeFile(path, {});
  StreamRig rig(path, 64 * 1024, 4);

  // Three chunks: 65,536 + 65,536 + 18,928 entries.
  std::vector<uint64_t> entries(150000);
  std::mt19937_64 random(5);
  for (auto& e : entries) e = random();
  const uint64_t bytes = entries.size() * 8;

  TransferProgress job;
  job.totalBytes = 2 * bytes;
  FileWriter writer(*rig.worker, 8192, bytes + 4096);
  job.output = &writer;
  WriteEntries(job, writer, entries);
  EXPECT_EQ(job.doneBytes, bytes);
  EXPECT_DOUBLE_EQ(job.progress, 0.5);
  WriteBytes(job, "tail", 4);
  writer.Finish();

  const auto disk = ReadWholeFile(path);
  // Finish writes up to the block that holds the last byte.
  ASSERT_EQ(disk.size(), (8192 + bytes + 4 + 4095) / 4096 * 4096);
  EXPECT_EQ(std::memcmp(disk.data() + 8192, entries.data(), bytes), 0);
  EXPECT_EQ(std::memcmp(disk.data() + 8192 + bytes, "tail", 4), 0);

  job.readWorker = rig.worker.get();
  std::vector<uint64_t> back(entries.size());
  ReadEntries(job, 8192, back);
  EXPECT_EQ(back, entries);
  EXPECT_EQ(job.doneBytes, 2 * bytes);
  EXPECT_DOUBLE_EQ(job.progress, 1.0);

  // Without a total the fraction stays 0.
  TransferProgress untotalled;
  untotalled.readWorker = rig.worker.get();
  std::vector<uint64_t> few(10);
  ReadEntries(untotalled, 8192, few);
  EXPECT_EQ(few, std::vector<uint64_t>(entries.begin(), entries.begin() + 10));
  EXPECT_EQ(untotalled.doneBytes, 80u);
  EXPECT_EQ(untotalled.progress, 0.0);
}

TEST(TransferProgress, EntriesPastTheEndOfTheFileAreNotData) {
  TestDirectory dir;
  const auto path = dir / "short";
  WriteWholeFile(path, RandomBytes(3 * 4096 + 8, 6));
  StreamRig rig(path, 8192, 4);
  TransferProgress job;
  job.totalBytes = 1;
  job.readWorker = rig.worker.get();
  std::vector<uint64_t> entries(1024);
  // [8192, 16384) runs past the end at 12296.
  EXPECT_EQ(ThrownText([&] { ReadEntries(job, 8192, entries); }),
            "Failed to read file \"" + path.string() + "\": read less than expected");
  // Up to the end is fine.
  std::vector<uint64_t> inside(513);
  ReadEntries(job, 8, inside);
  const auto disk = ReadWholeFile(path);
  EXPECT_EQ(std::memcmp(inside.data(), disk.data() + 8, inside.size() * 8), 0);

  TransferProgress detached;
  EXPECT_EQ(ThrownText([&] { WriteBytes(detached, "x", 1); }), "D4F635FA");
  EXPECT_EQ(ThrownText([&] { ReadEntries(detached, 0, inside); }), "46621417");
}

namespace {

// Notes the job's progress at each read that reaches the file.
class ProgressWatchingFile : public DirectFile {
 public:
  explicit ProgressWatchingFile(TransferProgress& job)
      : DirectFile([](const std::string&) {}), job_(job) {}
  int64_t Read(uint64_t offset, void* buffer, uint64_t length) override {
    double progress;
    {
      std::lock_guard<std::mutex> lock(job_.mutex);
      progress = job_.progress;
    }
    {
      std::lock_guard<std::mutex> lock(seenMutex_);
      seen_[offset] = progress;
    }
    return DirectFile::Read(offset, buffer, length);
  }
  double SeenAt(uint64_t offset) {
    std::lock_guard<std::mutex> lock(seenMutex_);
    const auto found = seen_.find(offset);
    return found == seen_.end() ? -1.0 : found->second;
  }

 private:
  TransferProgress& job_;
  std::mutex seenMutex_;
  std::map<uint64_t, double> seen_;
};

}  // namespace

TEST(TransferProgress, ProgressMovesAfterEachChunk) {
  TestDirectory dir;
  const auto path = dir / "chunks";
  const uint64_t segment = 64 * 1024;
  std::vector<uint64_t> entries(150000);  // chunks of 8, 8 and 2.3 segments
  std::mt19937_64 random(7);
  for (auto& e : entries) e = random();
  std::vector<uint8_t> bytes(entries.size() * 8);
  std::memcpy(bytes.data(), entries.data(), bytes.size());
  WriteWholeFile(path, bytes);

  TransferProgress job;
  job.totalBytes = bytes.size();
  StreamRig rig(path, segment, 2, 8, nullptr, std::make_unique<ProgressWatchingFile>(job));
  auto& file = static_cast<ProgressWatchingFile&>(*rig.file);
  job.readWorker = rig.worker.get();
  std::vector<uint64_t> back(entries.size());
  ReadEntries(job, 0, back);
  EXPECT_EQ(back, entries);
  EXPECT_DOUBLE_EQ(job.progress, 1.0);
  // With two buffers, segment 10 is fetched only once the caller has used up segment 8, inside
  // the second chunk; segment 15 is fetched before the caller has finished that chunk.
  const double afterFirst = 65536.0 * 8 / static_cast<double>(bytes.size());
  EXPECT_DOUBLE_EQ(file.SeenAt(0), 0.0);
  EXPECT_DOUBLE_EQ(file.SeenAt(10 * segment), afterFirst);
  EXPECT_DOUBLE_EQ(file.SeenAt(15 * segment), afterFirst);
}
