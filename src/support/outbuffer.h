// Output queues: bytes waiting to be written to one descriptor, in a list of 64 KB blocks.
#pragma once

#include <cstddef>
#include <cstdint>

using OutBufferCallback = void (*)(void *argument);

// Block header; the data follows it in the same allocation. A standard block holds 65520
// data bytes; a block made for a larger request holds exactly that request.
struct OutBlock {
  char *end;           // where the queued data ends (next byte to append)
  char *readPosition;  // first byte not yet written
  OutBlock *next;
  uintptr_t locked;    // a locked block and all blocks after it are not written
  char *limit;         // end of the block's allocation: appends and fills stay below it
};

constexpr uint32_t kOutBlockSize = 65536;
constexpr uint32_t kOutBlockData = 65520;  // data bytes of a standard block
constexpr uint32_t kOutbufferMaximumWrite = 0x7fffffff;

struct OutBuffer {
  OutBlock *first;  // NULL when empty
  OutBlock *last;
  OutBufferCallback callback;  // runs when data arrives in an empty buffer
  void *argument;
  int fd;
  uint32_t maximumWrite;  // most bytes handed to one write()
  int held;               // a flush returned kOutbufferHeld; the unlock re-runs the callback
};

// outbufferFlush results.
constexpr int kOutbufferDone = 0;     // everything written, the buffer is empty
constexpr int kOutbufferPending = 1;  // data left, call again when the descriptor is writable
constexpr int kOutbufferError = 2;    // write error: close the connection
constexpr int kOutbufferHeld = 3;     // the first block is locked: drop the writer order; the
                                      // callback runs again when the unlock frees the queue

char *outbufferData(OutBlock *block);  // start of the block's data

void outbufferInit(OutBuffer *ob, int fd, OutBufferCallback callback, void *argument);
char *outbufferReserve(OutBuffer *ob, uint32_t n);
int outbufferPut(const void *data, uint32_t n, OutBuffer *ob);
int outbufferPutByte(unsigned char byte, OutBuffer *ob);
uint64_t outbufferPending(const OutBuffer *ob);
// The data bytes the queue's blocks hold allocated, each block counted at its own size (a block
// made for a long message counts all of it): what the queue costs, whatever it is made of.
uint64_t outbufferCapacity(const OutBuffer *ob);
int outbufferFlush(OutBuffer *ob);
// Flushes, waiting for the descriptor as needed: 1 when everything was written; 0 on an error,
// a locked block, or when timeout ms (in all; 0: no bound) passed first.
int outbufferFlushWait(OutBuffer *ob, int timeout);
void outbufferFree(OutBuffer *ob);
char *outbufferInsertLocked(OutBuffer *ob, char *position, uint32_t n);
void outbufferUnlock(OutBuffer *ob, char *position, uint32_t n);
void outbufferLock(OutBuffer *ob, char *position);
void outbufferCut(char *position, uint32_t n, OutBuffer *ob);
OutBlock *outbufferExtract(OutBuffer *ob, char *position, uint32_t n);
char *outbufferAppendBlock(OutBuffer *ob, OutBlock *block);
using OutBufferRangeFn = int (*)(char *start, uint32_t length, void *argument);
int outbufferForRange(OutBuffer *ob, char *position, uint64_t n, OutBufferRangeFn fn, void *argument);
