// Temporary strings and bounded string operations.
#include "support/strings.h"

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

#include "support/problems.h"

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

// ==========================================================================================
// Durations, sizes, versions

namespace {

// v / d rounded with the bias `add` ((v + add) / d) without overflowing for large v.
uint64_t divBiased(uint64_t v, uint64_t d, uint64_t add) {
  return v / d + (v % d + add) / d;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The text without leading and trailing white space, as a view.
std::pair<const char *, size_t> trimmed(const char *text) {
  while (isBlank(*text)) text++;
  size_t n = strlen(text);
  while (n > 0 && isBlank(text[n - 1])) n--;
  return {text, n};
}

bool allDigits(const char *p, size_t n) {
  if (n == 0) return false;
  for (size_t i = 0; i < n; i++)
    if (!isdigit(static_cast<unsigned char>(p[i]))) return false;
  return true;
}

// A plain non-negative decimal number ("12", "1.5", ".5", "3."): digits with at most one
// point and at least one digit. Stored as a double.
bool parsePlainDecimal(const char *p, size_t n, double *value) {
  if (n == 0 || n > 60) return false;
  bool point = false, digit = false;
  for (size_t i = 0; i < n; i++) {
    if (p[i] == '.') {
      if (point) return false;
      point = true;
    } else if (isdigit(static_cast<unsigned char>(p[i]))) {
      digit = true;
    } else {
      return false;
    }
  }
  if (!digit) return false;
  char buffer[64];
  memcpy(buffer, p, n);
  buffer[n] = 0;
  *value = strtod(buffer, nullptr);
  return true;
}

// Splits "<number><blanks><word>" (the word optional). The number is what strtod reads.
// Returns false when there is no number, the number is not finite, or more than one word
// follows it.
bool splitNumberUnit(const char *text, double *number, char *unit, size_t unitSize) {
  auto [p, n] = trimmed(text);
  if (n == 0 || n > 400) return false;
  char buffer[401];
  memcpy(buffer, p, n);
  buffer[n] = 0;
  char *end = nullptr;
  errno = 0;
  double v = strtod(buffer, &end);
  if (end == buffer || !std::isfinite(v)) return false;
  // Hexadecimal floats and exponents after a unit-less prefix are left to strtod; what follows
  // must be one word.
  while (isBlank(*end)) end++;
  size_t len = strlen(end);
  for (size_t i = 0; i < len; i++)
    if (isBlank(end[i])) return false;
  if (len >= unitSize) return false;
  memcpy(unit, end, len + 1);
  *number = v;
  return true;
}

// A non-negative double count of milliseconds as a whole number. Values within a millionth
// of a whole number are taken as that number, so that decimal texts such as "2.3" do not
// lose a millisecond to binary rounding; other values are truncated.
bool wholeMs(double v, uint64_t *out) {
  if (!std::isfinite(v) || v < 0 || v >= 18446744073709549568.0) return false;
  double r = std::nearbyint(v);
  if (std::fabs(v - r) < 1e-6)
    v = r;
  else
    v = std::floor(v);
  *out = static_cast<uint64_t>(v);
  return true;
}

struct UnitFactor {
  const char *name;
  double factor;
};

constexpr UnitFactor kDurationUnits[] = {
    {"ms", 1},
    {"seconds", 1000},       {"second", 1000},      {"sec.", 1000},       {"sec", 1000},
    {"s", 1000},
    {"minutes", 60000},      {"minute", 60000},     {"min.", 60000},      {"min", 60000},
    {"m", 60000},
    {"hours", 3600000},      {"hour", 3600000},     {"h", 3600000},
    {"days", 86400000},      {"day", 86400000},     {"d", 86400000},
    {"weeks", 604800000},    {"week", 604800000},
    {"months", 2592000000.0}, {"month", 2592000000.0},
    {"years", 31536000000.0}, {"year", 31536000000.0},
};

const UnitFactor *findUnit(const UnitFactor *table, size_t n, const char *name) {
  for (size_t i = 0; i < n; i++)
    if (strcasecmp(table[i].name, name) == 0) return &table[i];
  return nullptr;
}

}  // namespace

const char *strDurationText(int32_t seconds) {
  static char text[50];
  int64_t s = seconds < 0 ? 0 : seconds;
  if (s < 180)
    snprintf(text, sizeof text, "%d sec.", static_cast<int>(s));
  else if (s < 7200)
    snprintf(text, sizeof text, "%d min.", static_cast<int>((s + 29) / 60));
  else if (s < 259200)
    snprintf(text, sizeof text, "%d hours", static_cast<int>((s + 1799) / 3600));
  else if (s < 2678401)
    snprintf(text, sizeof text, "%d days", static_cast<int>((s + 43199) / 86400));
  else if (s < 5184000)
    snprintf(text, sizeof text, "%d weeks", static_cast<int>((s + 302399) / 604800));
  else if (s < 63072000)
    snprintf(text, sizeof text, "%d months", static_cast<int>((s + 1295999) / 2592000));
  else
    snprintf(text, sizeof text, "%d years", static_cast<int>((s + 15767999) / 31536000));
  return text;
}

const char *strDurationMsText(uint64_t ms) {
  char *p = strTempAlloc(20);
  unsigned long long v;
  const char *unit;
  if (ms < 2000) {
    snprintf(p, 20, "%u ms", static_cast<unsigned>(ms));
    return p;
  }
  if (ms < 120000) {
    if (ms % 1000 == 0)
      snprintf(p, 20, "%d sec", static_cast<int>(ms / 1000));
    else
      snprintf(p, 20, "%d.%03d sec", static_cast<int>(ms / 1000), static_cast<int>(ms % 1000));
    return p;
  }
  if (ms < 7200000) {
    v = divBiased(ms, 60000, 29999), unit = "min";
  } else if (ms < 259200000) {
    v = divBiased(ms, 3600000, 1799999), unit = "h";
  } else if (ms < 1814400000) {
    v = divBiased(ms, 86400000, 43199999), unit = "days";
  } else if (ms < 7776000000ULL) {
    v = divBiased(ms, 604800000, 302399999), unit = "weeks";
  } else if (ms < 94608000000ULL) {
    v = divBiased(ms, 2592000000ULL, 1295999999), unit = "months";
  } else {
    v = divBiased(ms, 31536000000ULL, 15767999999ULL), unit = "years";
  }
  snprintf(p, 20, "%llu %s", v, unit);
  return p;
}

// Forms: "h:m:s[.fraction]", "m:s[.fraction]", "<number> <unit>", or a bare number of
// seconds. Fractions are decimal ("2.5" is 2500 ms); the arithmetic is in double precision.
int strParseDurationMs(const char *text, uint64_t *milliseconds) {
  if (text == nullptr) return 0;
  auto [p, n] = trimmed(text);
  if (n == 0) return 0;
  const void *colon = memchr(p, ':', n);
  if (colon) {
    // Two or three colon-separated fields; all but the last are whole numbers. As with "%u",
    // blanks may come before a number that follows a colon.
    const char *fields[3];
    size_t lengths[3];
    int count = 0;
    const char *start = p, *end = p + n;
    while (true) {
      const char *c = static_cast<const char *>(memchr(start, ':', static_cast<size_t>(end - start)));
      if (count == 3) return 0;
      fields[count] = start;
      lengths[count] = static_cast<size_t>((c ? c : end) - start);
      count++;
      if (!c) break;
      start = c + 1;
      while (start < end && isBlank(*start)) start++;
    }
    if (count < 2) return 0;
    double total = 0;
    static constexpr double kScale[3] = {3600000.0, 60000.0, 1000.0};
    const double *scale = kScale + (3 - count);
    for (int i = 0; i < count - 1; i++) {
      if (!allDigits(fields[i], lengths[i]) || lengths[i] > 18) return 0;
      double v;
      parsePlainDecimal(fields[i], lengths[i], &v);
      total += v * scale[i];
    }
    double seconds;
    if (!parsePlainDecimal(fields[count - 1], lengths[count - 1], &seconds)) return 0;
    total += seconds * 1000.0;
    return wholeMs(total, milliseconds) ? 1 : 0;
  }
  double seconds;
  if (parsePlainDecimal(p, n, &seconds)) return wholeMs(seconds * 1000.0, milliseconds) ? 1 : 0;
  double number;
  char unit[100];
  if (!splitNumberUnit(p, &number, unit, sizeof unit) || unit[0] == 0 || number < 0) return 0;
  const UnitFactor *u = findUnit(kDurationUnits, std::size(kDurationUnits), unit);
  if (!u) return 0;
  return wholeMs(number * u->factor, milliseconds) ? 1 : 0;
}

const char *strSizeText(uint64_t bytes) {
  char *p = strTempAlloc(30);
  if (bytes < 1024)
    snprintf(p, 30, bytes == 1 ? "%d byte" : "%d bytes", static_cast<int>(bytes));
  else if (bytes < 1048576)  // KB and MB are worked out in single precision
    snprintf(p, 30, "%.1f KB", static_cast<double>(static_cast<float>(bytes) / 1024.0f));
  else if (bytes < 1073741824)
    snprintf(p, 30, "%.1f MB", static_cast<double>(static_cast<float>(bytes) / 1048576.0f));
  else if (bytes < (1ULL << 40))
    snprintf(p, 30, "%.1f GB", static_cast<double>(bytes) / 1073741824.0);
  else
    snprintf(p, 30, "%.1f TB", static_cast<double>(bytes) / 1099511627776.0);
  return p;
}

const char *strVersionText(unsigned version) {
  char *p = strTempAlloc(16);
  snprintf(p, 16, "%u.%u", version / 64, version % 64);
  return p;
}

const char *strErrno(int error) {
  char *p = strTempAlloc(1024);
  const char *text = strerrordesc_np(error);
  snprintf(p, 1024, "%s (errno %d)", text ? text : "unknown error", error);
  return p;
}

int strIsTrue(const char *text) {
  return text && (strcasecmp(text, "on") == 0 || strcasecmp(text, "true") == 0) ? 1 : 0;
}

// As "%i" reads it: leading white space, an optional sign, then a decimal, octal (0...) or
// hexadecimal (0x...) number; what follows the number is not looked at. 0 when there is no
// number or it does not fit an int.
int strParseInt(const char *text) {
  if (!text) return 0;
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 0);
  if (end == text || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return 0;
  return static_cast<int>(v);
}

int strParseU64(const char *text, uint64_t *value, const char **end) {
  if (!text) return 0;
  while (isBlank(*text)) text++;
  uint64_t v = 0;
  const char *p = text;
  bool overflow = false;
  for (; isdigit(static_cast<unsigned char>(*p)); p++) {
    unsigned d = static_cast<unsigned>(*p - '0');
    if (v > (UINT64_MAX - d) / 10) overflow = true;
    v = v * 10 + d;
  }
  if (end) *end = p;
  if (p == text || overflow) return 0;
  *value = v;
  return 1;
}

int strParseSize(const char *text, uint64_t *bytes) {
  static constexpr UnitFactor kSizeUnits[] = {
      {"Bytes", 1.0},           {"Byte", 1.0},           {"B", 1.0},
      {"KB", 1024.0},           {"K", 1024.0},           {"MB", 1048576.0},
      {"M", 1048576.0},         {"GB", 1073741824.0},    {"G", 1073741824.0},
      {"TB", 1099511627776.0},  {"T", 1099511627776.0},  {"Bits", 0.125},
  };
  if (!text) return 0;
  double number;
  char unit[100];
  if (!splitNumberUnit(text, &number, unit, sizeof unit) || number < 0) return 0;
  double factor = 1.0;
  if (unit[0]) {
    const UnitFactor *u = findUnit(kSizeUnits, std::size(kSizeUnits), unit);
    if (!u) return 0;
    factor = u->factor;
  }
  double v = std::floor(number * factor);
  if (!(v < 18446744073709549568.0)) return 0;
  *bytes = static_cast<uint64_t>(v);
  return 1;
}

// ==========================================================================================
// Counted string arrays

int strArrayAppend(int *count, char ***array, const char *text) {
  char *copy = strdup(text);
  if (!copy) return 0;
  size_t n = static_cast<size_t>(*count) + 1;
  char **grown = static_cast<char **>(*array ? realloc(*array, n * sizeof(char *))
                                             : malloc(n * sizeof(char *)));
  if (!grown) {
    free(copy);
    return 0;
  }
  grown[*count] = copy;
  *array = grown;
  (*count)++;
  return 1;
}

int strArrayAppendAll(int *count, char ***array, int n, const char *const *texts) {
  for (int i = 0; i < n; i++)
    if (!strArrayAppend(count, array, texts[i])) return 0;
  return 1;
}

// On failure the texts appended by this call are freed again and the count restored.
int strArrayMerge(int *count, char ***array, int n, const char *const *texts) {
  int before = *count;
  for (int i = 0; i < n; i++) {
    if (strArrayContains(*count, *array, texts[i])) continue;
    if (!strArrayAppend(count, array, texts[i])) {
      for (int j = before; j < *count; j++) free((*array)[j]);
      *count = before;
      if (before == 0) {
        free(*array);
        *array = nullptr;
      }
      return 0;
    }
  }
  return 1;
}

int strArrayContains(int count, const char *const *array, const char *text) {
  for (int i = 0; i < count; i++)
    if (strcmp(array[i], text) == 0) return 1;
  return 0;
}

int strArrayContainsAll(int n, const char *const *texts, int count, const char *const *array) {
  for (int i = 0; i < n; i++)
    if (!strArrayContains(count, array, texts[i])) return 0;
  return 1;
}

int strArrayEqual(int n, const char *const *a, int m, const char *const *b) {
  if (n != m) return 0;
  for (int i = n - 1; i >= 0; i--)
    if (strcmp(a[i], b[i]) != 0) return 0;
  return 1;
}

size_t strArrayTotalLength(int count, const char *const *array) {
  size_t total = 0;
  for (int i = 0; i < count; i++) total += strlen(array[i]);
  return total;
}

char *strArrayJoin(int count, const char *const *array) {
  size_t size = strArrayTotalLength(count, array) + (count > 0 ? static_cast<size_t>(count) : 1);
  char *text = static_cast<char *>(malloc(size));
  if (!text) {
    PROBLEM_OUT_OF_MEMORY_AT("strings.c");
    return nullptr;
  }
  char *p = text;
  for (int i = 0; i < count; i++) {
    if (i > 0) *p++ = ' ';
    size_t len = strlen(array[i]);
    memcpy(p, array[i], len);
    p += len;
  }
  *p = 0;
  return text;
}

int strArrayDup(int *count, char ***array, int n, const char *const *texts) {
  if (n <= 0) {
    *count = 0;
    *array = nullptr;
    return 1;
  }
  char **copy = static_cast<char **>(calloc(static_cast<size_t>(n), sizeof(char *)));
  if (!copy) return 0;
  for (int i = 0; i < n; i++) {
    copy[i] = strdup(texts[i]);
    if (!copy[i]) {
      strArrayFree(i, copy);
      return 0;
    }
  }
  *count = n;
  *array = copy;
  return 1;
}

int strArrayReplace(int *count, char ***array, int n, const char *const *texts) {
  int newCount;
  char **newArray;
  if (!strArrayDup(&newCount, &newArray, n, texts)) return 0;
  strArrayFree(*count, *array);
  *count = newCount;
  *array = newArray;
  return 1;
}

int strArraySet(int count, char **array, int index, const char *text) {
  if (index < 0 || index >= count) return 0;
  char *copy = strdup(text);
  if (!copy) return 0;
  free(array[index]);
  array[index] = copy;
  return 1;
}

// Out-of-range parts of the request are ignored: only existing elements are removed.
void strArrayRemove(int *count, char ***array, int index, int n) {
  if (index < 0 || index >= *count || n <= 0) return;
  if (n > *count - index) n = *count - index;
  for (int i = index; i < index + n; i++) free((*array)[i]);
  memmove(*array + index, *array + index + n,
          static_cast<size_t>(*count - index - n) * sizeof(char *));
  *count -= n;
  if (*count == 0) {
    free(*array);
    *array = nullptr;
  }
}

void strArrayRemoveValue(int *count, char ***array, const char *text) {
  for (int i = *count - 1; i >= 0; i--) {
    if (strcmp((*array)[i], text) == 0) {
      strArrayRemove(count, array, i, 1);
      return;
    }
  }
}

int strArrayTerminate(int *count, char ***array) {
  size_t n = static_cast<size_t>(*count) + 1;
  char **grown = static_cast<char **>(realloc(*array, n * sizeof(char *)));
  if (!grown) return 0;
  grown[*count] = nullptr;
  *array = grown;
  return 1;
}

void strArrayFree(int count, char **array) {
  if (!array) return;
  for (int i = 0; i < count; i++) free(array[i]);
  free(array);
}

// ==========================================================================================
// Further texts

const char *strHex(const void *data, size_t n) {
  if (n > 1023) n = 1023;
  char *p = strTempAlloc(2048);
  static constexpr char kDigits[] = "0123456789abcdef";
  const uint8_t *b = static_cast<const uint8_t *>(data);
  for (size_t i = 0; i < n; i++) {
    p[2 * i] = kDigits[b[i] >> 4];
    p[2 * i + 1] = kDigits[b[i] & 15];
  }
  p[2 * n] = 0;
  return p;
}

namespace {
// Two texts per thread, used in turn, so that two results can appear in one message.
char *nextNumberText() {
  thread_local char texts[2][30];
  thread_local int turn = 0;
  turn ^= 1;
  return texts[turn];
}
}  // namespace

const char *strNumberText(unsigned long n) {
  char *p = nextNumberText();
  snprintf(p, 30, "%lu", n);
  return p;
}

const char *strIntText(int n) {
  char *p = nextNumberText();
  snprintf(p, 30, "%d", n);
  return p;
}

const char *strQuoteIfSpaces(const char *text) {
  char *p = strTempAlloc(1024);
  bool quote = text == nullptr || *text == 0;
  for (const char *q = text; !quote && *q; q++) quote = isBlank(*q);
  if (quote)
    snprintf(p, 1024, "\"%s\"", text ? text : "");
  else
    strCopy(p, text, 1024);
  return p;
}

const char *strShorten(const char *text, size_t max) {
  size_t len = strlen(text);
  if (len <= max) return text;
  if (max > 16383) max = 16383;
  char *p = strTempAlloc(max + 1);
  if (max >= 3) {
    memcpy(p, text, max - 3);
    memcpy(p + max - 3, "...", 3);
  } else {
    memcpy(p, "...", max);
  }
  p[max] = 0;
  return p;
}

char *strAppendAlloc(char *text, const char *more) {
  if (!text) return strdup(more);
  size_t have = strlen(text), add = strlen(more);
  char *grown = static_cast<char *>(realloc(text, have + add + 1));
  if (!grown) return nullptr;
  memcpy(grown + have, more, add + 1);
  return grown;
}

// Greedy wrapping: a line holds at most 66 characters; when a character would go beyond
// that, the line breaks at its last blank or tab. A word longer than a line stays whole and
// breaks at the next blank.
const char *strWrapText(const char *text) {
  constexpr long kColumns = 66;
  char *p = strTempAlloc(1024);
  strCopy(p, text ? text : "", 1024);
  long lineStart = 0, lastBlank = -1;
  for (long i = 0; p[i]; i++) {
    char c = p[i];
    if (c == '\n') {
      lineStart = i + 1;
      lastBlank = -1;
      continue;
    }
    bool blank = c == ' ' || c == '\t';
    if (i - lineStart >= kColumns) {
      if (blank) {
        p[i] = '\n';
        lineStart = i + 1;
        lastBlank = -1;
        continue;
      }
      if (lastBlank >= lineStart) {
        p[lastBlank] = '\n';
        lineStart = lastBlank + 1;
        lastBlank = -1;
      }
    }
    if (blank) lastBlank = i;
  }
  return p;
}

// ==========================================================================================
// Numbers and bits

int bitsCount(uint32_t v) { return __builtin_popcount(v); }

uint32_t bitsHighest(uint32_t v) { return v ? 0x80000000u >> __builtin_clz(v) : 0; }

int bitsLowestIndex(uint32_t v) { return v ? __builtin_ctz(v) : 32; }

int bitsIsContiguous(uint32_t v) {
  if (v == 0) return 0;
  uint32_t run = v >> __builtin_ctz(v);
  return (run & (run + 1)) == 0 ? 1 : 0;
}

int bitsNeeded(uint32_t n) {
  if (n == 0) return 0;
  if (n <= 2) return 1;
  return 32 - __builtin_clz(n - 1);
}

int bitsCountShiftOverlaps(uint32_t mask, uint32_t v) {
  int count = 0;
  while (v >= 2) {
    v >>= 1;
    if (v & mask) count++;
  }
  return count;
}

uint64_t mathGcd(uint64_t a, uint64_t b) {
  while (b) {
    uint64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

int64_t mathDivCeil(int64_t a, int64_t b) {
  if (b == 0) return 0;
  if (b == -1) return a == INT64_MIN ? INT64_MAX : -a;
  int64_t q = a / b;
  if (a % b != 0 && ((a < 0) == (b < 0))) q++;
  return q;
}

int mathFloorLog2(uint64_t v) { return v <= 1 ? 0 : 63 - __builtin_clzll(v); }

int64_t mathRoundUpToMultiple(int64_t v, int64_t m) {
  if (m < 1) return v;
  int64_t r = v % m;
  if (r == 0) return v;
  return v > 0 ? v + (m - r) : v - (m + r);
}

namespace {
// A double rounded to the nearest integer (halves away from zero), kept in int64 range.
int64_t roundToInt64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2233720368547748e18) return INT64_MAX;
  if (v <= -9.2233720368547758e18) return INT64_MIN;
  return std::llround(v);
}

int scaleEntry(int i, int64_t a, int64_t b, int offset, int max) {
  int64_t v = roundToInt64(static_cast<double>(i) * static_cast<double>(a) / static_cast<double>(b)) + offset;
  return static_cast<int>(v < max ? v : max);
}

// a and b reduced by their common divisor; false when b is 0.
bool reduceRatio(int64_t *a, int64_t *b) {
  if (*b == 0) return false;
  uint64_t g = mathGcd(static_cast<uint64_t>(*a < 0 ? -*a : *a), static_cast<uint64_t>(*b < 0 ? -*b : *b));
  if (g > 1) {
    *a /= static_cast<int64_t>(g);
    *b /= static_cast<int64_t>(g);
  }
  return true;
}
}  // namespace

int64_t mathScale(int64_t v, double ratio) { return roundToInt64(static_cast<double>(v) * ratio); }

int64_t mathScaleDiv(int64_t v, double ratio) {
  if (ratio == 0) return 0;
  return roundToInt64(static_cast<double>(v) / ratio);
}

namespace {
// Entry for position i goes to table[i], or to table[n - 1 - i] when reversed. A zero b maps
// every position to the offset (capped at max).
void fillScaleTable(int *table, int n, int a, int b, int offset, int max, bool reversed) {
  int64_t ra = a, rb = b;
  if (!reduceRatio(&ra, &rb)) ra = 0, rb = 1;
  for (int i = 0; i < n; i++) table[reversed ? n - 1 - i : i] = scaleEntry(i, ra, rb, offset, max);
}
}  // namespace

void mathScaleTable(int *table, int n, int a, int b, int offset, int max) {
  fillScaleTable(table, n, a, b, offset, max, false);
}

void mathScaleTableReversed(int *table, int n, int a, int b, int offset, int max) {
  fillScaleTable(table, n, a, b, offset, max, true);
}

// ==========================================================================================
// Further conversions of the library

const char *strClockText(unsigned seconds) {
  if (seconds < 60) return strTempPrintf("%u", seconds);
  if (seconds < 3600) return strTempPrintf("%u:%.2u", seconds / 60, seconds % 60);
  return strTempPrintf("%u:%.2u:%.2u", seconds / 3600, seconds / 60 % 60, seconds % 60);
}

const char *strGoodbyeText(const char *name) { return strTempPrintf("Good bye %s", name ? name : ""); }

const char *strLanguageName(const char *code) {
  static constexpr struct {
    const char *prefix, *name;
  } kLanguages[] = {{"en", "English"}, {"de", "German"}, {"fr", "French"}, {"es", "Spanish"}};
  if (code)
    for (const auto &l : kLanguages)
      if (strncmp(code, l.prefix, 2) == 0) return l.name;
  return "Unknown";
}

const char *strCurrencyCode(const char *code) {
  static constexpr const char *kCodes[] = {"USD", "EUR", "CAD", "CHF", "GBP", "JPY", "RUB", "AUD",
                                           "CNY", "SEK", "NOK", "DKK", "PLN", "CZK", "INR", "BRL"};
  if (code)
    for (const char *c : kCodes)
      if (strcasecmp(code, c) == 0) return c;
  return nullptr;
}

const char *strLengthText(double metres) {
  double a = std::fabs(metres);
  if (a < 0.01) return strTempPrintf("%.2f mm (%.2f in)", metres * 1000.0, metres / 0.0254);
  if (a < 1.0) return strTempPrintf("%.2f cm (%.2f in)", metres * 100.0, metres / 0.0254);
  if (a < 1000.0) return strTempPrintf("%.2f m (%.2f ft)", metres, metres / 0.3048);
  return strTempPrintf("%.2f km (%.2f mi)", metres / 1000.0, metres / 1609.344);
}

// "h:m:s" (each a decimal number), a number with a time unit, or a bare number of seconds.
int strParseSeconds(const char *text, double *seconds) {
  if (!text) return 0;
  auto [p, n] = trimmed(text);
  if (n == 0 || n > 200) return 0;
  char buffer[201];
  memcpy(buffer, p, n);
  buffer[n] = 0;
  if (strchr(buffer, ':')) {
    double h, m, s;
    int used = -1;
    if (sscanf(buffer, "%lf:%lf:%lf%n", &h, &m, &s, &used) != 3 || used != static_cast<int>(n)) return 0;
    double v = h * 3600.0 + m * 60.0 + s;
    if (!std::isfinite(v)) return 0;
    *seconds = v;
    return 1;
  }
  double number;
  char unit[100];
  if (!splitNumberUnit(buffer, &number, unit, sizeof unit)) return 0;
  if (unit[0] == 0) {
    *seconds = number;
    return 1;
  }
  const UnitFactor *u = findUnit(kDurationUnits, std::size(kDurationUnits), unit);
  if (!u) return 0;
  *seconds = number * u->factor / 1000.0;
  return 1;
}

const char *strNanosecondsText(uint64_t ns) {
  double v = static_cast<double>(ns);
  if (ns < 1000) return strTempPrintf("%d nanoseconds", static_cast<int>(ns));
  if (ns < 1000000) return strTempPrintf("%.3f microseconds", v / 1e3);
  if (ns < 1000000000) return strTempPrintf("%.3f milliseconds", v / 1e6);
  if (ns < 60000000000ULL) return strTempPrintf("%.3f seconds", v / 1e9);
  if (ns < 3600000000000ULL) return strTempPrintf("%.3f minutes", v / 60e9);
  return strTempPrintf("%.3f hours", v / 3600e9);
}

const char *strHexOrDecimal(unsigned value, int hex) {
  return hex ? strTempPrintf("0x%x", value) : strTempPrintf("%u", value);
}

// Bytes are read from the end of the text, two digits each; an odd leading digit forms the
// first byte alone ("abc" gives 0a bc).
const uint8_t *strParseHex(const char *text, size_t *count) {
  thread_local uint8_t buffer[kStrParseHexMax];
  if (!text) return nullptr;
  size_t digits = strlen(text);
  size_t bytes = (digits + 1) / 2;
  if (bytes > kStrParseHexMax) return nullptr;
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  long d = static_cast<long>(digits) - 1;
  for (size_t b = bytes; b-- > 0;) {
    int low = value(text[d--]);
    int high = d >= 0 ? value(text[d--]) : 0;
    if (low < 0 || high < 0) return nullptr;
    buffer[b] = static_cast<uint8_t>(high << 4 | low);
  }
  *count = bytes;
  return buffer;
}

const char *strTailShorten(const char *text, size_t max) {
  thread_local char buffer[4096];
  size_t len = strlen(text);
  if (len <= max) return text;
  if (max > sizeof buffer - 3) max = sizeof buffer - 3;
  memcpy(buffer, "..", 2);
  memcpy(buffer + 2, text + len - max, max);
  buffer[max + 2] = 0;
  return buffer;
}

const char *strTimeFormat(int64_t time, const char *format) {
  char *p = strTempAlloc(60);
  time_t t = static_cast<time_t>(time);
  struct tm tm;
  if (!localtime_r(&t, &tm) || strftime(p, 60, format, &tm) == 0) p[0] = 0;
  return p;
}

namespace {

// Reads a time zone suffix: "", "Z", "UTC", "+hh:mm", "-hh:mm" (also "+hhmm"). *offset gets the
// zone's distance east of UTC in seconds; *zoned whether a zone was given.
bool parseZone(const char *s, long *offset, bool *zoned) {
  while (isBlank(*s)) s++;
  *offset = 0;
  *zoned = false;
  if (*s == 0) return true;
  if (strcasecmp(s, "Z") == 0 || strcasecmp(s, "UTC") == 0 || strcasecmp(s, "GMT") == 0) {
    *zoned = true;
    return true;
  }
  if (*s != '+' && *s != '-') return false;
  int sign = *s == '-' ? -1 : 1;
  unsigned h, m;
  int used = -1;
  if (sscanf(s + 1, "%2u:%2u%n", &h, &m, &used) == 2 && s[1 + used] == 0) {
  } else if (used = -1; sscanf(s + 1, "%2u%2u%n", &h, &m, &used) == 2 && used == 4 && s[5] == 0) {
  } else {
    return false;
  }
  if (h > 14 || m > 59) return false;
  *offset = sign * static_cast<long>(h * 3600 + m * 60);
  *zoned = true;
  return true;
}

// Time of day after a date: "", " hh:mm", " hh:mm:ss", optionally followed by " AM"/" PM",
// then a zone. Returns false on anything else.
bool parseClock(const char *s, struct tm *tm, long *offset, bool *zoned) {
  while (isBlank(*s)) s++;
  int h = 0, m = 0, sec = 0, used = -1;
  if (*s) {
    if (sscanf(s, "%2d:%2d:%2d%n", &h, &m, &sec, &used) == 3) {
      s += used;
    } else if (used = -1; sscanf(s, "%2d:%2d%n", &h, &m, &used) == 2) {
      s += used;
    } else if (!parseZone(s, offset, zoned)) {
      return false;
    } else {
      s += strlen(s);
    }
    while (isBlank(*s)) s++;
    if (strncasecmp(s, "AM", 2) == 0 || strncasecmp(s, "PM", 2) == 0) {
      if (h < 1 || h > 12) return false;
      bool pm = toupper(static_cast<unsigned char>(*s)) == 'P';
      h = (h % 12) + (pm ? 12 : 0);
      s += 2;
    }
  }
  if (h < 0 || h > 23 || m < 0 || m > 59 || sec < 0 || sec > 60) return false;
  if (*s && !parseZone(s, offset, zoned)) return false;
  tm->tm_hour = h;
  tm->tm_min = m;
  tm->tm_sec = sec;
  return true;
}

bool validDate(int year, int month, int day) {
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  if (day > kDays[month - 1]) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return !(month == 2 && day == 29 && !leap);
}

}  // namespace

// Dates "YYYY-MM-DD", "MM/DD/YYYY" and "DD.MM.YYYY", each optionally followed by a time of day
// "hh:mm[:ss]" (with "AM"/"PM" for 12-hour clocks) and a zone ("Z", "+hh:mm", "-hh:mm").
// Without a zone the local time zone applies.
int strParseDateTime(const char *text, int64_t *time) {
  if (!text) return 0;
  while (isBlank(*text)) text++;
  int a, b, c, used = -1;
  struct tm tm = {};
  if (sscanf(text, "%4d-%2d-%2d%n", &a, &b, &c, &used) == 3) {
    tm.tm_year = a, tm.tm_mon = b, tm.tm_mday = c;
  } else if (used = -1; sscanf(text, "%2d/%2d/%4d%n", &a, &b, &c, &used) == 3) {
    tm.tm_year = c, tm.tm_mon = a, tm.tm_mday = b;
  } else if (used = -1; sscanf(text, "%2d.%2d.%4d%n", &a, &b, &c, &used) == 3) {
    tm.tm_year = c, tm.tm_mon = b, tm.tm_mday = a;
  } else {
    return 0;
  }
  if (!validDate(tm.tm_year, tm.tm_mon, tm.tm_mday)) return 0;
  const char *rest = text + used;
  if (*rest && !isBlank(*rest) && *rest != '+' && *rest != '-' && *rest != 'Z' && *rest != 'T') return 0;
  if (*rest == 'T') rest++;
  long offset;
  bool zoned;
  if (!parseClock(rest, &tm, &offset, &zoned)) return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  time_t t = zoned ? timegm(&tm) - offset : mktime(&tm);
  *time = static_cast<int64_t>(t);
  return 1;
}

const char *strHexWord(uint32_t v) { return strTempPrintf("0x%x", v); }

// Lines of 16 bytes: "\n%08x  " offset, the bytes as "%02hhx " (short last lines padded so
// that the characters line up), then the printable characters ('.' for others).
const char *strHexDump(const void *data, size_t n) {
  struct HeapText {
    char *text = nullptr;
    ~HeapText() { free(text); }
  };
  thread_local HeapText last;
  free(last.text);
  last.text = nullptr;
  size_t lines = (n + 15) / 16;
  size_t size = lines * (1 + 8 + 2 + 16 * 3 + 16) + 1;
  char *text = static_cast<char *>(malloc(size));
  if (!text) return "NO MEM";
  const unsigned char *b = static_cast<const unsigned char *>(data);
  char *p = text, *end = text + size;
  for (size_t line = 0; line < n; line += 16) {
    p = strAppendf(p, end, "\n%08zx  ", line);
    for (size_t i = line; i < line + 16; i++)
      p = i < n ? strAppendf(p, end, "%02hhx ", b[i]) : strAppendf(p, end, "   ");
    for (size_t i = line; i < line + 16 && i < n; i++)
      p = strAppendf(p, end, "%c", isprint(b[i]) ? b[i] : '.');
  }
  *p = 0;
  last.text = text;
  return text;
}

const char *strFloatText(double v, int minDecimals) {
  if (minDecimals < 0) minDecimals = 0;
  if (minDecimals > 15) minDecimals = 15;
  char *p = strTempAlloc(400);
  int len = snprintf(p, 400, "%.*f", 15, v);
  if (len <= 0 || len >= 400) return p;
  char *point = strchr(p, '.');
  if (!point) return p;
  char *last = p + len - 1;
  while (last > point + minDecimals && *last == '0') *last-- = 0;
  if (last == point) *last = 0;
  return p;
}

const char *strDateStamp(int64_t time, int withDash) {
  thread_local char text[30];
  time_t t = static_cast<time_t>(time);
  struct tm tm;
  if (!localtime_r(&t, &tm) || strftime(text, sizeof text, withDash ? "%d%b%Y-" : "%d%b%Y", &tm) == 0)
    text[0] = 0;
  return text;
}

const char *strU64Text(uint64_t v) {
  return strTempPrintf("%llu", static_cast<unsigned long long>(v));
}

// ==========================================================================================
// Unit strings

namespace {
bool unitNameChar(char c) {
  return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
}

struct UnitItem {
  double number;
  std::string name;
};

bool parseUnitString(const char *text, std::vector<UnitItem> *items) {
  if (!text) return false;
  char name[kUnitNameMax + 1];
  double number;
  while (true) {
    if (unitParseItem(&text, &number, name)) return false;
    if (!name[0]) return true;
    items->push_back({number, name});
  }
}

// -1, 0, 1 for a < b, a == b, a > b; 2 when the strings cannot be compared.
int unitCompare(const char *a, const char *b) {
  std::vector<UnitItem> x, y;
  if (!parseUnitString(a, &x) || !parseUnitString(b, &y)) return 2;
  size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; i++)
    if (strcasecmp(x[i].name.c_str(), y[i].name.c_str()) != 0) return 2;
  for (size_t i = 0; i < n; i++)
    if (x[i].number != y[i].number) return x[i].number < y[i].number ? -1 : 1;
  if (x.size() == y.size()) return 0;
  return x.size() < y.size() ? -1 : 1;
}
}  // namespace

const char *unitParseItem(const char **text, double *number, char name[kUnitNameMax + 1]) {
  const char *s = *text;
  while (isBlank(*s)) s++;
  name[0] = 0;
  if (*s == 0) {
    *text = s;
    return nullptr;
  }
  const char *start = s;
  if (*s == '+' || *s == '-') s++;
  const char *digits = s;
  while (isdigit(static_cast<unsigned char>(*s))) s++;
  if (*s == '.') {
    s++;
    while (isdigit(static_cast<unsigned char>(*s))) s++;
  }
  if (s == digits || (s == digits + 1 && *digits == '.'))
    return strTempPrintf("Invalid unit string near '%s'", start);
  // Only the scanned digits count: strtod would also take an exponent or a hexadecimal
  // prefix ("1e5px", "0x1A") that belongs to the unit name.
  double magnitude = 0;
  std::from_chars(digits, s, magnitude, std::chars_format::fixed);
  *number = *start == '-' ? -magnitude : magnitude;
  while (isBlank(*s)) s++;
  const char *nameStart = s;
  while (unitNameChar(*s)) s++;
  size_t len = static_cast<size_t>(s - nameStart);
  if (len == 0 || (*s && !isBlank(*s))) return strTempPrintf("Invalid unit string near '%s'", start);
  if (len > kUnitNameMax) return strTempPrintf("Unit name exceeds %u characters", kUnitNameMax);
  memcpy(name, nameStart, len);
  name[len] = 0;
  *text = s;
  return nullptr;
}

int unitEqual(const char *a, const char *b) { return unitCompare(a, b) == 0 ? 1 : 0; }
int unitLess(const char *a, const char *b) { return unitCompare(a, b) == -1 ? 1 : 0; }
int unitLessEqual(const char *a, const char *b) {
  int c = unitCompare(a, b);
  return c == -1 || c == 0 ? 1 : 0;
}

// ==========================================================================================
// Bit arrays and time zones

void bitsShift(uint8_t *bits, size_t n, long shift) {
  auto get = [bits](size_t i) { return (bits[i / 8] >> (i % 8)) & 1; };
  auto set = [bits](size_t i, int v) {
    bits[i / 8] = static_cast<uint8_t>((bits[i / 8] & ~(1u << (i % 8))) | (static_cast<unsigned>(v) << (i % 8)));
  };
  if (shift > 0) {
    size_t s = static_cast<size_t>(shift);
    for (size_t i = n; i-- > 0;) set(i, i >= s ? get(i - s) : 0);
  } else if (shift < 0) {
    size_t s = static_cast<size_t>(-(shift + 1)) + 1;
    for (size_t i = 0; i < n; i++) set(i, s < n - i ? get(i + s) : 0);
  }
}

namespace {
struct CityZone {
  const char *city, *tz;
};
constexpr CityZone kCityZones[] = {
    {"London", "Europe/London"},       {"Berlin", "Europe/Berlin"},
    {"Paris", "Europe/Paris"},         {"Madrid", "Europe/Madrid"},
    {"Rome", "Europe/Rome"},           {"Zurich", "Europe/Zurich"},
    {"Vienna", "Europe/Vienna"},       {"Amsterdam", "Europe/Amsterdam"},
    {"Stockholm", "Europe/Stockholm"}, {"Helsinki", "Europe/Helsinki"},
    {"Moscow", "Europe/Moscow"},       {"New York", "America/New_York"},
    {"Chicago", "America/Chicago"},    {"Denver", "America/Denver"},
    {"Los Angeles", "America/Los_Angeles"}, {"Toronto", "America/Toronto"},
    {"Sao Paulo", "America/Sao_Paulo"}, {"Tokyo", "Asia/Tokyo"},
    {"Shanghai", "Asia/Shanghai"},     {"Singapore", "Asia/Singapore"},
    {"Kolkata", "Asia/Kolkata"},       {"Dubai", "Asia/Dubai"},
    {"Sydney", "Australia/Sydney"},    {"Auckland", "Pacific/Auckland"},
    {"Honolulu", "Pacific/Honolulu"},  {"UTC", "UTC"},
};
}  // namespace

int tzSetByCity(const char *city) {
  if (!city) return 0;
  for (const auto &c : kCityZones) {
    if (strcasecmp(c.city, city) == 0) {
      if (setenv("TZ", c.tz, 1) != 0) return 0;
      tzset();
      return 1;
    }
  }
  return 0;
}

const char *tzCityName(const char *tz) {
  if (!tz) return nullptr;
  for (const auto &c : kCityZones)
    if (strcmp(c.tz, tz) == 0) return c.city;
  return nullptr;
}
