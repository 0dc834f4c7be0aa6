#include "xext/ext.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "proxy/korvanparser.h"
#include "proxy/xcore.h"

namespace {

void eventA(uint8_t *) {}
void errorA(uint8_t *) {}
void requestA(uint8_t *, uint32_t) {}
void replyA(uint8_t *, uint32_t) {}
int resets = 0;
void countReset() { resets++; }

class ExtTest : public testing::Test {
 protected:
  void SetUp() override {
    memset(static_cast<void *>(&proxyState), 0, sizeof proxyState);
    xcoreInitDispatchTables();
    resets = 0;
  }
  void TearDown() override {
    configRecord.extensions = nullptr;
    configRecord.extensionCount = 0;
  }
  // A record as the real server reports it: bases given, rows filled.
  ExtensionRecord *real(unsigned major, const char *name, unsigned firstEvent, unsigned events,
                        unsigned firstError = 0, unsigned errors = 0) {
    ExtensionRecord *r = &proxyState.extensions[major];
    r->firstEvent = uint8_t(firstEvent);
    r->firstError = uint8_t(firstError);
    EXPECT_EQ(extRegister(r, name, events, errors), nullptr);
    for (unsigned k = 0; k < events; k++) EXPECT_EQ(extAddEventRow(r, eventA, "bbs"), nullptr);
    for (unsigned k = 0; k < errors; k++) EXPECT_EQ(extAddErrorRow(r, errorA, "BadThing"), nullptr);
    return r;
  }
};

TEST_F(ExtTest, EventAndErrorBases) {
  struct Step { unsigned major, firstEvent, events, firstError, errors; };
  struct Case {
    const char *name;
    std::vector<Step> before;  // records present first (bases given, rows filled)
    unsigned events, errors, wantEvent, wantError;
    const char *wantText;
  };
  const Case cases[] = {
      {"nothing held", {}, 1, 1, 36, 128, nullptr},
      {"real server 64-80", {{130, 64, 17, 0, 0}}, 1, 0, 36, 0, nullptr},
      {"two at 36 block 36-38", {{130, 36, 2, 0, 0}}, 1, 0, 39, 0, nullptr},
      {"last free codes 125-127", {{130, 36, 88, 0, 0}}, 3, 0, 125, 0, nullptr},
      {"no event code above 127", {{130, 36, 89, 0, 0}}, 3, 0, 0, 0, "X extension event base exhausted"},
      {"errors 253-254", {{130, 0, 0, 128, 124}}, 0, 2, 0, 253, nullptr},
      {"errors only 254-255", {{130, 0, 0, 128, 125}}, 0, 2, 0, 0, "X extension error base exhausted"},
      {"too many events", {}, 200, 0, 0, 0, "X extension event base exhausted"},
  };
  for (const Case &c : cases) {
    SetUp();
    for (const Step &s : c.before) real(s.major, "REAL", s.firstEvent, s.events, s.firstError, s.errors);
    ExtensionRecord *r = &proxyState.extensions[140];
    EXPECT_STREQ(extRegister(r, "OWN", c.events, c.errors), c.wantText) << c.name;
    EXPECT_EQ(r->firstEvent, c.wantEvent) << c.name;
    EXPECT_EQ(r->firstError, c.wantError) << c.name;
    EXPECT_EQ(r->majorOpcode, 140) << c.name;
    EXPECT_EQ(r->nameLength, 3) << c.name;
  }
  // A base from the real server is never moved, even when it overlaps another range.
  SetUp();
  real(130, "A", 64, 4);
  ExtensionRecord *r = &proxyState.extensions[131];
  r->firstEvent = 65;
  EXPECT_EQ(extRegister(r, "B", 2, 0), nullptr);
  EXPECT_EQ(r->firstEvent, 65);
}

// Whatever base a record brings, no row is written outside the tables.
TEST_F(ExtTest, RowWritersStayInsideTheTables) {
  for (unsigned base : {0u, 120u, 127u, 128u, 200u, 255u}) {
    SetUp();
    ExtensionRecord *r = &proxyState.extensions[150];
    r->firstEvent = uint8_t(base);
    r->firstError = uint8_t(base);
    extRegister(r, "X", 0, 0);
    unsigned eventsWritten = 0, errorsWritten = 0;
    for (int k = 0; k < 300; k++) {
      if (!extAddEventRow(r, eventA, "bbsi")) eventsWritten++;
      if (!extAddErrorRow(r, errorA, "BadX")) errorsWritten++;
    }
    EXPECT_EQ(eventsWritten, base && base <= 127 ? 128 - base : 0) << base;
    EXPECT_EQ(errorsWritten, base ? 256 - base : 0) << base;
    EXPECT_STREQ(extAddEventRow(r, eventA, "b"), "X extension event base exhausted");
    EXPECT_STREQ(extAddErrorRow(r, errorA, "b"), "X extension error base exhausted");
    if (base && base <= 127) {
      EXPECT_EQ(proxyState.eventHandlers[127], eventA);
    }
    EXPECT_EQ(proxyState.eventHandlers[128], xcoreUnsupportedEvent);
  }
}

TEST_F(ExtTest, DisabledByTheConfiguration) {
  char shape[] = "SHAPE", xkb[] = "XKEYBOARD", xkbLower[] = "xkeyboard";
  struct Case { std::vector<ExtensionSwitch> list; const char *name; int disabled; };
  const Case cases[] = {
      {{}, "SHAPE", 0},
      {{{1, shape}}, "SHAPE", 0},
      {{{1, shape}}, "XKEYBOARD", 1},
      {{{0, xkb}}, "XKEYBOARD", 1},
      {{{0, xkb}}, "SHAPE", 0},
      {{{0, xkb}, {1, xkbLower}}, "XKEYBOARD", 0},
      {{{1, xkbLower}, {0, xkb}}, "XKEYBOARD", 1},
  };
  for (const Case &c : cases) {
    configRecord.extensions = const_cast<ExtensionSwitch *>(c.list.data());
    configRecord.extensionCount = uint32_t(c.list.size());
    EXPECT_EQ(extIsDisabled(c.name), c.disabled) << c.name << " with " << c.list.size() << " entries";
  }
}

TEST_F(ExtTest, FindAndList) {
  real(129, "SHAPE", 0, 0);
  real(132, "XTEST", 0, 0);
  EXPECT_EQ(extFindByName("shape"), &proxyState.extensions[129]);
  EXPECT_EQ(extFindByNameLen("shape", 5), nullptr);
  EXPECT_EQ(extFindByNameLen("SHAPE", 5), &proxyState.extensions[129]);
  EXPECT_EQ(extFindByNameLen("SHAPE", 4), nullptr);
  EXPECT_EQ(extFindByName("RENDER"), nullptr);

  uint8_t buffer[16];
  uint32_t length = 99;
  EXPECT_EQ(extListNames(buffer, sizeof buffer, &length), 2u);
  EXPECT_EQ(length, 12u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 12), "\x05SHAPE\x05XTEST");
  memset(buffer, 0xee, sizeof buffer);
  EXPECT_EQ(extListNames(buffer, 11, &length), 1u);  // the second name does not fit
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(buffer[6], 0xee);

  EXPECT_STREQ(extDescribe(&proxyState.extensions[129]), "#129");
  proxyState.extensions[129].errorsSent = 3;
  proxyState.extensions[129].eventsSent = 65535;
  proxyState.extensions[129].emulated = 1;
  EXPECT_STREQ(extDescribe(&proxyState.extensions[129]), "#129, 3 err, 65535 ev, emu");
  proxyState.extensions[129].version = 65;
  proxyState.extensions[132].version = 2 * 64 + 2;
  EXPECT_STREQ(extListVersions(), "SHAPE 1.1, XTEST 2.2");

  // Many long names: the versions text stays inside its 512 bytes.
  static char longName[201];
  memset(longName, 'N', 200);
  for (unsigned major = 140; major < 150; major++) real(major, longName, 0, 0);
  EXPECT_LT(strlen(extListVersions()), 512u);
}

TEST_F(ExtTest, ResetGivesEverythingBack) {
  ExtensionRecord *r = &proxyState.extensions[140];
  r->firstEvent = 90;
  r->firstError = 160;
  ASSERT_EQ(extRegister(r, "MIXED", 2, 1), nullptr);
  extAddEventRow(r, eventA, "bbsi");
  extAddEventRow(r, eventA, "bbsi");
  extAddErrorRow(r, errorA, "BadMixed");
  extAddRequestRow(r, 0, requestA, replyA, "MixedQueryVersion");
  extAddRequestRow(r, 1, requestA, nullptr, "MixedDo");
  r->reset = countReset;
  EXPECT_EQ(proxyState.replyHandlers[140 | 1 << 8], xcoreUnexpectedReply);
  EXPECT_STREQ(xcoreRequestName(140, 0), "MixedQueryVersion");
  real(141, "KEPT", 100, 1);
  proxyState.extensionListBuilt = 1;
  proxyState.ext.placeholder = r;

  extResetAll();
  EXPECT_EQ(resets, 1);
  EXPECT_EQ(r->name, nullptr);
  EXPECT_EQ(proxyState.extensions[141].name, nullptr);
  EXPECT_EQ(proxyState.extensionListBuilt, 0);
  EXPECT_EQ(proxyState.ext.placeholder, nullptr);
  for (unsigned minor = 0; minor < 256; minor++) {
    ASSERT_EQ(proxyState.requestHandlers[140 | minor << 8], xcoreUnsupportedRequest);
    ASSERT_EQ(proxyState.replyHandlers[140 | minor << 8], xcoreUnsupportedReply);
  }
  EXPECT_STREQ(xcoreRequestName(140, 0), "request 140.0");
  for (unsigned code : {90u, 91u, 100u}) {
    EXPECT_EQ(proxyState.eventHandlers[code], xcoreUnsupportedEvent) << code;
    EXPECT_STREQ(proxyState.eventLayouts[code], "") << code;
  }
  EXPECT_EQ(proxyState.errorHandlers[160], xcoreUnsupportedError);
  EXPECT_STREQ(proxyState.errorNames[160], "Unsupported");
  EXPECT_EQ(extReset(nullptr), 0);
}

}  // namespace
