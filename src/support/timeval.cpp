// Wall-clock milliseconds, sleeping and calendar steps in local time.
#include "support/timeval.h"

#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/strings.h"

uint64_t tvNowMs() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

void tvSleepMs(uint64_t milliseconds) {
  if (milliseconds < 1000) {
    usleep(static_cast<useconds_t>(milliseconds * 1000));
    return;
  }
  struct timeval timeout;
  timeout.tv_sec = static_cast<time_t>(milliseconds / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  select(0, nullptr, nullptr, nullptr, &timeout);
}

const char *tvFormat(time_t time, const char *format) {
  char *out = strTempAlloc(60);
  if (!out) return "";
  struct tm local;
  if (!localtime_r(&time, &local) || strftime(out, 60, format, &local) == 0) out[0] = 0;
  return out;
}

const char *tvFormatZone(time_t time) {
  char *out = strTempAlloc(60);
  if (!out) return "";
  struct tm local;
  if (!localtime_r(&time, &local)) {
    out[0] = 0;
    return out;
  }
  size_t n = strftime(out, 60, "%Y-%m-%d %H:%M:%S", &local);
  long offset = local.tm_gmtoff;
  char sign = offset < 0 ? '-' : '+';
  offset = labs(offset);
  snprintf(out + n, 60 - n, " %c%02ld%02ld", sign, offset / 3600, offset / 60 % 60);
  return out;
}

long tvZoneOffset() {
  time_t now = time(nullptr);
  struct tm local, utc;
  localtime_r(&now, &local);
  gmtime_r(&now, &utc);
  long offset = static_cast<long>(timegm(&local) - timegm(&utc));
  while (offset > 43200) offset -= 86400;
  while (offset < -43200) offset += 86400;
  return offset;
}

int tvDaysInMonth(int month, int year) {
  switch (month) {
    case 1: case 3: case 5: case 7: case 8: case 10: case 12:
      return 31;
    case 4: case 6: case 9: case 11:
      return 30;
    case 2:
      return ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0) ? 29 : 28;
    default:
      return 0;
  }
}

int tvIsValid(const struct tm *tm) {
  if (!tm || tm->tm_year < 0 || tm->tm_mon < 0 || tm->tm_mon > 11) return 0;
  if (tm->tm_mday < 1 || tm->tm_mday > tvDaysInMonth(tm->tm_mon + 1, tm->tm_year + 1900)) return 0;
  if (tm->tm_hour < 0 || tm->tm_hour > 23 || tm->tm_min < 0 || tm->tm_min > 59) return 0;
  if (tm->tm_sec < 0 || tm->tm_sec > 59) return 0;
  return 1;
}

namespace {

struct tm tvLocal(time_t time) {
  struct tm local = {};
  localtime_r(&time, &local);
  return local;
}

// Carries minutes into hours, hours into days, days into months and months into years by
// the calendar, then turns the local broken-down time back into seconds.
time_t tvCarry(struct tm local) {
  while (local.tm_min >= 60) {
    local.tm_min -= 60;
    local.tm_hour++;
  }
  while (local.tm_hour >= 24) {
    local.tm_hour -= 24;
    local.tm_mday++;
  }
  for (;;) {
    if (local.tm_mon > 11) {
      local.tm_mon -= 12;
      local.tm_year++;
    }
    int days = tvDaysInMonth(local.tm_mon + 1, local.tm_year + 1900);
    if (local.tm_mday <= days) break;
    local.tm_mday -= days;
    local.tm_mon++;
  }
  local.tm_isdst = -1;
  return mktime(&local);
}

}  // namespace

time_t tvStartOfDay(time_t time, long offset) {
  long long shifted = static_cast<long long>(time) + offset;
  long long intoDay = shifted % 86400;
  if (intoDay < 0) intoDay += 86400;
  return static_cast<time_t>(time - intoDay);
}

time_t tvEndOfDay(time_t time) {
  struct tm local = tvLocal(time);
  local.tm_hour = 23;
  local.tm_min = 59;
  local.tm_sec = 59;
  local.tm_isdst = -1;
  return mktime(&local);
}

time_t tvFirstOfMonth(time_t time) {
  struct tm local = tvLocal(time);
  local.tm_mday = 1;
  local.tm_isdst = -1;
  return mktime(&local);
}

time_t tvEndOfMonth(time_t time) {
  struct tm local = tvLocal(time);
  local.tm_mday = 1;
  local.tm_mon++;
  return tvCarry(local) - 1;
}

time_t tvNextQuarterHour(time_t time) {
  struct tm local = tvLocal(time);
  local.tm_sec = 0;
  local.tm_min = (local.tm_min / 15 + 1) * 15;
  return tvCarry(local);
}

time_t tvNextHour(time_t time) {
  struct tm local = tvLocal(time);
  local.tm_sec = 0;
  local.tm_min = 0;
  local.tm_hour++;
  return tvCarry(local);
}

time_t tvNextDay(time_t time) {
  struct tm local = tvLocal(time);
  local.tm_mday++;
  return tvCarry(local);
}

namespace {
// Steps between successive clock samples: the smallest non-zero one or the largest one.
uint64_t tvResolution(int samples, bool finest) {
  uint64_t result = 0;
  struct timeval previous, current;
  gettimeofday(&previous, nullptr);
  for (int i = 1; i < samples; i++) {
    gettimeofday(&current, nullptr);
    int64_t step = (static_cast<int64_t>(current.tv_sec) - previous.tv_sec) * 1000000000LL +
                   (static_cast<int64_t>(current.tv_usec) - previous.tv_usec) * 1000LL;
    previous = current;
    if (step <= 0) continue;
    uint64_t s = static_cast<uint64_t>(step);
    if (finest ? (result == 0 || s < result) : s > result) result = s;
  }
  return result;
}
}  // namespace

uint64_t tvResolutionFine() { return tvResolution(5000, true); }
uint64_t tvResolutionCoarse() { return tvResolution(100, false); }
