#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "chia/plot_keys.h"
#include "manager/client_config.h"
#include "manager/directory_spec.h"
#include "manager/file_selection.h"
#include "manager/manager_task.h"
#include "manager/plot_work.h"
#include "manager/plot_work_starter.h"
#include "manager/repeated_warnings.h"
#include "manager/scan_report.h"
#include "manager/scanned_file.h"
#include "manager/start_back_off.h"
#include "plotter/plot_file.h"
#include "prover/pending_signage_point.h"
#include "prover/plot_access_engine.h"
#include "prover/signage_point_request.h"
#include "runtime/completion_queue.h"

// The log callback every Client message goes through (the entry point passes PrintLine).
using ClientLogCallback = std::function<void(const std::string& text)>;

// What a test puts in place of the host and the plotter.
struct ClientHost {
  SystemMemory* memory = nullptr;                // null: the machine's
  std::unique_ptr<PlotWorkFactory> workFactory;  // null: the plotter's engine and job
  bool startThreads = true;
};

// The central object of a run: it owns the proof-search engine, the plotting memory, the plot
// engine or finalization job in progress, and the mining, plot test and manager threads. The
// interrupt handling, the pool client and the entry point reach it through the virtual
// operations, so that their callers can be tested against a stand-in.
class ChallengeScanJob;
class FullProofJob;
class QualityJob;

class Client {
 public:
  // directories: count records in command-line order, copied. Every check failure is thrown
  // before any thread starts.
  Client(const ClientConfig& config, const DirectorySpec* directories, size_t count,
         ClientLogCallback log);
  // Work in progress is saved, not finished, before the threads are joined.
  virtual ~Client();

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Stop after the current plot: sets the stop request and makes the manager act now. Returns
  // ManagerState (non-zero while plotting or finalization is in progress).
  virtual uint32_t RequestStop();
  // true: as RequestStop; false: save the work in progress and stop now (cancel request).
  virtual uint32_t RequestShutdown(bool stopAfterCurrentPlot);
  virtual bool IsFinished();
  // Records the request for the proof search with a deadline of now + timeLimitMs. Throws
  // "6ED5B81C" when mining is off.
  virtual void SubmitSignagePoint(std::shared_ptr<SignagePointRequest> request,
                                  uint64_t timeLimitMs);
  // The engine's job events: pauses plotting I/O while any proof job is alive.
  void OnMiningActivity(uint64_t directoryIndex, bool started);

  // What the pool hello proves possession of: a mined plot's id, header creation time and path.
  struct HelloCandidate {
    PlotIdBytes id{};
    int64_t creationTime = 0;
    std::filesystem::path path;
  };
  // The mined plots in list order, read under MinedPlotsMutex.
  virtual std::vector<HelloCandidate> HelloCandidates();
  // Proof of possession of mined plot `id` for `challenge`: the full proof (64 big-endian x
  // values) of match `pick` mod the match count. 1 with a proof, 0 without a match, -1 after a
  // failure that was reported through the log callback.
  virtual int ProveHelloPlot(const PlotIdBytes& id, const uint8_t challenge[32], uint64_t pick,
                             uint32_t proof[64]);
  bool MiningOff() const { return config_.miningOff != 0; }
  // The test build's plots, thinned by 2^d, answer about one challenge in 2^d.
  bool ThinnedPlots() const { return !config_.scale.IsProduction(); }

  // Set from construction until the first directory scan has ended; read without the lock.
  std::atomic<uint8_t> StartupScanPending{1};

  // Rebuilds the directory and file records from disk, queues plots for the plot test and
  // admits mineable plots to mining. The first call prints the start-up report; later calls
  // report only plots that are new. Manager thread only, with neither mutex held.
  void ScanDirectories();
  // Whether the opened plot may be mined here. A delegated plot whose password was given has
  // its secret keys completed in the header copy and is marked for embedding.
  bool CheckPlotKeys(PlotFile& plot);

  // One planning pass: rescan, deferred deletions, stop handling, then at most one task chosen
  // and run. Manager thread only, while ManagerState is idle.
  void PlanNextStep();
  // Deletes a file after re-reading it: a complete sparse plot when completeSparsePlot is set,
  // else an unfinished plot or a temp file. Failures are warnings and exclude the path from
  // later scans.
  void DeletePlotFile(const std::filesystem::path& path, bool completeSparsePlot);
  // Opens the plot at JobPlotPath for mining when it may be mined here; records the path as
  // known either way. recordId: enter its id among the mined ones. False when a plot that was
  // to be mined could not be opened or refused its keys.
  bool AddPlotToMining(bool recordId);

  // Starting work, manager thread only, for the planner's task.
  StartResult StartPlotting(const PlotTask& task);
  StartResult StartFinalization(const FinalizeTask& task);
  void AllocatePlottingMemory();
  void FreePlottingMemory();
  // Each releases its work (saving it first) when held.
  void ReleasePlotEngine();
  void ReleaseFinalizeJob();

 protected:
  // No threads, no engine, no memory: for stand-ins of the entry point's tests.
  Client() = default;
  Client(const ClientConfig& config, const DirectorySpec* directories, size_t count,
         ClientLogCallback log, ClientHost host);

  // The file system's free space for this client in `directory`; throws what the query throws.
  // Tests replace it.
  virtual uint64_t QueryFreeSpace(const std::filesystem::path& directory);
  // An id of the file system `directory` lies on; throws when it cannot be looked up.
  virtual uint64_t QueryDevice(const std::filesystem::path& directory);
  virtual std::chrono::steady_clock::time_point Now() const {
    return std::chrono::steady_clock::now();
  }
  // The mining, plot test and manager threads as the configuration asks. A derived class whose
  // overrides the threads call must start them at the end of its own constructor.
  void StartThreads();
  // The plot test thread's work on one queue entry: open, test, check keys, embed.
  void TestPlotEntry(const TestQueueEntry& entry);
  // Tests fail a step of the key embedding through this (see EmbedKeyBlock).
  std::function<void(int step)> embedFault_;
  // Tests fail the growth of a signage point's job list through this (see ReserveJobs).
  std::function<void()> jobListFault_;
  // Runs once before the manager's first step: times the recomputation at each level and
  // prints how many plots this machine can mine.
  virtual void RunBenchmark();

  // The manager thread's work: one step chosen by ManagerState, and the steps themselves.
  // Failures escaping a step are logged and the thread goes on.
  void ManagerStep();
  // True when the plot or finalization the manager drives has ended or been saved, so that the
  // manager takes it up at once; manager thread only.
  bool RunningWorkEnded();
  void MonitorPlotting();
  void FinalizationStep();

  PlotKeyProvider* KeyProvider = DefaultPlotKeyProvider();
  std::unique_ptr<MemoryArena> MiningArena;
  std::unique_ptr<MemoryArena> PlottingArena;
  // The proof-search engine; null when neither mining, plot testing nor the benchmark needs it.
  // Outlives the plots it opened.
  ArenaPtr<PlotAccessEngine> Engine;
  CompletionQueue JobCompletionQueue;
  uint64_t MinPlottingMemory = 0;
  uint64_t PlottingMemoryRequest = 0;
  uint64_t MiningMemory = 64 << 20;
  std::mt19937_64 TestRng;
  std::mt19937_64 HelloRng;

  std::atomic<uint32_t> ManagerState{0};  // 0 idle, 1 plotting, 2 finalizing
  std::mutex Mutex;  // guards the request flags, ThreadStop, NextRunTime and the test queue
  bool ThreadStop = false;
  std::condition_variable ManagerWake;
  std::atomic<bool> StopRequest{false};
  // Polled without the lock by a memory reservation, which gives up when it is set.
  std::atomic<bool> CancelRequest{false};
  std::atomic<bool> Finished{false};
  uint8_t WorkFinished = 0;
  uint8_t PlannerIdle = 0;
  uint8_t TestRunning = 0;
  std::chrono::steady_clock::time_point NextRunTime = std::chrono::steady_clock::now();

  const ClientConfig config_{};
  const std::vector<DirectorySpec> directories_{};
  const ClientLogCallback log_{};
  PlotEngineSettings PlotJobSettings;
  uint64_t finalizeThreads_ = 1;
  uint64_t finalizeMemory_ = 0;

  // The plot or final plot in progress; manager thread only.
  std::unique_ptr<PlotWorkFactory> workFactory_;
  std::unique_ptr<PlotEngineWork> plotEngineJob_;
  std::unique_ptr<FinalizeWork> FinalizeJob;
  std::filesystem::path JobPartPath;
  std::filesystem::path JobSourcePath;
  uint64_t JobSourceDirectoryIndex = 0;
  std::unordered_set<PlotIdBytes, PlotIdHash> TakenPlotIds;
  std::vector<PendingDelete> pendingDeletes_;
  // Progress display of the work in progress: a phase begins at each change of state.
  struct ProgressPhase {
    uint32_t lastState = ~0u;
    std::chrono::steady_clock::time_point start;
    double startProgress = 0;
  } phase_;

  // Pause signals of plotting I/O while proof jobs run; written under ActivityMutex.
  std::mutex ActivityMutex;
  PauseMask IoPauseMask{0};
  PauseByte IoPause[2] = {0, 0};
  std::atomic<uint64_t> ActiveMiningJobs{0};

  std::mutex MinedPlotsMutex;  // guards PendingSignagePoints, MinedPlots and MinedPlotIds
  std::vector<std::unique_ptr<PendingSignagePoint>> PendingSignagePoints;
  uint64_t NextSequence = 0;
  // Mining thread only; never reset.
  uint64_t ProofsRequested = 0;
  uint64_t StaleProofs = 0;
  bool StaleProofSeen = false;
  std::vector<std::shared_ptr<PlotFile>> MinedPlots;
  std::unordered_set<PlotIdBytes, PlotIdHash> MinedPlotIds;

  // Guarded by Mutex.
  std::vector<TestQueueEntry> TestQueue;
  uint8_t ScanPending = 1;
  std::condition_variable TestWake;

  // The scan's records, valid from the end of one scan to the start of the next; the manager
  // thread alone uses them.
  std::vector<DirectoryState> directoryStates_;
  std::vector<ScannedFile> scannedFiles_;
  std::vector<std::filesystem::path> scannedPaths_;
  std::set<std::filesystem::path> UndeletablePaths;
  std::set<std::filesystem::path> KnownPlotPaths;
  std::set<std::filesystem::path> MinedPlotPaths;
  std::unordered_set<PlotIdBytes, PlotIdHash> seenPlotIds_;
  std::set<PlotIdBytes> duplicatePlotIds_;
  uint64_t NewPlotsReported = 0;
  StartupReportData startupReport_;
  RepeatedWarnings scanWarnings_;

  // Planner state, manager thread only.
  std::unique_ptr<PlotWorkStarter> workStarter_;  // none: nothing is plotted or finalized
  std::unique_ptr<MorePlotsReport> lastMorePlotsReport_;
  std::unique_ptr<FinalizeSpaceReport> lastFinalizeSpaceReport_;
  // Sparse plots whose finalization failed to start; not tried again in this run.
  std::set<std::filesystem::path> failedStartPaths_;
  StartBackOff startBackOff_;  // new work that failed to start
  // By directory index: work there that failed to resume or failed while it ran. A plot or
  // final plot finished there ends it.
  std::map<uint64_t, StartBackOff> runBackOffs_;
  // The plot in progress: where it ends up, whether it is mined then and its directory.
  std::filesystem::path JobPlotPath;
  uint8_t JobMineable = 0;
  uint64_t JobDirectoryIndex = 0;

  // Runs the task; true when it started or deleted something.
  bool Dispatch(std::unique_ptr<ManagerTask> task);

  std::thread miningThreadHandle_;
  std::thread managerThreadHandle_;
  std::thread testThreadHandle_;

 private:
  void ScanDirectory(uint64_t index, bool startup, uint64_t& newPlots);
  void ScanEntry(const std::filesystem::path& path, uint64_t index, bool startup, uint64_t& used,
                 uint64_t& newPlots);
  // Key status of a plot record; keyText receives the text the report groups the plot by.
  uint32_t ClassifyKeys(const ScannedFile& file, const std::array<uint8_t, 512>& keyBlock,
                        const std::string& path, std::string& keyText);
  void CountForReport(const ScannedFile& file, const std::string& keyText,
                      const std::filesystem::path& path);
  void QueueForTest(const ScannedFile& file, const std::filesystem::path& path);
  void AdmitToMining(const ScannedFile& file, const std::filesystem::path& path, bool startup);
  // The only place plots are opened for mining.
  std::shared_ptr<PlotFile> OpenMinedPlot(const std::filesystem::path& path, uint64_t index);
  // Prints a complaint about `subject` unless the previous scan printed the same one.
  void WarnOnce(const std::string& subject, const std::string& text);

  PlanningOptions MakePlanningOptions() const;
  void RunPendingDeletes();
  void ReleasePlottingWork();
  void SetPlannerIdle(bool idle);
  std::unique_ptr<ManagerTask> ChooseTask(const PlanningView& view);
  std::unique_ptr<PlotTask> ContinuePlotTask(const PlanningView& view);
  std::unique_ptr<FinalizeTask> ContinueFinalizeTask(const PlanningView& view);
  std::unique_ptr<PlotTask> NewPlotTask(const PlanningView& view);
  std::unique_ptr<FinalizeTask> NewFinalizeTask(const PlanningView& view);
  std::unique_ptr<FinalizeSpaceReport> MakeFinalizeSpaceReport(const PlanningView& view);
  void NothingToDo();
  bool DeleteUnneededFile(const DeleteFileTask& task);
  bool StartPlot(const PlotTask& task);
  // skipped: a path not tried again after a failure; backOff: the rest a failure adds to.
  bool AfterStart(StartResult result, uint32_t state, const std::filesystem::path* skipped,
                  StartBackOff& backOff);
  // Whether work in `directory` rests after a failure there.
  bool RunPausing(uint64_t directory) const;
  void ManagerThread();
  void MiningThread();
  // The mining thread's handling of one completed job of a live record, by kind.
  void HandleScan(PendingSignagePoint& record, ChallengeScanJob& scan);
  void HandleQuality(PendingSignagePoint& record, QualityJob& quality);
  void HandleFullProof(PendingSignagePoint& record, FullProofJob& proof);
  void QueueProofOf(PendingSignagePoint& record, QualityJob& quality, int64_t priority,
                    uint8_t lowPriority);
  // Room on the record's job list for `count` more jobs, made before they are queued: a job the
  // engine holds always finds its place there, and with it its way back to the record.
  void ReserveJobs(PendingSignagePoint& record, size_t count);
  void TakeJobBack(PendingSignagePoint& record, const PlotJob* job);
  // Under MinedPlotsMutex: expires records at or past their deadline, then drops finished ones.
  void ExpireAndRemove();
  void PlotTestThread();
  // Throws on a failed test; false when it was cancelled.
  bool TestPlot(PlotFile& plot);
  // The progress line's text for the work's status; starts a new phase on a change of state.
  std::string ProgressText(const PlotWorkStatus& status);
  void RunSoon();
  void PublishActivity();
  void CompleteFinalization(const PlotWorkStatus& status);
  // Takes the source sparse plot out of mining and deletes it, or defers the deletion while
  // proof jobs still read it.
  void RetireSourcePlot();
  // Asks the work to save, waits until it has ended and releases it.
  void SaveAndRelease(std::unique_ptr<PlotWork> work);
};

// Starts and releases the Client's plot engine and finalization job for its planner.
std::unique_ptr<PlotWorkStarter> MakeClientWorkStarter(Client& client);

// The process-wide holder of the one Client. Readers take the pointer each time they need it;
// the entry point clears it before it destroys the Client.
class ClientHolder {
 public:
  ClientHolder() = default;
  ~ClientHolder();  // at exit: destroys a Client that is still held

  ClientHolder(const ClientHolder&) = delete;
  ClientHolder& operator=(const ClientHolder&) = delete;

  Client* Get() const noexcept { return client_.load(std::memory_order_acquire); }
  // Calls use(Client* or null) and holds off Reset and Release until it returns, so that a
  // thread other than the owner never calls into a Client that is being destroyed.
  template <typename Use>
  auto WithClient(Use&& use) {
    std::lock_guard<std::mutex> lock(useMutex_);
    return use(Get());
  }
  // Stores the new Client (or clears the holder) once no WithClient call is running, and then
  // destroys the one held before.
  void Reset(std::unique_ptr<Client> client = nullptr);
  std::unique_ptr<Client> Release();

 private:
  std::mutex useMutex_;
  std::atomic<Client*> client_{nullptr};
};

ClientHolder& ClientInstance();

// Whether the Client's log lines carry the time prefix: it exists and its start-up scan is over.
bool ClientLogsWithTimePrefix();
