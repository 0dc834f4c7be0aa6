// Temporary strings, error texts, bounded string operations, numbers and text conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdarg>

// Error texts: a fallible operation returns NULL on success, else its message (normally a
// temporary string). Out-of-memory failures name the reporting source file and line.
#define OUT_OF_MEMORY_TEXT() OUT_OF_MEMORY_TEXT_AT(__FILE__)
// The same with a fixed source name where the reports must name one ("datapack.c").
#define OUT_OF_MEMORY_TEXT_AT(source) strTempPrintf("Out of memory (%s:%d)", (source), __LINE__)

// --- Temporary-string ring -------------------------------------------------------------
// Every thread has its own ring: a temporary text stays valid until the same thread has
// taken about 64 KiB of further temporary texts. Never free one; copy what must live longer.
constexpr size_t kStrTempRingSize = 65528;
constexpr size_t kStrTempLimit = 65527;     // cursor + n must stay within this many bytes
constexpr size_t kStrTempMaxRequest = 16384;

char *strTempAlloc(size_t n);
const char *strTempPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
const char *strTempPrintf2(const char *format, ...) __attribute__((format(printf, 1, 2)));
const char *strTempVprintf(const char *format, va_list args);
const char *strTempDup(const char *text);
const char *strTempPrintable(const char *text);
const char *strTempCopy(const void *data, long n);

// --- Bounded string operations ----------------------------------------------------------
size_t strCopy(char *destination, const char *source, size_t size);
size_t strAppend(char *destination, const char *source, size_t size);
char *strAppendf(char *position, char *end, const char *format, ...) __attribute__((format(printf, 3, 4)));
char *strNDup(const void *data, size_t n);

// --- Durations, sizes, versions and other texts -------------------------------------------
// Unless noted, results live in temporary strings.
const char *strDurationText(int32_t seconds);  // static 50-byte text, overwritten by the next call
const char *strDurationMsText(uint64_t milliseconds);
int strParseDurationMs(const char *text, uint64_t *milliseconds);  // 1 parsed, 0 not
const char *strSizeText(uint64_t bytes);
const char *strVersionText(unsigned version);  // major * 64 + minor as "major.minor"
const char *strErrno(int error);
const char *strHex(const void *data, size_t n);      // n at most 1023
const char *strNumberText(unsigned long n);         // one of two static texts used in turn
const char *strIntText(int n);                      // one of two static texts used in turn
const char *strQuoteIfSpaces(const char *text);
const char *strShorten(const char *text, size_t max);
char *strAppendAlloc(char *text, const char *more);  // heap text; NULL when out of memory
const char *strWrapText(const char *text);

// --- Numbers and bits ---------------------------------------------------------------------
int bitsCount(uint32_t v);
uint32_t bitsHighest(uint32_t v);
int bitsLowestIndex(uint32_t v);
int bitsIsContiguous(uint32_t v);
int bitsNeeded(uint32_t n);
int bitsCountShiftOverlaps(uint32_t mask, uint32_t v);
uint64_t mathGcd(uint64_t a, uint64_t b);
int64_t mathDivCeil(int64_t a, int64_t b);  // b must not be 0 (0 is returned then)
int mathFloorLog2(uint64_t v);
int64_t mathRoundUpToMultiple(int64_t v, int64_t m);
int64_t mathScale(int64_t v, double ratio);
int64_t mathScaleDiv(int64_t v, double ratio);
void mathScaleTable(int *table, int n, int a, int b, int offset, int max);
void mathScaleTableReversed(int *table, int n, int a, int b, int offset, int max);

// --- Further conversions --------------------------------------------------------------------
const char *strClockText(unsigned seconds);
const char *strGoodbyeText(const char *name);
const char *strLanguageName(const char *code);
const char *strCurrencyCode(const char *code);  // canonical code, NULL when not a known one
const char *strLengthText(double metres);
int strParseSize(const char *text, uint64_t *bytes);   // 1 parsed, 0 not
int strParseSeconds(const char *text, double *seconds);  // 1 parsed, 0 not
const char *strNanosecondsText(uint64_t nanoseconds);
// Decimal, octal (0...) or hexadecimal (0x...) as "%i" reads it (text after the number is
// ignored); 0 when there is no number or it does not fit an int.
int strParseInt(const char *text);
const char *strHexOrDecimal(unsigned value, int hex);
// Hexadecimal digits into bytes (static buffer, overwritten by the next call); NULL on a
// non-hex character or when the result exceeds kStrParseHexMax bytes.
constexpr size_t kStrParseHexMax = 1024;
const uint8_t *strParseHex(const char *text, size_t *count);
const char *strTailShorten(const char *text, size_t max);  // static 4096-byte text
const char *strTimeFormat(int64_t time, const char *format);  // local time, 60 bytes
int strParseDateTime(const char *text, int64_t *time);       // 1 parsed, 0 not
int strIsTrue(const char *text);
const char *strHexWord(uint32_t v);
// Hex dump with offsets; the text stays valid until this thread's next call.
// "NO MEM" when no memory is left.
const char *strHexDump(const void *data, size_t n);
const char *strFloatText(double v, int minDecimals);
const char *strDateStamp(int64_t time, int withDash);  // static 30-byte text
const char *strU64Text(uint64_t v);
// Leading white space, then decimal digits; 1 when at least one digit was read without
// overflow. *end (if given) receives the first byte after the digits.
int strParseU64(const char *text, uint64_t *value, const char **end = nullptr);

// Unit strings: items such as "12 px -3.5 mm"; names up to kUnitNameMax characters.
constexpr unsigned kUnitNameMax = 511;
// Reads the next item at *text and advances it. Returns NULL on success (item read, or
// *name empty at the end of the text), else the failure text.
const char *unitParseItem(const char **text, double *number, char name[kUnitNameMax + 1]);
int unitEqual(const char *a, const char *b);
int unitLess(const char *a, const char *b);
int unitLessEqual(const char *a, const char *b);

// Bit i of a bit array is bit (i % 8) of byte i / 8.
void bitsShift(uint8_t *bits, size_t n, long shift);

int tzSetByCity(const char *city);       // 1 when found and TZ set
const char *tzCityName(const char *tz);  // NULL when unknown

// --- Counted string arrays: 1 done, 0 out of memory (array unchanged) ----------------------
int strArrayAppend(int *count, char ***array, const char *text);
int strArrayAppendAll(int *count, char ***array, int n, const char *const *texts);
int strArrayMerge(int *count, char ***array, int n, const char *const *texts);
int strArrayContains(int count, const char *const *array, const char *text);
int strArrayContainsAll(int n, const char *const *texts, int count, const char *const *array);
int strArrayEqual(int n, const char *const *a, int m, const char *const *b);
size_t strArrayTotalLength(int count, const char *const *array);
char *strArrayJoin(int count, const char *const *array);  // heap text; NULL out of memory
int strArrayDup(int *count, char ***array, int n, const char *const *texts);
int strArrayReplace(int *count, char ***array, int n, const char *const *texts);
int strArraySet(int count, char **array, int index, const char *text);
void strArrayRemove(int *count, char ***array, int index, int n);
void strArrayRemoveValue(int *count, char ***array, const char *text);
int strArrayTerminate(int *count, char ***array);
void strArrayFree(int count, char **array);

