#pragma once

#include "manager/plot_work.h"
#include "plotter/finalize_job.h"
#include "runtime/text_utils.h"
#include "tests/manager/scan_test_support.h"
#include "tests/runtime/fake_system_memory.h"

// The script of a made-up plot engine or finalization job: the test sets what it reports and
// reads what it was asked ("create", "start <name>", "save", "delete"). A save ends after
// `saveTicks` further status reads.
struct WorkScript {
  PlotWorkStatus status;
  Lines calls;
  int saveTicks = 1;
  PlotIdBytes id{};
  std::array<uint8_t, 512> keys{};
  PlotScale scale;  // of the settings it was made with
};

template <typename Base>
class FakeWork : public Base {
 public:
  explicit FakeWork(WorkScript& script) : script_(script) { script_.calls.push_back("create"); }
  ~FakeWork() override { script_.calls.push_back("delete"); }
  PlotWorkStatus Status() override {
    if (script_.status.state == Base::kSaving && script_.saveTicks-- == 0) script_.status = {};
    return script_.status;
  }
  void RequestSave() override {
    if (script_.status.state == 0) return;
    script_.calls.push_back("save");
    script_.status = {Base::kSaving, 0, 0, nullptr};
  }

 protected:
  void Begin(const fs::path& part, bool resume) {
    script_.calls.push_back((resume ? "resume " : "start ") + part.filename().string());
    script_.status = {1, 0, 0, nullptr};
  }

  WorkScript& script_;
};

class FakeEngineWork final : public FakeWork<PlotEngineWork> {
 public:
  using FakeWork::FakeWork;
  void StartPlot(const std::vector<fs::path>&, const fs::path& part, const uint8_t* id, uint8_t,
                 const uint8_t* keys) override {
    std::memcpy(script_.id.data(), id, 32);
    std::memcpy(script_.keys.data(), keys, 512);
    Begin(part, false);
  }
  void ResumePlot(const std::vector<fs::path>&, const fs::path& part) override {
    Begin(part, true);
  }
};

class FakeFinalizeWork final : public FakeWork<FinalizeWork> {
 public:
  using FakeWork::FakeWork;
  void Start(const fs::path&, const fs::path& part, bool resume) override { Begin(part, resume); }
};

class FakeWorkFactory final : public PlotWorkFactory {
 public:
  FakeWorkFactory(WorkScript& engine, WorkScript& job) : engine_(engine), job_(job) {}
  bool CanPlot() const override { return true; }
  bool CanFinalize() const override { return true; }
  std::unique_ptr<PlotEngineWork> CreatePlotEngine(MemoryArena&, const PlotEngineSettings& settings,
                                                   LogCallback, const PauseMask*,
                                                   const PauseByte*) override {
    engine_.scale = settings.scale;
    return std::make_unique<FakeEngineWork>(engine_);
  }
  std::unique_ptr<FinalizeWork> CreateFinalizeJob(MemoryArena&, const FinalizeJobConfig& config,
                                                  LogCallback, const PauseByte*,
                                                  const PauseByte*) override {
    job_.scale = config.scale;
    return std::make_unique<FakeFinalizeWork>(job_);
  }

 private:
  WorkScript& engine_;
  WorkScript& job_;
};

// A Client with a scripted engine and job and one directory that takes one plot (or the
// directories a test gives), its clock in the test's hands; one manager step at a time.
struct WorkRig {
  // A made-up host of hostGiB whose memory the arenas really map.
  explicit WorkRig(uint64_t memoryGiB = 8, uint64_t hostGiB = 64) {
    host.SetMemInfo(hostGiB << 20, (hostGiB << 20) * 15 / 16, (hostGiB << 20) * 15 / 16);
    host.realMappings = true;
    config.memoryAmount = memoryGiB << 30;
    Restart(std::make_unique<FakeWorkFactory>(engine, job));
  }
  // A new Client with `config` on the same directory and host, once the old one is gone.
  void Restart(std::unique_ptr<PlotWorkFactory> factory) {
    client.reset();
    client = std::make_unique<Rig>(specs, config, ClientHost{&host, std::move(factory), false});
  }
  struct Rig : ScanClient {
    Rig(const std::vector<DirectorySpec>& dirs, const ClientConfig& config, ClientHost host)
        : ScanClient(dirs, config, std::move(host)) {
      free[dirs[0].path] = 1000 * kClaimed;
    }
    std::chrono::steady_clock::time_point Now() const override { return clock; }
    Lines Step() {
      lines.clear();
      ManagerStep();
      return lines;
    }
    using Client::CancelRequest, Client::Engine, Client::JobPlotPath, Client::ManagerState;
    std::chrono::steady_clock::time_point clock{};
  };
  // The made plot's path with `extension`, and its display form.
  fs::path Path(const std::string& extension) const {
    return dir / (ToHexUpper(engine.id.data(), 32) + extension);
  }
  std::string Stem(const std::string& extension) const {
    const std::string hex = ToHexUpper(engine.id.data(), 32);
    return (dir.Path() / (hex.substr(0, 4) + "..." + hex.substr(60) + extension)).string();
  }
  // What the engine or job would have written: sparse, or final with `keys` and its marker.
  void WriteMade(bool sparse, uint8_t keyKind = 0, bool marker = true) const {
    PlotHeader h = Plot(0);
    std::memcpy(h.plotId, engine.id.data(), 32);
    std::memcpy(h.keyBlock, engine.keys.data(), 512);
    h.keyBlock[0] = keyKind;
    h.sparse = sparse;
    WritePlot(Path(sparse ? ".spt_part" : ".fpt_part"), h, marker);
  }
  // Plans and makes the sparse plot, then plans its finalization.
  void PlotAndStartFinalizing() {
    client->Step();
    WriteMade(true);
    engine.status = {0, 1, 1, nullptr};
    client->Step();
    client->Step();
  }

  TestDirectory dir;
  // The Client's directories: `dir` first, taking one plot.
  std::vector<DirectorySpec> specs{{dir.Path(), -1, 1, 1, 1, 1, 0}};
  FakeSystemMemory host;
  WorkScript engine, job;
  ClientConfig config;
  std::unique_ptr<Rig> client;
};
