// Facts about the host, the platform and the user; build dates, version comparison and a
// nesting interval alarm.
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
