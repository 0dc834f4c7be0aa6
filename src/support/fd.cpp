// Descriptor modes and readiness, whole-buffer writes, stream writes, file locks and counters.
#include "support/fd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/mutexguard.h"
#include "support/problems.h"
#include "support/strings.h"

unsigned fdWriteAllWaitMs = 120000;

namespace {

const unsigned kStreamWaitMs = 15000;

void fdChangeFlag(int fd, bool nonBlocking) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) {
    int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted == flags || fcntl(fd, F_SETFL, wanted) == 0) return;
  }
  // The reports of this module carry the fixed source name "fd.c".
  problemError("fd.c", __LINE__, strTempPrintf("fcntl(O_NONBLOCK) failed: %s", strerror(errno)));
}

// poll() for one descriptor; timeout -1 waits without limit. A failing poll() is repeated
// with the full timeout.
// 1 when ready; 0 on time-out and when poll itself fails (other than by a signal), which would
// otherwise be retried for ever.
int fdPollFor(int fd, short events, int timeout) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int n = poll(&p, 1, timeout);
    if (n > 0) return 1;
    if (n == 0 || errno != EINTR) return 0;
  }
}

int pollTimeout(unsigned timeoutMs) {
  if (timeoutMs == 0) return -1;
  return timeoutMs > 0x7fffffffu ? 0x7fffffff : static_cast<int>(timeoutMs);
}

pthread_mutex_t counter16Mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t counter32Mutex = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

void fdSetNonBlocking(int fd) { fdChangeFlag(fd, true); }
void fdSetBlocking(int fd) { fdChangeFlag(fd, false); }

int fdIsReadable(int fd) { return fdPollFor(fd, POLLIN, 0); }
int fdIsWritable(int fd) { return fdPollFor(fd, POLLOUT, 0); }
bool fdHungUp(int fd) {
  struct pollfd p = {fd, 0, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}
int fdWaitReadable(int fd, unsigned timeoutMs) { return fdPollFor(fd, POLLIN, pollTimeout(timeoutMs)); }
int fdWaitWritable(int fd, unsigned timeoutMs) { return fdPollFor(fd, POLLOUT, pollTimeout(timeoutMs)); }

namespace {

// Writes until all of data went out; a full non-blocking descriptor is waited for up to
// fdWriteAllWaitMs. 0 or the failure's errno; *left is what was not written.
int writeAllLeft(int fd, const void *data, size_t n, size_t *left) {
  const char *p = static_cast<const char *>(data);
  int error = 0;
  while (n > 0) {
    ssize_t done = write(fd, p, n);
    if (done > 0) {
      p += done;
      n -= static_cast<size_t>(done);
      continue;
    }
    error = done == 0 ? EIO : errno;
    if ((error == EAGAIN || error == EINTR) && (error == EINTR || fdWaitWritable(fd, fdWriteAllWaitMs))) {
      error = 0;
      continue;
    }
    break;
  }
  *left = n;
  return error;
}

}  // namespace

int fdWriteAllErrno(int fd, const void *data, size_t n) {
  size_t left;
  return writeAllLeft(fd, data, n, &left);
}

const char *fdWriteAll(int fd, const void *data, size_t n) {
  size_t left;
  if (int error = writeAllLeft(fd, data, n, &left))
    return strTempPrintf("Can't write %u bytes to fd %d: %s", static_cast<unsigned>(left), fd, strerror(error));
  return nullptr;
}

const char *fileWriteStream(const void *data, size_t n, FILE *stream) {
  const char *p = static_cast<const char *>(data);
  while (n > 0) {
    errno = 0;
    size_t done = fwrite(p, 1, n, stream);
    p += done;
    n -= done;
    if (n == 0) break;
    int error = errno;
    clearerr(stream);
    if (error == EINTR) continue;
    if (error == EAGAIN) {
      if (!fdWaitWritable(fileno(stream), kStreamWaitMs)) return "Can't write for 15 seconds";
      continue;
    }
    return strTempPrintf("Can't write %u bytes: %s", static_cast<unsigned>(n), strerror(error ? error : EIO));
  }
  return nullptr;
}

const char *fileUpdateContent(const void *data, size_t n, FILE *stream, int64_t offset) {
  if (fflush(stream) != 0) return strTempPrintf("Can't update file content: %s", strerror(errno));
  off_t position = ftello(stream);
  if (position < 0 || fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0)
    return strTempPrintf("Can't update file content: %s", strerror(errno));
  // Every failing step gives the same text with the system error; the position is put back
  // even after a failed write.
  const char *failure = fileWriteStream(data, n, stream);
  int error = failure ? (errno ? errno : EIO) : 0;
  if (fflush(stream) != 0 && !error) error = errno;
  if (fseeko(stream, position, SEEK_SET) != 0 && !error) error = errno;
  if (failure || error) return strTempPrintf("Can't update file content: %s", strerror(error ? error : EIO));
  return nullptr;
}

FILE *fileReopen(FILE *stream, const char *path, const char *mode) {
  // Close-on-exec always: a stream of the proxy never leaks into a child.
  char withCloexec[16];
  if (strlen(mode) + 2 > sizeof withCloexec) return nullptr;
  strCopy(withCloexec, mode, sizeof withCloexec);
  if (!strchr(mode, 'e')) strAppend(withCloexec, "e", sizeof withCloexec);
  FILE *probe = fopen(path, withCloexec);
  if (!probe) return nullptr;
  fclose(probe);
  return freopen(path, withCloexec, stream);
}

namespace {
int fileSetLock(FILE *stream, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however long it grows
  for (;;) {
    if (fcntl(fileno(stream), F_SETLKW, &lock) == 0) return 1;
    if (errno != EINTR && errno != EAGAIN && errno != EACCES) return 0;
  }
}
}  // namespace

int fileLock(FILE *stream) { return fileSetLock(stream, F_WRLCK); }
int fileUnlock(FILE *stream) { return fileSetLock(stream, F_UNLCK); }

uint16_t atomicAdd16(uint16_t *counter, int delta) {
  MutexGuard guard(&counter16Mutex);
  *counter = static_cast<uint16_t>(*counter + delta);
  return *counter;
}

uint32_t atomicAdd32(uint32_t *counter, int32_t delta) {
  MutexGuard guard(&counter32Mutex);
  *counter = *counter + static_cast<uint32_t>(delta);
  return *counter;
}

size_t strCountChar(const char *text, char character) {
  size_t count = 0;
  for (; *text; text++)
    if (*text == character) count++;
  return count;
}
