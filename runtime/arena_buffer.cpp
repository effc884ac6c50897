#include "runtime/arena_buffer.h"

ArenaPtr<EntryBuffers> NewEntryBuffers(MemoryArena& objectArena, MemoryArena& bufferArena) {
  ArenaPtr<EntryBuffers> holder = NewInArena<EntryBuffers>(objectArena);
  holder->bitmap.Allocate(bufferArena, EntryBuffers::kBitmapWords);
  holder->bitmap.Clear();
  holder->scratch.Allocate(bufferArena, EntryBuffers::kScratchWords);
  holder->flag = 0;
  return holder;
}
