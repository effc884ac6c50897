#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

// A private directory for one test, removed with everything in it at the end of the scope.
// VARNOK_DIRECT_IO_DIR points the tests at a file system with real direct I/O; without it they
// run in the temporary directory, which may refuse it.
class TestDirectory {
 public:
  TestDirectory() {
    const char* configured = std::getenv("VARNOK_DIRECT_IO_DIR");
    const std::filesystem::path base = configured != nullptr && *configured != '\0'
                                           ? std::filesystem::path(configured)
                                           : std::filesystem::temp_directory_path();
    std::string pattern = (base / "varnok-files-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TestDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;

  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};
