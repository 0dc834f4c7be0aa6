#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "xclient/xcolor.h"

namespace {

std::string lowered(const char *name) {
  std::string s(name);
  for (char &c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return s;
}

struct Found {
  int found;
  uint16_t red = 1, green = 2, blue = 3;  // marks: an unsuccessful lookup must leave them
};

Found lookup(const char *name, size_t length) {
  Found f{};
  f.found = xcolorLookup(nullptr, name, length, &f.red, &f.green, &f.blue);
  return f;
}

}  // namespace

// The binary search relies on the order; every entry must be found again by its own name.
TEST(Xcolor, TableIsStrictlyAscendingAndEveryNameIsFound) {
  ASSERT_EQ(xcolorCount(), 752);
  EXPECT_EQ(xcolorEntry(-1), nullptr);
  EXPECT_EQ(xcolorEntry(752), nullptr);
  std::string previous;
  for (int i = 0; i < xcolorCount(); i++) {
    const XcolorEntry *entry = xcolorEntry(i);
    const char *name = xcolorEntryName(entry);
    std::string key = lowered(name);
    if (i > 0) {
      EXPECT_LT(previous, key) << name;
    }
    previous = key;
    Found f = lookup(name, strlen(name));
    ASSERT_EQ(f.found, 1) << name;
    EXPECT_EQ(f.red, entry->red * 257) << name;
    EXPECT_EQ(f.green, entry->green * 257) << name;
    EXPECT_EQ(f.blue, entry->blue * 257) << name;
  }
}

TEST(Xcolor, LookupCaseLengthAndUnknownNames) {
  struct Case {
    const char *name;
    size_t length;
    int found;
    uint16_t red, green, blue;
  } cases[] = {
      {"Red", 3, 1, 65535, 0, 0},
      {"RED", 3, 1, 65535, 0, 0},
      {"red", 3, 1, 65535, 0, 0},
      {"redx", 3, 1, 65535, 0, 0},  // only the first three bytes count
      {"redx", 4, 0, 0, 0, 0},
      {"re", 2, 0, 0, 0, 0},
      {"", 0, 0, 0, 0, 0},
      {"alice blue", 10, 1, 240 * 257, 248 * 257, 65535},
      {"ALICEBLUE", 9, 1, 240 * 257, 248 * 257, 65535},
      {"alice  blue", 11, 0, 0, 0, 0},
      {"gray", 4, 1, 190 * 257, 190 * 257, 190 * 257},
      {"Grey", 4, 1, 190 * 257, 190 * 257, 190 * 257},
      {"gray100", 7, 1, 65535, 65535, 65535},
      {"yellowgreen", 11, 1, 154 * 257, 205 * 257, 50 * 257},  // the last entry
      {"DebianRed", 9, 0, 0, 0, 0},
      {"#123456", 7, 0, 0, 0, 0},
      {"rgb:1/2/3", 9, 0, 0, 0, 0},
      {"red\0", 4, 0, 0, 0, 0},  // a NUL within the length is never a table name
      {"\xff\xfe", 2, 0, 0, 0, 0},
  };
  for (const Case &c : cases) {
    Found f = lookup(c.name, c.length);
    EXPECT_EQ(f.found, c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(f.red, c.red) << c.name;
      EXPECT_EQ(f.green, c.green) << c.name;
      EXPECT_EQ(f.blue, c.blue) << c.name;
    } else {
      EXPECT_TRUE(f.red == 1 && f.green == 2 && f.blue == 3) << c.name;
    }
  }
}

TEST(Xcolor, ReverseLookupPrefersNamesWithoutDigits) {
  struct Case {
    uint16_t red, green, blue;
    const char *want;
  } cases[] = {
      {190 * 257, 190 * 257, 190 * 257, "gray"},
      {190 * 257 + 256, 190 * 257, 190 * 257 + 100, "gray"},  // divided by 257, rounded down
      {65535, 0, 0, "red"},
      {240 * 257, 248 * 257, 65535, "alice blue"},
      {3 * 257, 3 * 257, 3 * 257, "grey1"},  // only numbered names: the alphabetically last
      {1, 2 * 257, 3 * 257, nullptr},
  };
  for (const Case &c : cases) {
    const char *name = xcolorName(c.red, c.green, c.blue);
    if (!c.want) {
      EXPECT_EQ(name, nullptr);
    } else {
      ASSERT_NE(name, nullptr) << c.want;
      EXPECT_STREQ(name, c.want);
    }
  }
}

// The table against the system's colour database, where one is installed.
TEST(Xcolor, MatchesTheSystemColourDatabase) {
  std::ifstream in("/usr/share/X11/rgb.txt");
  if (!in) GTEST_SKIP() << "no /usr/share/X11/rgb.txt";
  std::string line;
  int names = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '!') continue;
    std::istringstream fields(line);
    int r, g, b;
    fields >> r >> g >> b >> std::ws;
    std::string name;
    std::getline(fields, name);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r'))
      name.pop_back();
    Found f = lookup(name.data(), name.size());
    if (name == "DebianRed") {
      EXPECT_EQ(f.found, 0);
      continue;
    }
    names++;
    ASSERT_EQ(f.found, 1) << name;
    EXPECT_EQ(f.red, r * 257) << name;
    EXPECT_EQ(f.green, g * 257) << name;
    EXPECT_EQ(f.blue, b * 257) << name;
  }
  EXPECT_EQ(names, xcolorCount());
}
