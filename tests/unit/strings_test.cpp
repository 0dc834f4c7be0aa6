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

TEST(Texts, QuoteShortenAndTails) {
  EXPECT_STREQ(strQuoteIfSpaces("plain"), "plain");
  EXPECT_STREQ(strQuoteIfSpaces("two words"), "\"two words\"");
  EXPECT_STREQ(strQuoteIfSpaces(""), "\"\"");
  EXPECT_STREQ(strQuoteIfSpaces(nullptr), "\"\"");
  std::string huge(3000, 'q');
  EXPECT_EQ(strlen(strQuoteIfSpaces(huge.c_str())), 1023u);

  const char *s = "abcdefghij";
  EXPECT_EQ(strShorten(s, 10), s);  // short enough: the text itself
  EXPECT_STREQ(strShorten(s, 8), "abcde...");
  EXPECT_STREQ(strShorten(s, 2), "..");
  EXPECT_EQ(strTailShorten(s, 10), s);
  EXPECT_STREQ(strTailShorten(s, 4), "..ghij");

  char *t = strAppendAlloc(nullptr, "ab");
  ASSERT_NE(t, nullptr);
  t = strAppendAlloc(t, "cd");
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t, "abcd");
  free(t);

  EXPECT_STREQ(strLengthText(0.5), "50.00 cm (19.69 in)");
  EXPECT_STREQ(strFloatText(2.5, 0), "2.5");
  EXPECT_STREQ(strFloatText(2.0, 0), "2");
  EXPECT_STREQ(strFloatText(2.0, 2), "2.00");
  EXPECT_STREQ(strFloatText(0.125, 1), "0.125");
}

TEST(Texts, WrapKeepsWordsAndLineLength) {
  std::string text;
  for (int i = 0; i < 60; i++) text += (i % 7 == 3 ? "longerword\t" : "word ");
  text += std::string(80, 'x') + " tail";
  std::string wrapped = strWrapText(text.c_str());
  ASSERT_EQ(wrapped.size(), text.size());
  size_t start = 0;
  while (start < wrapped.size()) {
    size_t end = wrapped.find('\n', start);
    if (end == std::string::npos) end = wrapped.size();
    std::string line = wrapped.substr(start, end - start);
    if (line.find(' ') != std::string::npos || line.find('\t') != std::string::npos) {
      EXPECT_LE(line.size(), 66u) << line;
    }
    start = end + 1;
  }
  // Only blanks and tabs were turned into line breaks.
  for (size_t i = 0; i < text.size(); i++)
    if (wrapped[i] != text[i]) {
      EXPECT_TRUE(wrapped[i] == '\n' && (text[i] == ' ' || text[i] == '\t')) << i;
    }
  EXPECT_NE(wrapped.find('\n'), std::string::npos);
}

TEST(Texts, HexRoundTripAndDump) {
  const unsigned char bytes[] = {0x00, 0x7f, 0xab, 0xff, 0x10};
  EXPECT_STREQ(strHex(bytes, sizeof bytes), "007fabff10");
  size_t n = 0;
  const uint8_t *parsed = strParseHex("007FabFF10", &n);
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(n, sizeof bytes);
  EXPECT_EQ(memcmp(parsed, bytes, n), 0);
  parsed = strParseHex("abc", &n);  // read from the end: 0a bc
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(parsed[0], 0x0a);
  EXPECT_EQ(parsed[1], 0xbc);
  EXPECT_EQ(strParseHex("12g4", &n), nullptr);

  const char data[] = "Hello, hex dump!\x01";
  std::string dump = strHexDump(data, 17);
  EXPECT_EQ(dump,
            "\n00000000  48 65 6c 6c 6f 2c 20 68 65 78 20 64 75 6d 70 21 Hello, hex dump!"
            "\n00000010  01                                              .");
  EXPECT_STREQ(strHexDump(data, 0), "");
}
