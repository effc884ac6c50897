#pragma once

#include <fcntl.h>
#include <unistd.h>

#include "chia/plot_keys.h"
#include "manager/client.h"
#include "tests/plotter/plot_test_support.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
inline constexpr uint64_t kGiB = uint64_t{1} << 30;
// The size every plot fixture claims; the files are sparse and take almost no disk.
inline constexpr uint64_t kClaimed = 100 * kGiB;

// A Client with mining and plot testing on whose free-space figures come from `free` (a
// directory without one fails the query) unless `realSpace` is set. Collects its log lines.
// A base before the Client: it outlives what the Client logs while it is destroyed.
struct LogLines {
  Lines lines;
};
class ScanClient : public LogLines, public Client {
 public:
  // Each directory has 1 GiB free to begin with. One plotting and one mining thread; the
  // threads of the Client itself are not started.
  explicit ScanClient(const std::vector<DirectorySpec>& dirs, ClientConfig config = {},
                      ClientHost host = {nullptr, nullptr, false})
      : Client((config.plottingThreads = config.miningThreads = 1, config), dirs.data(),
               dirs.size(), [this](const std::string& s) { lines.push_back(s); }, std::move(host)) {
    for (const DirectorySpec& dir : dirs) free[dir.path] = kGiB;
  }
  uint64_t QueryFreeSpace(const fs::path& directory) override {
    if (realSpace) return Client::QueryFreeSpace(directory);
    if (!free.count(directory)) throw std::runtime_error("no space figure");
    return free[directory];
  }
  // The real file system unless the directory has a device here.
  uint64_t QueryDevice(const fs::path& directory) override {
    return device.count(directory) ? device[directory] : Client::QueryDevice(directory);
  }
  Lines Scan() {
    lines.clear();
    ScanDirectories();
    return lines;
  }
  const ScannedFile& Record(const fs::path& path) const {
    return scannedFiles_.at(std::ranges::find(scannedPaths_, path) - scannedPaths_.begin());
  }
  using Client::directoryStates_, Client::MinedPlots, Client::scannedPaths_, Client::TestQueue,
      Client::UndeletablePaths;

  std::map<fs::path, uint64_t> free, device;
  bool realSpace = false;
};

inline DirectorySpec Dir(const fs::path& path, uint8_t readOnly = 0, int64_t limit = -1) {
  return DirectorySpec{path, limit, -1, !readOnly, !readOnly, !readOnly, readOnly};
}

// A complete final plot of level 2 whose tables open, its marker at the end of kClaimed bytes,
// keyed by the real key code from `seed` with record kind `kind` (no key block when negative).
inline PlotHeader Plot(uint8_t seed, int kind = 0, const uint8_t* delegation = nullptr) {
  PlotHeader h = TestPlot::Make({1, 1, 1, 1, 1, 1}).header;
  h.start.markerOffset = kClaimed - 8;
  if (kind < 0) return h;
  const uint8_t seedBytes[32] = {seed};
  CreatePlotKeys(h.plotId, seedBytes, h.keyBlock + 1, h.keyBlock + 33, h.keyBlock + 65, delegation);
  h.keyBlock[0] = static_cast<uint8_t>(kind);
  if (delegation != nullptr) std::memcpy(h.keyBlock + kKeyRecordDelegationKey, delegation, 48);
  h.keyBlockFlag = 1;
  return h;
}

// The header at offset 0 (a plot header with its table data at 12288), the size set with
// ftruncate, and the marker at its offset unless `marker` is false.
inline void WriteFixture(const fs::path& path, const void* header, size_t bytes,
                         uint64_t size = kClaimed, bool marker = true) {
  static const std::vector<uint8_t> kTables = TestPlot::Make({1, 1, 1, 1, 1, 1}).data;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool written = fd >= 0 && ::ftruncate(fd, size) == 0 && ::pwrite(fd, header, bytes, 0) > 0;
  if (bytes == sizeof(PlotHeader)) written &= ::pwrite(fd, kTables.data(), kTables.size(), 12288) > 0;
  FileStartRecord start{};
  std::memcpy(&start, header, std::min(bytes, sizeof(start)));
  if (marker && bytes >= sizeof(start) && FitsInFile(start.markerOffset, 8, size)) {
    written &= ::pwrite(fd, &start.markerValue, 8, start.markerOffset) == 8;
  }
  ::close(fd);
  if (!written) throw std::runtime_error("cannot write " + path.string());
}

inline void WritePlot(const fs::path& path, const PlotHeader& header, bool marker = true) {
  WriteFixture(path, &header, sizeof(header), kClaimed, marker);
}

// The delegated-plotting keys of one test: "given" was given with -p, "minus" is the -k key
// without its password, "other" belongs to someone else.
struct DelegatedKeys {
  DelegatedKeys() {
    uint8_t secret[32];
    DeriveKeyFromPassword("other", secret, other.data());
    DeriveKeyFromPassword("minus", secret, delegatedPublicKeyBytes.data());
    DeriveKeyFromPassword("given", secret, given.data());
    std::memcpy(DelegatedPlotKeys[given].data(), secret, 32);
    DelegatedPublicKey = minus;
  }
  ~DelegatedKeys() {
    DelegatedPlotKeys.clear();
    DelegatedPublicKey = nullptr;
  }
  PlotPublicKey given{}, other{};
  const uint8_t* const minus = delegatedPublicKeyBytes.data();
};
