#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include "support/timeval.h"

namespace {

// Pins the local time zone for one test and restores the previous one.
class ZoneTest : public ::testing::Test {
 protected:
  std::string savedZone;
  bool hadZone = false;
  void SetUp() override {
    if (const char *tz = getenv("TZ")) {
      hadZone = true;
      savedZone = tz;
    }
  }
  void TearDown() override {
    if (hadZone)
      setenv("TZ", savedZone.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  void zone(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  static time_t at(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
  }
  static std::string text(time_t t) { return tvFormat(t, "%Y-%m-%d %H:%M:%S"); }
};

TEST(TimeValues, DaysInMonth) {
  struct {
    int month, year, days;
  } cases[] = {{2, 1900, 28}, {2, 2000, 29}, {2, 2024, 29}, {2, 2023, 28}, {2, 2100, 28}, {1, 2023, 31},
               {4, 2023, 30},  {9, 2023, 30},  {12, 2023, 31}, {11, 2023, 30}, {13, 2023, 0}, {0, 2023, 0},
               {-1, 2023, 0}};
  for (auto &c : cases) EXPECT_EQ(tvDaysInMonth(c.month, c.year), c.days) << c.month << "/" << c.year;
}

TEST(TimeValues, Validity) {
  struct {
    int year, month0, day, hour, minute, second, valid;
  } cases[] = {{2000, 1, 29, 0, 0, 0, 1},  {1900, 1, 29, 0, 0, 0, 0},   {1899, 0, 1, 0, 0, 0, 0},
               {2023, 11, 31, 23, 59, 59, 1}, {2023, 12, 1, 0, 0, 0, 0}, {2023, 3, 31, 0, 0, 0, 0},
               {2023, 0, 0, 0, 0, 0, 0},   {2023, 0, 1, 24, 0, 0, 0},   {2023, 0, 1, 0, 60, 0, 0},
               {2023, 0, 1, 0, 0, 60, 0},  {2023, -1, 1, 0, 0, 0, 0}};
  for (auto &c : cases) {
    struct tm t = {};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.month0;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    EXPECT_EQ(tvIsValid(&t), c.valid) << c.year << "-" << c.month0 << "-" << c.day;
  }
}

TEST_F(ZoneTest, NextQuarterHourHourAndDayCarryThroughTheCalendar) {
  zone("UTC0");
  struct {
    time_t (*step)(time_t);
    time_t from;
    const char *expected;
  } cases[] = {
      {tvNextQuarterHour, at(2026, 5, 4, 10, 52, 30), "2026-05-04 11:00:00"},
      {tvNextQuarterHour, at(2026, 5, 4, 10, 0, 0), "2026-05-04 10:15:00"},
      {tvNextQuarterHour, at(2026, 5, 4, 10, 29, 59), "2026-05-04 10:30:00"},
      {tvNextQuarterHour, at(2026, 12, 31, 23, 50, 0), "2027-01-01 00:00:00"},
      {tvNextQuarterHour, at(2000, 2, 28, 23, 59, 0), "2000-02-29 00:00:00"},
      {tvNextQuarterHour, at(2001, 2, 28, 23, 59, 0), "2001-03-01 00:00:00"},
      {tvNextHour, at(2026, 4, 30, 23, 10, 5), "2026-05-01 00:00:00"},
      {tvNextHour, at(2026, 4, 30, 7, 0, 0), "2026-04-30 08:00:00"},
      {tvNextDay, at(2026, 12, 31, 8, 30, 0), "2027-01-01 08:30:00"},
      {tvNextDay, at(2000, 2, 28, 12, 0, 0), "2000-02-29 12:00:00"},
      {tvNextDay, at(2100, 2, 28, 12, 0, 0), "2100-03-01 12:00:00"},
      {tvNextDay, at(1900, 2, 28, 6, 0, 0), "1900-03-01 06:00:00"},
      {tvNextHour, at(1999, 12, 31, 23, 0, 0), "2000-01-01 00:00:00"},
      {tvEndOfDay, at(2026, 6, 1, 8, 0, 0), "2026-06-01 23:59:59"},
      {tvFirstOfMonth, at(2026, 6, 17, 8, 5, 0), "2026-06-01 08:05:00"},
      {tvEndOfMonth, at(2000, 2, 10, 12, 0, 0), "2000-03-01 11:59:59"},
      {tvEndOfMonth, at(2026, 12, 10, 0, 0, 0), "2026-12-31 23:59:59"},
  };
  for (auto &c : cases) EXPECT_EQ(text(c.step(c.from)), c.expected) << text(c.from);
}

TEST_F(ZoneTest, StepsFollowLocalTimeAcrossDaylightSaving) {
  zone("CET-1CEST,M3.5.0,M10.5.0/3");
  // 29 March 2026: clocks go from 02:00 to 03:00.
  EXPECT_EQ(text(tvNextQuarterHour(at(2026, 3, 29, 1, 50, 0))), "2026-03-29 03:00:00");
  EXPECT_EQ(text(tvNextDay(at(2026, 3, 28, 12, 0, 0))), "2026-03-29 12:00:00");
  EXPECT_EQ(tvNextDay(at(2026, 3, 28, 12, 0, 0)) - at(2026, 3, 28, 12, 0, 0), 23 * 3600);
  EXPECT_EQ(text(tvEndOfDay(at(2026, 3, 29, 0, 30, 0))), "2026-03-29 23:59:59");
}

TEST_F(ZoneTest, ZoneOffsetAndFormats) {
  zone("XYZ-2");
  EXPECT_EQ(tvZoneOffset(), 7200);
  EXPECT_STREQ(tvFormatZone(0), "1970-01-01 02:00:00 +0200");
  EXPECT_STREQ(tvFormat(86400, "%d.%m.%Y"), "02.01.1970");
  zone("ABC+5:30");
  EXPECT_EQ(tvZoneOffset(), -19800);
  EXPECT_STREQ(tvFormatZone(0), "1969-12-31 18:30:00 -0530");
  zone("FAR-14");
  EXPECT_EQ(tvZoneOffset(), 14 * 3600 - 86400);  // brought into -12h..+12h

  // Start of day in a zone east or west of UTC.
  time_t noonUtc = 86400 * 100 + 12 * 3600;
  EXPECT_EQ(tvStartOfDay(noonUtc, 0), 86400 * 100);
  EXPECT_EQ(tvStartOfDay(noonUtc, 13 * 3600), 86400 * 101 - 13 * 3600);
  EXPECT_EQ(tvStartOfDay(noonUtc, -13 * 3600), 86400 * 100 + 13 * 3600 - 86400);
}

TEST(TimeValues, ClockAndSleep) {
  uint64_t now = tvNowMs();
  uint64_t seconds = static_cast<uint64_t>(time(nullptr));
  EXPECT_LE(llabs(static_cast<long long>(now / 1000) - static_cast<long long>(seconds)), 1);
  for (uint64_t ms : {50ull, 999ull, 1000ull}) {
    auto start = std::chrono::steady_clock::now();
    tvSleepMs(ms);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(static_cast<uint64_t>(took.count()), ms - 1) << ms;
    EXPECT_LT(static_cast<uint64_t>(took.count()), ms + 500) << ms;
  }
  uint64_t fine = tvResolutionFine();
  EXPECT_GT(fine, 0u);
  EXPECT_LE(fine, 1000000u);  // gettimeofday steps at most a millisecond apart in a busy loop
}

}  // namespace
