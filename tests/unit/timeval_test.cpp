#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>

#include "support/timeval.h"

namespace {

// Pins the local time zone; only the calendar test reads it, so it is not restored.
void zone(const char *tz) { setenv("TZ", tz, 1), tzset(); }
time_t at(int year, int month, int day, int hour, int minute) {
  struct tm t = {0, minute, hour, day, month - 1, year - 1900, 0, 0, -1, 0, nullptr};
  return mktime(&t);
}
std::string text(time_t t) { return tvFormat(t, "%Y-%m-%d %H:%M:%S"); }

// Month lengths with the Gregorian leap rules, and the validity of broken-down times.
TEST(TimeValues, DaysInMonthAndValidity) {
  struct { int month, year, days; } months[] = {{2, 1900, 28}, {2, 2000, 29}, {2, 2024, 29}, {13, 2023, 0}};
  for (auto &c : months) EXPECT_EQ(tvDaysInMonth(c.month, c.year), c.days) << c.month << "/" << c.year;

  struct { int year, month0, day, hour, minute, second, valid; } times[] = {
      {2000, 1, 29, 0, 0, 0, 1}, {1900, 1, 29, 0, 0, 0, 0}, {1899, 0, 1, 0, 0, 0, 0}, {2023, 11, 31, 23, 59, 59, 1},
      {2023, 12, 1, 0, 0, 0, 0}, {2023, 3, 31, 0, 0, 0, 0}, {2023, 0, 0, 0, 0, 0, 0}, {2023, 0, 1, 24, 0, 0, 0},
      {2023, 0, 1, 0, 60, 0, 0}, {2023, 0, 1, 0, 0, 60, 0}};
  for (auto &c : times) {
    struct tm t = {c.second, c.minute, c.hour, c.day, c.month0, c.year - 1900, 0, 0, 0, 0, nullptr};
    EXPECT_EQ(tvIsValid(&t), c.valid) << c.year << "-" << c.month0 << "-" << c.day;
  }
}

// Calendar steps carry into hour, day, month and year; in a zone with daylight saving they
// follow local time.
TEST(TimeValues, CalendarStepsAndZoneOffsets) {
  zone("UTC0");
  struct { time_t (*step)(time_t); time_t from; const char *expected; } cases[] = {
      {tvNextQuarterHour, at(2026, 12, 31, 23, 50), "2027-01-01 00:00:00"},
      {tvNextQuarterHour, at(2000, 2, 28, 23, 59), "2000-02-29 00:00:00"},
      {tvNextHour, at(2026, 4, 30, 23, 10), "2026-05-01 00:00:00"},
      {tvNextDay, at(1900, 2, 28, 6, 0), "1900-03-01 06:00:00"},
      {tvEndOfDay, at(2026, 6, 1, 8, 0), "2026-06-01 23:59:59"},
      {tvFirstOfMonth, at(2026, 6, 17, 8, 5), "2026-06-01 08:05:00"},
      {tvEndOfMonth, at(2000, 2, 10, 12, 0), "2000-03-01 11:59:59"},
  };
  for (auto &c : cases) EXPECT_EQ(text(c.step(c.from)), c.expected) << text(c.from);

  zone("CET-1CEST,M3.5.0,M10.5.0/3");  // 29 March 2026: clocks go from 02:00 to 03:00
  EXPECT_EQ(text(tvNextQuarterHour(at(2026, 3, 29, 1, 50))), "2026-03-29 03:00:00");
  EXPECT_EQ(tvNextDay(at(2026, 3, 28, 12, 0)) - at(2026, 3, 28, 12, 0), 23 * 3600);

  // Zone offsets east and west, brought into -12 h..+12 h, in texts and for the start of a day.
  for (auto [tz, offset, text] : {std::tuple{"XYZ-2", 7200L, "1970-01-01 02:00:00 +0200"},
                                  {"ABC+5:30", -19800L, "1969-12-31 18:30:00 -0530"},
                                  {"FAR-14", -36000L, "1970-01-01 14:00:00 +1400"}}) {
    zone(tz);
    EXPECT_EQ(tvZoneOffset(), offset) << tz;
    EXPECT_STREQ(tvFormatZone(0), text) << tz;
  }
  time_t noonUtc = 86400 * 100 + 12 * 3600;
  EXPECT_EQ(tvStartOfDay(noonUtc, 13 * 3600), 86400 * 101 - 13 * 3600);
  EXPECT_EQ(tvStartOfDay(noonUtc, -13 * 3600), 86400 * 100 + 13 * 3600 - 86400);
  EXPECT_EQ(tvStartOfDay(-3600, 0), -86400);  // before 1970
}

// The clock agrees with time(); sleeps below and from one second last as long as asked.
TEST(TimeValues, ClockAndSleep) {
  EXPECT_LE(llabs(static_cast<long long>(tvNowMs() / 1000) - static_cast<long long>(time(nullptr))), 1);
  for (long ms : {50L, 999L, 1000L}) {
    auto start = std::chrono::steady_clock::now();
    tvSleepMs(static_cast<uint64_t>(ms));
    long took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(took >= ms - 1 && took < ms + 500) << ms << ": " << took;
  }
  EXPECT_TRUE(tvResolutionFine() > 0 && tvResolutionFine() <= 1000000u);  // at most a millisecond
}

}  // namespace
