// Display names and X id texts, on a Display record built in memory (no server needed).
#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include <X11/Xlibint.h>

#include "xclient/misc.h"

namespace {

std::string hostName() {
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  return host;
}

// Only the display name is set: it is all that the name functions read.
struct FakeDisplay {
  explicit FakeDisplay(const std::string &name) : storage(name) {
    memset(&record, 0, sizeof record);
    record.display_name = storage.data();
  }
  Display *get() { return reinterpret_cast<Display *>(&record); }
  _XDisplay record;
  std::string storage;
};

// Local part, qualified name and number; only exact "localhost:" and "unix:" prefixes count.
TEST(XmiscNames, LocalQualifiedAndNumber) {
  const std::string host = hostName();
  struct Case { const char *name, *local; std::string qualified; int number; } cases[] = {
      {":0.0", ":0.0", host + ":0.0", 0},
      {"localhost:10.0", ":10.0", host + ":10.0", 10},
      {"unix:3.1", ":3.1", host + ":3.1", 3},
      {"otherhost:5.0", "otherhost:5.0", "otherhost:5.0", 5},
      {"Localhost:1", "Localhost:1", "Localhost:1", 1},
      {"localhost", "localhost", "localhost", 0},
      {"decnet::4", "decnet::4", "decnet::4", 4},
  };
  for (const Case &c : cases) {
    FakeDisplay display(c.name);
    EXPECT_STREQ(xmiscLocalDisplayPart(display.get()), c.local) << c.name;
    EXPECT_EQ(std::string(xmiscQualifiedDisplayName(display.get())), c.qualified) << c.name;
    EXPECT_EQ(xmiscDisplayNumber(display.get()), c.number) << c.name;
  }
  // The local part points into the display's own name, past the prefix.
  FakeDisplay local("localhost:10.0");
  EXPECT_EQ(xmiscLocalDisplayPart(local.get()), local.storage.data() + 9);
}

// Names longer than the 256-byte buffer are cut, not written past it; huge numbers give 0.
TEST(XmiscNames, QualifiedNameIsBounded) {
  FakeDisplay local(":" + std::string(400, '9'));
  const char *qualified = xmiscQualifiedDisplayName(local.get());
  EXPECT_EQ(strlen(qualified), 255u);
  EXPECT_EQ(std::string(qualified).substr(0, hostName().size() + 1), hostName() + ":");
  EXPECT_EQ(xmiscDisplayNumber(local.get()), 0);
  FakeDisplay remote("remote:" + std::string(400, '1'));
  EXPECT_EQ(strlen(xmiscQualifiedDisplayName(remote.get())), 255u);
}

TEST(XmiscNames, DisplayNumberOfText) {
  struct Case { const char *name; int number; } cases[] = {
      {nullptr, 0}, {"host", 0}, {":", 0},  {":12", 12}, {"h:12.3", 12}, {"h:1:7", 7},
      {"h:x9", 0},  {":2147483647", INT_MAX}, {":2147483648", 0}};
  for (const Case &c : cases) {
    EXPECT_EQ(xrcDisplayNumber(c.name), c.number) << (c.name ? c.name : "NULL");
  }
}

// Decimal below 1000, hex from 1000 on; each text is a temporary string of its own.
TEST(XmiscIds, TextSwitchesToHexAtThousand) {
  struct Case { unsigned id; const char *text; } cases[] = {
      {0, "0"}, {999, "999"}, {1000, "0x3e8"}, {0xffffffffu, "0xffffffff"}};
  for (const Case &c : cases) EXPECT_STREQ(xmiscIdText(c.id), c.text) << c.id;
  const char *a = xmiscIdText(5);
  EXPECT_STREQ(xmiscIdText(6), "6");
  EXPECT_STREQ(a, "5");
}

}  // namespace
