#pragma once

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/thrown_text.h"
#include "tests/support/whole_file.h"

// Waits until `done` holds; false when it never did. The limit only bounds a hang.
template <typename Fn>
bool WaitFor(Fn done, int seconds = 120) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Whether `directory` accepts O_DIRECT, found without the code under test.
inline bool AcceptsDirectIo(const std::filesystem::path& directory) {
  const std::filesystem::path probe = directory / "direct-probe";
  const int fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_DIRECT | O_CLOEXEC, 0666);
  const bool accepted = fd >= 0;
  if (fd >= 0) ::close(fd);
  std::filesystem::remove(probe);
  return accepted;
}

// In a forked child only: mounts a ramfs, which refuses direct I/O, on `directory` in a private
// mount namespace (entering a user namespace when plain privileges do not suffice). False when
// the system allows neither.
inline bool MountRamfsInChild(const std::filesystem::path& directory) {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWNS) != 0) {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    auto put = [](const char* file, const std::string& text) {
      const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
      if (fd < 0) return;
      [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
      ::close(fd);
    };
    put("/proc/self/setgroups", "deny");
    put("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
    put("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  return ::mount("none", directory.c_str(), "ramfs", 0, nullptr) == 0;
}

// A zeroed buffer aligned to the direct-I/O unit.
class AlignedBytes {
 public:
  explicit AlignedBytes(uint64_t size) : size_(size) {
    const uint64_t rounded = (size + 4095) / 4096 * 4096;
    void* memory = std::aligned_alloc(4096, rounded == 0 ? 4096 : rounded);
    if (memory == nullptr) throw std::bad_alloc();
    std::memset(memory, 0, rounded == 0 ? 4096 : rounded);
    data_.reset(static_cast<uint8_t*>(memory));
  }
  uint8_t* data() const { return data_.get(); }
  uint64_t size() const { return size_; }
  uint8_t& operator[](uint64_t i) const { return data_.get()[i]; }

 private:
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t, Free> data_;
  uint64_t size_;
};

inline std::vector<uint8_t> RandomBytes(uint64_t n, uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, uint64_t from, uint64_t n) {
  return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + n);
}
