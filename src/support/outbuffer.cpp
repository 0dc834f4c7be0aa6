// Output queues: producers reserve room at the end and fill it in place; non-blocking writes
// drain the queue from the front whenever the descriptor is writable.
#include "support/outbuffer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/fd.h"
#include "support/logging.h"

// Problem reports of this module name it by its fixed source name.
#define OUTBUFFER_UNE() logProblem("UNE", "outbuffer.c", __LINE__)

namespace {

uintptr_t address(const char *p) { return reinterpret_cast<uintptr_t>(p); }

// A block with room for max(n, 65520) data bytes, empty, unlinked and unlocked.
OutBlock *blockNew(uint32_t n) {
  size_t room = n > kOutBlockData ? n : kOutBlockData;
  OutBlock *block = static_cast<OutBlock *>(malloc(sizeof(OutBlock) + room));
  if (!block) return nullptr;
  char *data = outbufferData(block);
  block->end = data;
  block->readPosition = data;
  block->next = nullptr;
  block->locked = 0;
  block->limit = data + room;
  return block;
}

// The block whose queued range (read position .. end, both included) contains position.
OutBlock *blockHolding(const OutBuffer *ob, const char *position) {
  for (OutBlock *b = ob->first; b; b = b->next)
    if (address(b->readPosition) <= address(position) && address(position) <= address(b->end)) return b;
  return nullptr;
}

// After an unlock: a queue whose flush was held is writable again, so the owner is told as
// when data arrives in an empty queue.
void releaseIfHeld(OutBuffer *ob) {
  if (!ob->held || !ob->first || ob->first->locked) return;
  ob->held = 0;
  if (ob->callback) ob->callback(ob->argument);
}

int flushHeld(OutBuffer *ob) {
  ob->held = 1;
  return kOutbufferHeld;
}

}  // namespace

char *outbufferData(OutBlock *block) { return reinterpret_cast<char *>(block + 1); }

void outbufferInit(OutBuffer *ob, int fd, OutBufferCallback callback, void *argument) {
  *ob = OutBuffer{};
  ob->fd = fd;
  ob->callback = callback;
  ob->argument = argument;
  ob->maximumWrite = kOutbufferMaximumWrite;
}

char *outbufferReserve(OutBuffer *ob, uint32_t n) {
  OutBlock *last = ob->last;
  if (last && !last->locked &&
      static_cast<uint64_t>(last->end - outbufferData(last)) + n <= kOutBlockData &&
      address(last->end) + n <= address(last->limit)) {
    char *old = last->end;
    last->end += n;
    return old;
  }
  OutBlock *block = blockNew(n);
  if (!block) return nullptr;
  block->end += n;
  if (last) {
    last->next = block;
    ob->last = block;
  } else {
    ob->first = ob->last = block;
    ob->held = 0;
    if (ob->callback) ob->callback(ob->argument);
  }
  return outbufferData(block);
}

int outbufferPut(const void *data, uint32_t n, OutBuffer *ob) {
  char *p = outbufferReserve(ob, n);
  if (!p) return 0;
  if (n) memcpy(p, data, n);
  return 1;
}

int outbufferPutByte(unsigned char byte, OutBuffer *ob) { return outbufferPut(&byte, 1, ob); }

uint64_t outbufferPending(const OutBuffer *ob) {
  uint64_t total = 0;
  for (const OutBlock *b = ob->first; b; b = b->next) total += static_cast<uint64_t>(b->end - b->readPosition);
  return total;
}

uint64_t outbufferCapacity(const OutBuffer *ob) {
  uint64_t bytes = 0;
  for (const OutBlock *b = ob->first; b; b = b->next) bytes += static_cast<uint64_t>(b->limit - outbufferData(const_cast<OutBlock *>(b)));
  return bytes;
}

int outbufferFlush(OutBuffer *ob) {
  if (!ob->first) return kOutbufferDone;
  if (ob->first->locked) return flushHeld(ob);
  for (;;) {
    OutBlock *b = ob->first;
    size_t pending = static_cast<size_t>(b->end - b->readPosition);
    if (pending) {
      size_t chunk = pending < ob->maximumWrite ? pending : ob->maximumWrite;
      ssize_t written = write(ob->fd, b->readPosition, chunk);
      if (written < 0) return (errno == EINTR || errno == EAGAIN) ? kOutbufferPending : kOutbufferError;
      if (static_cast<size_t>(written) < pending) {
        b->readPosition += written;
        return kOutbufferPending;
      }
    }
    if (b == ob->last) {
      free(b);
      ob->first = ob->last = nullptr;
      return kOutbufferDone;
    }
    ob->first = b->next;
    free(b);
    if (ob->first->locked) return flushHeld(ob);
  }
}

int outbufferFlushWait(OutBuffer *ob, int timeout) {
  uint32_t saved = ob->maximumWrite;
  ob->maximumWrite = saved + kOutbufferMaximumWrite > saved ? saved + kOutbufferMaximumWrite : UINT32_MAX;
  int result = 0;
  // The bound holds for the whole flush, however many waits it takes.
  auto nowMs = [] {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  };
  int64_t deadline = timeout > 0 ? nowMs() + timeout : 0;
  for (;;) {
    int flushed = outbufferFlush(ob);
    if (flushed == kOutbufferDone) {
      result = 1;
      break;
    }
    if (flushed != kOutbufferPending) break;  // write error, or held by a locked block
    int64_t left = timeout > 0 ? deadline - nowMs() : 0;
    if (timeout > 0 && left <= 0) break;
    if (!fdWaitWritable(ob->fd, static_cast<unsigned>(left))) break;
  }
  ob->maximumWrite = saved;
  return result;
}

void outbufferFree(OutBuffer *ob) {
  for (OutBlock *b = ob->first; b;) {
    OutBlock *next = b->next;
    free(b);
    b = next;
  }
}

char *outbufferInsertLocked(OutBuffer *ob, char *position, uint32_t n) {
  OutBlock *found = blockHolding(ob, position);
  if (!found) {
    OUTBUFFER_UNE();
    return nullptr;
  }
  OutBlock *locked = blockNew(n);
  if (!locked) return nullptr;
  locked->locked = 1;
  // The bytes after position move to a further block behind the locked one. It is made even
  // when no bytes follow: later reservations then go into it rather than behind the hole.
  uint32_t moved = static_cast<uint32_t>(found->end - position);
  OutBlock *tail = blockNew(moved);
  if (!tail) {
    free(locked);
    return nullptr;
  }
  if (moved) memcpy(tail->end, position, moved);
  tail->end += moved;
  found->end = position;
  locked->next = tail;
  tail->next = found->next;
  found->next = locked;
  if (ob->last == found) ob->last = tail;
  return outbufferData(locked);
}

void outbufferUnlock(OutBuffer *ob, char *position, uint32_t n) {
  OutBlock *b = blockHolding(ob, position);
  if (!b) {
    OUTBUFFER_UNE();
    return;
  }
  if (b->end == position) {
    if (address(position) + n > address(b->limit)) {
      OUTBUFFER_UNE();  // more bytes than the block was made for
      return;
    }
    b->end = position + n;
  }
  b->locked = 0;
  releaseIfHeld(ob);
}

void outbufferLock(OutBuffer *ob, char *position) {
  OutBlock *b = blockHolding(ob, position);
  if (!b) {
    OUTBUFFER_UNE();
    return;
  }
  b->locked = 1;
}

void outbufferCut(char *position, uint32_t n, OutBuffer *ob) {
  OutBlock *b = blockHolding(ob, position);
  if (!b || address(position) + n > address(b->end)) {
    OUTBUFFER_UNE();
    return;
  }
  if (position + n == b->end) {
    b->end = position;
    if (b->end == b->readPosition) {
      b->locked = 0;
      releaseIfHeld(ob);
    }
  } else if (position == b->readPosition) {
    b->readPosition += n;
  } else {
    memmove(position, position + n, static_cast<size_t>(b->end - position) - n);
    b->end -= n;
  }
}

OutBlock *outbufferExtract(OutBuffer *ob, char *position, uint32_t n) {
  OutBlock *b = blockHolding(ob, position);
  if (!b || position == b->end || address(position) + n > address(b->end)) {
    OUTBUFFER_UNE();
    return nullptr;
  }
  OutBlock *block = blockNew(n);
  if (!block) return nullptr;
  memcpy(block->end, position, n);
  block->end += n;
  outbufferCut(position, n, ob);
  return block;
}

char *outbufferAppendBlock(OutBuffer *ob, OutBlock *block) {
  block->next = nullptr;
  if (ob->last)
    ob->last->next = block;
  else
    ob->first = block;
  ob->last = block;
  return block->readPosition;
}

int outbufferForRange(OutBuffer *ob, char *position, uint64_t n, OutBufferRangeFn fn, void *argument) {
  OutBlock *b = blockHolding(ob, position);
  if (!b) {
    OUTBUFFER_UNE();
    return 0;
  }
  char *start = position;
  while (n > 0 && b) {
    uint64_t available = static_cast<uint64_t>(b->end - start);
    uint32_t length = static_cast<uint32_t>(available < n ? available : n);
    if (length) {
      int result = fn(start, length, argument);
      if (result) return result;
    }
    n -= length;
    b = b->next;
    if (b) start = b->readPosition;
  }
  if (n > 0) OUTBUFFER_UNE();  // asked for more than is queued
  return 0;
}
