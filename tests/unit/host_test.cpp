#include <gtest/gtest.h>

#include "sanitizer_runtime.h"

#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

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

// Resident kilobytes of this process (VmRSS).
long residentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// The count follows small and large allocations up and back down (a large one is mapped on
// its own by glibc, counted by a sanitizer's allocator alike).
TEST(Host, HeapInUseFollowsAllocationsBothWays) {
  const size_t before = hostHeapInUse();
  ASSERT_GT(before, 0u);
  std::vector<void *> small;
  for (int i = 0; i < 4000; i++) small.push_back(malloc(100));
  void *large = malloc(size_t{4} << 20);
  ASSERT_NE(large, nullptr);
  const size_t during = hostHeapInUse();
  EXPECT_GE(during - before, 4000 * 100 + (size_t{4} << 20));
  for (void *p : small) free(p);
  free(large);
  const size_t after = hostHeapInUse();
  EXPECT_LT(after > before ? after - before : 0, 64u * 1024) << before << " " << after;
}

// Freed small chunks below a live one stay resident until the trim gives their pages back.
TEST(Host, HeapTrimGivesFreedPagesBack) {
  if (testUnderSanitizer()) GTEST_SKIP() << "a sanitizer's allocator keeps its own pages";
  std::vector<char *> chunks;
  for (int i = 0; i < 64 * 1024; i++) {
    auto *p = static_cast<char *>(malloc(200));
    ASSERT_NE(p, nullptr);
    memset(p, 1, 200);
    chunks.push_back(p);
  }
  // The last one lies above the others (the earlier ones may fill older holes): the heap's top
  // cannot shrink past it.
  char *pin = chunks.back();
  chunks.pop_back();
  for (char *p : chunks) free(p);
  std::vector<char *>().swap(chunks);
  const long untrimmed = residentKb();
  hostHeapTrim();
  const long trimmed = residentKb();
  free(pin);
  EXPECT_GT(untrimmed - trimmed, 8 * 1024) << untrimmed << " kB before the trim, " << trimmed << " after";
}

}  // namespace
