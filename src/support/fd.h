// Descriptor modes and readiness, whole-buffer writes, stream writes, file locks and two
// counters changed under a mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// --- Descriptors ------------------------------------------------------------------------
void fdSetNonBlocking(int fd);
void fdSetBlocking(int fd);
int fdIsReadable(int fd);
int fdIsWritable(int fd);
// The descriptor shows, now, the end of both directions or an error (POLLHUP, POLLERR, POLLNVAL):
// a socket whose peer only shut its writing side is not hung up.
bool fdHungUp(int fd);
// timeoutMs 0 waits without limit; 1 ready, 0 timed out.
int fdWaitReadable(int fd, unsigned timeoutMs);
int fdWaitWritable(int fd, unsigned timeoutMs);

// How long fdWriteAll waits for a full descriptor to take more bytes (120000 ms; tests shorten it).
extern unsigned fdWriteAllWaitMs;
const char *fdWriteAll(int fd, const void *data, size_t n);
// The same loop for callers that word their own message: 0 when all of data went out, else the
// errno of the failure (EIO for a write that took nothing). Not async-signal-safe (a child
// between fork and exec has its own loop in process.cpp).
int fdWriteAllErrno(int fd, const void *data, size_t n);

// --- Streams and files ------------------------------------------------------------------
const char *fileWriteStream(const void *data, size_t n, FILE *stream);
const char *fileUpdateContent(const void *data, size_t n, FILE *stream, int64_t offset);
FILE *fileReopen(FILE *stream, const char *path, const char *mode);
int fileLock(FILE *stream);
int fileUnlock(FILE *stream);

// --- Counters ---------------------------------------------------------------------------
uint16_t atomicAdd16(uint16_t *counter, int delta);
uint32_t atomicAdd32(uint32_t *counter, int32_t delta);
size_t strCountChar(const char *text, char character);
