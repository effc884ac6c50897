#include "runtime/direct_file.h"

#include <gtest/gtest.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "tests/runtime/file_test_support.h"

namespace {

std::string LockText(const std::filesystem::path& path, int error) {
  return "Failed to lock file \"" + path.string() + "\": " + std::strerror(error);
}

// The system reports a lock conflict as EAGAIN or EACCES.
bool IsLockConflict(const std::string& message, const std::filesystem::path& path) {
  return message == LockText(path, EAGAIN) || message == LockText(path, EACCES);
}

DirectFile::WarningCallback Ignore() {
  return [](const std::string&) {};
}

}  // namespace

TEST(DirectFile, WritesReadsAndCachesTheSize) {
  TestDirectory dir;
  const auto path = dir / "data";
  DirectFile file(Ignore());
  file.Open(path, true);
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Path(), path);
  EXPECT_EQ(file.GetSize(), 0);

  const auto pattern = RandomBytes(3 * 4096, 1);
  AlignedBytes out(3 * 4096);
  std::memcpy(out.data(), pattern.data(), pattern.size());
  // Two pieces at offset 4096 in one vectored write.
  iovec pieces[2] = {{out.data(), 4096}, {out.data() + 4096, 8192}};
  EXPECT_EQ(file.WriteV(4096, pieces, 2), 3 * 4096);
  EXPECT_EQ(file.GetSize(), 4 * 4096);

  const auto disk = ReadWholeFile(path);
  ASSERT_EQ(disk.size(), 4u * 4096);
  EXPECT_EQ(std::vector<uint8_t>(disk.begin(), disk.begin() + 4096), std::vector<uint8_t>(4096));
  EXPECT_EQ(std::vector<uint8_t>(disk.begin() + 4096, disk.end()), pattern);

  // Vectored read split differently from the write.
  AlignedBytes in(3 * 4096);
  iovec back[2] = {{in.data(), 8192}, {in.data() + 8192, 4096}};
  EXPECT_EQ(file.ReadV(4096, back, 2), 3 * 4096);
  EXPECT_EQ(std::memcmp(in.data(), pattern.data(), pattern.size()), 0);

  // A read that runs past the cached end returns the bytes up to the end; the short count is
  // the caller's to see (what the system leaves in the rest of the buffer is not defined).
  AlignedBytes tail(3 * 4096);
  EXPECT_EQ(file.Read(3 * 4096, tail.data(), 3 * 4096), 4096);
  EXPECT_EQ(std::memcmp(tail.data(), pattern.data() + 8192, 4096), 0);
  EXPECT_EQ(file.ReadOne(8 * 4096, iovec{tail.data(), 4096}), 0);

  // Writing beyond the end grows the cached size and leaves a hole of zeros.
  EXPECT_EQ(file.Write(6 * 4096, out.data(), 4096), 4096);
  EXPECT_EQ(file.GetSize(), 7 * 4096);
  EXPECT_EQ(std::filesystem::file_size(path), 7u * 4096);
  EXPECT_EQ(file.Read(4 * 4096, in.data(), 4096), 4096);
  EXPECT_EQ(std::vector<uint8_t>(in.data(), in.data() + 4096), std::vector<uint8_t>(4096));
}

TEST(DirectFile, SeesAFileShortenedBehindItsBack) {
  TestDirectory dir;
  const auto path = dir / "shrinking";
  DirectFile file(Ignore());
  file.Open(path, true);
  AlignedBytes buffer(4 * 4096);
  std::memset(buffer.data(), 0x5A, 4 * 4096);
  ASSERT_EQ(file.Write(0, buffer.data(), 4 * 4096), 4 * 4096);
  ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
  EXPECT_EQ(file.GetSize(), 4 * 4096);  // still the cached figure
  // The first attempt comes back short of the cached size; the retry refreshes it.
  EXPECT_EQ(file.Read(0, buffer.data(), 4 * 4096), 4096);
  EXPECT_EQ(file.GetSize(), 4096);
}

TEST(DirectFile, TruncateAndClosedFileCodes) {
  TestDirectory dir;
  const auto path = dir / "sized";
  DirectFile closed(Ignore());
  AlignedBytes buffer(4096);
  iovec one{buffer.data(), 4096};
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { closed.Read(0, buffer.data(), 4096); }),
            "46621417");
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { closed.ReadV(0, &one, 1); }), "46621417");
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { closed.Write(0, buffer.data(), 4096); }),
            "D4F635FA");
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { closed.WriteV(0, &one, 1); }), "D4F635FA");
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { closed.GetSize(); }), "300E29A7");
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { closed.Truncate(4096); }), "2D04BAC9");

  DirectFile file(Ignore());
  file.Open(path, true);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { file.Open(path, false); }), "5C04CF05");
  std::memset(buffer.data(), 7, 4096);
  ASSERT_EQ(file.Write(0, buffer.data(), 4096), 4096);
  file.Truncate(5 * 4096);
  EXPECT_EQ(file.GetSize(), 5 * 4096);
  EXPECT_EQ(std::filesystem::file_size(path), 5u * 4096);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { file.Truncate(4095); }), "692523A0");
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { file.Truncate(-4096); }), "4F478E74");
  EXPECT_EQ(file.GetSize(), 5 * 4096);
  EXPECT_EQ(std::filesystem::file_size(path), 5u * 4096);
  file.Truncate(0);
  EXPECT_EQ(file.GetSize(), 0);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST(DirectFile, FailedOpenAndWriteCarryPathAndSystemText) {
  TestDirectory dir;
  const auto missing = dir / "no-such-dir" / "file";
  DirectFile file(Ignore());
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { file.Open(missing, false); }),
            "Failed to open or create file \"" + missing.string() + "\": " + std::strerror(ENOENT));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Path(), missing);

  const auto path = dir / "limits";
  file.Open(path, true);
  AlignedBytes buffer(4096);
  // An offset beyond any file system's largest file.
  const std::string text =
      ThrownText([&] { file.Write(static_cast<uint64_t>(LLONG_MAX) - 4095, buffer.data(), 4096); });
  EXPECT_EQ(text.rfind("Failed to write file \"" + path.string() + "\": ", 0), 0u) << text;
  EXPECT_EQ(file.GetSize(), 0);
}

TEST(DirectFile, SecondOpenIsRefusedInThisProcessAndInAnother) {
  TestDirectory dir;
  const auto path = dir / "locked";
  const auto contents = RandomBytes(8192, 9);
  WriteWholeFile(path, contents);

  auto holder = std::make_unique<DirectFile>(Ignore());
  holder->Open(path, false);

  // Same process, truncating open: refused, and the holder's data survive it.
  DirectFile second(Ignore());
  const std::string refusal = ThrownText([&] { second.Open(path, true); });
  EXPECT_TRUE(IsLockConflict(refusal, path)) << refusal;
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(ReadWholeFile(path), contents);

  // Closing an unrelated descriptor of the same file must not drop the lock.
  const int stray = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(stray, 0);
  ::close(stray);
  EXPECT_THROW(second.Open(path, false), std::runtime_error);

  // Another process.
  const int child = RunInChild([&] {
    DirectFile other(Ignore());
    return IsLockConflict(ThrownText([&] { other.Open(path, true); }), path) ? 0 : 2;
  });
  EXPECT_EQ(child, 0);
  EXPECT_EQ(ReadWholeFile(path), contents);

  // Once the holder is gone the file opens again, here and in a child.
  holder.reset();
  EXPECT_EQ(RunInChild([&] {
              DirectFile other(Ignore());
              other.Open(path, false);
              return other.GetSize() == 8192 ? 0 : 1;
            }),
            0);
  second.Open(path, false);
  EXPECT_EQ(second.GetSize(), 8192);
}

TEST(DirectFile, DirectModeWarningAtMostOncePerProcess) {
  TestDirectory dir;
  const auto where = dir / "mount";
  std::filesystem::create_directory(where);
  // In a child, so the process-wide flag starts clear whatever the other tests did, and a ramfs
  // (no direct I/O) can be mounted where the system allows it.
  const int status = RunInChild([&] {
    const bool ramfs = MountRamfsInChild(where);
    const bool direct = AcceptsDirectIo(where);
    if (ramfs && direct) return 4;
    DirectModeWarningShown = false;
    int warnings = 0;
    bool textRight = true;
    auto count = [&](const std::string& text) {
      ++warnings;
      textRight = textRight && text == kDirectModeWarning;
    };
    std::vector<std::unique_ptr<DirectFile>> files;
    for (int i = 0; i < 4; ++i) {
      files.push_back(std::make_unique<DirectFile>(count));
      files.back()->Open(where / ("w" + std::to_string(i)), true);
    }
    // The file works through the page cache all the same.
    AlignedBytes buffer(4096);
    std::memset(buffer.data(), 0x3C, 4096);
    if (files[0]->Write(0, buffer.data(), 4096) != 4096) return 5;
    std::memset(buffer.data(), 0, 4096);
    if (files[0]->Read(0, buffer.data(), 4096) != 4096 || buffer[4095] != 0x3C) return 6;
    if (!textRight) return 3;
    if (warnings != (direct ? 0 : 1)) return 10 + warnings;
    if (direct) return 0;

    // A warning that is due goes to the callback, and an empty one cannot take it.
    DirectModeWarningShown = false;
    DirectFile silent(nullptr);
    try {
      silent.Open(where / "empty-callback", false);
      return 7;
    } catch (const std::bad_function_call&) {
      if (silent.IsOpen()) return 8;
    }
    // The warning was not delivered, so the next file still gives it.
    warnings = 0;
    DirectFile next(count);
    next.Open(where / "after-empty-callback", false);
    return warnings == 1 && textRight ? 0 : 9;
  });
  EXPECT_EQ(status, 0);
}
