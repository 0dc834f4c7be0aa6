// Temporary strings, error texts, bounded string operations, numbers and text conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdarg>

// Error texts: a fallible operation returns NULL on success, else its message (normally a
// temporary string). Out-of-memory failures name the reporting source file and line.
#define OUT_OF_MEMORY_TEXT() strTempPrintf("Out of memory (%s:%d)", __FILE__, __LINE__)

// --- Temporary-string ring -------------------------------------------------------------
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
