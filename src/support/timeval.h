// Wall-clock milliseconds, sleeping and calendar steps. Calendar operations take and return
// seconds since the epoch (time_t); tvNowMs gives milliseconds.
#pragma once

#include <cstdint>
#include <ctime>

uint64_t tvNowMs();
void tvSleepMs(uint64_t milliseconds);

const char *tvFormat(time_t time, const char *format);  // 60-byte temporary string
const char *tvFormatZone(time_t time);                   // "%Y-%m-%d %H:%M:%S +hhmm"
long tvZoneOffset();                                     // seconds east of UTC

int tvDaysInMonth(int month, int year);  // month 1..12; 0 for any other month
int tvIsValid(const struct tm *tm);

time_t tvStartOfDay(time_t time, long offset);
time_t tvEndOfDay(time_t time);
time_t tvFirstOfMonth(time_t time);
time_t tvEndOfMonth(time_t time);
time_t tvNextQuarterHour(time_t time);
time_t tvNextHour(time_t time);
time_t tvNextDay(time_t time);

uint64_t tvResolutionFine();    // nanoseconds
uint64_t tvResolutionCoarse();  // nanoseconds
