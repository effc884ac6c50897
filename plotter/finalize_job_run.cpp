#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
#include <stdexcept>

#include "chia/simd_level.h"
#include "plotter/combination_tables.h"
#include "plotter/finalize_job.h"
#include "plotter/header_io.h"
#include "runtime/file_error_texts.h"

namespace {

constexpr uint64_t kLargestLinePoint = 0x7FFFFFFE00000002;
constexpr uint64_t kEndZeroWords = 513;

std::runtime_error InputError(std::string_view code) {
  return std::runtime_error(FileErrorText(FileError::kInvalidInputPlotFile, code));
}

uint64_t HalfProduct(uint64_t x) {
  const uint64_t a = (x / 2) * (x - 1);
  const uint64_t b = ((x - 1) / 2) * x;
  return a > b ? a : b;
}

}  // namespace

FinalizePipeline::Pair LinePointToPair(uint64_t linePoint) {
  // x is the floor of 1/2 + sqrt(2 linePoint + 1/4). In doubles it is off by one only next to a
  // triangle's edge, so the steps below are rarely taken and their branches predicted.
  uint64_t x = static_cast<uint64_t>(0.5 + std::sqrt(2.0 * static_cast<double>(linePoint) + 0.25));
  while (x > 0 && HalfProduct(x) > linePoint) --x;
  uint64_t y = linePoint - HalfProduct(x);
  while (y >= x) {
    y -= x;
    ++x;
  }
  return {static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
}

namespace {

// Four line points below 2^63 at once, with the root rounded as LinePointToPair rounds it; false,
// with nothing stored, when a lane is past that range or its root is off, for the one-by-one way.
[[gnu::target("avx2")]] bool FourPairs(const uint64_t* points, FinalizePipeline::Pair* pairs) {
  const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(points));
  if (!_mm256_testz_si256(p, _mm256_set1_epi64x(INT64_MIN))) return false;
  // Each 32-bit half is exact as a double through the bias of 2^52; their sum rounds once, as
  // the conversion of the whole point does.
  const __m256d bias = _mm256_set1_pd(4503599627370496.0);
  const __m256i biasBits = _mm256_castpd_si256(bias);
  const __m256i low = _mm256_and_si256(p, _mm256_set1_epi64x(0xFFFFFFFF));
  const __m256d lowValue = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(low, biasBits)), bias);
  const __m256d highValue =
      _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(p, 32), biasBits)), bias);
  const __m256d value =
      _mm256_add_pd(_mm256_mul_pd(highValue, _mm256_set1_pd(4294967296.0)), lowValue);
  const __m256d root = _mm256_sqrt_pd(
      _mm256_add_pd(_mm256_mul_pd(value, _mm256_set1_pd(2.0)), _mm256_set1_pd(0.25)));
  const __m256d rounded = _mm256_floor_pd(_mm256_add_pd(root, _mm256_set1_pd(0.5)));
  // Below 2^33, so the bias leaves the integer in the low bits.
  const __m256i x = _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(rounded, bias)), biasBits);
  // x(x - 1)/2 from the 32-bit halves, which hold x whole when x < 2^32.
  const __m256i base =
      _mm256_srli_epi64(_mm256_mul_epu32(x, _mm256_sub_epi64(x, _mm256_set1_epi64x(1))), 1);
  const __m256i y = _mm256_sub_epi64(p, base);
  // Wrong unless x < 2^32 and x(x - 1)/2 <= p < x(x - 1)/2 + x; all compared values are below 2^63.
  const __m256i wrong =
      _mm256_or_si256(_mm256_or_si256(_mm256_cmpgt_epi64(x, _mm256_set1_epi64x(0xFFFFFFFF)),
                                      _mm256_cmpgt_epi64(base, p)),
                      _mm256_cmpgt_epi64(_mm256_add_epi64(y, _mm256_set1_epi64x(1)), x));
  if (!_mm256_testz_si256(wrong, wrong)) return false;
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(pairs),
                      _mm256_or_si256(x, _mm256_slli_epi64(y, 32)));
  return true;
}

}  // namespace

void LinePointsToPairs(const uint64_t* points, uint64_t count, FinalizePipeline::Pair* pairs) {
  static_assert(sizeof(FinalizePipeline::Pair) == sizeof(uint64_t));
  uint64_t i = 0;
  if (BestSimdLevel() != SimdLevel::kPortable) {
    for (; i + 4 <= count; i += 4) {
      if (FourPairs(points + i, pairs + i)) continue;
      for (uint64_t k = i; k < i + 4; ++k) pairs[k] = LinePointToPair(points[k]);
    }
  }
  for (; i < count; ++i) pairs[i] = LinePointToPair(points[i]);
}

double FinalizeJob::Progress() const {
  auto blocks = [this](uint32_t t) { return uint64_t{source_.tables[t].blockCount}; };
  const uint64_t middle = blocks(1) + blocks(2) + blocks(3) + blocks(4);
  const uint64_t total = blocks(0) + 2 * middle + blocks(5);
  const uint32_t t = record_.table;
  uint64_t done = record_.blockCounter;
  if (t == 6) {
    done = total;
  } else if (t == 0) {
    done += blocks(5) + 2 * middle;
  } else if (t < 5) {
    done += blocks(5) + (record_.pass == 1 ? blocks(t) : 0);
    for (uint32_t u = t + 1; u <= 4; ++u) done += 2 * blocks(u);
  }
  return total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
}

bool FinalizeJob::StopCheck() {
  ++record_.blockCounter;
  if (record_.blockCounter % sizes_.stopInterval != 0) return false;
  if (stopHook_) stopHook_(record_);
  std::lock_guard<std::mutex> lock(progress_.mutex);
  if (state_ == kFinalizeSaving) return true;
  progress_.progress = Progress();
  return false;
}

// Only the words that can hold marks are saved: bitmap A for the tables whose survivors it
// filters (3..0), bitmap B for the table below a marked or compacted one.
uint64_t FinalizeJob::SavedWords(bool bitmapA) const {
  const uint32_t t = record_.table;
  if (bitmapA) return t <= 3 ? (source_.tables[t].entryCount + 63) / 64 : 0;
  return t >= 1 && t <= 4 ? (source_.tables[t - 1].entryCount + 63) / 64 : 0;
}

void FinalizeJob::SetUpDecoder(uint32_t table) {
  try {
    decoder_.Init(source_.tables[table].coding, table == kLastPlotTable, table != kLastPlotTable);
  } catch (const std::exception& e) {
    throw InputError(e.what());
  }
}

void FinalizeJob::OpenSource(uint32_t table, bool strided) {
  const PlotTableRecord& s = source_.tables[table];
  const uint64_t c = record_.blockCounter;
  OpenRegionReader(*reader_, s.offset + c * kPlotBlockBytes, (s.blockCount - c) * kPlotBlockBytes,
                   strided);
}

static_assert(BlockDecodeRing::kBlockBytes == kPlotBlockBytes);
static_assert(BlockDecodeRing::kValues == ParkEncoder::kValueCapacity);

bool FinalizeJob::RunSourceBlocks(const BlockDecodeRing::Work& work,
                                  const BlockDecodeRing::Take& take) {
  const uint64_t blocks = source_.tables[record_.table].blockCount - record_.blockCounter;
  return ring_->Run(
      blocks,
      [this](BlockDecodeRing::Slot& slot) {
        RegionRead(*reader_, slot.bytes, kPlotBlockBytes);
        // A file cut short after the checks reads as zeros, which must never pass for table data.
        if (reader_->ZeroFilledBytes() != 0) throw InputError("646983E7");
      },
      work, take);
}

std::pair<uint64_t*, uint64_t> FinalizeJob::DecodeSlot(BlockDecodeRing::Slot& slot,
                                                       uint64_t& firstIndex) const {
  std::pair<uint64_t, uint64_t*> decoded;
  try {
    decoded = decoder_.Decode(slot.bytes, kPlotBlockBytes, slot.values, BlockDecodeRing::kValues,
                              firstIndex, false, false);
  } catch (const std::exception& e) {
    throw InputError(e.what());
  }
  const uint64_t entries = source_.tables[record_.table].entryCount;
  if (firstIndex > entries || decoded.first > entries - firstIndex) throw InputError("BCE0F582");
  return {decoded.second, decoded.first};
}

void FinalizeJob::EncoderSink(const uint8_t* park, uint64_t length) {
  WriteBytes(progress_, park, length);
}

void FinalizeJob::StartEncoder(uint32_t table) {
  encoder_->Begin(destination_.tables[table].coding, false, true, 0,
                  [this](const uint8_t* park, uint64_t length) -> uint64_t {
                    EncoderSink(park, length);
                    return 0;
                  });
}

void FinalizeJob::LoadSaved() {
  const FinalizeResumeRecord& r = record_;
  const uint64_t wordsA = SavedWords(true);
  const uint64_t wordsB = SavedWords(false);
  progress_.doneBytes = 0;
  progress_.totalBytes = (wordsA + wordsB) * sizeof(uint64_t);
  if (wordsA > 0) ReadEntries(progress_, r.bitmapAOffset, std::span(bitmapA_.Words(), wordsA));
  bitmapA_.Cover(wordsA * 64);
  if (wordsB > 0) ReadEntries(progress_, r.bitmapBOffset, std::span(bitmapB_.Words(), wordsB));
  bitmapB_.Cover(wordsB * 64);
  if (r.blockCounter != 0 && (r.pass == 1 || r.table == 0)) {
    FileReader reader(*destinationWorker_, r.encoderStateOffset, r.encoderStateLength);
    try {
      encoder_->LoadState(
          destination_.tables[r.table].coding, false, true, 0,
          [this](const uint8_t* park, uint64_t length) -> uint64_t {
            EncoderSink(park, length);
            return 0;
          },
          [&reader](void* data, uint64_t length) { reader.Read(data, length); });
    } catch (const std::exception& e) {
      throw std::runtime_error(FileErrorText(FileError::kInvalidOutputPlotFile, e.what()));
    }
    reader.Finish();
    if (reader.ZeroFilledBytes() != 0) {
      throw std::runtime_error(FileErrorText(FileError::kInvalidOutputPlotFile, "6254BD70"));
    }
  }
  // The save area is overwritten by what follows.
  writer_.emplace(*destinationWorker_, r.bitmapAOffset, ~uint64_t{0});
  progress_.output = &*writer_;
  std::lock_guard<std::mutex> lock(progress_.mutex);
  if (state_ == kFinalizeLoading) state_ = kFinalizeRunning;
  progress_.progress = Progress();
}

void FinalizeJob::Run() {
  bool complete = false;
  std::exception_ptr failure;
  try {
    didWork_ = continue_ == 0;
    if (continue_ != 0) {
      LoadSaved();
      if (stopHook_) stopHook_(record_);
    }
    for (;;) {
      bool save;
      {
        std::lock_guard<std::mutex> lock(progress_.mutex);
        save = state_ == kFinalizeSaving;
      }
      if (save) {
        SaveProgress(didWork_);
        break;
      }
      const uint32_t t = record_.table;
      if (t == 5) {
        CopyLastTable();
      } else if (t == 0) {
        EncodeTablePass();
        if (record_.table == 6) {
          WriteEnd(true);
          complete = true;
          break;
        }
      } else if (record_.pass == 0) {
        MarkTablePass();
      } else if (record_.pass == 1) {
        CompactTablePass();
      } else {
        throw InputError("54309D33");
      }
      didWork_ = true;
    }
  } catch (...) {
    failure = std::current_exception();
    reader_->Reset();
    pipeline_->Reset();
    queue_->ResetConsumer();
    encoder_->ClearSink();
    writer_.reset();
    progress_.output = nullptr;
  }
  try {
    CloseFiles();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(progress_.mutex);
  failure_ = failure;
  state_ = kFinalizeIdle;
  progress_.progress = 0;
  finished_ = complete && !failure ? 1 : 0;
}

void FinalizeJob::CopyLastTable() {
  const PlotTableRecord& s = source_.tables[5];
  if (record_.blockCounter == 0) destination_.tables[5].offset = writer_->Offset();
  OpenSource(5, false);
  while (record_.blockCounter < s.blockCount) {
    RegionRead(*reader_, block_.Data(), kPlotBlockBytes);
    if (reader_->ZeroFilledBytes() != 0) throw InputError("646983E7");
    writer_->Write(block_.Data(), kPlotBlockBytes);
    if (StopCheck()) {
      reader_->Reset();
      return;
    }
  }
  reader_->Reset();
  PlotTableRecord& d = destination_.tables[5];
  d.entryCount = s.entryCount;
  d.blockCount = s.blockCount;
  d.coding = s.coding;
  d.index = s.index;
  // The last table keeps every entry, so every entry of table 4 is used.
  destination_.tables[4].entryCount = source_.tables[4].entryCount;
  record_.table = 4;
  record_.pass = 0;
  record_.blockCounter = 0;
}

void FinalizeJob::MarkTablePass() {
  const uint32_t t = record_.table;
  if (record_.blockCounter == 0) {
    bitmapB_.Clear();
    destination_.tables[t].offset = writer_->Offset();
  }
  if (t != 4 && !bitmapA_.Ranked()) bitmapA_.Rank();
  SetUpDecoder(t);
  OpenSource(t, true);
  pipeline_->SetConsumer(&bitmapB_, nullptr);
  const bool stopped = FeedUsedPairs(t, "DB92F058");
  pipeline_->WaitAllStages();
  if (stopped) {
    reader_->Reset();
    return;
  }
  record_.pass = 1;
  record_.blockCounter = 0;
}

bool FinalizeJob::FeedUsedPairs(uint32_t t, const char* tooLargeCode) {
  const uint64_t below = source_.tables[t - 1].entryCount;
  // Table 4's entries are all used.
  const uint64_t* used = t != 4 ? bitmapA_.Words() : nullptr;
  return RunSourceBlocks(
      [&](BlockDecodeRing::Slot& slot) {
        uint64_t first = 0;
        const auto [values, count] = DecodeSlot(slot, first);
        if (count > 0) {
          if (values[count - 1] > kLargestLinePoint) throw InputError(tooLargeCode);
          // Marks past the table below would survive as entries that do not exist.
          if (LinePointToPair(values[count - 1]).x >= below) throw InputError("B2D63AA8");
        }
        // The values lie at the end of the room: the used ones move to its front, never past
        // one unread, and turn into pairs where they lie.
        const uint64_t* points = values;
        uint64_t n = count;
        if (used != nullptr) {
          n = 0;
          for (uint64_t i = 0; i < count; ++i) {
            const uint64_t entry = first + i;
            if (((used[entry >> 6] >> (entry & 63)) & 1) != 0) slot.values[n++] = values[i];
          }
          points = slot.values;
        }
        LinePointsToPairs(points, n, slot.pairs);
        slot.count = n;
      },
      [&](const BlockDecodeRing::Slot& slot) {
        if (slot.count > 0) pipeline_->RunTask(slot.pairs, slot.count);
        return StopCheck();
      });
}

void FinalizeJob::CompactTablePass() {
  const uint32_t t = record_.table;
  if (!bitmapA_.Ranked()) bitmapA_.Rank();
  if (!bitmapB_.Ranked()) bitmapB_.Rank();
  if (record_.blockCounter == 0) {
    const uint64_t survivors = bitmapB_.total;
    destination_.tables[t - 1].entryCount = survivors;
    const uint64_t space = (survivors / 2) * survivors;
    const uint64_t entries = std::max<uint64_t>(destination_.tables[t].entryCount, 1);
    BuildDeltaCodingTable(std::max<uint64_t>(space / entries, 1), destination_.tables[t].coding);
    StartEncoder(t);
  }
  SetUpDecoder(t);
  OpenSource(t, false);
  ParkEncoder* encoder = encoder_.get();
  BatchQueue* queue = queue_.get();
  queue->SetConsumer(
      [encoder](std::span<const uint64_t> items) { encoder->Append(items.data(), items.size()); });
  pipeline_->SetConsumer(&bitmapB_, [queue](const uint64_t* linePoints, uint64_t count) {
    queue->Push(linePoints, count);
  });
  const bool stopped = FeedUsedPairs(t, "D877BC1E");
  pipeline_->WaitAllStages();
  queue->WaitIdle();
  queue->ResetConsumer();
  reader_->Reset();
  if (stopped) return;  // the encoder keeps its state for the save
  encoder_->Finish();
  PlotTableRecord& d = destination_.tables[t];
  d.blockCount = encoder_->ParkCount();
  d.index = encoder_->Lookup();
  record_.table = static_cast<uint8_t>(t - 1);
  record_.pass = 0;
  record_.blockCounter = 0;
  std::swap(bitmapA_, bitmapB_);
}

void FinalizeJob::EncodeTablePass() {
  PlotTableRecord& d = destination_.tables[0];
  if (record_.blockCounter == 0) d.offset = writer_->Offset();
  SetUpDecoder(0);
  OpenSource(0, false);
  if (!bitmapA_.Ranked()) bitmapA_.Rank();
  const uint64_t m = (uint64_t{1} << (16 - destination_.level)) - 1;
  if (m >= 65536) throw std::runtime_error("8D027517");
  // Every value a table-0 entry can take at this level.
  const uint64_t range =
      m + CombinationTables.c2[m] + CombinationTables.c3[m] + CombinationTables.c4[m];
  BuildDeltaCodingTable(std::max<uint64_t>(range / std::max<uint64_t>(d.entryCount, 1), 1),
                        d.coding);
  if (record_.blockCounter == 0) StartEncoder(0);
  ParkEncoder* encoder = encoder_.get();
  BatchQueue* queue = queue_.get();
  queue->SetConsumer(
      [encoder](std::span<const uint64_t> items) { encoder->Append(items.data(), items.size()); });
  const uint64_t* used = bitmapA_.Words();
  const bool stopped = RunSourceBlocks(
      [used, this](BlockDecodeRing::Slot& slot) {
        uint64_t first = 0;
        const auto [values, count] = DecodeSlot(slot, first);
        // The kept values move to the front of the slot's value room, never past one unread.
        uint64_t n = 0;
        for (uint64_t i = 0; i < count; ++i) {
          const uint64_t entry = first + i;
          if (((used[entry >> 6] >> (entry & 63)) & 1) != 0) slot.values[n++] = values[i];
        }
        slot.count = n;
      },
      [queue, this](const BlockDecodeRing::Slot& slot) {
        if (slot.count > 0) queue->Push(slot.values, slot.count);
        return StopCheck();
      });
  reader_->Reset();
  queue->WaitIdle();
  queue->ResetConsumer();
  if (stopped) return;
  encoder_->Finish();
  d.blockCount = encoder_->ParkCount();
  d.index = encoder_->Lookup();
  record_.table = 6;
}

void FinalizeJob::WriteEnd(bool complete) {
  const uint64_t zeros[64] = {};
  destination_.start.markerOffset = writer_->Offset();
  for (uint64_t left = kEndZeroWords; left > 0;) {
    const uint64_t n = std::min<uint64_t>(left, 64);
    writer_->Write(zeros, n * sizeof(uint64_t));
    left -= n;
  }
  writer_->Finish();
  writer_.reset();
  progress_.output = nullptr;
  if (complete) {
    destination_.complete = 1;
    destination_.link = 0;
  }
  destination_.closed = 1;
  destination_.start.markerValue = random_();
  WriteHeaderAtStart(*destinationWorker_, &destination_, sizeof(destination_));
  WriteCompletionMarker(*destinationWorker_, destination_.start);
  if (complete) {
    destinationFile_->Truncate(
        static_cast<int64_t>(CompletePlotFileSize(destination_.start.markerOffset)));
  }
}

void FinalizeJob::SaveProgress(bool didWork) {
  if (!didWork) {
    // Nothing ran since the continuation: the saved area and record on disk still hold.
    encoder_->ClearSink();
    writer_->Finish();
    writer_.reset();
    progress_.output = nullptr;
    destination_.closed = 1;
    destination_.start.markerValue = random_();
    WriteHeaderAtStart(*destinationWorker_, &destination_, sizeof(destination_));
    WriteCompletionMarker(*destinationWorker_, destination_.start);
    return;
  }
  const uint64_t wordsA = SavedWords(true);
  const uint64_t wordsB = SavedWords(false);
  progress_.doneBytes = 0;
  progress_.totalBytes = (wordsA + wordsB) * sizeof(uint64_t);
  record_.bitmapAOffset = writer_->Offset();
  WriteEntries(progress_, *writer_, std::span<const uint64_t>(bitmapA_.Words(), wordsA));
  record_.bitmapBOffset = writer_->Offset();
  WriteEntries(progress_, *writer_, std::span<const uint64_t>(bitmapB_.Words(), wordsB));
  record_.encoderStateOffset = writer_->Offset();
  record_.encoderStateLength = 0;
  if (encoder_->HasSink()) {
    encoder_->SaveState(
        [this](const void* data, uint64_t length) { WriteBytes(progress_, data, length); });
    record_.encoderStateLength = writer_->Offset() - record_.encoderStateOffset;
  }
  destination_.link = writer_->Offset();
  writer_->Write(&record_, sizeof(record_));
  WriteEnd(false);
}
