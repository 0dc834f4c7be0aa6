#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "support/host.h"

namespace {

TEST(Host, NameAndLocalNames) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(std::string(hostName()), std::string(name).substr(0, 79));
  std::string upper = hostName();
  for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  struct {
    const char *name;
    int local;
  } cases[] = {{"LOCALHOST", 1}, {"localhost", 1}, {upper.c_str(), 1}, {"no-such-host.invalid", 0}, {"", 0},
               {"192.0.2.77", 0}};
  for (auto &c : cases) EXPECT_EQ(hostIsLocal(c.name), c.local) << c.name;
}

TEST(Host, PrintableTexts) {
  struct {
    const char *text;
    size_t n;
    int printable;
  } cases[] = {{"plain text", 10, 1}, {"tab\tnew\nline\r\v\f", 15, 1}, {"bell\a", 5, 0},
               {"nul\0after", 9, 0},   {"del\x7f", 4, 0},              {"\xc3\xa9t\xc3\xa9", 5, 1},
               {"esc\x1b[", 5, 0},     {"", 0, 1}};
  for (auto &c : cases) EXPECT_EQ(strIsPrintable(c.text, c.n), c.printable) << c.text;
}

TEST(Host, PlatformFactsComeFromUname) {
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(std::string(platformName()), std::string("Linux (") + names.machine + ")");
  EXPECT_STREQ(platformName32(), "Linux (x86_32)");
  EXPECT_STREQ(platformOsRelease(), names.release);
  EXPECT_STRNE(platformUserName(), "");
}

TEST(Host, BuildDates) {
  struct {
    const char *text;
    uint32_t value;
  } cases[] = {{"Dec 5 2026", 20261205}, {"Dec  5 2026", 20261205}, {"december 05 2026", 20261205},
               {"JAN 31 1999", 19990131}, {"Foo 1 2000", 20001301},  {"Se 1 2000", 20001301},
               {"", 1300},                {"Feb", 200}};
  for (auto &c : cases) EXPECT_EQ(strParseBuildDate(c.text), c.value) << c.text;
}

TEST(Host, VersionComparison) {
  struct {
    const char *a, *b;
    int sign;
  } cases[] = {{"1.10", "1.9", 1},   {"2.0", "2", 0},       {"2", "2.0.0", 0},     {"2.0.1", "2", 1},
               {"2", "2.0.1", -1},   {"1.2A", "1.2a", 0},   {"1.2a", "1.2b", -1},  {"10", "9", 1},
               {"1.02", "1.2", 0},   {"3.0 ", "3", 0},      {"", "", 0},           {"", "0.0", 0},
               {"99999999999999999999", "100000000000000000000", -1}, {"1.0beta", "1.0", 1}};
  for (auto &c : cases) {
    int r = strVersionCompare(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  }
}

volatile sig_atomic_t ownHandlerRan;
void ownHandler(int) { ownHandlerRan = 1; }

TEST(Host, AlarmNestsAndRestoresTheOldTimerAndHandler) {
  struct sigaction previous = {};
  previous.sa_handler = ownHandler;
  sigemptyset(&previous.sa_mask);
  struct sigaction before;
  ASSERT_EQ(sigaction(SIGALRM, &previous, &before), 0);

  alarmStart(50, alarmFired);
  for (int i = 0; i < 200; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    struct itimerval left;
    getitimer(ITIMER_REAL, &left);
    if (!left.it_value.tv_sec && !left.it_value.tv_usec) break;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(alarmStop(), 1);
  EXPECT_EQ(ownHandlerRan, 0);

  alarmStart(10000, alarmFired);
  alarmStart(10, alarmFired);  // nested: only counts
  EXPECT_EQ(alarmStop(), 0);
  struct itimerval armed;
  getitimer(ITIMER_REAL, &armed);
  EXPECT_GT(armed.it_value.tv_sec, 5);
  EXPECT_EQ(alarmStop(), 0);
  getitimer(ITIMER_REAL, &armed);
  EXPECT_EQ(armed.it_value.tv_sec, 0);
  EXPECT_EQ(armed.it_value.tv_usec, 0);

  struct sigaction now;
  ASSERT_EQ(sigaction(SIGALRM, &before, &now), 0);
  EXPECT_EQ(now.sa_handler, ownHandler);  // the handler in place before the alarm is back
}

}  // namespace
