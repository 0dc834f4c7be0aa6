// Bounded string operations and texts of the library. This header also gives temporary
// strings and error texts (strtemp.h), numbers and their texts (numbers.h) and counted string
// arrays (strarray.h).
//
// Unless noted, a returned `const char *` is a temporary string: this thread's ring, valid until
// the same thread has taken about 64 KiB more temporary texts, never freed by the caller.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "support/numbers.h"
#include "support/strarray.h"
#include "support/strtemp.h"

// --- Bounded string operations ----------------------------------------------------------
size_t strCopy(char *destination, const char *source, size_t size);
size_t strAppend(char *destination, const char *source, size_t size);
char *strAppendf(char *position, char *end, const char *format, ...) __attribute__((format(printf, 3, 4)));
char *strNDup(const void *data, size_t n);  // heap text the caller frees; NULL out of memory

// --- Texts ----------------------------------------------------------------------------------
const char *strHex(const void *data, size_t n);      // n at most 1023
const char *strNumberText(unsigned long n);         // one of two per-thread texts used in turn
const char *strIntText(int n);                      // one of two per-thread texts used in turn
const char *strQuoteIfSpaces(const char *text);
const char *strShorten(const char *text, size_t max);  // text itself when it is short enough
char *strAppendAlloc(char *text, const char *more);  // heap text the caller frees; NULL out of memory
const char *strWrapText(const char *text);

// --- Further conversions --------------------------------------------------------------------
const char *strClockText(unsigned seconds);
const char *strGoodbyeText(const char *name);
const char *strLanguageName(const char *code);  // constant text
const char *strCurrencyCode(const char *code);  // canonical code (constant), NULL when not a known one
const char *strLengthText(double metres);
const char *strNanosecondsText(uint64_t nanoseconds);
const char *strHexOrDecimal(unsigned value, int hex);
// Hexadecimal digits into bytes (static buffer, overwritten by the next call); NULL on a
// non-hex character or when the result exceeds kStrParseHexMax bytes.
constexpr size_t kStrParseHexMax = 1024;
const uint8_t *strParseHex(const char *text, size_t *count);
// text itself when it is short enough, else a static 4096-byte text overwritten by the next call
const char *strTailShorten(const char *text, size_t max);
const char *strTimeFormat(int64_t time, const char *format);  // local time, 60 bytes
int strParseDateTime(const char *text, int64_t *time);       // 1 parsed, 0 not
const char *strHexWord(uint32_t v);
// Hex dump with offsets; a per-thread heap buffer, valid until this thread's next call.
// "NO MEM" when no memory is left.
const char *strHexDump(const void *data, size_t n);
const char *strFloatText(double v, int minDecimals);
const char *strDateStamp(int64_t time, int withDash);  // static 30-byte text, overwritten by the next call
const char *strU64Text(uint64_t v);
