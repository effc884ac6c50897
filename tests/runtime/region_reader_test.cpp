#include "runtime/region_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/runtime/file_test_support.h"
#include "tests/runtime/stream_rig.h"

namespace {

constexpr uint64_t kReaderBlock = 4096;

std::vector<uint8_t> ReadRegion(RegionReader& holder, uint64_t n, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<uint8_t> out(n);
  uint64_t at = 0;
  while (at < n) {
    const uint64_t piece = std::min<uint64_t>(n - at, 1 + random() % 7000);
    RegionRead(holder, out.data() + at, piece);
    at += piece;
  }
  return out;
}

// Flips every byte of the file in place, behind the reader's back.
std::vector<uint8_t> FlipFile(const std::filesystem::path& path) {
  auto bytes = ReadWholeFile(path);
  for (auto& b : bytes) b ^= 0xFF;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  return bytes;
}

struct RegionRig {
  explicit RegionRig(const std::string& name, uint64_t dataSize, uint64_t gapSize)
      : path(dir / name),
        original(RandomBytes(64 * kReaderBlock, dataSize + gapSize)),
        memory(dataSize),
        rig((WriteWholeFile(path, original), path), 2 * kReaderBlock, 4),
        holder(*rig.worker, dataSize, gapSize, memory.data()) {}

  TestDirectory dir;
  std::filesystem::path path;
  std::vector<uint8_t> original;
  std::vector<uint8_t> memory;
  StreamRig rig;
  RegionReader holder;
};

}  // namespace

TEST(RegionReader, SecondPassTakesTheChunksFromMemory) {
  // D = 6 blocks, gaps of 5000 bytes, a region of 40000 bytes at 8192: n = 15424 / 5000 = 3
  // gaps, four chunks of 24576 / 4 = 6144 rounded down to 4096, and a tail of 8616.
  RegionRig r("strided", 6 * kReaderBlock, 5000);
  const uint64_t base = 2 * kReaderBlock;
  const uint64_t length = 40000;
  const uint64_t chunks[4] = {0, 9096, 18192, 27288};

  OpenRegionReader(r.holder, base, length, true);
  EXPECT_FALSE(r.holder.HasPattern());
  EXPECT_EQ(ReadRegion(r.holder, length, 1), Slice(r.original, base, length));
  EXPECT_TRUE(r.holder.HasPattern());
  EXPECT_EQ(ThrownText([&] {
              uint8_t b;
              RegionRead(r.holder, &b, 1);
            }),
            "46A0AB93");
  for (uint64_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Slice(r.memory, i * kReaderBlock, kReaderBlock),
              Slice(r.original, base + chunks[i], kReaderBlock))
        << "chunk " << i;
  }

  // Everything on disk changes; a second pass starting two blocks earlier and ending at the
  // same place must bring the chunks from memory and everything else from the file.
  const auto flipped = FlipFile(r.path);
  std::vector<uint8_t> expected = Slice(flipped, 0, base + length);
  for (uint64_t start : chunks) {
    std::memcpy(expected.data() + base + start, r.original.data() + base + start, kReaderBlock);
  }
  OpenRegionReader(r.holder, 0, base + length, false);
  EXPECT_EQ(ReadRegion(r.holder, base + length, 2), expected);
  EXPECT_EQ(ThrownText([&] {
              uint8_t b;
              RegionRead(r.holder, &b, 1);
            }),
            "46A0AB93");

  // Exactly the recorded region again, read in other pieces.
  OpenRegionReader(r.holder, base, length, false);
  EXPECT_EQ(ReadRegion(r.holder, length, 3), Slice(expected, base, length));

  // A region that ends elsewhere is not a second pass: plain bytes, and the layout is forgotten.
  OpenRegionReader(r.holder, 0, base + length + kReaderBlock, false);
  EXPECT_EQ(ReadRegion(r.holder, base + length + kReaderBlock, 6),
            Slice(flipped, 0, base + length + kReaderBlock));
  EXPECT_FALSE(r.holder.HasPattern());

  // Nor is one that starts later.
  OpenRegionReader(r.holder, base + kReaderBlock, length - kReaderBlock, false);
  EXPECT_EQ(ReadRegion(r.holder, length - kReaderBlock, 4),
            Slice(flipped, base + kReaderBlock, length - kReaderBlock));
  EXPECT_FALSE(r.holder.HasPattern());
  OpenRegionReader(r.holder, base, length, false);
  EXPECT_EQ(ReadRegion(r.holder, length, 5), Slice(flipped, base, length));

  EXPECT_EQ(ThrownText([&] { OpenRegionReader(r.holder, 100, 10, true); }), "9DEA78E0");
  EXPECT_EQ(ThrownText([&] { OpenRegionReader(r.holder, 100, 10, false); }), "9DEA78E0");
}

TEST(RegionReader, GapOfZeroAndDegenerateLayouts) {
  {
    // No gaps: one chunk of what memory holds, the rest as tail; no division by zero.
    RegionRig r("nogap", 6 * kReaderBlock, 0);
    OpenRegionReader(r.holder, kReaderBlock, 40000, true);
    EXPECT_EQ(ReadRegion(r.holder, 40000, 6), Slice(r.original, kReaderBlock, 40000));
    const auto flipped = FlipFile(r.path);
    OpenRegionReader(r.holder, kReaderBlock, 40000, false);
    auto expected = Slice(flipped, kReaderBlock, 40000);
    std::memcpy(expected.data(), r.original.data() + kReaderBlock, 6 * kReaderBlock);
    EXPECT_EQ(ReadRegion(r.holder, 40000, 7), expected);
  }
  {
    // Chunks would be smaller than a block: plain bytes, nothing kept.
    RegionRig r("tiny", kReaderBlock, 100);
    OpenRegionReader(r.holder, 0, 40000, true);
    EXPECT_EQ(ReadRegion(r.holder, 40000, 8), Slice(r.original, 0, 40000));
    EXPECT_FALSE(r.holder.HasPattern());
    const auto flipped = FlipFile(r.path);
    OpenRegionReader(r.holder, 0, 40000, false);
    EXPECT_EQ(ReadRegion(r.holder, 40000, 9), Slice(flipped, 0, 40000));
  }
  {
    // A region that fits in memory is one chunk; an unfinished first pass is never reused.
    RegionRig r("small", 6 * kReaderBlock, 5000);
    OpenRegionReader(r.holder, kReaderBlock, 10000, true);
    EXPECT_EQ(ReadRegion(r.holder, 10000, 10), Slice(r.original, kReaderBlock, 10000));
    const auto flipped = FlipFile(r.path);
    OpenRegionReader(r.holder, 0, kReaderBlock + 10000, false);
    auto expected = Slice(flipped, 0, kReaderBlock + 10000);
    std::memcpy(expected.data() + kReaderBlock, r.original.data() + kReaderBlock, 10000);
    EXPECT_EQ(ReadRegion(r.holder, kReaderBlock + 10000, 11), expected);

    OpenRegionReader(r.holder, kReaderBlock, 10000, true);
    EXPECT_EQ(ReadRegion(r.holder, 5000, 12), Slice(flipped, kReaderBlock, 5000));
    EXPECT_FALSE(r.holder.HasPattern());
    FlipFile(r.path);
    OpenRegionReader(r.holder, kReaderBlock, 10000, false);
    EXPECT_EQ(ReadRegion(r.holder, 10000, 13), Slice(r.original, kReaderBlock, 10000));

    OpenRegionReader(r.holder, 0, 0, true);
    EXPECT_EQ(ThrownText([&] {
                uint8_t b;
                RegionRead(r.holder, &b, 1);
              }),
              "46A0AB93");
  }
}

TEST(RegionReader, ZerosPastTheEndOfTheFileAreCounted) {
  // The file holds 64 blocks; the region runs 3000 bytes past its end, inside the tail.
  RegionRig r("end", 6 * kReaderBlock, 5000);
  const uint64_t base = 54 * kReaderBlock;
  const uint64_t length = 10 * kReaderBlock + 3000;
  auto expected = Slice(r.original, base, 10 * kReaderBlock);
  expected.resize(length, 0);
  OpenRegionReader(r.holder, base, length, true);
  EXPECT_EQ(ReadRegion(r.holder, length, 14), expected);
  EXPECT_EQ(r.holder.ZeroFilledBytes(), 3000u);

  // The second pass reads the tail through a reader of its own; the count covers it too.
  auto longer = Slice(r.original, base - kReaderBlock, kReaderBlock);
  longer.insert(longer.end(), expected.begin(), expected.end());
  OpenRegionReader(r.holder, base - kReaderBlock, length + kReaderBlock, false);
  EXPECT_EQ(ReadRegion(r.holder, length + kReaderBlock, 15), longer);
  EXPECT_EQ(r.holder.ZeroFilledBytes(), 3000u);

  OpenRegionReader(r.holder, 0, 10 * kReaderBlock, false);
  EXPECT_EQ(ReadRegion(r.holder, 10 * kReaderBlock, 16), Slice(r.original, 0, 10 * kReaderBlock));
  EXPECT_EQ(r.holder.ZeroFilledBytes(), 0u);
}
