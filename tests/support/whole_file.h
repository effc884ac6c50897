#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

// Whole files read and written with plain buffered I/O: the independent view of what is on disk.
template <typename Bytes = std::vector<uint8_t>>
Bytes ReadWholeFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path.string());
  Bytes bytes(std::filesystem::file_size(path), 0);
  uint64_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, done);
    if (n <= 0) break;
    done += n;
  }
  ::close(fd);
  bytes.resize(done);
  return bytes;
}

inline std::string ReadTextFile(const std::filesystem::path& path) {
  return ReadWholeFile<std::string>(path);
}

template <typename Bytes = std::vector<uint8_t>>
void WriteWholeFile(const std::filesystem::path& path, const Bytes& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw std::runtime_error("cannot create " + path.string());
  uint64_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, done);
    if (n <= 0) break;
    done += n;
  }
  ::close(fd);
  if (done != bytes.size()) throw std::runtime_error("cannot write " + path.string());
}
