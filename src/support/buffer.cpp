// Growable input buffer. Sizes go in three steps (128 KB, 4 MB, 64 MB, each less 100 bytes),
// then by half again (or what is wanted, when that is more); under memory pressure growth falls
// back to ever smaller requests.
#include "support/buffer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/problems.h"
#include "support/strings.h"

// Problem reports of this module name it by its fixed source name.
#define BUFFER_OUT_OF_MEMORY() \
  PROBLEM_OUT_OF_MEMORY_AT("buffer.c")

namespace {

char *allocationOf(const Buffer *buf) { return buf->data - buf->offset; }

// The consumed front goes back to the room: what is held moves to the allocation's start.
void compact(Buffer *buf) {
  if (!buf->offset) return;
  char *start = allocationOf(buf);
  if (buf->length) memmove(start, buf->data, buf->length);
  buf->data = start;
  buf->capacity += buf->offset;
  buf->offset = 0;
}

}  // namespace

uint32_t bufferRoundSize(uint32_t wanted) {
  if (wanted < kBufferSmall + 1) return kBufferSmall;
  if (wanted < kBufferMedium + 1) return kBufferMedium;
  return wanted > kBufferLarge ? wanted : kBufferLarge;
}

uint32_t bufferGrow(Buffer *buf, uint32_t n) {
  if (static_cast<uint64_t>(buf->length) + n > UINT32_MAX) return 0;  // would wrap 32 bits
  compact(buf);
  if (buf->data && buf->capacity - buf->length >= n) return buf->capacity - buf->length;
  if (!buf->data) {
    uint32_t size = bufferRoundSize(n);
    char *data = static_cast<char *>(malloc(size ? size : 1));
    for (uint32_t attempt = n; !data;) {
      BUFFER_OUT_OF_MEMORY();
      if (attempt < 2) return 0;
      size = attempt;
      data = static_cast<char *>(malloc(size));
      attempt /= 2;
    }
    buf->data = data;
    buf->capacity = size;
    return size;
  }
  uint32_t size = bufferRoundSize(buf->length + n);
  // Past the last step a buffer filled by reads of a few KB would otherwise be copied whole for
  // each of them: it takes half again its allocation, so that filling it costs time in
  // proportion to its bytes. (One long unit asked for at once still gets just its size.)
  if (size > kBufferLarge && buf->capacity >= kBufferLarge) {
    uint64_t geometric = uint64_t(buf->capacity) + buf->capacity / 2;
    if (geometric > UINT32_MAX) geometric = UINT32_MAX;
    if (geometric > size) size = uint32_t(geometric);
  }
  char *data = static_cast<char *>(realloc(buf->data, size));
  uint32_t room = size - buf->length;
  for (uint32_t attempt = n; !data;) {
    BUFFER_OUT_OF_MEMORY();
    if (attempt < 2) return 0;
    size = buf->length + attempt;
    room = attempt;
    data = static_cast<char *>(realloc(buf->data, size));
    attempt /= 2;
  }
  buf->data = data;
  buf->capacity = size;
  return room;
}

int bufferAppend(const void *data, uint32_t n, Buffer *buf) {
  uint64_t wanted = static_cast<uint64_t>(buf->length) + n;
  if (wanted > UINT32_MAX) return 0;
  if (wanted > buf->capacity) {
    if (bufferGrow(buf, n) < n) return 0;
  }
  if (n) memcpy(buf->data + buf->length, data, n);
  buf->length += n;
  return 1;
}

int bufferAppendByte(unsigned char byte, Buffer *buf) { return bufferAppend(&byte, 1, buf); }

int bufferAppendBuffer(const Buffer *source, Buffer *buf) {
  if (source->length == 0) return 1;
  return bufferAppend(source->data, source->length, buf);
}

int bufferAppendFrom(const Buffer *source, uint32_t offset, Buffer *buf) {
  if (offset >= source->length) return 1;
  return bufferAppend(source->data + offset, source->length - offset, buf);
}

int bufferPrepend(const void *data, uint32_t n, Buffer *buf) {
  uint64_t wanted = static_cast<uint64_t>(buf->length) + n;
  if (wanted > UINT32_MAX) return 0;
  if (wanted > buf->capacity) {
    if (bufferGrow(buf, n) < n) return 0;
  }
  if (buf->length) memmove(buf->data + n, buf->data, buf->length);
  if (n) memcpy(buf->data, data, n);
  buf->length += n;
  return 1;
}

void bufferConsume(Buffer *buf, uint32_t n) {
  if (n == 0) return;
  if (buf->length <= n) {
    free(allocationOf(buf));
    *buf = Buffer{};
    return;
  }
  buf->data += n;
  buf->length -= n;
  buf->capacity -= n;
  buf->offset += n;
  // Each move costs at most what was consumed since the last one.
  if (buf->offset >= buf->length) compact(buf);
}

void bufferConsumeKeep(Buffer *buf, uint32_t n) {
  if (n == 0) return;
  if (n >= buf->length && bufferAllocated(buf) <= kBufferSmall) {
    buf->length = 0;
    compact(buf);
    return;
  }
  bufferConsume(buf, n);
  if (!buf->data || bufferAllocated(buf) <= kBufferSmall || buf->length > kBufferSmall / 2) return;
  char *smaller = static_cast<char *>(malloc(kBufferSmall));
  if (!smaller) return;  // (keeps the larger one)
  memcpy(smaller, buf->data, buf->length);
  free(allocationOf(buf));
  buf->data = smaller;
  buf->capacity = kBufferSmall;
  buf->offset = 0;
}

uint64_t bufferAllocated(const Buffer *buf) { return buf->data ? uint64_t(buf->capacity) + buf->offset : 0; }

void bufferCut(Buffer *buf, char *position, uint32_t n) {
  uint32_t offset = static_cast<uint32_t>(position - buf->data);
  if (offset >= buf->length) return;
  if (n > buf->length - offset) n = buf->length - offset;
  memmove(position, position + n, buf->length - offset - n);
  buf->length -= n;
}

int bufferMove(Buffer *source, Buffer *destination) {
  *destination = *source;
  *source = Buffer{};
  return 0;
}

int bufferReadFd(int fd, uint32_t n, Buffer *buf) {
  if (n == 0) n = 1;  // a read into no room would look like end of file
  if (buf->capacity - buf->length < n) {
    if (bufferGrow(buf, n) == 0) return 2;
  }
  ssize_t got = read(fd, buf->data + buf->length, buf->capacity - buf->length);
  if (got > 0) {
    buf->length += static_cast<uint32_t>(got);
    return 1;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 2;
  return 0;
}

int bufferReadFdAtMost(int fd, uint32_t n, Buffer *buf) {
  if (n == 0) n = 1;
  if (buf->capacity - buf->length < n) {
    if (bufferGrow(buf, n) == 0) return 2;
  }
  uint32_t room = buf->capacity - buf->length;
  ssize_t got = read(fd, buf->data + buf->length, room < n ? room : n);
  if (got > 0) {
    buf->length += static_cast<uint32_t>(got);
    return 1;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 2;
  return 0;
}

int bufferReadFdRoom(int fd, uint32_t n, Buffer *buf) {
  if (buf->capacity == buf->length && bufferGrow(buf, 1) == 0) return 2;
  uint32_t room = buf->capacity - buf->length;
  ssize_t got = read(fd, buf->data + buf->length, n && n < room ? n : room);
  if (got > 0) {
    buf->length += static_cast<uint32_t>(got);
    return 1;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 2;
  return 0;
}

uint32_t bufferTakeLine(void *, void *, Buffer *buf) {
  for (uint32_t i = 0; i < buf->length; i++) {
    char c = buf->data[i];
    if (c != '\r' && c != '\n') continue;
    buf->data[i] = 0;
    uint32_t taken = i + 1;
    if (taken < buf->length && (buf->data[taken] == '\r' || buf->data[taken] == '\n')) taken++;
    return taken;
  }
  return 0;
}

void bufferFree(Buffer *buf) {
  if (buf->data) free(allocationOf(buf));
  *buf = {};  // empty and reusable: a second free or a later append is safe
}
