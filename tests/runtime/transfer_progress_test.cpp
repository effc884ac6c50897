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
