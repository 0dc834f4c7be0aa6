#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <string>
#include <tuple>
#include <utility>

#include "support/host.h"

namespace {

// The host name (cut to 79 bytes) and the names that mean this host, in any case.
TEST(Host, NameAndLocalNames) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(std::string(hostName()), std::string(name).substr(0, 79));
  std::string upper = hostName();
  for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (auto [text, local] : {std::pair{"LOCALHOST", 1}, {upper.c_str(), 1}, {"no-such-host.invalid", 0}, {"", 0},
                             {"192.0.2.77", 0}})
    EXPECT_EQ(hostIsLocal(text), local) << text;
}

// Control characters other than white space make a text unprintable; the platform comes from uname.
TEST(Host, PrintableTextsAndPlatform) {
  for (auto [text, n, printable] : {std::tuple{"tab\tnew\nline\r\v\f", 15, 1}, {"bell\a", 5, 0}, {"nul\0after", 9, 0},
                                    {"del\x7f", 4, 0}, {"\xc3\xa9t\xc3\xa9", 5, 1}, {"", 0, 1}})
    EXPECT_EQ(strIsPrintable(text, static_cast<size_t>(n)), printable) << text;
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(std::string(platformName()), std::string("Linux (") + names.machine + ")");
  EXPECT_STREQ(platformOsRelease(), names.release);
  EXPECT_STRNE(platformUserName(), "");
}

// Build dates as numbers (unknown months count as 13) and version comparison.
TEST(Host, BuildDatesAndVersions) {
  for (auto [text, value] : {std::pair{"Dec 5 2026", 20261205u}, {"december 05 2026", 20261205u},
                             {"JAN 31 1999", 19990131u}, {"Foo 1 2000", 20001301u}, {"Se 1 2000", 20001301u}})
    EXPECT_EQ(strParseBuildDate(text), value) << text;
  for (auto [a, b, sign] : {std::tuple{"1.10", "1.9", 1}, {"2.0", "2", 0}, {"2", "2.0.1", -1}, {"1.2A", "1.2a", 0},
                            {"1.02", "1.2", 0}, {"3.0 ", "3", 0}, {"1.0beta", "1.0", 1},
                            {"99999999999999999999", "100000000000000000000", -1}}) {
    int r = strVersionCompare(a, b);
    EXPECT_EQ((r > 0) - (r < 0), sign) << a << " vs " << b;
  }
}

volatile sig_atomic_t ownHandlerRan;
void ownHandler(int) { ownHandlerRan = 1; }

// The alarm fires and reports it; nested starts only count; the last stop restores the old
// timer and handler.
TEST(Host, AlarmNestsAndRestoresTheOldTimerAndHandler) {
  struct sigaction own = {}, before, now;
  own.sa_handler = ownHandler;
  ASSERT_EQ(sigaction(SIGALRM, &own, &before), 0);
  alarmStart(50, alarmFired);
  usleep(200000);  // the alarm ends the sleep early
  EXPECT_EQ(alarmStop(), 1);
  EXPECT_EQ(ownHandlerRan, 0);
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
