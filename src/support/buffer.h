// Growable input buffer: one contiguous byte array, grown in three large steps, then by half
// again. What is consumed at its front is given back to its room by a move once it is at least
// as much as what is held (so taking a long input in many small steps costs time in proportion
// to its bytes), and an input emptied after a burst gives its memory back.
#pragma once

#include <cstddef>
#include <cstdint>

struct Buffer {
  char *data;         // the first byte held; NULL while nothing is allocated
  uint32_t length;    // bytes held
  uint32_t capacity;  // bytes allocated from data on (the room is capacity - length)
  uint32_t offset;    // bytes of the allocation in front of data: consumed, not moved yet
};

constexpr uint32_t kBufferSmall = 130972;     // 128 KB less 100
constexpr uint32_t kBufferMedium = 4194204;   // 4 MB less 100
constexpr uint32_t kBufferLarge = 67108764;   // 64 MB less 100

uint32_t bufferRoundSize(uint32_t wanted);
uint32_t bufferGrow(Buffer *buf, uint32_t n);
int bufferAppend(const void *data, uint32_t n, Buffer *buf);
int bufferAppendByte(unsigned char byte, Buffer *buf);
int bufferAppendBuffer(const Buffer *source, Buffer *buf);
int bufferAppendFrom(const Buffer *source, uint32_t offset, Buffer *buf);
int bufferPrepend(const void *data, uint32_t n, Buffer *buf);
void bufferConsume(Buffer *buf, uint32_t n);
// As bufferConsume, but a buffer of at most the small size keeps its allocation when everything
// is consumed (a connection's input is not allocated afresh for every read), and a larger one
// that holds at most half the small size after the consumption moves into an allocation of the
// small size: an input emptied after a burst gives its memory back. (Consuming nothing changes
// nothing: a long unit being read keeps the room made for it.)
void bufferConsumeKeep(Buffer *buf, uint32_t n);
// The bytes the buffer's allocation takes (what is held and its room, with the consumed front).
uint64_t bufferAllocated(const Buffer *buf);
void bufferCut(Buffer *buf, char *position, uint32_t n);
int bufferMove(Buffer *source, Buffer *destination);
int bufferReadFd(int fd, uint32_t n, Buffer *buf);
// As bufferReadFd, but reads at most n bytes (the free room may be much larger).
int bufferReadFdAtMost(int fd, uint32_t n, Buffer *buf);
// One read of at most n bytes into the free room as it is (the small size allocated when
// nothing is, grown only when no room is left): the room never grows for the read's sake.
int bufferReadFdRoom(int fd, uint32_t n, Buffer *buf);
uint32_t bufferTakeLine(void *unused1, void *unused2, Buffer *buf);
void bufferFree(Buffer *buf);
