// Extension initialisation by name against the set-up table, with the table's set-ups
// replaced by recording fakes.
#include "proxy/xproxyext.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "proxy/korvanparser.h"
#include "proxy/xcore.h"
#include "logcapture_helpers.h"

namespace {

std::string trace;                  // "<set-up>:<version>;" per set-up call
const char *registerAs = nullptr;   // the name a succeeding fake registers

const char *fakeGlx(ExtensionRecord *r) {
  trace += "glx:" + std::to_string(r->version) + ";";
  return extRegister(r, "GLX", 0, 0);
}
const char *fakeInput(ExtensionRecord *r) {
  trace += "input:" + std::to_string(r->version) + ";";
  return extRegister(r, "XInputExtension", 1, 1);
}
const char *fakeOther(ExtensionRecord *r) {
  trace += "other:" + std::to_string(r->version) + ";";
  return extRegister(r, registerAs, 0, 0);
}
void requestRow(uint8_t *, uint32_t) {}
void eventRow(uint8_t *) {}
void errorRow(uint8_t *) {}
// Registers, writes a request, an event and an error row, then gives up.
const char *fakeHalfWay(ExtensionRecord *r) {
  trace += "halfway;";
  if (const char *e = extRegister(r, "SHAPE", 1, 1)) return e;
  extAddRequestRow(r, 0, requestRow, nullptr, "ShapeQueryVersion");
  extAddEventRow(r, eventRow, "bbs");
  extAddErrorRow(r, errorRow, "BadShape");
  return "broken";
}

class XproxyExt : public testing::Test {
 protected:
  void SetUp() override {
    memcpy(savedTable, xproxyExtensionTable, sizeof savedTable);
    memset(static_cast<void *>(&proxyState), 0, sizeof proxyState);
    xcoreInitDispatchTables();
    for (ExtensionTableRow &row : xproxyExtensionTable) {
      const std::string name = row.name;
      row.setup = name == "GLX" || name == "SGI-GLX" ? fakeGlx
                  : name.rfind("XInput", 0) == 0     ? fakeInput
                                                     : fakeOther;
    }
    trace.clear();
    log.lines.clear();
  }
  void TearDown() override {
    memcpy(xproxyExtensionTable, savedTable, sizeof savedTable);
    configRecord.extensions = nullptr;
    configRecord.extensionCount = 0;
  }
  // "step|<message>" and "note <source>|<message>" of the lines kept.
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const CapturedLine &l : log.lines)
      out.push_back((l.channel == logChannelNote ? "note " + l.source : std::string("step")) + "|" + l.message);
    return out;
  }
  ExtensionTableRow savedTable[kXproxyExtensionTableSize];
  LogCapture log;
};

TEST_F(XproxyExt, NamesReachTheirSetUpsWithTheRightVersion) {
  struct Case {
    const char *name;
    uint16_t version;
    const char *registered;  // what the fake registers (fakeOther)
    const char *wantTrace;
    const char *wantLine;    // the Init line, or "" for none
    const char *wantName;    // the record's name afterwards, or NULL
  };
  const Case cases[] = {
      {"GLX", 0, nullptr, "glx:68;", "step|Init GLX 1.4 (op=140 ev=70 err=160) ...", "GLX"},
      {"SGI-GLX", 0, nullptr, "glx:68;", "step|Init SGI-GLX 1.4 (op=140 ev=70 err=160) ...", "GLX"},
      {"XInputExtension", 0, nullptr, "input:69;", "step|Init XInputExtension 1.5 (op=140 ev=70 err=160) ...",
       "XInputExtension"},
      {"XInputDeviceEvents", 0, nullptr, "input:69;",
       "step|Init XInputDeviceEvents 1.5 (op=140 ev=70 err=160) ...", "XInputExtension"},
      {"DOUBLE-BUFFER", 64, "DOUBLE-BUFFER", "other:64;", "step|Init DOUBLE-BUFFER 1.0 (op=140 ev=70 err=160) ...",
       "DOUBLE-BUFFER"},
      {"XIE", 0, "XIE", "other:320;", "step|Init XIE 5.0 (op=140 ev=70 err=160) ...", "XIE"},
      {"RENDER", 0, "RENDER", "other:11;", "step|Init RENDER 0.11 (op=140 ev=70 err=160) ...", "RENDER"},
      {"SYNC", 65, "SYNC", "other:65;", "step|Init SYNC 1.1 (op=140 ev=70 err=160) ...", "SYNC"},
      // Exact, case-sensitive names only.
      {"glx", 0, nullptr, "", "", nullptr},
      {"NO-SUCH-EXTENSION", 0, nullptr, "", "", nullptr},
      {"XTEST ", 0, nullptr, "", "", nullptr},
  };
  for (const Case &c : cases) {
    SetUp();
    registerAs = c.registered;
    ExtensionRecord *r = xproxyInitExtension(c.name, c.version, 140, 70, 160);
    ASSERT_EQ(r, &proxyState.extensions[140]) << c.name;
    EXPECT_EQ(trace, c.wantTrace) << c.name;
    if (*c.wantLine) {
      ASSERT_EQ(lines().size(), 1u) << c.name;
      EXPECT_EQ(lines()[0], c.wantLine) << c.name;
      EXPECT_EQ(r->firstEvent, 70) << c.name;
      EXPECT_EQ(r->firstError, 160) << c.name;
    } else {
      EXPECT_TRUE(lines().empty()) << c.name;
    }
    if (c.wantName)
      EXPECT_STREQ(r->name, c.wantName) << c.name;
    else
      EXPECT_EQ(r->name, nullptr) << c.name;
    TearDown();
  }
}

TEST_F(XproxyExt, SwitchedOffGivesNullAndNoLine) {
  ExtensionSwitch off[] = {{0, const_cast<char *>("shape")}};
  configRecord.extensions = off;
  configRecord.extensionCount = 1;
  registerAs = "SHAPE";
  EXPECT_EQ(xproxyInitExtension("SHAPE", 0, 150, 0, 0), nullptr);
  EXPECT_EQ(proxyState.extensions[150].name, nullptr);
  EXPECT_EQ(trace, "");
  EXPECT_TRUE(lines().empty());
  // Another name is still set up.
  ASSERT_NE(xproxyInitExtension("GLX", 0, 151, 0, 0), nullptr);
  EXPECT_EQ(trace, "glx:68;");
}

TEST_F(XproxyExt, SecondCallInOneGenerationChangesNothing) {
  registerAs = "MIT-SHM";
  ExtensionRecord *first = xproxyInitExtension("MIT-SHM", 0, 130, 65, 130);
  ASSERT_STREQ(first->name, "MIT-SHM");
  ExtensionRecord copy = *first;
  ExtensionRecord *again = xproxyInitExtension("MIT-SHM", 70, 130, 99, 200);
  EXPECT_EQ(again, first);
  EXPECT_EQ(trace, "other:65;");
  EXPECT_EQ(lines().size(), 1u);
  EXPECT_EQ(memcmp(&copy, again, sizeof copy), 0);
}

TEST_F(XproxyExt, FailingSetUpIsLoggedAndGivesItsRowsBack) {
  for (ExtensionTableRow &row : xproxyExtensionTable)
    if (strcmp(row.name, "SHAPE") == 0) row.setup = fakeHalfWay;
  // The tables as the core left them, to compare after the failure.
  std::vector<RequestHandler> requests(proxyState.requestHandlers, proxyState.requestHandlers + kRequestKeys);
  std::vector<EventHandler> events(proxyState.eventHandlers, proxyState.eventHandlers + 256);
  std::vector<ErrorHandler> errors(proxyState.errorHandlers, proxyState.errorHandlers + 256);
  std::vector<const char *> names(proxyState.requestNames, proxyState.requestNames + kRequestNames);
  ExtensionRecord *r = xproxyInitExtension("SHAPE", 0, 129, 0, 0);
  ASSERT_EQ(r, &proxyState.extensions[129]);
  EXPECT_EQ(trace, "halfway;");
  EXPECT_EQ(r->name, nullptr);
  EXPECT_EQ(extFindByName("SHAPE"), nullptr);
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[0], "step|Init SHAPE 1.1 (op=129 ev=0 err=0) ...");
  EXPECT_EQ(lines()[1], "note Proxy/xproxy|SHAPE: broken");
  EXPECT_TRUE(std::equal(requests.begin(), requests.end(), proxyState.requestHandlers));
  EXPECT_TRUE(std::equal(events.begin(), events.end(), proxyState.eventHandlers));
  EXPECT_TRUE(std::equal(errors.begin(), errors.end(), proxyState.errorHandlers));
  EXPECT_TRUE(std::equal(names.begin(), names.end(), proxyState.requestNames));
  // The opcode is free again for the next extension.
  registerAs = "SYNC";
  EXPECT_STREQ(xproxyInitExtension("SYNC", 0, 129, 0, 0)->name, "SYNC");
}

TEST_F(XproxyExt, ShippedTableKnowsEveryNameWithItsDefault) {
  memcpy(xproxyExtensionTable, savedTable, sizeof savedTable);
  struct Want {
    const char *name;
    uint16_t version;
  } wants[] = {{"BIG-REQUESTS", 128}, {"DOUBLE-BUFFER", 64}, {"DPMS", 65}, {"FBPM", 65}, {"GLX", 68},
               {"SGI-GLX", 68}, {"MIT-SHM", 65}, {"MIT-SCREEN-SAVER", 64}, {"Multi-Buffering", 65},
               {"RENDER", 11}, {"SCREEN-SAVER", 64}, {"SHAPE", 65}, {"SUN_ALLPLANES", 64}, {"SYNC", 192},
               {"XC-MISC", 65}, {"Generic Event Extension", 64}, {"XINERAMA", 65}, {"XInputExtension", 69},
               {"XInputDeviceEvents", 69}, {"XKEYBOARD", 64}, {"XpExtension", 64}, {"MORWENTECH MULTIMEDIA", 64},
               {"XIE", 320}, {"XTEST", 130}, {"XVideo", 130}};
  ASSERT_EQ(std::size(wants), kXproxyExtensionTableSize);
  for (size_t k = 0; k < kXproxyExtensionTableSize; k++) {
    EXPECT_STREQ(xproxyExtensionTable[k].name, wants[k].name);
    EXPECT_EQ(xproxyExtensionTable[k].defaultVersion, wants[k].version) << wants[k].name;
    EXPECT_NE(xproxyExtensionTable[k].setup, nullptr) << wants[k].name;
  }
  // The aliases share their set-up.
  EXPECT_EQ(xproxyExtensionTable[4].setup, xproxyExtensionTable[5].setup);
  EXPECT_EQ(xproxyExtensionTable[17].setup, xproxyExtensionTable[18].setup);
}

TEST_F(XproxyExt, CoreOpcodesHoldNoExtension) {
  registerAs = "SYNC";
  EXPECT_EQ(xproxyInitExtension("SYNC", 0, 0, 0, 0), nullptr);
  EXPECT_EQ(xproxyInitExtension("SYNC", 0, 127, 0, 0), nullptr);
  EXPECT_EQ(trace, "");
  EXPECT_EQ(proxyState.extensions[0].name, nullptr);
}

}  // namespace
