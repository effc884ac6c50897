#include "manager/key_embedding.h"

#include <fstream>
#include <stdexcept>
#include <string>

#include "chia/plot_keys.h"

namespace {

constexpr std::streamoff kFlagOffset = 36;
constexpr std::streamoff kBlockOffset = 88;

void WriteAt(std::fstream& file, std::streamoff offset, const void* bytes, size_t count,
             const std::string& path) {
  try {
    file.seekp(offset);
  } catch (const std::ios_base::failure&) {
    throw std::runtime_error("Failed to seek file: \"" + path + "\"");
  }
  try {
    file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(count));
    file.flush();
  } catch (const std::ios_base::failure&) {
    throw std::runtime_error("Failed to write file: \"" + path + "\"");
  }
}

}  // namespace

bool KeyBlockMatchesPlotId(const uint8_t plotId[32], const uint8_t keyBlock[512]) {
  const uint8_t kind = keyBlock[kKeyRecordKind];
  if (kind != kPlotKeysOwn && kind != kPlotKeysDelegated && kind != kPlotKeysCompleted) {
    return false;
  }
  return ComputePlotPublicKey(
      plotId, keyBlock + kKeyRecordSecretA, keyBlock + kKeyRecordPublicKeyB,
      kind == kPlotKeysDelegated ? keyBlock + kKeyRecordDelegationKey : nullptr);
}

void EmbedKeyBlock(const std::filesystem::path& path, const uint8_t keyBlock[512],
                   const std::function<void(int step)>& beforeWrite) {
  const std::string name = path.string();
  std::fstream file;
  file.exceptions(std::ios::failbit | std::ios::badbit);
  try {
    file.open(path, std::ios::in | std::ios::out | std::ios::binary);
  } catch (const std::ios_base::failure&) {
    throw std::runtime_error("Failed to open file for writing: \"" + name + "\"");
  }
  uint8_t originalFlag = 0;
  uint8_t original[512];
  try {
    file.seekg(kFlagOffset);
    file.read(reinterpret_cast<char*>(&originalFlag), 1);
    file.seekg(kBlockOffset);
    file.read(reinterpret_cast<char*>(original), sizeof(original));
  } catch (const std::ios_base::failure&) {
    throw std::runtime_error("Failed to read file: \"" + name + "\"");
  }
  auto step = [&](int n) {
    if (beforeWrite) beforeWrite(n);
  };
  const uint8_t cleared = 0, set = 1;
  try {
    step(0);
    WriteAt(file, kFlagOffset, &cleared, 1, name);
    step(1);
    WriteAt(file, kBlockOffset, keyBlock, 512, name);
    step(2);
    WriteAt(file, kFlagOffset, &set, 1, name);
    step(3);
    file.close();
  } catch (...) {
    try {
      if (!file.is_open()) file.open(path, std::ios::in | std::ios::out | std::ios::binary);
      file.clear();
      WriteAt(file, kBlockOffset, original, sizeof(original), name);
      WriteAt(file, kFlagOffset, &originalFlag, 1, name);
      file.close();
    } catch (...) {
      // The first failure is the one to report; a plot left with flag 0 is still recognised
      // by its block when the block was written whole.
    }
    throw;
  }
}
