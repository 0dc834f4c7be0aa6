#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <tuple>

#include "support/host.h"

namespace {

// Host and platform names; control characters other than white space make a text unprintable;
// build dates as numbers (unknown month: 13); versions compare by number, leading zeros and case aside.
TEST(Host, NamesTextsDatesAndVersions) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(std::string(hostName()), std::string(name).substr(0, 79));
  for (auto [text, local] : {std::tuple{"LOCALHOST", 1}, {hostName(), 1}, {"nowhere.invalid", 0}, {"192.0.2.77", 0}})
    EXPECT_EQ(hostIsLocal(text), local) << text;
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(std::string(platformName()), std::string("Linux (") + names.machine + ")");

  for (auto [text, n, printable] : {std::tuple{"\t\n\r\v\f", 5, 1}, {"\a", 1, 0}, {"a\0b", 3, 0}, {"\xc3\xa9", 2, 1}})
    EXPECT_EQ(strIsPrintable(text, static_cast<size_t>(n)), printable) << text;
  for (auto [text, value] : {std::tuple{"DECember 05 2026", 20261205u}, {"Foo 1 2000", 20001301u}})
    EXPECT_EQ(strParseBuildDate(text), value) << text;
  for (auto [a, b, sign] : {std::tuple{"1.009", "1.10", -1}, {"2.0 ", "2", 0}, {"2", "2.0.1", -1}, {"A", "a", 0},
                            {"1.0b", "1.0", 1}, {"99999999999999999999", "100000000000000000000", -1}})
    EXPECT_EQ((strVersionCompare(a, b) > 0) - (strVersionCompare(a, b) < 0), sign) << a << " vs " << b;
}

void ownHandler(int) {}

// The alarm fires and reports it (it would not while our own handler stayed in place); nested
// starts only count; the last stop restores the old timer and handler.
TEST(Host, AlarmNestsAndRestoresTheOldTimerAndHandler) {
  struct sigaction own = {}, before, now;
  own.sa_handler = ownHandler;
  ASSERT_EQ(sigaction(SIGALRM, &own, &before), 0);
  alarmStart(50, alarmFired);
  usleep(200000);  // the alarm ends the sleep early
  EXPECT_EQ(alarmStop(), 1);
  alarmStart(10000, alarmFired);
  alarmStart(10, alarmFired);
  EXPECT_EQ(alarmStop(), 0);
  struct itimerval armed;
  EXPECT_TRUE(getitimer(ITIMER_REAL, &armed) == 0 && armed.it_value.tv_sec > 5);  // the outer alarm still runs
  EXPECT_EQ(alarmStop(), 0);
  getitimer(ITIMER_REAL, &armed);
  EXPECT_EQ(armed.it_value.tv_sec + armed.it_value.tv_usec, 0);
  ASSERT_EQ(sigaction(SIGALRM, &before, &now), 0);
  EXPECT_EQ(now.sa_handler, ownHandler);
}

}  // namespace
