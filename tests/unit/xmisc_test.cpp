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

// Only the fields that the name and id functions read are set.
struct FakeDisplay {
  explicit FakeDisplay(const char *name) {
    memset(&record, 0, sizeof record);
    storage = name;
    record.display_name = storage.data();
  }
  Display *get() { return reinterpret_cast<Display *>(&record); }
  _XDisplay record;
  std::string storage;
};

TEST(XmiscNames, LocalQualifiedAndNumber) {
  const std::string host = hostName();
  struct Case {
    const char *name;
    const char *local;
    std::string qualified;
    int number;
  } cases[] = {
      {":0", ":0", host + ":0", 0},
      {":0.0", ":0.0", host + ":0.0", 0},
      {"localhost:10.0", ":10.0", host + ":10.0", 10},
      {"unix:3.1", ":3.1", host + ":3.1", 3},
      {"otherhost:5.0", "otherhost:5.0", "otherhost:5.0", 5},
      {"Localhost:1", "Localhost:1", "Localhost:1", 1},  // prefixes are case-sensitive
      {"UNIX:2", "UNIX:2", "UNIX:2", 2},
      {"localhost", "localhost", "localhost", 0},  // no colon: not the prefix
      {"unix", "unix", "unix", 0},
      {"decnet::4", "decnet::4", "decnet::4", 4},
      {"10.1.2.3:42.1", "10.1.2.3:42.1", "10.1.2.3:42.1", 42},
      {":17abc", ":17abc", host + ":17abc", 17},
  };
  for (const Case &c : cases) {
    FakeDisplay display(c.name);
    EXPECT_STREQ(xmiscLocalDisplayPart(display.get()), c.local) << c.name;
    EXPECT_EQ(std::string(xmiscQualifiedDisplayName(display.get())), c.qualified) << c.name;
    EXPECT_EQ(xmiscDisplayNumber(display.get()), c.number) << c.name;
  }
}

TEST(XmiscNames, LocalPartPointsIntoTheDisplayName) {
  FakeDisplay display("localhost:10.0");
  EXPECT_EQ(xmiscLocalDisplayPart(display.get()), display.storage.data() + 9);
}

TEST(XmiscNames, QualifiedNameIsBoundedAndReused) {
  std::string longName = ":" + std::string(400, '9');
  FakeDisplay longDisplay(longName.c_str());
  const char *qualified = xmiscQualifiedDisplayName(longDisplay.get());
  EXPECT_EQ(strlen(qualified), 255u);
  EXPECT_EQ(std::string(qualified).substr(0, hostName().size() + 1), hostName() + ":");
  EXPECT_EQ(xmiscDisplayNumber(longDisplay.get()), 0);  // out of range, not a wrapped number

  std::string longRemote = "remote:" + std::string(400, '1');
  FakeDisplay remote(longRemote.c_str());
  EXPECT_EQ(strlen(xmiscQualifiedDisplayName(remote.get())), 255u);

  FakeDisplay first("a:1");
  FakeDisplay second("b:2");
  const char *one = xmiscQualifiedDisplayName(first.get());
  const char *two = xmiscQualifiedDisplayName(second.get());
  EXPECT_EQ(one, two);  // one static buffer
  EXPECT_STREQ(two, "b:2");
}

TEST(XmiscNames, DisplayNumberOfText) {
  struct Case {
    const char *name;
    int number;
  } cases[] = {
      {nullptr, 0}, {"", 0},          {"host", 0},       {":", 0},        {":0", 0},
      {":12", 12},  {"h:12.3", 12},   {"h:1:7", 7},      {"h:x9", 0},     {":2147483647", INT_MAX},
      {":2147483648", 0}, {":99999999999999999999", 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(xrcDisplayNumber(c.name), c.number) << (c.name ? c.name : "NULL");
  }
}

TEST(XmiscIds, TextSwitchesToHexAtThousand) {
  struct Case {
    unsigned id;
    const char *text;
  } cases[] = {
      {0, "0"}, {1, "1"}, {999, "999"}, {1000, "0x3e8"}, {0x400001, "0x400001"},
      {0xffffffffu, "0xffffffff"},
  };
  for (const Case &c : cases) EXPECT_STREQ(xmiscIdText(c.id), c.text) << c.id;
  // Each text is its own temporary string.
  const char *a = xmiscIdText(5);
  const char *b = xmiscIdText(6);
  EXPECT_STREQ(a, "5");
  EXPECT_STREQ(b, "6");
}

TEST(XmiscIds, ResourceBaseAndMask) {
  FakeDisplay display(":0");
  display.record.resource_base = 0x00600000;
  display.record.resource_mask = 0x001fffff;
  EXPECT_EQ(xmiscResourceBase(display.get()), 0x00600000u);
  EXPECT_EQ(xmiscResourceMask(display.get()), 0x001fffffu);
}

}  // namespace
