#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "support/strings.h"

namespace {
// Runs a parser over {text, ok, value} rows; a failed parse leaves the output untouched.
template <typename T, typename Parse>
void checkParse(Parse parse, std::initializer_list<std::tuple<const char *, int, T>> rows) {
  for (const auto &[text, ok, want] : rows) {
    T got = T(12345);
    EXPECT_EQ(parse(text, &got), ok) << text;
    EXPECT_EQ(got, ok ? want : T(12345)) << text;
  }
}
}  // namespace

// Each unit boundary of the seconds text, rounding and the largest count.
TEST(Durations, SecondsText) {
  struct Case { int32_t seconds; const char *text; } cases[] = {
      {-5, "0 sec."},       {179, "179 sec."},    {180, "3 min."},          {210, "3 min."},
      {211, "4 min."},      {7199, "120 min."},   {7200, "2 hours"},        {259199, "72 hours"},
      {259200, "3 days"},   {2678400, "31 days"}, {2678401, "4 weeks"},     {5184000, "2 months"},
      {63071999, "24 months"}, {63072000, "2 years"}, {INT32_MAX, "68 years"}};
  for (const Case &c : cases) EXPECT_STREQ(strDurationText(c.seconds), c.text) << c.seconds;
}

TEST(Durations, MillisecondsText) {
  struct Case { uint64_t ms; const char *text; } cases[] = {
      {1500, "1500 ms"},         {1999, "1999 ms"},          {2000, "2 sec"},
      {2500, "2.500 sec"},       {2007, "2.007 sec"},        {119999, "119.999 sec"},
      {120000, "2 min"},         {150000, "2 min"},          {150001, "3 min"},  // a half rounds down
      {7200000, "2 h"},          {259200000, "3 days"},      {1814400000, "3 weeks"},
      {7776000000ULL, "3 months"}, {94608000000ULL, "3 years"}, {UINT64_MAX, "584942417 years"}};
  for (const Case &c : cases) EXPECT_STREQ(strDurationMsText(c.ms), c.text) << c.ms;
}

// Fractions are decimal ("2.5" is 2500 ms) and a year has 365 days.
TEST(Durations, Parse) {
  checkParse<uint64_t>(strParseDurationMs, {
      {"1:30", 1, 90000},         {"1: 30", 1, 90000},       {"1:00:00", 1, 3600000},   {"0:0:1.5", 1, 1500},
      {"1:02:03.25", 1, 3723250}, {"1:30.5", 1, 90500},      {"2.5", 1, 2500},
      {"2.500", 1, 2500},         {"2.3", 1, 2300},          {" 7 ", 1, 7000},
      {"2 min", 1, 120000},       {"2min", 1, 120000},       {"250 ms", 1, 250},
      {"1.5 S", 1, 1500},         {"2 Hours", 1, 7200000},   {"1 month", 1, 2592000000ULL},
      {"1 year", 1, 31536000000ULL},
      {"3 furlongs", 0, 0},       {"2 min extra", 0, 0},     {"-1 s", 0, 0},
      {"1:2:3:4", 0, 0},          {"1:x", 0, 0},             {"", 0, 0},
      {"1e30 years", 0, 0},       {nullptr, 0, 0}});
}

TEST(Sizes, TextAndParse) {
  EXPECT_STREQ(strSizeText(1), "1 byte");
  EXPECT_STREQ(strSizeText(1023), "1023 bytes");
  EXPECT_STREQ(strSizeText(1536), "1.5 KB");
  EXPECT_STREQ(strSizeText(536923342), "512.0 MB");  // single precision: 512.05 would round up
  EXPECT_STREQ(strSizeText(5ULL << 40), "5.0 TB");
  checkParse<uint64_t>(strParseSize, {
      {"12 Bytes", 1, 12}, {"1.5 KB", 1, 1536}, {"2k", 1, 2048}, {"1 TB", 1, 1099511627776ULL},
      {"16 Bits", 1, 2},   {"3 parsecs", 0, 0}, {"-1 KB", 0, 0}, {"KB", 0, 0}, {"1e30 TB", 0, 0}});
}

// Versions, errno texts, and two number texts that stay valid together.
TEST(Texts, VersionErrnoNumbers) {
  EXPECT_STREQ(strVersionText(65), "1.1");
  EXPECT_STREQ(strVersionText(129), "2.1");
  EXPECT_EQ(std::string(strErrno(ENOENT)), std::string(strerror(ENOENT)) + " (errno 2)");
  EXPECT_STREQ(strErrno(99999), "unknown error (errno 99999)");
  const char *a = strNumberText(7), *b = strIntText(-3);
  EXPECT_STREQ(a, "7");
  EXPECT_STREQ(b, "-3");
}

TEST(Parse, IntegersAndTruth) {
  struct Case { const char *text; int value; } ints[] = {
      {"-42", -42}, {"0x1F", 31}, {"010", 8}, {" 5 ", 5}, {"12abc", 12}, {"08", 0}, {"x1", 0}, {"99999999999", 0}};
  for (const auto &c : ints) EXPECT_EQ(strParseInt(c.text), c.value) << c.text;
  uint64_t v = 0;
  const char *end = nullptr;
  EXPECT_EQ(strParseU64("  18446744073709551615x", &v, &end), 1);
  EXPECT_EQ(v, UINT64_MAX);
  EXPECT_STREQ(end, "x");
  EXPECT_EQ(strParseU64("18446744073709551616", &v), 0);  // one more than fits
  for (const char *t : {"on", "TRUE"}) EXPECT_EQ(strIsTrue(t), 1) << t;
  for (const char *t : {"yes", "truex", static_cast<const char *>(nullptr)}) EXPECT_EQ(strIsTrue(t), 0);
}

TEST(Bits, EdgeList) {
  struct Case { uint32_t v; int count; uint32_t highest; int lowest, contiguous; } cases[] = {
      {0, 0, 0, 32, 0},          {1, 1, 1, 0, 1},          {0x80000000u, 1, 0x80000000u, 31, 1},
      {0xffffffffu, 32, 0x80000000u, 0, 1}, {0x00ff0000u, 8, 0x00800000u, 16, 1},
      {0x00ff0100u, 9, 0x00800000u, 8, 0},  {0x5, 2, 4, 0, 0}};
  for (const Case &c : cases) {
    EXPECT_EQ(bitsCount(c.v), c.count) << c.v;
    EXPECT_EQ(bitsHighest(c.v), c.highest) << c.v;
    EXPECT_EQ(bitsLowestIndex(c.v), c.lowest) << c.v;
    EXPECT_EQ(bitsIsContiguous(c.v), c.contiguous) << c.v;
  }
  const std::pair<uint32_t, int> needed[] = {{0, 0}, {1, 1}, {2, 1},   {3, 2},   {4, 2},           {5, 3},
                                             {8, 3}, {9, 4}, {256, 8}, {257, 9}, {0xffffffffu, 32}};
  for (const auto &[n, bits] : needed) EXPECT_EQ(bitsNeeded(n), bits) << n;
  // 0b1011 shifts to 0b101, 0b10, 0b1 (the last taken from 2): two share bit 0.
  EXPECT_EQ(bitsCountShiftOverlaps(1, 0xb), 2);
  EXPECT_EQ(bitsCountShiftOverlaps(0xffffffffu, 0x80000000u), 31);
}

TEST(Math, Arithmetic) {
  EXPECT_EQ(mathGcd(12, 18), 6u);
  EXPECT_EQ(mathGcd(7, 0), 7u);
  EXPECT_EQ(mathDivCeil(-7, 2), -3);
  EXPECT_EQ(mathDivCeil(-7, -2), 4);
  EXPECT_EQ(mathFloorLog2(1023), 9);
  EXPECT_EQ(mathFloorLog2(1024), 10);
  EXPECT_EQ(mathRoundUpToMultiple(5, 4), 8);
  EXPECT_EQ(mathRoundUpToMultiple(-5, 4), -8);  // away from zero
  EXPECT_EQ(mathRoundUpToMultiple(5, 0), 5);
  EXPECT_EQ(mathScale(-3, 0.5), -2);  // halves away from zero
  EXPECT_EQ(mathScaleDiv(5, 2.0), 3);
}

TEST(Math, ScaleTables) {
  // 2/4 reduces to 1/2: round(i / 2) with halves up, then the offset, capped at max.
  std::vector<int> t(6);
  mathScaleTable(t.data(), 6, 2, 4, 10, 12);
  EXPECT_EQ(t, (std::vector<int>{10, 11, 11, 12, 12, 12}));
  mathScaleTableReversed(t.data(), 6, 2, 4, 10, 12);
  EXPECT_EQ(t, (std::vector<int>{12, 12, 12, 11, 11, 10}));
  mathScaleTable(t.data(), 4, 7, 3, 0, 100);  // enlarging: round(i * 7 / 3)
  EXPECT_EQ(std::vector<int>(t.begin(), t.begin() + 4), (std::vector<int>{0, 2, 5, 7}));
}

TEST(Parse, DateTimeWithZones) {
  checkParse<int64_t>(strParseDateTime, {
      {"2024-03-01 12:30:15+01:00", 1, 1709292615}, {"03/01/2024 12:30 PM +00:00", 1, 1709296200},
      {"01.03.2024 +00:00", 1, 1709251200},          {"2024-02-30 10:00Z", 0, 0},
      {"03/01/2024 13:30 PM", 0, 0},                 {"2024-03-01 12:00 +99:00", 0, 0}});
}

// Items are read one at a time; an exponent or hex prefix belongs to the unit name.
TEST(Units, ParseAndCompare) {
  struct Item { double number; const char *name; } items[] = {
      {12, "px"}, {-3.5, "mm_2"}, {1, "e5px"}, {0, "x1A"}, {0, ""}};
  const char *text = " 12 px -3.5 mm_2 1e5px 0x1A";
  for (const Item &item : items) {
    double number = -99;
    char name[kUnitNameMax + 1];
    ASSERT_EQ(unitParseItem(&text, &number, name), nullptr) << item.name;
    EXPECT_STREQ(name, item.name);
    if (item.name[0]) {
      EXPECT_EQ(number, item.number) << item.name;
    }
  }
  std::string longName = "1 " + std::string(512, 'a');
  const char *lp = longName.c_str();
  double number;
  char name[kUnitNameMax + 1];
  EXPECT_STREQ(unitParseItem(&lp, &number, name), "Unit name exceeds 511 characters");
  EXPECT_EQ(unitEqual("1 PX 2 mm", "1 px 2 MM"), 1);
  EXPECT_EQ(unitLess("1 px 2 mm", "1 px 3 mm"), 1);
  EXPECT_EQ(unitLess("1 px", "2 mm"), 0);  // different units cannot be ordered
}

// Random bit arrays shifted both ways, compared with a one-int-per-bit model.
TEST(Bits, ShiftAgainstPlainArray) {
  unsigned seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245 + 12345, seed >> 16; };
  for (int round = 0; round < 300; round++) {
    uint8_t bits[8];
    for (uint8_t &b : bits) b = static_cast<uint8_t>(next());
    long n = next() % 65, shift = static_cast<long>(next() % 80) - 40;
    auto bit = [&bits](long i) { return (bits[i / 8] >> (i % 8)) & 1; };
    std::vector<int> expected(64);  // bits from n on stay; vacated ones are cleared
    for (long i = 0; i < 64; i++) expected[i] = i >= n ? bit(i) : i - shift >= 0 && i - shift < n ? bit(i - shift) : 0;
    bitsShift(bits, static_cast<size_t>(n), shift);
    for (long i = 0; i < 64; i++) ASSERT_EQ(bit(i), expected[i]) << "n=" << n << " shift=" << shift << " bit " << i;
  }
}
