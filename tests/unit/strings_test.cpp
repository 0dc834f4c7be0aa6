#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/datapack.h"
#include "support/strings.h"

TEST(StrTemp, RingWrapsToStartWhenRequestDoesNotFit) {
  // Fill the ring in steps until the next request no longer fits; it must come from the start.
  char *first = strTempAlloc(16);
  char *start = first;
  // Find the start by forcing a wrap: a request of the maximum size wraps at most every 4 calls.
  char *prev = first;
  for (int i = 0; i < 8; i++) {
    char *p = strTempAlloc(16384);
    if (p < prev) {
      start = p;
      break;
    }
    prev = p;
  }
  // Now the cursor is start + 16384. Allocate until cursor+n would exceed 65527.
  char *a = strTempAlloc(16384);  // start+16384 .. 32768
  char *b = strTempAlloc(16384);  // 32768 .. 49152
  char *c = strTempAlloc(16375);  // 49152 .. 65527 exactly at the limit: served in place
  EXPECT_EQ(a, start + 16384);
  EXPECT_EQ(b, start + 32768);
  EXPECT_EQ(c, start + 49152);
  char *d = strTempAlloc(1);  // cursor is at the limit: wraps
  EXPECT_EQ(d, start);
  char *e = strTempAlloc(10);
  EXPECT_EQ(e, start + 1);
}

TEST(StrTemp, PrintfCutsAt1023Bytes) {
  std::string big(2000, 'x');
  const char *t = strTempPrintf("%s", big.c_str());
  EXPECT_EQ(strlen(t), 1023u);
  EXPECT_EQ(std::string(t), big.substr(0, 1023));
  EXPECT_STREQ(strTempPrintf2("%d-%s", 7, "a"), "7-a");
}

TEST(StrTemp, DupPrintableAndCopy) {
  std::string big(3000, 'y');
  EXPECT_EQ(strlen(strTempDup(big.c_str())), 1023u);
  EXPECT_STREQ(strTempPrintable("a\nb\xe4" "c"), "a b?c");
  EXPECT_STREQ(strTempCopy(nullptr, 5), "");
  EXPECT_STREQ(strTempCopy("abcdef", 3), "abc");
  // A negative count must not read from the source at all.
  char one = 'z';
  EXPECT_STREQ(strTempCopy(&one, -1), "");
  std::string huge(20000, 'q');
  EXPECT_EQ(strlen(strTempCopy(huge.data(), 20000)), 16383u);
}

TEST(StrTemp, EightThreadsShareTheRingWithoutRacingTheCursor) {
  // All requests are 100 bytes, so with a correctly guarded cursor every text starts at a
  // multiple of 100 from the ring's start and lies wholly inside the ring.
  char *base = strTempAlloc(kStrTempMaxRequest);
  for (int i = 0; i < 8; i++) {
    char *p = strTempAlloc(kStrTempMaxRequest);
    if (p < base) base = p;
  }
  // Move the cursor to exactly the limit, so that the next request wraps to the start.
  while (strTempAlloc(kStrTempMaxRequest) != base) {
  }
  strTempAlloc(kStrTempMaxRequest);
  strTempAlloc(kStrTempMaxRequest);
  strTempAlloc(kStrTempLimit - 3 * kStrTempMaxRequest);
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([t, base, &bad] {
      for (int i = 0; i < 5000; i++) {
        char *p = strTempAlloc(100);
        long off = p - base;
        if (off < 0 || off + 100 > static_cast<long>(kStrTempLimit) || off % 100 != 0) bad++;
        snprintf(p, 100, "thread %d item %d", t, i);
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(BoundedStrings, CopyAppendAndFormat) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(strCopy(buf, "hello", 1), 0u);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 'x');
  EXPECT_EQ(strCopy(buf, "hello world", sizeof buf), 7u);
  EXPECT_STREQ(buf, "hello w");

  char app[8] = "abc";
  EXPECT_EQ(strAppend(app, "defghij", sizeof app), 10u);
  EXPECT_STREQ(app, "abcdefg");

  char out[10];
  char *end = out + sizeof out;
  char *p = strAppendf(out, end, "%d", 1234);
  EXPECT_EQ(p, out + 4);
  p = strAppendf(p, end, "%s", "abcdefgh");
  EXPECT_EQ(p, end - 1);
  EXPECT_STREQ(out, "1234abcde");

  char *d = strNDup("abcdef", 3);
  EXPECT_STREQ(d, "abc");
  free(d);
}

TEST(Scratch, SecondAllocGetsHeapAndFreeMarksStaticOnce) {
  ASSERT_EQ(scratchAvailable(), kScratchSize);
  void *a = scratchAlloc(16384);
  void *b = scratchAlloc(16384);
  EXPECT_NE(a, b);
  EXPECT_EQ(scratchAvailable(), 0u);
  scratchFree(b);
  EXPECT_EQ(scratchAvailable(), 0u);
  scratchFree(a);
  EXPECT_EQ(scratchAvailable(), kScratchSize);

  // Growing the static block beyond its size moves the data to the heap and frees it.
  unsigned char *s = static_cast<unsigned char *>(scratchAlloc(100));
  memset(s, 0xab, kScratchSize);
  EXPECT_EQ(scratchRealloc(s, 65536), s);
  unsigned char *h = static_cast<unsigned char *>(scratchRealloc(s, 70000));
  ASSERT_NE(h, nullptr);
  EXPECT_NE(h, s);
  EXPECT_EQ(scratchAvailable(), kScratchSize);
  EXPECT_EQ(memAllEqual(h, 0xab, kScratchSize), 1);
  scratchFree(h);
}

TEST(Memory, HelpersAndPacks) {
  unsigned char d[4] = {1, 2, 3, 250};
  EXPECT_EQ(memByteSum(d, 4), 256u);
  EXPECT_EQ(memAllEqual(d, 1, 0), 1);
  EXPECT_EQ(memAllEqual(d, 1, 2), 0);

  // Random fill: two 32-byte fills differ and are not all zero.
  unsigned char r1[32] = {}, r2[32] = {};
  memRandomize(r1, sizeof r1);
  memRandomize(r2, sizeof r2);
  EXPECT_NE(memcmp(r1, r2, sizeof r1), 0);
  EXPECT_EQ(memAllEqual(r1, 0, sizeof r1), 0);

  int x = 0, y = 0;
  DataWord *p = datapackNew7(&x, &y, nullptr, &x, &y, nullptr, &x);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], &x);
  EXPECT_EQ(p[1], &y);
  EXPECT_EQ(p[6], &x);
  EXPECT_EQ(freeIfSet(p), 0);
  EXPECT_EQ(freeIfSet(nullptr), 0);
}
