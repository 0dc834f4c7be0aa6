// Temporary strings and error texts.
//
// What a returned `const char *` of the support library is, as each header says for its
// functions: a temporary string (this thread's ring, below: valid until the same thread has
// taken about 64 KiB more; never freed), a static buffer (overwritten by the next call, from
// any thread), a per-thread buffer, a constant text, or heap memory that the caller frees.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

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
