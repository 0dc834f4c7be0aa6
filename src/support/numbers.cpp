// Numbers and their texts: durations, sizes, versions, integers, bits, scaling, unit strings
// and time zones.
#include "support/numbers.h"

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

#include "support/strtemp.h"

// ==========================================================================================
// Durations, sizes, versions

namespace {

// v / d rounded with the bias `add` ((v + add) / d) without overflowing for large v.
uint64_t divBiased(uint64_t v, uint64_t d, uint64_t add) {
  return v / d + (v % d + add) / d;
}


// The text without leading and trailing white space, as a view.
std::pair<const char *, size_t> trimmed(const char *text) {
  while (strIsBlank(*text)) text++;
  size_t n = strlen(text);
  while (n > 0 && strIsBlank(text[n - 1])) n--;
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
  while (strIsBlank(*end)) end++;
  size_t len = strlen(end);
  for (size_t i = 0; i < len; i++)
    if (strIsBlank(end[i])) return false;
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
      while (start < end && strIsBlank(*start)) start++;
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
  while (strIsBlank(*text)) text++;
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
  while (strIsBlank(*s)) s++;
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
  while (strIsBlank(*s)) s++;
  const char *nameStart = s;
  while (unitNameChar(*s)) s++;
  size_t len = static_cast<size_t>(s - nameStart);
  if (len == 0 || (*s && !strIsBlank(*s))) return strTempPrintf("Invalid unit string near '%s'", start);
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
