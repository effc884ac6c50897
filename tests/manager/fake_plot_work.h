#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "manager/plot_work.h"
#include "tests/manager/scan_test_support.h"
#include "tests/runtime/fake_system_memory.h"

// The script of a made-up plot engine or finalization job: the test sets what it reports and
// reads what it was asked. A save ends after `saveTicks` further status reads.
struct WorkScript {
  PlotWorkStatus status;
  Lines calls;  // "create", "start <name>", "resume <name>", "save", "delete"
  bool failStart = false;
  int saveTicks = 1;
  PlotIdBytes id{};
  std::array<uint8_t, 512> keys{};
};

template <typename Base>
class FakeWork : public Base {
 public:
  explicit FakeWork(WorkScript& script) : script_(script) {}
  ~FakeWork() override { script_.calls.push_back("delete"); }
  PlotWorkStatus Status() override {
    if (script_.status.State == Base::kSaving && script_.saveTicks-- == 0) script_.status = {};
    return script_.status;
  }
  void RequestSave() override {
    script_.calls.push_back("save");
    if (script_.status.State != 0) script_.status = {Base::kSaving, 0, 0, nullptr};
  }

 protected:
  void Started(const char* what, const fs::path& part) {
    script_.calls.push_back(what + part.filename().string());
    if (script_.failStart) throw std::runtime_error("refused");
    script_.status = {1, 0, 0, nullptr};
  }
  WorkScript& script_;
};

class FakeEngine final : public FakeWork<PlotEngineWork> {
 public:
  using FakeWork::FakeWork;
  void StartPlot(const std::vector<fs::path>&, const fs::path& part, const uint8_t* id, uint8_t,
                 const uint8_t* keys) override {
    std::memcpy(script_.id.data(), id, 32);
    std::memcpy(script_.keys.data(), keys, 512);
    Started("start ", part);
  }
  void ResumePlot(const std::vector<fs::path>&, const fs::path& part) override {
    Started("resume ", part);
  }
};

class FakeJob final : public FakeWork<FinalizeWork> {
 public:
  using FakeWork::FakeWork;
  void Start(const fs::path&, const fs::path& part, bool resume) override {
    Started(resume ? "resume " : "start ", part);
  }
};

class FakeWorkFactory final : public PlotWorkFactory {
 public:
  FakeWorkFactory(WorkScript& engine, WorkScript& job) : engine_(engine), job_(job) {}
  bool CanPlot() const override { return true; }
  bool CanFinalize() const override { return true; }
  std::unique_ptr<PlotEngineWork> CreatePlotEngine(MemoryArena&, const PlotEngineSettings&,
                                                   LogCallback, const PauseMask*,
                                                   const PauseByte*) override {
    engine_.calls.push_back("create");
    return std::make_unique<FakeEngine>(engine_);
  }
  std::unique_ptr<FinalizeWork> CreateFinalizeJob(MemoryArena&, uint64_t, uint64_t, LogCallback,
                                                  const PauseByte*, const PauseByte*) override {
    job_.calls.push_back("create");
    return std::make_unique<FakeJob>(job_);
  }

 private:
  WorkScript& engine_;
  WorkScript& job_;
};

// A Client on a made-up 64 GiB host with a scripted engine and job, its clock in the test's
// hands; one manager step at a time.
class WorkClient : public ScanClient {
 public:
  WorkClient(const std::vector<DirectorySpec>& dirs, ClientConfig config, FakeSystemMemory& host,
             WorkScript& engine, WorkScript& job)
      : ScanClient(dirs, config,
                   {&host, std::make_unique<FakeWorkFactory>(engine, job), false}) {
    for (const DirectorySpec& dir : dirs) free[dir.Path] = 1000 * kClaimed;
  }
  std::chrono::steady_clock::time_point Now() const override { return clock; }
  Lines Step() {
    lines.clear();
    ManagerStep();
    return lines;
  }
  using Client::CancelRequest, Client::ManagerState, Client::PendingDeletes;
  std::chrono::steady_clock::time_point clock{};
};

inline void SetHost(FakeSystemMemory& host, uint64_t totalGiB) {
  host.SetMemInfo(totalGiB << 20, (totalGiB << 20) * 15 / 16, (totalGiB << 20) * 15 / 16);
  host.realMappings = true;
}

// The plot the scripted engine or job would have written: its id and keys, sparse or final.
inline void WriteMadePlot(const fs::path& path, const WorkScript& made, uint8_t sparse,
                          bool marker = true) {
  PlotHeader h = Plot(0);
  std::memcpy(h.plotId, made.id.data(), 32);
  std::memcpy(h.keyBlock, made.keys.data(), 512);
  h.sparse = sparse;
  WritePlot(path, h, marker);
}
