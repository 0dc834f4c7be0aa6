// Facts about the host, the platform and the user; build dates, version comparison, a nesting
// interval alarm and the heap's figures.
#pragma once

#include <cstddef>
#include <cstdint>

const char *hostName();
int hostIsLocal(const char *name);
int strIsPrintable(const char *text, size_t n);

const char *platformName();    // "Linux (<machine>)" from uname
const char *platformName32();  // "Linux (x86_32)"
const char *platformOsRelease();
const char *platformUserName();

uint32_t strParseBuildDate(const char *text);  // "Dec 5 2026" -> 20261205
int strVersionCompare(const char *a, const char *b);

using AlarmHandler = void (*)(int signal);
void alarmStart(unsigned milliseconds, AlarmHandler handler);
int alarmStop();
void alarmFired(int signal);  // handler that records that the alarm went off

// Bytes of heap this process holds in allocations not freed yet, as its allocator counts them
// (glibc: chunks in use, mapped ones included; under a sanitizer: its allocator's count); 0
// where neither is known.
size_t hostHeapInUse();
// Gives the pages of freed heap memory back to the system (glibc's malloc_trim); elsewhere
// nothing. Costs a walk over the free chunks: for after large frees, not for every one.
void hostHeapTrim();
