#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "chia/plot_keys.h"
#include "manager/client.h"
#include "tests/plotter/plot_test_support.h"

inline constexpr uint64_t kGiB = uint64_t{1} << 30;
// The size every plot fixture claims; the files are sparse and take almost no disk.
inline constexpr uint64_t kClaimed = 100 * kGiB;

// A Client whose free-space figures come from `free`; a directory without one fails the query
// unless `realSpace` is set. Collects its log lines.
class ScanClient : public Client {
 public:
  explicit ScanClient(const std::vector<DirectorySpec>& dirs, uint8_t checkPlots = 0)
      : Client(ClientConfig{.CheckPlots = checkPlots}, dirs.data(), dirs.size(),
               [this](const std::string& line) { lines.push_back(line); }) {}
  uint64_t QueryFreeSpace(const std::filesystem::path& directory) override {
    if (realSpace) return Client::QueryFreeSpace(directory);
    const auto it = free.find(directory);
    if (it == free.end()) throw std::runtime_error("no space figure");
    return it->second;
  }
  std::vector<std::string> Scan() {
    lines.clear();
    ScanDirectories();
    return lines;
  }
  const ScannedFile& Record(const std::filesystem::path& path) const {
    const auto it = std::find(ScannedPaths.begin(), ScannedPaths.end(), path);
    if (it == ScannedPaths.end()) throw std::runtime_error("not recorded: " + path.string());
    return ScannedFiles[it - ScannedPaths.begin()];
  }
  std::set<std::filesystem::path> MinedPaths() {
    std::set<std::filesystem::path> paths;
    for (const auto& plot : MinedPlots) paths.insert(plot->path);
    return paths;
  }
  using Client::DirectoryStates;
  using Client::MinedPlots;
  using Client::ScannedFiles;
  using Client::ScannedPaths;
  using Client::TestQueue;
  using Client::UndeletablePaths;

  std::map<std::filesystem::path, uint64_t> free;
  bool realSpace = false;
  std::vector<std::string> lines;
};

inline DirectorySpec Dir(const std::filesystem::path& path, uint8_t readOnly = 0,
                         int64_t limit = -1) {
  return DirectorySpec{path, limit, -1, !readOnly, !readOnly, !readOnly, readOnly};
}

// A complete final plot of level 0 whose tables open, its marker at the end of kClaimed bytes,
// with keys made by the real key code from `seed`: record kind `kind` (no key block when
// negative) for the delegation key, if any.
inline PlotHeader Plot(uint8_t seed, int kind = 0, const uint8_t* delegation = nullptr) {
  static const TestPlot base = TestPlot::Make({1, 1, 1, 1, 1, 1});
  PlotHeader h = base.header;
  h.start.markerOffset = kClaimed - 8;
  h.level = 0;
  if (kind < 0) return h;
  const uint8_t seedBytes[32] = {seed};
  uint8_t* r = h.keyBlock;
  CreatePlotKeys(h.plotId, seedBytes, r + kKeyRecordSecretA, r + kKeyRecordSecretB,
                 r + kKeyRecordPublicKeyB, delegation);
  r[kKeyRecordKind] = static_cast<uint8_t>(kind);
  if (delegation != nullptr) std::memcpy(r + kKeyRecordDelegationKey, delegation, 48);
  h.keyBlockFlag = 1;
  return h;
}

// The header at offset 0 (a plot header with its table data at 12288), the size set with
// ftruncate, and the marker at its offset unless `marker` is false.
inline void WriteFixture(const std::filesystem::path& path, const void* header, size_t bytes,
                         uint64_t size = kClaimed, bool marker = true) {
  static const std::vector<uint8_t> tables = TestPlot::Make({1, 1, 1, 1, 1, 1}).data;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path.string());
  bool written = ::ftruncate(fd, static_cast<off_t>(size)) == 0 &&
                 ::pwrite(fd, header, bytes, 0) == static_cast<ssize_t>(bytes);
  if (bytes == sizeof(PlotHeader)) {
    written &= ::pwrite(fd, tables.data(), tables.size(), kFinalPlotDataOffset) > 0;
  }
  FileStartRecord start{};
  std::memcpy(&start, header, std::min(bytes, sizeof(start)));
  if (marker && bytes >= sizeof(start) && FitsInFile(start.markerOffset, 8, size)) {
    written &= ::pwrite(fd, &start.markerValue, 8, static_cast<off_t>(start.markerOffset)) == 8;
  }
  ::close(fd);
  if (!written) throw std::runtime_error("cannot write " + path.string());
}

inline void WritePlot(const std::filesystem::path& path, const PlotHeader& header,
                      bool marker = true) {
  WriteFixture(path, &header, sizeof(header), kClaimed, marker);
}

// The process-wide delegated-plotting keys of one test: "given" was given with -p, "minus" is
// the -k key without its password, "other" belongs to someone else.
struct DelegatedKeys {
  DelegatedKeys() {
    uint8_t secret[32];
    DeriveKeyFromPassword("given", secret, given.data());
    std::memcpy(DelegatedPlotKeys[given].data(), secret, 32);
    DeriveKeyFromPassword("minus", secret, DelegatedPublicKeyBytes.data());
    DelegatedPublicKey = DelegatedPublicKeyBytes.data();
    DeriveKeyFromPassword("other", secret, other.data());
  }
  ~DelegatedKeys() {
    DelegatedPlotKeys.clear();
    DelegatedPublicKey = nullptr;
  }
  PlotPublicKey given{}, other{};
  const uint8_t* minus() const { return DelegatedPublicKeyBytes.data(); }
};
