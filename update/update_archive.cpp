#include "update/update_archive.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

constexpr size_t kBlockSize = 10240;
// Time, permissions, ACLs and file flags; and never outside the destination.
constexpr int kExtractFlags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_ACL |
                              ARCHIVE_EXTRACT_FFLAGS | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                              ARCHIVE_EXTRACT_SECURE_NODOTDOT;

struct ReaderFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterFree {
  void operator()(archive* a) const { archive_write_free(a); }
};

[[noreturn]] void ThrowArchiveError(archive* a) {
  const char* text = archive_error_string(a);
  throw std::runtime_error(text != nullptr ? text : "archive error");
}

void Check(la_ssize_t result, archive* a) {
  if (result < 0) ThrowArchiveError(a);
}

// The destination is absolute, so the writer's own absolute-path refusal cannot be used on the
// joined name: the entry's own name is checked here instead.
std::filesystem::path Below(const std::filesystem::path& destination, const char* name) {
  const std::filesystem::path relative(name);
  if (relative.empty() || relative.has_root_path()) {
    throw std::runtime_error(std::string("Path is absolute: ") + name);
  }
  for (const auto& part : relative) {
    if (part == "..") throw std::runtime_error(std::string("Path contains '..': ") + name);
  }
  return destination / relative;
}

[[noreturn]] void ThrowTooLarge(const ExtractLimits& limits) {
  throw std::runtime_error("Update archive is larger than " + std::to_string(limits.bytes) +
                           " bytes");
}

// Counts what each entry's blocks reach (offset included, so a sparse entry counts at its full
// size): an entry's declared size can be missing or wrong.
void CopyData(archive* reader, archive* writer, const ExtractLimits& limits, uint64_t& total) {
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  const uint64_t entryStart = total;
  for (;;) {
    const int result = archive_read_data_block(reader, &block, &size, &offset);
    if (result == ARCHIVE_EOF) return;
    Check(result, reader);
    const uint64_t end = static_cast<uint64_t>(offset) + size;
    if (offset < 0 || end > limits.bytes - entryStart) ThrowTooLarge(limits);
    total = std::max(total, entryStart + end);
    Check(archive_write_data_block(writer, block, size, offset), writer);
  }
}

}  // namespace

void ExtractUpdateArchive(const std::filesystem::path& archivePath,
                          const std::filesystem::path& destination, const ExtractLimits& limits) {
  std::unique_ptr<archive, ReaderFree> reader(archive_read_new());
  std::unique_ptr<archive, WriterFree> writer(archive_write_disk_new());
  if (!reader || !writer) throw std::runtime_error("out of memory");
  archive_read_support_format_all(reader.get());
  archive_read_support_filter_all(reader.get());
  if (archive_read_open_filename(reader.get(), archivePath.c_str(), kBlockSize) != ARCHIVE_OK) {
    throw std::runtime_error("failed to open archive file");
  }
  archive_write_disk_set_options(writer.get(), kExtractFlags);
  archive_write_disk_set_standard_lookup(writer.get());

  uint64_t total = 0;
  for (uint64_t entries = 0;; ++entries) {
    archive_entry* entry = nullptr;
    const int result = archive_read_next_header(reader.get(), &entry);
    if (result == ARCHIVE_EOF) break;
    Check(result, reader.get());
    if (entries == limits.entries) {
      throw std::runtime_error("Update archive has more than " + std::to_string(limits.entries) +
                               " entries");
    }
    if (archive_entry_size_is_set(entry) != 0 &&
        static_cast<uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0)) >
            limits.bytes - total) {
      ThrowTooLarge(limits);
    }
    archive_entry_copy_pathname(entry, Below(destination, archive_entry_pathname(entry)).c_str());
    if (const char* link = archive_entry_hardlink(entry); link != nullptr) {
      archive_entry_copy_hardlink(entry, Below(destination, link).c_str());
    }
    Check(archive_write_header(writer.get(), entry), writer.get());
    if (archive_entry_size(entry) > 0) CopyData(reader.get(), writer.get(), limits, total);
    Check(archive_write_finish_entry(writer.get()), writer.get());
  }
  Check(archive_read_close(reader.get()), reader.get());
  Check(archive_write_close(writer.get()), writer.get());
}
