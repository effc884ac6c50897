#include "prover/challenge_scan_job.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "plotter/plot_file.h"
#include "prover/plot_access_engine.h"
#include "runtime/file_error_texts.h"

namespace {

std::runtime_error PlotError(const char* code) {
  return std::runtime_error(FileErrorText(FileError::kInvalidPlotFile, code));
}

}  // namespace

ChallengeScanJob::ChallengeScanJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot,
                                   int64_t priority, CompletionQueue* queue, void* owner,
                                   const uint8_t challenge[32])
    : PlotJob(engine, std::move(plot), priority, queue, owner) {
  std::memcpy(challenge_, challenge, sizeof(challenge_));
}

bool ChallengeScanJob::IsReady(uint32_t stage) const {
  if (stage > kStageTree) throw std::runtime_error("7650E39C");
  return stage == kStageRead && !Done() && busy_ == 0;
}

void ChallengeScanJob::Step(uint32_t stage, uint64_t readWorker) {
  if (stage == kStageCompute) throw std::runtime_error("766F520A");
  if (stage != kStageRead) throw std::runtime_error("918EAC17");
  {
    std::lock_guard<std::mutex> lock(engine_.Mutex());
    if (Done() || busy_ != 0) return;
    busy_ = 1;
  }
  std::exception_ptr failure;
  uint64_t count = 0;
  try {
    count = Scan(readWorker);
  } catch (...) {
    failure = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(engine_.Mutex());
  busy_ = 0;
  if (!Done() && !failure) count_ = count;
  Finish(failure);
}

uint64_t ChallengeScanJob::Scan(uint64_t readWorker) {
  PlotFile& plot = Plot();
  const uint64_t target = uint64_t{challenge_[0]} << 24 | uint64_t{challenge_[1]} << 16 |
                          uint64_t{challenge_[2]} << 8 | challenge_[3];
  const PlotTableRecord& table = plot.header.tables[kLastPlotTable];
  const int64_t blocks = table.blockCount;
  const uint64_t divisor = plot.header.tables[4].entryCount;
  if (divisor == 0) throw PlotError("E8A1C64B");
  if (blocks == 0) plot.ReadTableBlocks(kLastPlotTable, 0, 0, readWorker);  // refused

  const auto guess = static_cast<int64_t>(std::min<uint64_t>(
      blocks - 1,
      static_cast<uint64_t>((static_cast<unsigned __int128>(target) * table.index.scale) >> 64)));
  const BlockIndexPair pair = table.index.pairs[guess * 256 / blocks];
  const int64_t first = std::max<int64_t>(guess + pair.low, 0);
  const int64_t rangeEnd = guess + pair.high < blocks ? guess + pair.high + 1 : blocks;

  uint64_t count = 0;
  int64_t windowStart = first;
  for (;;) {
    // An index range wider than one read is walked window by window.
    const int64_t windowEnd =
        std::min<int64_t>(rangeEnd, windowStart + static_cast<int64_t>(PlotFile::kMaxReadBlocks));
    plot.ReadTableBlocks(kLastPlotTable, static_cast<uint64_t>(windowStart),
                         static_cast<uint64_t>(windowEnd), readWorker);
    for (int64_t j = 0; j < windowEnd - windowStart; ++j) {
      uint64_t unused = 0;
      const DecodedBlock anchor =
          plot.ReadAndDecodeBlock(kLastPlotTable, j, unused, false, true, readWorker);
      const uint64_t quotient = anchor.values[anchor.count - 1] / divisor;
      if (target > quotient) continue;
      const DecodedBlock block =
          plot.ReadAndDecodeBlock(kLastPlotTable, j, unused, false, false, readWorker);
      for (uint64_t i = 0; i < block.count; ++i) {
        const uint64_t q = block.values[i] / divisor;
        if (q > 0xFFFFFFFF) throw PlotError("36AFF8D3");
        if (q > target) break;
        if (q < target) continue;
        if (count == kMaxPositions) throw PlotError("52ADDDEC");
        positions_[count++] = block.values[i] % divisor;
      }
      if (target < quotient) return count;
    }
    if (windowEnd >= rangeEnd) return count;
    windowStart = windowEnd;
  }
}
