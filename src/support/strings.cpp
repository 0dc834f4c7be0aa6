// Temporary strings and bounded string operations.
#include "support/strings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

char ringArea[kStrTempRingSize];
size_t ringCursor = 0;  // offset of the next free byte
std::mutex ringMutex;

}  // namespace

char *strTempAlloc(size_t n) {
  if (n > kStrTempMaxRequest) n = kStrTempMaxRequest;
  std::lock_guard<std::mutex> lock(ringMutex);
  if (ringCursor + n <= kStrTempLimit) {
    char *p = ringArea + ringCursor;
    ringCursor += n;
    return p;
  }
  ringCursor = n;
  return ringArea;
}

const char *strTempVprintf(const char *format, va_list args) {
  char *p = strTempAlloc(1024);
  vsnprintf(p, 1024, format, args);
  return p;
}

const char *strTempPrintf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const char *p = strTempVprintf(format, args);
  va_end(args);
  return p;
}

const char *strTempPrintf2(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const char *p = strTempVprintf(format, args);
  va_end(args);
  return p;
}

const char *strTempDup(const char *text) {
  char *p = strTempAlloc(1024);
  strCopy(p, text ? text : "", 1024);
  return p;
}

const char *strTempPrintable(const char *text) {
  char *p = const_cast<char *>(strTempDup(text));
  for (unsigned char *q = reinterpret_cast<unsigned char *>(p); *q; q++) {
    if (*q >= 0x80)
      *q = '?';
    else if (*q == '\n')
      *q = ' ';
  }
  return p;
}

// A negative count gives the empty text: the length of the source is unknown, so nothing
// may be read from it. Counts above 16383 are cut to 16383.
const char *strTempCopy(const void *data, long n) {
  if (data == nullptr || n <= 0) return "";
  if (n > 16383) n = 16383;
  char *p = strTempAlloc(static_cast<size_t>(n) + 1);
  memcpy(p, data, static_cast<size_t>(n));
  p[n] = 0;
  return p;
}

size_t strCopy(char *destination, const char *source, size_t size) {
  if (size == 0) return 0;
  size_t n = 0;
  while (n + 1 < size && source[n]) {
    destination[n] = source[n];
    n++;
  }
  destination[n] = 0;
  return n;
}

size_t strAppend(char *destination, const char *source, size_t size) {
  size_t have = strlen(destination);
  size_t add = strlen(source);
  if (have + 1 < size) strncat(destination, source, size - 1 - have);
  return have + add;
}

char *strAppendf(char *position, char *end, const char *format, ...) {
  if (position >= end) return end - 1;
  size_t room = static_cast<size_t>(end - position);
  va_list args;
  va_start(args, format);
  int n = vsnprintf(position, room, format, args);
  va_end(args);
  if (n < 0) {
    *position = 0;
    return position;
  }
  if (static_cast<size_t>(n) >= room) return end - 1;
  return position + n;
}

char *strNDup(const void *data, size_t n) {
  char *p = static_cast<char *>(malloc(n + 1));
  if (!p) return nullptr;
  if (n) memcpy(p, data, n);
  p[n] = 0;
  return p;
}
