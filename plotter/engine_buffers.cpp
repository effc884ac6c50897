#include "plotter/engine_buffers.h"

#include <cstring>
#include <new>

namespace {

ArenaPtr<BucketWriter<128>> NewBlockBuffer(MemoryArena& objectArena, MemoryArena& bufferArena,
                                           bool zeroed) {
  ArenaPtr<BucketWriter<128>> writer = NewInArena<BucketWriter<128>>(objectArena);
  writer->AllocateBuffer(bufferArena);
  if (zeroed) writer->buffer.Clear();
  return writer;
}

}  // namespace

ArenaPtr<BucketWriter<128>> AllocateBlockBuffer(MemoryArena& objectArena,
                                                MemoryArena& bufferArena) {
  return NewBlockBuffer(objectArena, bufferArena, false);
}

ArenaPtr<BucketWriter<128>> AllocateBlockBufferZeroed(MemoryArena& objectArena,
                                                      MemoryArena& bufferArena) {
  return NewBlockBuffer(objectArena, bufferArena, true);
}

ArenaPtr<MatchScratch> AllocateMatchScratch(MemoryArena& /*objectArena*/,
                                            MemoryArena& bufferArena) {
  ArenaPtr<MatchScratch> scratch = NewInArena<MatchScratch>(bufferArena);
  std::memset(scratch->index, 0, sizeof(scratch->index));
  scratch->nodeCount = 0;
  return scratch;
}

void ReleaseBufferDescriptor(ArenaPtr<BucketWriter<128>>& descriptor) {
  if (descriptor == nullptr) return;
  descriptor->buffer.Release();
  descriptor.reset();
}

ArenaPtr<uint8_t> AllocateBlock(MemoryArena& arena, uint64_t bytes, uint64_t alignment) {
  void* memory = arena.Allocate(bytes, alignment);
  if (memory == nullptr) throw std::bad_alloc();
  return ArenaPtr<uint8_t>(static_cast<uint8_t*>(memory), ArenaDeleter<uint8_t>{&arena});
}

void DestroyBucketWriterArray128(OwnedArray<BucketWriter<128>>& array) { array.Destroy(); }
void DestroyBucketWriterArray256(OwnedArray<BucketWriter<256>>& array) { array.Destroy(); }
void DestroyWorkerBufferArray(OwnedArray<MatchScratch>& array) { array.Destroy(); }
void DestroyBufferSetArray(OwnedArray<uint8_t>& array) { array.Destroy(); }
