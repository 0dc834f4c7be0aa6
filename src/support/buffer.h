// Growable input buffer: one contiguous byte array, grown in three large steps, then by half
// again.
#pragma once

#include <cstddef>
#include <cstdint>

struct Buffer {
  char *data;         // NULL while nothing is allocated
  uint32_t length;    // bytes held
  uint32_t capacity;  // bytes allocated
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
// As bufferConsume, but a buffer of at most the middle size keeps its allocation when
// everything is consumed: a connection's input is not allocated afresh for every read.
void bufferConsumeKeep(Buffer *buf, uint32_t n);
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
