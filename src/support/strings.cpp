// Bounded string operations and texts of the library (hexadecimal, shortened, wrapped,
// dates and dumps).
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
  for (const char *q = text; !quote && *q; q++) quote = strIsBlank(*q);
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
  while (strIsBlank(*s)) s++;
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
  while (strIsBlank(*s)) s++;
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
    while (strIsBlank(*s)) s++;
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
  while (strIsBlank(*text)) text++;
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
  if (*rest && !strIsBlank(*rest) && *rest != '+' && *rest != '-' && *rest != 'Z' && *rest != 'T') return 0;
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
