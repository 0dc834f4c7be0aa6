#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/strings.h"

TEST(Durations, SecondsText) {
  struct Case {
    int32_t seconds;
    const char *text;
  } cases[] = {
      {-5, "0 sec."},        {0, "0 sec."},           {179, "179 sec."},        {180, "3 min."},
      {209, "3 min."},       {210, "3 min."},        {211, "4 min."},         {7199, "120 min."},       {7200, "2 hours"},
      {259199, "72 hours"},  {259200, "3 days"},      {2678400, "31 days"},     {2678401, "4 weeks"},
      {5183999, "9 weeks"},  {5184000, "2 months"},   {63071999, "24 months"},  {63072000, "2 years"},
      {INT32_MAX, "68 years"},
  };
  for (const Case &c : cases) EXPECT_STREQ(strDurationText(c.seconds), c.text) << c.seconds;
}

TEST(Durations, MillisecondsText) {
  struct Case {
    uint64_t ms;
    const char *text;
  } cases[] = {
      {0, "0 ms"},
      {1500, "1500 ms"},
      {1999, "1999 ms"},
      {2000, "2 sec"},
      {2500, "2.500 sec"},
      {2007, "2.007 sec"},
      {119999, "119.999 sec"},
      {120000, "2 min"},
      {149999, "2 min"},
      {150000, "2 min"},  // an exact half rounds down
      {150001, "3 min"},
      {7200000, "2 h"},
      {259200000, "3 days"},
      {1814400000, "3 weeks"},
      {7776000000ULL, "3 months"},
      {94608000000ULL, "3 years"},
      {UINT64_MAX, "584942417 years"},
  };
  for (const Case &c : cases) EXPECT_STREQ(strDurationMsText(c.ms), c.text) << c.ms;
}

TEST(Durations, Parse) {
  struct Case {
    const char *text;
    int ok;
    uint64_t ms;
  } cases[] = {
      {"1:30", 1, 90000},         {"1:00:00", 1, 3600000},   {"0:0:1.5", 1, 1500},
      {"1:02:03.25", 1, 3723250}, {"1:30.5", 1, 90500},      {"2.5", 1, 2500},
      {"2.500", 1, 2500},         {"2.3", 1, 2300},          {" 7 ", 1, 7000},
      {"2 min", 1, 120000},       {"2min", 1, 120000},       {"250 ms", 1, 250},
      {"1.5 S", 1, 1500},         {"2 Hours", 1, 7200000},   {"1 month", 1, 2592000000ULL},
      {"1 year", 1, 31536000000ULL},
      {"3 furlongs", 0, 0},       {"2 min extra", 0, 0},     {"-1 s", 0, 0},
      {"1:2:3:4", 0, 0},          {"1:x", 0, 0},             {"", 0, 0},
      {"1e30 years", 0, 0},
  };
  for (const Case &c : cases) {
    uint64_t ms = 12345;
    EXPECT_EQ(strParseDurationMs(c.text, &ms), c.ok) << c.text;
    if (c.ok) {EXPECT_EQ(ms, c.ms) << c.text; }
  }
  uint64_t ms = 0;
  EXPECT_EQ(strParseDurationMs(nullptr, &ms), 0);
}

TEST(Sizes, TextAndParse) {
  EXPECT_STREQ(strSizeText(1), "1 byte");
  EXPECT_STREQ(strSizeText(1023), "1023 bytes");
  EXPECT_STREQ(strSizeText(1536), "1.5 KB");
  EXPECT_STREQ(strSizeText(1048576), "1.0 MB");
  EXPECT_STREQ(strSizeText(5ULL << 40), "5.0 TB");

  struct Case {
    const char *text;
    int ok;
    uint64_t bytes;
  } cases[] = {
      {"12 Bytes", 1, 12},   {"1.5 KB", 1, 1536},  {"2k", 1, 2048},   {"1 TB", 1, 1099511627776ULL},
      {"16 Bits", 1, 2},     {"3 parsecs", 0, 0},  {"-1 KB", 0, 0},   {"KB", 0, 0},
      {"1e30 TB", 0, 0},
  };
  for (const Case &c : cases) {
    uint64_t bytes = 99;
    EXPECT_EQ(strParseSize(c.text, &bytes), c.ok) << c.text;
    if (c.ok) {EXPECT_EQ(bytes, c.bytes) << c.text; }
  }
}

TEST(Texts, VersionErrnoHexWord) {
  EXPECT_STREQ(strVersionText(65), "1.1");
  EXPECT_STREQ(strVersionText(129), "2.1");
  EXPECT_STREQ(strVersionText(64 * 11 + 63), "11.63");
  EXPECT_EQ(std::string(strErrno(ENOENT)), std::string(strerror(ENOENT)) + " (errno 2)");
  EXPECT_STREQ(strErrno(99999), "unknown error (errno 99999)");
  // Two number texts stay valid together.
  const char *a = strNumberText(7), *b = strNumberText(8);
  EXPECT_STREQ(a, "7");
  EXPECT_STREQ(b, "8");
  const char *c = strIntText(-3), *d = strIntText(4);
  EXPECT_STREQ(c, "-3");
  EXPECT_STREQ(d, "4");
}

TEST(Parse, IntegersAndTruth) {
  struct Case {
    const char *text;
    int value;
  } ints[] = {{"42", 42}, {"-42", -42}, {"0x1F", 31}, {"010", 8}, {" 5 ", 5}, {"", 0},
              {"abc", 0}, {"12abc", 0}, {"08", 0},   {"99999999999", 0}};
  for (const auto &c : ints) EXPECT_EQ(strParseInt(c.text), c.value) << c.text;

  uint64_t v = 0;
  const char *end = nullptr;
  EXPECT_EQ(strParseU64("  18446744073709551615x", &v, &end), 1);
  EXPECT_EQ(v, UINT64_MAX);
  EXPECT_STREQ(end, "x");
  EXPECT_EQ(strParseU64("18446744073709551616", &v), 0);  // one more than fits
  EXPECT_EQ(strParseU64("  -1", &v), 0);
  EXPECT_EQ(strParseU64("", &v), 0);

  for (const char *t : {"on", "ON", "true", "True"}) EXPECT_EQ(strIsTrue(t), 1) << t;
  for (const char *t : {"off", "yes", "1", "", "truex"}) EXPECT_EQ(strIsTrue(t), 0) << t;
  EXPECT_EQ(strIsTrue(nullptr), 0);
}

TEST(Bits, EdgeList) {
  struct Case {
    uint32_t v;
    int count;
    uint32_t highest;
    int lowest;
    int contiguous;
  } cases[] = {
      {0, 0, 0, 32, 0},
      {1, 1, 1, 0, 1},
      {0x80000000u, 1, 0x80000000u, 31, 1},
      {0xffffffffu, 32, 0x80000000u, 0, 1},
      {0x00ff0000u, 8, 0x00800000u, 16, 1},
      {0x00ff0100u, 9, 0x00800000u, 8, 0},
      {0x5, 2, 4, 0, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(bitsCount(c.v), c.count) << c.v;
    EXPECT_EQ(bitsHighest(c.v), c.highest) << c.v;
    EXPECT_EQ(bitsLowestIndex(c.v), c.lowest) << c.v;
    EXPECT_EQ(bitsIsContiguous(c.v), c.contiguous) << c.v;
  }
  struct Needed {
    uint32_t n;
    int bits;
  } needed[] = {{0, 0}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 3}, {8, 3}, {9, 4},
                {256, 8}, {257, 9}, {0x80000000u, 31}, {0xffffffffu, 32}};
  for (const Needed &c : needed) EXPECT_EQ(bitsNeeded(c.n), c.bits) << c.n;

  // v = 0b1011: shifts give 0b101, 0b10, 0b1 (the last taken from 2): with mask 1 -> 2 overlaps.
  EXPECT_EQ(bitsCountShiftOverlaps(1, 0xb), 2);
  EXPECT_EQ(bitsCountShiftOverlaps(0xffffffffu, 1), 0);
  EXPECT_EQ(bitsCountShiftOverlaps(0xffffffffu, 0x80000000u), 31);
}

TEST(Math, Arithmetic) {
  EXPECT_EQ(mathGcd(12, 18), 6u);
  EXPECT_EQ(mathGcd(7, 0), 7u);
  EXPECT_EQ(mathDivCeil(7, 2), 4);
  EXPECT_EQ(mathDivCeil(-7, 2), -3);
  EXPECT_EQ(mathDivCeil(-7, -2), 4);
  EXPECT_EQ(mathFloorLog2(1), 0);
  EXPECT_EQ(mathFloorLog2(1023), 9);
  EXPECT_EQ(mathFloorLog2(1024), 10);
  EXPECT_EQ(mathRoundUpToMultiple(5, 4), 8);
  EXPECT_EQ(mathRoundUpToMultiple(-5, 4), -8);
  EXPECT_EQ(mathRoundUpToMultiple(5, 0), 5);
  EXPECT_EQ(mathScale(3, 0.5), 2);   // 1.5 rounds away from zero
  EXPECT_EQ(mathScale(-3, 0.5), -2);
  EXPECT_EQ(mathScaleDiv(5, 2.0), 3);
  EXPECT_EQ(mathScaleDiv(5, 0.0), 0);
}

TEST(Math, ScaleTables) {
  // 2/4 reduces to 1/2: round(i / 2) with halves up, then the offset, capped at max.
  int table[6];
  mathScaleTable(table, 6, 2, 4, 10, 12);
  EXPECT_EQ(std::vector<int>(table, table + 6), (std::vector<int>{10, 11, 11, 12, 12, 12}));
  mathScaleTableReversed(table, 6, 2, 4, 10, 12);
  EXPECT_EQ(std::vector<int>(table, table + 6), (std::vector<int>{12, 12, 12, 11, 11, 10}));
  // Enlarging 3 -> 7 positions: round(i * 7 / 3).
  int up[4];
  mathScaleTable(up, 4, 7, 3, 0, 100);
  EXPECT_EQ(std::vector<int>(up, up + 4), (std::vector<int>{0, 2, 5, 7}));
  // Every entry of a large table stays within max and never decreases.
  std::vector<int> big(1000);
  mathScaleTable(big.data(), 1000, 1919, 999, 0, 1919);
  for (size_t i = 1; i < big.size(); i++) ASSERT_LE(big[i - 1], big[i]);
  EXPECT_EQ(big.back(), 1919);
}

TEST(Parse, DateTimeWithZones) {
  struct Case {
    const char *text;
    int ok;
    int64_t time;
  } cases[] = {
      {"2024-03-01 12:30:15Z", 1, 1709296215},
      {"2024-03-01 12:30:15+01:00", 1, 1709292615},
      {"03/01/2024 12:30 PM +00:00", 1, 1709296200},
      {"01.03.2024 +00:00", 1, 1709251200},
      {"2024-02-30 10:00Z", 0, 0},
      {"03/01/2024 13:30 PM", 0, 0},
      {"2024-03-01 12:00 +99:00", 0, 0},
  };
  for (const Case &c : cases) {
    int64_t t = -1;
    EXPECT_EQ(strParseDateTime(c.text, &t), c.ok) << c.text;
    if (c.ok) {EXPECT_EQ(t, c.time) << c.text; }
  }
}

TEST(Units, ParseAndCompare) {
  const char *text = " 12 px -3.5 mm_2";
  double number;
  char name[kUnitNameMax + 1];
  EXPECT_EQ(unitParseItem(&text, &number, name), nullptr);
  EXPECT_STREQ(name, "px");
  EXPECT_EQ(number, 12);
  EXPECT_EQ(unitParseItem(&text, &number, name), nullptr);
  EXPECT_STREQ(name, "mm_2");
  EXPECT_EQ(number, -3.5);
  EXPECT_EQ(unitParseItem(&text, &number, name), nullptr);
  EXPECT_STREQ(name, "");

  std::string longName = "1 " + std::string(512, 'a');
  const char *lp = longName.c_str();
  EXPECT_STREQ(unitParseItem(&lp, &number, name), "Unit name exceeds 511 characters");

  EXPECT_EQ(unitEqual("1 PX 2 mm", "1 px 2 MM"), 1);
  EXPECT_EQ(unitEqual("1 px", "1 mm"), 0);
  EXPECT_EQ(unitLess("1 px 2 mm", "1 px 3 mm"), 1);
  EXPECT_EQ(unitLess("1 px", "2 mm"), 0);  // different units cannot be ordered
  EXPECT_EQ(unitEqual("px", "px"), 0);     // no number: not a unit string
}

TEST(Bits, ShiftAgainstPlainArray) {
  // Random bit arrays shifted both ways, compared with a one-bool-per-bit model.
  unsigned seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245 + 12345, seed >> 16; };
  for (int round = 0; round < 300; round++) {
    uint8_t bits[8];
    for (uint8_t &b : bits) b = static_cast<uint8_t>(next());
    size_t n = next() % 65;
    long shift = static_cast<long>(next() % 80) - 40;
    std::vector<int> model(64);
    for (size_t i = 0; i < 64; i++) model[i] = (bits[i / 8] >> (i % 8)) & 1;
    std::vector<int> expected = model;
    for (size_t i = 0; i < n; i++) {
      long from = static_cast<long>(i) - shift;
      expected[i] = from >= 0 && from < static_cast<long>(n) ? model[static_cast<size_t>(from)] : 0;
    }
    bitsShift(bits, n, shift);
    for (size_t i = 0; i < 64; i++)
      ASSERT_EQ((bits[i / 8] >> (i % 8)) & 1, expected[i]) << "n=" << n << " shift=" << shift << " bit " << i;
  }
}

