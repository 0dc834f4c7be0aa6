#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/datapack.h"
#include "support/strings.h"

namespace {
// Forces the ring to wrap and returns its start; the cursor is then start + the maximum request.
char *wrapRing() {
  char *prev = strTempAlloc(kStrTempMaxRequest), *p;
  while ((p = strTempAlloc(kStrTempMaxRequest)) > prev) prev = p;
  return p;
}
}  // namespace

// A request is served in place while it ends within the limit, else from the start.
TEST(StrTemp, RingWrapsAtTheLimit) {
  char *start = wrapRing();
  EXPECT_EQ(strTempAlloc(16384), start + 16384);
  EXPECT_EQ(strTempAlloc(16384), start + 32768);
  EXPECT_EQ(strTempAlloc(16375), start + 49152);  // ends exactly at the limit: still in place
  EXPECT_EQ(strTempAlloc(1), start);
  EXPECT_EQ(strTempAlloc(10), start + 1);
}

// Results are cut at their buffers; a NULL source or a negative count reads nothing.
TEST(StrTemp, CutsAndCopies) {
  std::string big(20000, 'x');
  EXPECT_EQ(std::string(strTempPrintf("%s", big.c_str())), big.substr(0, 1023));
  EXPECT_STREQ(strTempPrintf2("%d-%s", 7, "a"), "7-a");
  EXPECT_EQ(strlen(strTempDup(big.c_str())), 1023u);
  EXPECT_EQ(strlen(strQuoteIfSpaces(big.c_str())), 1023u);
  EXPECT_STREQ(strTempPrintable("a\nb\xe4" "c"), "a b?c");
  EXPECT_STREQ(strTempCopy(nullptr, 5), "");
  EXPECT_STREQ(strTempCopy("abcdef", 3), "abc");
  char one = 'z';
  EXPECT_STREQ(strTempCopy(&one, -1), "");
  EXPECT_EQ(strlen(strTempCopy(big.data(), 20000)), 16383u);
}

// 8 threads formatting at once: each thread has its own ring, so its last 60 texts still read
// as they were written however much the other threads format meanwhile, and every thread's
// ring wraps at the same places as a single thread's.
TEST(StrTemp, EightThreadsFormatAtOnce) {
  constexpr int kThreads = 8, kEach = 5000, kKept = 60;
  std::atomic<int> damaged{0}, misplaced{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([t, &damaged, &misplaced] {
      char *start = wrapRing();
      for (size_t n : {16384, 16384, 16375}) strTempAlloc(n);  // cursor now at the limit
      std::vector<std::pair<const char *, std::string>> kept;
      for (int i = 0; i < kEach; i++) {
        std::string expected = "thread " + std::to_string(t) + " item " + std::to_string(i);
        const char *text = strTempPrintf("%s", expected.c_str());
        long off = text - start;
        if (off < 0 || off % 1024 != 0 || off / 1024 != static_cast<long>(i % (kStrTempLimit / 1024))) misplaced++;
        kept.emplace_back(text, expected);
        if (kept.size() > kKept) kept.erase(kept.begin());
        for (const auto &[p, e] : kept) damaged += e != p;
      }
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(damaged.load(), 0);
  EXPECT_EQ(misplaced.load(), 0);
}

// Size 1 writes only the terminator; cut copies and appends stay terminated within size.
TEST(BoundedStrings, CopyAppendAndFormat) {
  char buf[8] = "xxxxxxx";
  EXPECT_EQ(strCopy(buf, "hello", 1), 0u);
  EXPECT_TRUE(buf[0] == 0 && buf[1] == 'x');
  EXPECT_EQ(strCopy(buf, "hello world", sizeof buf), 7u);
  EXPECT_STREQ(buf, "hello w");
  char app[8] = "abc";
  EXPECT_EQ(strAppend(app, "defghij", sizeof app), 10u);
  EXPECT_STREQ(app, "abcdefg");
  char out[10], *end = out + sizeof out;
  char *p = strAppendf(out, end, "%d", 1234);
  EXPECT_EQ(p, out + 4);
  EXPECT_EQ(strAppendf(p, end, "%s", "abcdefgh"), end - 1);
  EXPECT_STREQ(out, "1234abcde");
  char *d = strNDup("abcdef", 3);
  EXPECT_STREQ(d, "abc");
  free(d);
}

// The static block has one user at a time; growing it moves the data to the heap.
TEST(Scratch, OneUserAtATime) {
  ASSERT_EQ(scratchAvailable(), kScratchSize);
  void *a = scratchAlloc(16384), *b = scratchAlloc(16384), *c = scratchAlloc(0);
  EXPECT_NE(a, b);
  EXPECT_NE(a, c);  // even an empty request must not get the block in use
  scratchFree(c);
  scratchFree(b);
  EXPECT_EQ(scratchAvailable(), 0u);
  scratchFree(a);
  EXPECT_EQ(scratchAvailable(), kScratchSize);

  unsigned char *s = static_cast<unsigned char *>(scratchAlloc(100));
  memset(s, 0xab, kScratchSize);
  EXPECT_EQ(scratchRealloc(s, 65536), s);
  void *h = scratchRealloc(s, 70000);
  ASSERT_TRUE(h && h != s);
  EXPECT_EQ(scratchAvailable(), kScratchSize);
  EXPECT_EQ(memAllEqual(h, 0xab, kScratchSize), 1);
  scratchFree(h);
}

// Byte sums do not wrap at 255; two random fills differ; packs keep their words in order.
TEST(Memory, HelpersAndPacks) {
  unsigned char d[4] = {1, 2, 3, 250};
  EXPECT_EQ(memByteSum(d, 4), 256u);  // not cut to a byte
  EXPECT_EQ(memAllEqual(d, 1, 0), 1);
  EXPECT_EQ(memAllEqual(d, 1, 2), 0);
  unsigned char r1[32] = {}, r2[32] = {};
  memRandomize(r1, sizeof r1);
  memRandomize(r2, sizeof r2);
  EXPECT_NE(memcmp(r1, r2, sizeof r1), 0);
  int x = 0;
  DataWord *p = datapackNew7(nullptr, &x, nullptr, nullptr, nullptr, nullptr, &x);
  ASSERT_TRUE(p && p[1] == &x && p[6] == &x);
  EXPECT_EQ(freeIfSet(p), 0);
}

// Quoting, shortening at both ends, heap appends and float texts.
TEST(Texts, QuoteShortenAndFloats) {
  EXPECT_STREQ(strQuoteIfSpaces("plain"), "plain");
  EXPECT_STREQ(strQuoteIfSpaces("two\twords"), "\"two\twords\"");
  EXPECT_STREQ(strQuoteIfSpaces(nullptr), "\"\"");
  const char *s = "abcdefghij";
  EXPECT_EQ(strShorten(s, 10), s);  // short enough: the text itself
  EXPECT_STREQ(strShorten(s, 8), "abcde...");
  EXPECT_STREQ(strShorten(s, 2), "..");
  EXPECT_STREQ(strTailShorten(s, 4), "..ghij");
  char *t = strAppendAlloc(strAppendAlloc(nullptr, "ab"), "cd");
  EXPECT_STREQ(t, "abcd");
  free(t);
  EXPECT_STREQ(strFloatText(2.0, 2), "2.00");
  EXPECT_STREQ(strFloatText(0.125, 1), "0.125");
}

// Lines with a break opportunity hold at most 66 characters; only blanks and tabs become breaks.
TEST(Texts, WrapKeepsWordsAndLineLength) {
  std::string text;
  for (int i = 0; i < 60; i++) text += (i % 7 == 3 ? "longerword\t" : "word ");
  text += std::string(80, 'x') + " tail";
  std::string wrapped = strWrapText(text.c_str()), line;
  ASSERT_EQ(wrapped.size(), text.size());
  for (size_t i = 0; i < text.size(); i++)
    EXPECT_EQ(wrapped[i] == '\n' && (text[i] == ' ' || text[i] == '\t') ? text[i] : wrapped[i], text[i]) << i;
  std::istringstream lines(wrapped);
  int count = 0;
  for (; std::getline(lines, line); count++)
    EXPECT_TRUE(line.size() <= 66 || line.find_first_of(" \t") == std::string::npos) << line;
  EXPECT_GT(count, 3);
}

// Hex parsing reads pairs from the end; the dump pads a short last line.
TEST(Texts, HexAndDump) {
  size_t n = 0;
  const uint8_t *parsed = strParseHex("007FabFF10", &n);
  ASSERT_TRUE(parsed && n == 5);
  EXPECT_STREQ(strHex(parsed, n), "007fabff10");
  parsed = strParseHex("abc", &n);  // read from the end: 0a bc
  ASSERT_TRUE(parsed && n == 2);
  EXPECT_STREQ(strHex(parsed, n), "0abc");
  EXPECT_EQ(strParseHex("12g4", &n), nullptr);
  EXPECT_STREQ(strHexDump("Hello, hex dump!\x01", 17),
               "\n00000000  48 65 6c 6c 6f 2c 20 68 65 78 20 64 75 6d 70 21 Hello, hex dump!"
               "\n00000010  01                                              .");
}
