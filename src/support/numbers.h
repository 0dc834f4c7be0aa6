// Numbers and their texts: durations, sizes, versions, integer parsing, bits, scaling, unit
// strings and time zones. Unless noted, a returned text is a temporary string (support/strtemp.h).
#pragma once

#include <cstddef>
#include <cstdint>

// The one meaning of "blank" in the library: white space as isspace sees it in the C locale
// (space, tab, newline, carriage return, form feed, vertical tab).
constexpr bool strIsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// --- Durations, sizes, versions -----------------------------------------------------------
const char *strDurationText(int32_t seconds);  // static 50-byte text, overwritten by the next call
const char *strDurationMsText(uint64_t milliseconds);
int strParseDurationMs(const char *text, uint64_t *milliseconds);  // 1 parsed, 0 not
const char *strSizeText(uint64_t bytes);
const char *strVersionText(unsigned version);  // major * 64 + minor as "major.minor"
const char *strErrno(int error);
int strParseSize(const char *text, uint64_t *bytes);   // 1 parsed, 0 not
int strParseSeconds(const char *text, double *seconds);  // 1 parsed, 0 not
// Decimal, octal (0...) or hexadecimal (0x...) as "%i" reads it (text after the number is
// ignored); 0 when there is no number or it does not fit an int.
int strParseInt(const char *text);
int strIsTrue(const char *text);
// Leading white space, then decimal digits; 1 when at least one digit was read without
// overflow. *end (if given) receives the first byte after the digits.
int strParseU64(const char *text, uint64_t *value, const char **end = nullptr);

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

// Unit strings: items such as "12 px -3.5 mm"; names up to kUnitNameMax characters.
constexpr unsigned kUnitNameMax = 511;
// Reads the next item at *text and advances it. Returns NULL on success (item read, or
// *name empty at the end of the text), else the failure text (a temporary string).
const char *unitParseItem(const char **text, double *number, char name[kUnitNameMax + 1]);
int unitEqual(const char *a, const char *b);
int unitLess(const char *a, const char *b);
int unitLessEqual(const char *a, const char *b);

// Bit i of a bit array is bit (i % 8) of byte i / 8.
void bitsShift(uint8_t *bits, size_t n, long shift);

int tzSetByCity(const char *city);       // 1 when found and TZ set
const char *tzCityName(const char *tz);  // constant text; NULL when unknown
