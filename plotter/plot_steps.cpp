#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "chia/chacha8.h"
#include "chia/f1.h"
#include "plotter/bucket_entry_counts.h"
#include "plotter/plot_engine.h"

// The step machinery of the plot engine: entry widths and bucket layouts by position, the
// binding of the staging writers, the stream's hand-over between steps, the park encoder's table
// start, the progress fraction, and step 0.

namespace {

struct StepShape {
  uint64_t input;
  uint64_t output;
  uint64_t flag;
};

// Any non-zero sub-step counts as sub-step 1.
StepShape ShapeOf(uint8_t step, uint8_t subStep, const char* code) {
  const bool second = subStep != 0;
  switch (step) {
    case 0:
      return {0, 8, 0};
    case 1:
      return {8, 12, 1};
    case 2:
      return second ? StepShape{28, 24, 1} : StepShape{12, 28, 0};
    case 3:
      return second ? StepShape{28, 24, 1} : StepShape{24, 28, 0};
    case 4:
      return second ? StepShape{24, 20, 1} : StepShape{24, 24, 0};
    case 5:
      return second ? StepShape{20, 16, 1} : StepShape{20, 20, 0};
    case 6:
      return second ? StepShape{12, 8, 1} : StepShape{16, 12, 0};
    case 7:
      return {8, 0, 0};
    default:
      throw std::runtime_error(code);
  }
}

// F1 of the kept blocks of one part of a chunk, each y remapped before its split. Production
// plots take the full kernel instead.
void ThinnedF1Part(const uint8_t f1Key[32], const PlotScale& scale, BucketWriter<128>& writer,
                   uint64_t chunk, uint64_t part) {
  const uint64_t base = chunk * kF1BlocksPerChunk;
  const uint64_t begin = base + part * kF1BlocksPerChunk / kMemoryBuckets;
  const uint64_t end = base + (part + 1) * kF1BlocksPerChunk / kMemoryBuckets;
  const uint64_t stride = uint64_t{1} << scale.d;
  uint32_t state[16], block[16];
  MakeF1State(f1Key, state);
  for (uint64_t n = (begin + stride - 1) & ~(stride - 1); n < end; n += stride) {
    ChaCha8Block(state, static_cast<uint32_t>(n), block);
    for (uint32_t j = 0; j < 16; ++j) {
      const auto x = static_cast<uint32_t>(n << 4 | j);
      const BcKey k = SplitY(scale.RemapY(F1FromWord(block[j], x)));
      const F1Entry e{k.key, __builtin_bswap32(x)};
      writer.Stage<sizeof(F1Entry)>(k.bucket, &e);
    }
  }
}

}  // namespace

uint64_t PlotEngine::StepInputWidth() const {
  return ShapeOf(tempHeaders[0].step, tempHeaders[0].subStep, "B8B2233B").input;
}
uint64_t PlotEngine::StepOutputWidth() const {
  return ShapeOf(tempHeaders[0].step, tempHeaders[0].subStep, "C67B743A").output;
}
uint64_t PlotEngine::StepFlag() const {
  return ShapeOf(tempHeaders[0].step, tempHeaders[0].subStep, "DBDA8EA8").flag;
}

void PlotEngine::ResetStepState() {
  const TempFileHeader& h = tempHeaders[0];
  const StepShape shape = ShapeOf(h.step, h.subStep, "DBDA8EA8");
  const uint64_t files = usedTempFiles;
  const PlotScale& scale = settings.scale;
  const bool second = h.subStep != 0;
  const uint64_t* table = BucketEntryCounts.data();
  // Input layout.
  switch (h.step) {
    case 0:
      layoutB = {};
      break;
    case 1:
      LayoutBuckets(files, shape.input, 0, nullptr, layoutA.data(), scale);
      break;
    case 7:
      LayoutBuckets(files, shape.input, 1, nullptr, layoutB.data(), scale);
      break;
    default:
      if (second) {
        LayoutBuckets(files, shape.input, 0, h.step == 2 ? table : nullptr, layoutA.data(), scale);
      } else {
        LayoutBuckets(files, shape.input, 1, nullptr, layoutB.data(), scale);
      }
  }
  // Output layout.
  switch (h.step) {
    case 0:
      LayoutBuckets(files, shape.output, 0, nullptr, layoutA.data(), scale);
      break;
    case 1:
      LayoutBuckets(files, shape.output, 1, nullptr, layoutB.data(), scale);
      break;
    case 7:
      layoutA = {};
      break;
    default:
      if (second) {
        LayoutBuckets(files, shape.output, 1, nullptr, layoutB.data(), scale);
      } else {
        LayoutBuckets(files, shape.output, 0, h.step == 2 ? table : nullptr, layoutA.data(), scale);
      }
  }
  streamReadSide = 1 - shape.flag;
  tempRegionBytes = 2 * BucketRegionBytes(files, scale) + kTempHeadBytes;
}

void PlotEngine::BindBucketBuffers() {
  // Every writer is checked before any is bound, so a refusal leaves none bound by this call.
  for (uint64_t w = 0; w < writers128.Count(); ++w) {
    const BucketWriter<128>& writer = *writers128[w];
    if (writer.sink != nullptr) throw std::runtime_error("628B520A");
    for (uint64_t c : writer.counts) {
      if (c != 0) throw std::runtime_error("2CE9ACE7");
    }
  }
  for (uint64_t w = 0; w < writers128.Count(); ++w) writers128[w]->sink = stream.get();
}

void PlotEngine::FlushBucketBuffers() {
  for (uint64_t w = 0; w < writers128.Count(); ++w) writers128[w]->Flush();
  if (stream->TakeDroppedEntries() != 0) throw std::runtime_error(kDroppedEntriesError);
}

void PlotEngine::FeedStream() {
  DirectFile* files[MultiFileStream::kMaxFiles];
  const uint32_t* counts[MultiFileStream::kMaxFiles];
  for (uint64_t f = 0; f < usedTempFiles; ++f) {
    files[f] = tempFiles[f];
    counts[f] = tempHeaders[f].counts[0];
  }
  stream->Feed(files, usedTempFiles, counts, usedTempFiles, StepFlag(), StepInputWidth(),
               StepOutputWidth(), layoutA.data(), layoutB.data(),
               static_cast<uint64_t>(std::max<int8_t>(tempHeaders[0].bucket, 0)));
}

void PlotEngine::HandOverStream() {
  stream->HandOver(StepFlag(), StepInputWidth(), StepOutputWidth(), layoutA.data(), layoutB.data());
}

void PlotEngine::RunStep() {
  TempFileHeader& h = tempHeaders[0];
  try {
    switch (h.step) {
      case 0:
        return RunStep0();
      case 1:
        return RunStep1();
      case 2:
        if (h.subStep > 1) throw std::runtime_error("934E2AB1");
        return h.subStep == 0 ? RunStep2Sub0() : RunStep2Sub1();
      case 3:
        if (h.subStep > 1) throw std::runtime_error("532E393A");
        return h.subStep == 0 ? RunStep3Sub0() : RunStep3Sub1();
      case 4:
        if (h.subStep > 1) throw std::runtime_error("8515DBE7");
        return h.subStep == 0 ? RunStep4Sub0() : RunStep4Sub1();
      case 5:
        if (h.subStep > 1) throw std::runtime_error("4E9AACD9");
        return h.subStep == 0 ? RunStep5Sub0() : RunStep5Sub1();
      case 6:
        if (h.subStep > 1) throw std::runtime_error("321B3155");
        return h.subStep == 0 ? RunStep6Sub0() : RunStep6Sub1();
      case 7:
        return RunStep7();
      default:
        throw std::runtime_error("596EEE77");
    }
  } catch (...) {
    batchQueue->ResetConsumer();
    encoder->ClearSink();
    for (uint64_t w = 0; w < writers128.Count(); ++w) {
      writers128[w]->sink = nullptr;
      std::fill(std::begin(writers128[w]->counts), std::end(writers128[w]->counts), 0);
    }
    throw;
  }
}

void PlotEngine::RunStep0() {
  TempFileHeader& h = tempHeaders[0];
  if (h.bucket < 0) throw std::runtime_error("5E503DFB");
  BindBucketBuffers();
  std::vector<BucketWriter<128>*> writers(writers128.Count());
  for (uint64_t w = 0; w < writers.size(); ++w) writers[w] = writers128[w];
  const F1Context context{f1Key, writers.data()};
  for (uint64_t b = static_cast<uint64_t>(h.bucket); b < kF1Chunks; ++b) {
    if (SaveRequested()) return FlushBucketBuffers();
    pool->RunForEachBucket([&](uint64_t worker, uint64_t part) {
      if (settings.scale.IsProduction()) {
        ComputeF1Buckets(context, static_cast<uint8_t>(b), kMemoryBuckets, worker, part);
      } else {
        ThinnedF1Part(f1Key, settings.scale, *writers[worker], b, part);
      }
    });
    h.bucket = static_cast<int8_t>(b + 1 == kF1Chunks ? 0 : b + 1);
  }
  FlushBucketBuffers();
  h.step = 1;
  h.bucket = 0;
}

void PlotEngine::StartTableEncoder(const DeltaCodingTable& coding, bool lastTable,
                                   uint64_t indexDivisor) {
  FileWriter* writer = plotWriter;
  encoder->Begin(coding, lastTable, !lastTable, indexDivisor,
                 [writer](const uint8_t* park, uint64_t length) -> uint64_t {
                   writer->Write(park, length);
                   return 0;
                 });
}

void PlotEngine::ResumeTableEncoder(const DeltaCodingTable& coding, bool lastTable,
                                    uint64_t indexDivisor) {
  const uint64_t length = tempHeaders[0].encoderStateLength;
  if (length % 4096 != 0) throw std::runtime_error("2554D2FB");
  FileReader reader(*tempWorkers[0], tempRegionBytes, length);
  FileWriter* writer = plotWriter;
  encoder->LoadState(
      coding, lastTable, !lastTable, indexDivisor,
      [writer](const uint8_t* park, uint64_t parkLength) -> uint64_t {
        writer->Write(park, parkLength);
        return 0;
      },
      [&reader](void* data, uint64_t n) { reader.Read(data, n); });
}

double PlotStepIoWeight(uint8_t step, uint8_t subStep, uint64_t bucketShare, uint64_t blockBytes) {
  if (step == 0 && subStep != 0) throw std::runtime_error("7729975F");
  if (step == 1 && subStep != 0) throw std::runtime_error("DC7A8E46");
  if (step == 7 && subStep != 0) throw std::runtime_error("490BC0A6");
  if (step > 7) throw std::runtime_error("43EDE124");
  // The bytes an entry still moves through the disk once a bucket's share stays in memory.
  const auto term = [&](uint64_t width) {
    if (width == 0) return 0.0;
    const double inMemory =
        static_cast<double>(bucketShare) * static_cast<double>(blockBytes / width) / 33619968.0;
    return std::max(0.1, static_cast<double>(width) - inMemory);
  };
  const StepShape shape = ShapeOf(step, subStep, "43EDE124");
  return term(shape.input) + term(shape.output);
}

void PlotEngine::UpdateProgress() {
  const TempFileHeader& h = tempHeaders[0];
  if (h.bucket < 0) throw std::runtime_error("607520EB");
  if (h.step == 0 && h.subStep != 0) throw std::runtime_error("979F592F");
  if (h.step == 1 && h.subStep != 0) throw std::runtime_error("FFDFC7CE");
  if (h.step >= 2 && h.step <= 6 && h.subStep > 1) throw std::runtime_error("4811F0D");
  if (h.step == 7 && h.subStep != 0) throw std::runtime_error("40AE858A");
  if (h.step > 8) throw std::runtime_error("4096F5F8");
  if (h.step == 8 && (h.subStep != 0 || h.bucket != 0)) throw std::runtime_error("498A4E5F");
  // A thinned plot has thinned blocks; the entries a block holds scale with them.
  const uint64_t share = stream->BucketShare();
  const uint64_t block = stream->BlockSize() << settings.scale.d;
  double total = 0, done = 0;
  for (uint8_t s = 0; s <= 7; ++s) {
    for (uint8_t u = 0; u <= ((s >= 2 && s <= 6) ? 1 : 0); ++u) {
      const double weight = 128 * PlotStepIoWeight(s, u, share, block);
      total += weight;
      if (s < h.step || (s == h.step && u < h.subStep)) done += weight;
      if (s == h.step && u == h.subStep) done += weight * h.bucket / 128;
    }
  }
  progress = h.step == 8 ? 1.0 : total == 0 ? 0.0 : done / total;
}

bool PlotEngine::SaveRequested() {
  std::lock_guard<std::mutex> lock(mutex);
  ApplyStopHook();
  if (state == kPlotSaving) return true;
  UpdateProgress();
  return false;
}
