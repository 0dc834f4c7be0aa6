// Display names and X id texts, on a Display record built in memory (no server needed).
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include <X11/Xlibint.h>

#include "xclient/misc.h"

namespace {

// Only the display name is set: it is all that the name functions read.
struct FakeDisplay {
  explicit FakeDisplay(const std::string &name) : storage(name) {
    record.display_name = storage.data();
  }
  Display *get() { return reinterpret_cast<Display *>(&record); }
  _XDisplay record{};
  std::string storage;
};

// Local part, qualified name and number; only exact "localhost:" and "unix:" prefixes count.
TEST(XmiscNames, LocalQualifiedAndNumber) {
  char hostBuffer[256] = "";
  gethostname(hostBuffer, sizeof hostBuffer - 1);
  const std::string host = hostBuffer;
  struct Case { const char *name, *local; std::string qualified; int number; } cases[] = {
      {":0.0", ":0.0", host + ":0.0", 0},
      {"localhost:10.0", ":10.0", host + ":10.0", 10},
      {"unix:3.1", ":3.1", host + ":3.1", 3},
      {"otherhost:5.0", "otherhost:5.0", "otherhost:5.0", 5},
      {"Localhost:1", "Localhost:1", "Localhost:1", 1},
      {"localhost", "localhost", "localhost", 0},
  };
  for (const Case &c : cases) {
    FakeDisplay display(c.name);
    EXPECT_STREQ(xmiscLocalDisplayPart(display.get()), c.local) << c.name;
    EXPECT_EQ(std::string(xmiscQualifiedDisplayName(display.get())), c.qualified) << c.name;
    EXPECT_EQ(xmiscDisplayNumber(display.get()), c.number) << c.name;
  }
  // Names longer than the 256-byte buffer are cut, not written past it.
  FakeDisplay local(":" + std::string(400, '9'));
  EXPECT_EQ(strlen(xmiscQualifiedDisplayName(local.get())), 255u);
  FakeDisplay remote("remote:" + std::string(400, '1'));
  EXPECT_EQ(strlen(xmiscQualifiedDisplayName(remote.get())), 255u);

  // The number after the last colon of a text; none, or one past INT_MAX, gives 0.
  struct Text { const char *name; int number; } texts[] = {
      {nullptr, 0}, {"host", 0}, {":", 0},  {":12", 12}, {"h:12.3", 12}, {"h:1:7", 7},
      {"h:x9", 0},  {":2147483647", 2147483647}, {":2147483648", 0}};
  for (const Text &t : texts) EXPECT_EQ(xrcDisplayNumber(t.name), t.number) << t.name;
}

// Decimal below 1000, hex from 1000 on; each text is a temporary string of its own.
TEST(XmiscIds, TextSwitchesToHexAtThousand) {
  const char *below = xmiscIdText(999);
  EXPECT_STREQ(xmiscIdText(1000), "0x3e8");
  EXPECT_STREQ(xmiscIdText(0xffffffffu), "0xffffffff");
  EXPECT_STREQ(below, "999");
}

}  // namespace
