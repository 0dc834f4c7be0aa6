// The RGB to YUV lookup table and its cache file.
#include "conversions/rgb24toyuv.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "support/logging.h"
#include "support/numbers.h"
#include "support/strtemp.h"

namespace {

// Guards the user count and the installation and removal of the mapping. Converters read the
// table pointer without the lock: it changes only while no user of the table exists.
std::mutex tableMutex;
std::atomic<const uint8_t *> table{nullptr};
uint32_t tableUsers = 0;

// Writes all bytes, retrying interrupted and short writes; false with errno set on failure.
bool writeAll(int fd, const uint8_t *data, size_t n) {
  while (n > 0) {
    ssize_t done = write(fd, data, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      if (done == 0) errno = EIO;
      return false;
    }
    data += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

void unmapTable() {
  const uint8_t *old = table.exchange(nullptr);
  if (old) munmap(const_cast<uint8_t *>(old), kRgb24toyuvCacheSize);
}

// rgb24toyuvOpenCache with the lock held.
const char *openCacheLocked(bool recreate) {
  char path[4096];
  if (const char *failure = rgb24toyuvCachePath(path)) return failure;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const char *failure = strTempPrintf("Can't open cache file '%s': %s.", path, strErrno(errno));
    if (!recreate) return failure;
    LOG(logChannelWarning, "%s", failure);
  } else {
    struct stat status;
    if (fstat(fd, &status) != 0) {
      int error = errno;
      close(fd);
      return strTempPrintf("Can't stat cache file '%s': %s.", path, strErrno(error));
    }
    if (S_ISREG(status.st_mode) && static_cast<uint64_t>(status.st_size) == kRgb24toyuvCacheSize) {
      void *mapped = mmap(nullptr, kRgb24toyuvCacheSize, PROT_READ, MAP_SHARED, fd, 0);
      int error = errno;
      close(fd);
      if (mapped == MAP_FAILED) return strTempPrintf("Can't map cache file '%s': %s", path, strErrno(error));
      const uint8_t *expected = nullptr;
      if (!table.compare_exchange_strong(expected, static_cast<const uint8_t *>(mapped)))
        munmap(mapped, kRgb24toyuvCacheSize);  // the table in use stays
      return nullptr;
    }
    close(fd);
    const char *failure = strTempPrintf("Invalid or corrupted cache file '%s'.", path);
    if (!recreate) return failure;
    LOG(logChannelWarning, "%s", failure);
  }
  if (const char *failure = rgb24toyuvCreateCache(path)) return failure;
  return openCacheLocked(false);
}

}  // namespace

void rgb24toyuvPixel(uint8_t r, uint8_t g, uint8_t b, uint8_t *y, uint8_t *u, uint8_t *v) {
  int32_t R = r, G = g, B = b;
  *y = static_cast<uint8_t>((263 * R + 516 * G + 100 * B + 16896) >> 10);
  *u = static_cast<uint8_t>(((-152 * R - 298 * G + 450 * B + 511) >> 10) + 128);
  *v = static_cast<uint8_t>(((450 * R - 377 * G - 73 * B + 511) >> 10) + 128);
}

const char *rgb24toyuvCachePath(char (&path)[4096]) {
  // An empty value counts as unset: it would put the file at the root directory.
  const char *directory = getenv(kRgb24toyuvVariable);
  if (!directory || !*directory)
    return strTempPrintf("Environment variable %s not set - Be sure to start the wrapper script",
                         kRgb24toyuvVariable);
  size_t length = strlen(directory);
  const char *separator = directory[length - 1] == '/' ? "" : "/";
  int n = snprintf(path, sizeof path, "%s%s%s", directory, separator, kRgb24toyuvCacheName);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path)
    return strTempPrintf("Can't open cache file '%.4000s...': %s.", directory, strErrno(ENAMETOOLONG));
  return nullptr;
}

const char *rgb24toyuvCreateCache(const char *path) {
  LOG(logChannelNote, "Creating cache file '%s'", path);
  // Built under a name of its own beside the final one: readers that have the old file mapped
  // keep it whole, and the rename makes the new file appear complete or not at all.
  std::string temporary = std::string(path) + ".XXXXXX";
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return strTempPrintf("Can't create cache file '%s': %s", path, strErrno(errno));
  const char *failure = nullptr;
  std::vector<uint8_t> slab(3 * 256 * 256);  // all entries of one R
  for (unsigned r = 0; r < 256 && !failure; r++) {
    uint8_t *entry = slab.data();
    for (unsigned g = 0; g < 256; g++)
      for (unsigned b = 0; b < 256; b++, entry += 3)
        rgb24toyuvPixel(static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b), &entry[0],
                        &entry[1], &entry[2]);
    if (!writeAll(fd, slab.data(), slab.size()))
      failure = strTempPrintf("Can't write cache file '%s': %s", path, strErrno(errno));
  }
  if (!failure && fchmod(fd, 0444) != 0)
    failure = strTempPrintf("Can't change file permissions '%s': %s", path, strErrno(errno));
  if (close(fd) != 0 && !failure)
    failure = strTempPrintf("Can't close cache file '%s': %s", path, strErrno(errno));
  if (!failure && rename(temporary.c_str(), path) != 0)
    failure = strTempPrintf("Can't create cache file '%s': %s", path, strErrno(errno));
  if (failure) unlink(temporary.c_str());
  return failure;
}

const char *rgb24toyuvOpenCache(bool recreate) {
  std::lock_guard<std::mutex> guard(tableMutex);
  return openCacheLocked(recreate);
}

const char *rgb24toyuvInit() {
  std::lock_guard<std::mutex> guard(tableMutex);
  if (tableUsers == 0 || !table.load()) {
    if (const char *failure = openCacheLocked(true)) return failure;
  }
  tableUsers++;
  return nullptr;
}

void rgb24toyuvFree() {
  std::lock_guard<std::mutex> guard(tableMutex);
  if (tableUsers > 0) tableUsers--;
  if (tableUsers == 0) unmapTable();
}

const uint8_t *rgb24toyuvTable() { return table.load(std::memory_order_acquire); }
