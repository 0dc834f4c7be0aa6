// Temporary strings: a ring of text buffers per thread, and the formatting into it.
#include "support/strtemp.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <charconv>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Each thread has a ring of its own: a text stays valid until the same thread has handed out
// about 64 KiB after it, whatever other threads format meanwhile.
thread_local char ringArea[kStrTempRingSize];
thread_local size_t ringCursor = 0;  // offset of the next free byte

}  // namespace

char *strTempAlloc(size_t n) {
  if (n > kStrTempMaxRequest) n = kStrTempMaxRequest;
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
  snprintf(p, 1024, "%s", text ? text : "");
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
