#include "runtime/file_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/runtime/file_test_support.h"
#include "tests/runtime/stream_rig.h"
#include "tests/support/fault_arena.h"
#include "tests/support/fault_file.h"

namespace {

constexpr uint64_t kBlock = 4096;

// What the system leaves in a buffer beyond a short read is not defined (direct I/O tends to
// zero it, the page cache leaves it alone): this file fills it with junk.
std::unique_ptr<FaultFile> JunkBeyondEndFile() {
  auto file = std::make_unique<FaultFile>();
  file->junkBeyondEnd = true;
  return file;
}

}  // namespace

TEST(FileStream, WriterKeepsTheBytesAroundAnUnalignedRegion) {
  TestDirectory dir;
  const auto path = dir / "rmw";
  const auto old = RandomBytes(8 * kBlock, 1);
  WriteWholeFile(path, old);
  const auto data = RandomBytes(5 * kBlock + 17, 2);
  const uint64_t start = kBlock + 100;
  {
    StreamRig rig(path, 2 * kBlock, 4);
    FileWriter writer(*rig.worker, start, data.size());
    EXPECT_EQ(writer.Offset(), start);
    // Odd pieces, so that copies cross the exposed part and the buffer ends.
    uint64_t at = 0;
    for (uint64_t piece : {1ul, 700ul, 4000ul, 3333ul, 5000ul}) {
      writer.Write(data.data() + at, piece);
      at += piece;
      EXPECT_EQ(writer.Offset(), start + at);
    }
    writer.Write(data.data() + at, data.size() - at);
    writer.Finish();
    EXPECT_EQ(writer.Offset(), start + data.size());
  }
  auto expected = old;
  std::memcpy(expected.data() + start, data.data(), data.size());
  EXPECT_EQ(ReadWholeFile(path), expected);
}

TEST(FileStream, WriterPastTheEndZeroesTheBlockAroundIt) {
  TestDirectory dir;
  const auto path = dir / "grow";
  const auto old = RandomBytes(kBlock + 50, 3);
  WriteWholeFile(path, old);  // ends 50 bytes into the second block
  {
    StreamRig rig(path, kBlock, 2, 8, nullptr, JunkBeyondEndFile());
    // Leaves random file bytes in the worker's scratch block.
    FileWriter warm(*rig.worker, 10, 5);
    warm.Write("hello", 5);
    warm.Finish();
    // Starts 100 bytes into the second block: 50 bytes of the file, then 50 past its end, which
    // must come out as zeros, not as what the scratch block held.
    FileWriter inside(*rig.worker, kBlock + 100, 10);
    inside.Write("0123456789", 10);
    inside.Finish();
    // Starts 100 bytes into the fourth block, wholly past the end.
    FileWriter beyond(*rig.worker, 3 * kBlock + 100, 5);
    beyond.Write("abcde", 5);
    beyond.Finish();
  }
  std::vector<uint8_t> expected(4 * kBlock, 0);
  std::memcpy(expected.data(), old.data(), old.size());
  std::memcpy(expected.data() + 10, "hello", 5);
  std::memcpy(expected.data() + kBlock + 100, "0123456789", 10);
  std::memcpy(expected.data() + 3 * kBlock + 100, "abcde", 5);
  EXPECT_EQ(ReadWholeFile(path), expected);
}

TEST(FileStream, FinishAfterAFewBytesKeepsTheRestOfTheBlock) {
  TestDirectory dir;
  const auto path = dir / "few";
  const auto old = RandomBytes(3 * kBlock, 4);
  WriteWholeFile(path, old);
  {
    StreamRig rig(path, 4 * kBlock, 2);
    FileWriter writer(*rig.worker, kBlock, UINT64_MAX);  // no end
    writer.Write("ten bytes!", 10);
    writer.Finish();
    EXPECT_EQ(writer.Offset(), kBlock + 10);
    // The region is closed after Finish.
    EXPECT_EQ(ThrownText([&] { writer.Write("x", 1); }), "14FFDD70");
    // Nothing written at all: the file is left as it is.
    FileWriter idle(*rig.worker, 2 * kBlock + 7, 100);
    idle.Finish();
  }
  auto expected = old;
  std::memcpy(expected.data() + kBlock, "ten bytes!", 10);
  EXPECT_EQ(ReadWholeFile(path), expected);
}

TEST(FileStream, ReaderDeliversZerosPastTheEndAndCountsThem) {
  TestDirectory dir;
  const auto path = dir / "short";
  const auto old = RandomBytes(2 * kBlock + 300, 5);
  WriteWholeFile(path, old);
  StreamRig rig(path, 2 * kBlock, 4, 8, nullptr, JunkBeyondEndFile());

  std::vector<uint8_t> got(3 * kBlock, 0xAA);
  {
    FileReader reader(*rig.worker, 1000, got.size());
    uint64_t at = 0;
    for (uint64_t piece : {1ul, 4095ul, 2000ul}) {
      reader.Read(got.data() + at, piece);
      at += piece;
    }
    reader.Read(got.data() + at, got.size() - at);
    EXPECT_EQ(ThrownText([&] { reader.Read(got.data(), 1); }), "14FFDD70");
    // The region runs 1000 + 3 x 4096 - (2 x 4096 + 300) = 4796 bytes past the end.
    EXPECT_EQ(reader.ZeroFilledBytes(), 1000 + kBlock - 300);
  }
  std::vector<uint8_t> expected(got.size(), 0);
  std::memcpy(expected.data(), old.data() + 1000, old.size() - 1000);
  EXPECT_EQ(got, expected);

  // Wholly inside the file: nothing is zero-filled.
  FileReader inside(*rig.worker, 8, 2 * kBlock);
  std::vector<uint8_t> part(2 * kBlock);
  inside.Read(part.data(), part.size());
  EXPECT_EQ(part, Slice(old, 8, 2 * kBlock));
  EXPECT_EQ(inside.ZeroFilledBytes(), 0u);

  // ReadBlock reports how much came from the file and zeroes the rest.
  AlignedBytes block(2 * kBlock);
  std::memset(block.data(), 0x77, 2 * kBlock);
  EXPECT_EQ(rig.worker->ReadBlock(kBlock, block.data(), 2 * kBlock), kBlock + 300);
  EXPECT_EQ(std::vector<uint8_t>(block.data(), block.data() + kBlock + 300),
            Slice(old, kBlock, kBlock + 300));
  EXPECT_EQ(std::vector<uint8_t>(block.data() + kBlock + 300, block.data() + 2 * kBlock),
            std::vector<uint8_t>(kBlock - 300, 0));
  EXPECT_EQ(rig.worker->Position(), 3 * kBlock);
}

TEST(FileStream, FirstSegmentSizeAndSkipRuleShapeTheSegments) {
  TestDirectory dir;
  const auto path = dir / "skip";
  const auto old = RandomBytes(8 * kBlock, 6);
  WriteWholeFile(path, old);
  StreamRig rig(path, 2 * kBlock, 4);

  // First segment of one block, then whole buffers of two; once a segment ends in
  // [kBlock, kBlock + 1) the position jumps three blocks on.
  FileReader reader(*rig.worker, 0, 4 * kBlock, kBlock, SkipRule{kBlock, kBlock + 1, 3 * kBlock});
  std::vector<uint8_t> got(4 * kBlock);
  reader.Read(got.data(), got.size());
  std::vector<uint8_t> expected = Slice(old, 0, kBlock);
  const auto rest = Slice(old, 4 * kBlock, 3 * kBlock);
  expected.insert(expected.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, expected);
}

TEST(FileStream, ConstructionAndWorkerCodes) {
  TestDirectory dir;
  const auto path = dir / "codes";
  StreamRig rig(path, 2 * kBlock, 2, 2);
  EXPECT_EQ(ThrownText([&] { FileReader r(*rig.worker, 0, 10, 3 * kBlock); }), "5538B0C1");
  EXPECT_EQ(ThrownText([&] { FileReader r(*rig.worker, 0, 10, 100); }), "629B032B");
  {
    FileWriter a(*rig.worker, 0, 10);
    FileReader b(*rig.worker, 0, 10);
    EXPECT_EQ(rig.worker->RegisteredStreams(), 2u);
    EXPECT_EQ(ThrownText([&] { FileWriter c(*rig.worker, 0, 10); }), "E4983275");
    EXPECT_EQ(ThrownText([&] { rig.worker->SetFile(rig.file.get()); }), "3A8EA0B4");
    a.Finish();
  }
  EXPECT_EQ(rig.worker->RegisteredStreams(), 0u);
  rig.worker->SetFile(nullptr);
  rig.worker->SetFile(rig.file.get());

  // Pools whose buffers are not whole blocks or not block-aligned.
  MemoryArena arena([](const std::string&) {});
  auto oddSize = BufferPool::Create(arena, 6000, 4096, 1, nullptr);
  auto oddAlignment = BufferPool::Create(arena, 8192, 16, 1, nullptr);
  for (BufferPool* pool : {oddSize.get(), oddAlignment.get()}) {
    IoWorkerHandle worker = NewIoWorker(arena, *pool, 1, nullptr);
    EXPECT_EQ(ThrownText([&] { FileWriter w(*worker, 0, 10); }), "2554D2FB");
    DeleteIoWorker(worker);
  }
}

TEST(IoWorker, AllocationFailuresAtConstruction) {
  MemoryArena arena([](const std::string&) {});
  auto pool = BufferPool::Create(arena, 8192, 4096, 1, nullptr);
  // The worker object, its scratch block, its slots.
  EXPECT_EQ(SweepAllocationFailures([&](FaultArena& failing) {
              IoWorkerHandle worker = NewIoWorker(failing, *pool, 4, nullptr);
              DeleteIoWorker(worker);
            }),
            (std::vector<std::string>{"std::bad_alloc", "failed to allocate memory: A50DC5CF",
                                      "std::bad_alloc"}));
}

TEST(FileStream, NothingMovesWhileThePauseByteIsSet) {
  TestDirectory dir;
  const auto path = dir / "pause";
  const auto old = RandomBytes(16 * kBlock, 7);
  WriteWholeFile(path, old);
  PauseByte pause{1};
  StreamRig rig(path, kBlock, 4, 8, &pause);

  // A writer alone: more than the pool holds, so both the worker and the writer itself have to
  // put buffers on disk, and neither may.
  const auto data = RandomBytes(6 * kBlock, 8);
  std::atomic<bool> writeDone{false};
  std::thread writing([&] {
    FileWriter writer(*rig.worker, 8 * kBlock, data.size());
    writer.Write(data.data(), data.size());
    writer.Finish();
    writeDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(writeDone.load());
  EXPECT_EQ(ReadWholeFile(path), old);
  pause = 0;
  EXPECT_TRUE(WaitFor([&] { return writeDone.load(); }));
  writing.join();
  auto expected = old;
  std::memcpy(expected.data() + 8 * kBlock, data.data(), data.size());
  EXPECT_EQ(ReadWholeFile(path), expected);

  // A reader alone cannot get its first segment, however long it waits.
  pause = 1;
  std::atomic<bool> readDone{false};
  std::vector<uint8_t> got(4 * kBlock);
  std::thread reading([&] {
    FileReader reader(*rig.worker, 0, got.size());
    reader.Read(got.data(), got.size());
    readDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(readDone.load());
  pause = 0;
  EXPECT_TRUE(WaitFor([&] { return readDone.load(); }));
  reading.join();
  EXPECT_EQ(got, Slice(expected, 0, got.size()));
}

TEST(FileStream, AFailingTransferReachesItsStreamAndSparesTheOthers) {
  TestDirectory dir;
  const auto path = dir / "failing";
  const uint64_t limit = 64 * kBlock;
  const auto old = RandomBytes(limit + (1 << 20) + 8 * kBlock, 9);
  WriteWholeFile(path, old);
  auto failing = std::make_unique<FaultFile>();
  failing->failWritesFrom = limit;
  failing->failReadsFrom = limit + (1 << 20);
  StreamRig rig(path, kBlock, 8, 8, nullptr, std::move(failing));

  const auto good = RandomBytes(20 * kBlock + 123, 10);
  const auto bad = RandomBytes(20 * kBlock, 11);
  FileWriter healthy(*rig.worker, 100, good.size());
  FileWriter doomed(*rig.worker, limit, bad.size());
  FileReader unreadable(*rig.worker, limit + (1 << 20), 6 * kBlock);
  std::string failure;
  std::string readFailure;
  std::vector<uint8_t> sink(kBlock);
  for (uint64_t i = 0; i < 20; ++i) {
    healthy.Write(good.data() + i * kBlock, kBlock);
    if (failure.empty())
      failure = ThrownText([&] { doomed.Write(bad.data() + i * kBlock, kBlock); });
    if (readFailure.empty())
      readFailure = ThrownText([&] { unreadable.Read(sink.data(), kBlock); });
    if (failure == "no exception") failure.clear();
    if (readFailure == "no exception") readFailure.clear();
  }
  healthy.Write(good.data() + 20 * kBlock, good.size() - 20 * kBlock);
  healthy.Finish();
  // The failure surfaces at a swap or at Finish, and keeps surfacing.
  if (failure.empty()) failure = ThrownText([&] { doomed.Finish(); });
  EXPECT_EQ(failure, "injected write failure");
  EXPECT_EQ(ThrownText([&] { doomed.Finish(); }), "injected write failure");
  EXPECT_EQ(readFailure, "injected read failure");

  auto expected = old;
  std::memcpy(expected.data() + 100, good.data(), good.size());
  EXPECT_EQ(ReadWholeFile(path), expected);
}

namespace {

// A stream whose worker is stuck in the transfer of its other buffer, with the first block of the
// caller's buffer partly used: the caller must still get all but the last block of that buffer.
struct StalledTransferCase {
  const char* name;
  bool writer;
};

}  // namespace

TEST(FileStream, TheCallersBufferStaysUsableWhileTheOtherOneIsTransferred) {
  const StalledTransferCase cases[] = {{"writer", true}, {"reader", false}};
  for (const StalledTransferCase& c : cases) {
    SCOPED_TRACE(c.name);
    TestDirectory dir;
    const auto path = dir / "stalled";
    constexpr uint64_t kBuffer = 16 * kBlock;
    const auto old = RandomBytes(3 * kBuffer, 12);
    WriteWholeFile(path, old);
    auto stalling = std::make_unique<FaultFile>();
    FaultFile& file = *stalling;
    StreamRig rig(path, kBuffer, 4, 8, nullptr, std::move(stalling));
    const auto data = RandomBytes(3 * kBuffer, 13);
    std::vector<uint8_t> got(3 * kBuffer);
    std::unique_ptr<FileStream> stream;
    if (c.writer) {
      // Every write waits, so the first buffer's stalls the worker.
      file.holdFrom = 0;
      stream = std::make_unique<FileWriter>(*rig.worker, 0, data.size());
    } else {
      // The third buffer's read waits once the second buffer is the caller's.
      file.holdFrom = 2 * kBuffer;
      stream = std::make_unique<FileReader>(*rig.worker, 0, got.size());
    }
    file.holding = true;
    auto move = [&](uint64_t from, uint64_t n) {
      if (c.writer) {
        stream->Write(data.data() + from, n);
      } else {
        stream->Read(got.data() + from, n);
      }
    };
    // Half of the second buffer's first block: the rest of the buffer is not yet handed out.
    constexpr uint64_t kFirst = kBuffer + kBlock / 2;
    move(0, kFirst);
    ASSERT_TRUE(WaitFor([&] { return file.held.load() > 0; }, 10));
    std::atomic<bool> moved{false};
    std::thread rest([&] {
      move(kFirst, 2 * kBuffer - kBlock - kFirst);
      moved = true;
    });
    const bool movedWhileStalled = WaitFor([&] { return moved.load(); }, 10);
    const uint64_t heldMeanwhile = file.held.load();
    file.holding = false;
    rest.join();
    EXPECT_TRUE(movedWhileStalled);
    EXPECT_EQ(heldMeanwhile, 1u);
    move(2 * kBuffer - kBlock, kBuffer + kBlock);
    stream->Finish();
    stream.reset();
    if (c.writer) {
      EXPECT_EQ(ReadWholeFile(path), data);
    } else {
      EXPECT_EQ(got, old);
    }
  }
}

TEST(FileStream, DroppingAStreamWaitsForItsTransferUnderWay) {
  TestDirectory dir;
  const auto path = dir / "dropped";
  constexpr uint64_t kBuffer = 16 * kBlock;
  const auto old = RandomBytes(3 * kBuffer, 14);
  WriteWholeFile(path, old);
  auto stalling = std::make_unique<FaultFile>();
  FaultFile& file = *stalling;
  StreamRig rig(path, kBuffer, 4, 8, nullptr, std::move(stalling));
  file.holdFrom = kBuffer;
  file.holding = true;
  auto reader = std::make_unique<FileReader>(*rig.worker, 0, 3 * kBuffer);
  std::vector<uint8_t> got(2 * kBlock);
  reader->Read(got.data(), got.size());
  ASSERT_TRUE(WaitFor([&] { return file.held.load() > 0; }, 10));
  std::atomic<bool> dropped{false};
  std::thread dropping([&] {
    reader.reset();
    dropped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(dropped.load());
  EXPECT_EQ(rig.worker->RegisteredStreams(), 1u);
  file.holding = false;
  dropping.join();
  EXPECT_EQ(rig.worker->RegisteredStreams(), 0u);
  EXPECT_EQ(got, Slice(old, 0, got.size()));
  // The worker goes on serving a stream registered after the drop.
  FileReader next(*rig.worker, kBuffer, kBuffer);
  std::vector<uint8_t> again(kBuffer);
  next.Read(again.data(), again.size());
  EXPECT_EQ(again, Slice(old, kBuffer, kBuffer));
}
