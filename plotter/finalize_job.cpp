#include "plotter/finalize_job.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "plotter/header_io.h"
#include "plotter/table_record_checks.h"
#include "runtime/file_error_texts.h"
#include "runtime/random.h"

namespace {

constexpr uint64_t kPoolBuffers = 4;
constexpr uint64_t kWorkerSlots = 4;

std::runtime_error InputError(const char* code) {
  return std::runtime_error(FileErrorText(FileError::kInvalidInputPlotFile, code));
}

std::runtime_error OutputError(const char* code) {
  return std::runtime_error(FileErrorText(FileError::kInvalidOutputPlotFile, code));
}

uint64_t ScaledAtLeast(const PlotScale& scale, uint64_t value, uint64_t floor) {
  return std::max(scale.Shrink(value), floor);
}

uint64_t RegionDataBytes(const PlotScale& scale) {
  return ScaledAtLeast(scale, uint64_t{256} << 20, kPlotBlockBytes) / 4096 * 4096;
}

void ReadHeader(IoWorker& worker, PlotHeader& header) {
  FileReader reader(worker, 0, sizeof(header), 16384);
  reader.Read(&header, sizeof(header));
  reader.Finish();
}

}  // namespace

uint64_t FinalizeJob::RequiredMemory(uint64_t threadCount, const PlotScale& scale) {
  return threadCount * 512 + 1654652928 + RegionDataBytes(scale) +
         BlockDecodeRing::Memory(threadCount);
}

FinalizeSizes FinalizeJob::Sizes(const FinalizeJobConfig& config) {
  const PlotScale& scale = config.scale;
  const uint64_t pipeline = std::min<uint64_t>(
      config.memoryBudget + 268435456 - RequiredMemory(config.threadCount, scale), 1073741824);
  return FinalizeSizes{
      ScaledAtLeast(scale, pipeline, 48 * 4096),
      ScaledAtLeast(scale, 256, 1),
      ScaledAtLeast(scale, 2097152, 4 * BatchQueue::kMaxBatch),
      ScaledAtLeast(scale, uint64_t{64} << 20, uint64_t{1} << 20),
      RegionDataBytes(scale),
      ScaledAtLeast(scale, uint64_t{64} << 20, kPlotBlockBytes),
  };
}

FinalizeJob::FinalizeJob(const FinalizeJobConfig& config, MemoryArena& arena,
                         WarningCallback warning, const PauseByte* sourcePause,
                         const PauseByte* destinationPause)
    : memoryBudget_(config.memoryBudget),
      threadCount_(config.threadCount),
      scale_(config.scale),
      random_(Random64()),
      warning_(std::move(warning)) {
  // The files call the callback unchecked; an owner without one gets the warnings dropped.
  if (!warning_) warning_ = [](const std::string&) {};
  if (memoryBudget_ < RequiredMemory(threadCount_, scale_)) throw std::runtime_error("C3DB2AB4");
  if (threadCount_ == 0) throw std::runtime_error("4C80C33A");
  sizes_ = Sizes(config);
  block_.Allocate(arena, kPlotBlockBytes, 4096);
  pipeline_.emplace(sizes_.pipelineMemory, arena, threadCount_);
  ring_.emplace(arena, threadCount_);
  queue_ = BatchQueue::Create(arena, sizes_.queueItems, nullptr);
  pool_ = BufferPool::Create(arena, sizes_.poolBufferBytes, 4096, kPoolBuffers, nullptr);
  bitmapA_ = NewEntryBitmap(arena);
  bitmapB_ = NewEntryBitmap(arena);
  encoder_ = CreateParkEncoder(arena, arena);
  regionMemory_.Allocate(arena, sizes_.regionDataBytes, 4096);
  sourceFile_ = NewDirectFile(arena, warning_);
  destinationFile_ = NewDirectFile(arena, warning_);
  sourceWorker_ = NewIoWorker(arena, *pool_, kWorkerSlots, sourcePause);
  destinationWorker_ = NewIoWorker(arena, *pool_, kWorkerSlots, destinationPause);
  reader_.emplace(*sourceWorker_, sizes_.regionDataBytes, sizes_.regionGapBytes,
                  regionMemory_.Data());
  progress_.readWorker = destinationWorker_.get();
}

FinalizeJob::~FinalizeJob() {
  if (thread_.joinable()) thread_.join();
  reader_.reset();
  writer_.reset();
  if (sourceWorker_) sourceWorker_->SetFile(nullptr);
  if (destinationWorker_) destinationWorker_->SetFile(nullptr);
}

FinalizeJobHandle NewFinalizeJob(const FinalizeJobConfig& config, MemoryArena& arena,
                                 FinalizeJob::WarningCallback warning, const PauseByte* sourcePause,
                                 const PauseByte* destinationPause) {
  return NewInArena<FinalizeJob>(arena, config, arena, std::move(warning), sourcePause,
                                 destinationPause);
}

void DeleteFinalizeJob(FinalizeJobHandle& job) { job.reset(); }

FinalizeJob::Status FinalizeJob::ReadStatus() {
  std::lock_guard<std::mutex> lock(progress_.mutex);
  return Status{state_, progress_.progress, failure_, finished_};
}

bool FinalizeJob::RequestSave() {
  std::lock_guard<std::mutex> lock(progress_.mutex);
  if (state_ != kFinalizeLoading && state_ != kFinalizeRunning) return false;
  state_ = kFinalizeSaving;
  progress_.progress = 0;
  return true;
}

void FinalizeJob::WaitForRun() {
  if (thread_.joinable()) thread_.join();
}

void FinalizeJob::CloseFiles() {
  reader_->Reset();
  writer_.reset();
  progress_.output = nullptr;
  sourceWorker_->SetFile(nullptr);
  destinationWorker_->SetFile(nullptr);
  // Closing drops each file's lock; the objects stay for the next plot.
  sourceFile_->Close();
  destinationFile_->Close();
}

void FinalizeJob::Start(const std::filesystem::path& source,
                        const std::filesystem::path& destination, uint8_t continueFlag) {
  std::unique_lock<std::mutex> lock(progress_.mutex);
  // Checked before the join: joining a run that is still going would wait for all of it.
  if (state_ != kFinalizeIdle) throw std::runtime_error("8E5DC20B");
  if (thread_.joinable()) thread_.join();
  try {
    failure_ = nullptr;
    progress_.progress = 0;
    record_ = FinalizeResumeRecord{};
    std::memset(static_cast<void*>(&source_), 0, sizeof(source_));
    std::memset(static_cast<void*>(&destination_), 0, sizeof(destination_));
    continue_ = finished_ = 0;
    pipeline_->Reset();
    bitmapA_.Clear();
    bitmapB_.Clear();
    encoder_->ClearSink();
    writer_.reset();
    reader_->Reset();
    sourceWorker_->SetFile(nullptr);
    destinationWorker_->SetFile(nullptr);

    continue_ = continueFlag;
    sourceFile_->Open(source, false);
    sourceWorker_->SetFile(sourceFile_.get());
    destinationFile_->Open(destination, continueFlag == 0);
    destinationWorker_->SetFile(destinationFile_.get());
    CheckSource();
    if (continue_ == 0) {
      record_ = NewFinalizeResumeRecord();
      destination_.start.magic = kPlotMagic;
      destination_.start.version = kFileFormatVersion;
      destination_.creationTime = source_.creationTime;
      std::memcpy(destination_.plotId, source_.plotId, sizeof(source_.plotId));
      destination_.level = source_.level;
      destination_.keyBlockFlag = source_.keyBlockFlag;
      if (source_.keyBlockFlag != 0) {
        std::memcpy(destination_.keyBlock, source_.keyBlock, sizeof(source_.keyBlock));
      }
      state_ = kFinalizeRunning;
    } else {
      CheckDestination();
      state_ = kFinalizeLoading;
    }
    progress_.progress = 0;
    finished_ = 0;
    destination_.closed = 0;
    WriteHeaderAtStart(*destinationWorker_, &destination_, sizeof(destination_));
    if (continue_ == 0) {
      writer_.emplace(*destinationWorker_, kFinalPlotDataOffset, ~uint64_t{0});
      progress_.output = &*writer_;
    }
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    state_ = kFinalizeIdle;
    progress_.progress = 0;
    finished_ = 0;
    CloseFiles();
    throw;
  }
}

void FinalizeJob::CheckSource() {
  const int64_t size = sourceFile_->GetSize();
  if (size < static_cast<int64_t>(sizeof(PlotHeader))) throw InputError("351FA9D2");
  ReadHeader(*sourceWorker_, source_);
  if (source_.start.magic != kPlotMagic) throw InputError("5FF36348");
  if (source_.start.version != kFileFormatVersion) {
    throw std::runtime_error(FileErrorText(FileError::kUnsupportedInputPlotFile, "BB5813A7"));
  }
  if (!CompletionMarkerMatches(*sourceWorker_, source_.start)) throw InputError("BFBCBB46");
  if (source_.level > kMaxCompressionLevel) throw InputError("66EAA11A");
  if (source_.sparse == 0) throw InputError("CEF3BAA4");
  if (source_.complete == 0) throw InputError("B4501762");
  if (source_.closed == 0) throw InputError("C3CBB1AF");
  // The table records are trusted for reads from here on, as an opened plot's are.
  for (uint32_t t = 0; t < kPlotTableCount; ++t) {
    const PlotTableRecord& record = source_.tables[t];
    try {
      decoder_.Init(record.coding, t == kLastPlotTable, t != kLastPlotTable);
    } catch (...) {
      throw InputError("FE896E3E");
    }
    if (const char* fault = TableRecordFault(record)) throw InputError(fault);
    // Progress divides by the block counts and every pass needs something to read.
    if (record.entryCount == 0 || record.blockCount == 0) throw InputError("8588A50E");
    if (record.offset % DirectFile::kBlockSize != 0) throw InputError("70C07CD4");
  }
  if (const char* fault = TableLayoutFault(source_, static_cast<uint64_t>(size))) {
    throw InputError(fault);
  }
}

void FinalizeJob::CheckDestination() {
  const int64_t size = destinationFile_->GetSize();
  if (size < static_cast<int64_t>(sizeof(PlotHeader))) throw OutputError("1A1BD523");
  ReadHeader(*destinationWorker_, destination_);
  if (destination_.start.magic != kPlotMagic) throw OutputError("5539F570");
  if (destination_.start.version != kFileFormatVersion) {
    throw std::runtime_error(FileErrorText(FileError::kUnsupportedOutputPlotFile, "8DD37430"));
  }
  if (!CompletionMarkerMatches(*destinationWorker_, destination_.start)) {
    throw OutputError("546B4DAD");
  }
  if (destination_.complete != 0) throw OutputError("AB4505DE");
  if (destination_.closed == 0) throw OutputError("631C9C4B");
  if (destination_.sparse != 0) throw OutputError("C506B14C");
  if (destination_.level != source_.level) throw OutputError("2A440D5F");
  // A final plot of another sparse plot must never be finished with this one's tables.
  if (destination_.creationTime != source_.creationTime ||
      std::memcmp(destination_.plotId, source_.plotId, sizeof(source_.plotId)) != 0) {
    throw OutputError("ADE2C348");
  }
  if (source_.keyBlockFlag != 0 && destination_.keyBlockFlag == 0) {
    destination_.keyBlockFlag = 1;
    std::memcpy(destination_.keyBlock, source_.keyBlock, sizeof(source_.keyBlock));
  }
  if (!ResumeRecordFits(destination_.link, static_cast<uint64_t>(size))) {
    throw OutputError("4DC593CE");
  }
  {
    FileReader reader(*destinationWorker_, destination_.link, sizeof(record_), 4096);
    reader.Read(&record_, sizeof(record_));
    reader.Finish();
  }
  const FinalizeResumeRecord& r = record_;
  if (r.table > 5) throw OutputError("D0E6E96E");
  if ((r.table == 0 || r.table == 5) && r.pass != 0) throw OutputError("86C9766F");
  if (r.pass > 1) throw OutputError("A3CC5C8D");
  // The counter indexes the current table's source blocks; past them a pass would read zeros.
  if (r.blockCounter > source_.tables[r.table].blockCount) throw OutputError("8111B25F");
  // The save area lies where the output resumes, ahead of the record and the marker, in the
  // layout a save writes.
  const bool encoding = r.blockCounter != 0 && (r.pass == 1 || r.table == 0);
  const uint64_t wordsA = SavedWords(true);
  const uint64_t wordsB = SavedWords(false);
  if (r.bitmapAOffset < kFinalPlotDataOffset || r.bitmapAOffset > destination_.link ||
      r.bitmapBOffset - r.bitmapAOffset != wordsA * 8 ||
      r.encoderStateOffset - r.bitmapBOffset != wordsB * 8 ||
      destination_.link - r.encoderStateOffset != r.encoderStateLength ||
      (r.encoderStateLength != 0) != encoding ||
      destination_.start.markerOffset < destination_.link + sizeof(record_)) {
    throw OutputError("AB769E26");
  }
}
