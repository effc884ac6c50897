#pragma once
// The names the crypto tests used before the shared support existed.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/hex.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/whole_file.h"

namespace crypto_test {

using ::FromHex;
using ::RunCommand;
using ::ToHex;

class ScratchDir : public TestDirectory {
 public:
  std::filesystem::path Write(const std::string& name, const void* data, size_t length) const {
    const auto* bytes = static_cast<const char*>(data);
    WriteWholeFile(Path() / name, std::string(bytes, bytes + length));
    return Path() / name;
  }
};

}  // namespace crypto_test
