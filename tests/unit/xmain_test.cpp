// The extension list of a generation without a real display (only the proxy's own extensions)
// and the zoom scaling of points.
#include <gtest/gtest.h>

#include "proxy/xmain.h"
#include "xext/xtest.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <cstring>
#include <string>
#include <vector>

#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/xcore.h"
#include "proxy/xproxyext.h"
#include "logcapture_helpers.h"

namespace {

// The set-ups asked for, in order.
std::vector<std::string> asked;

class XmainTest : public testing::Test {
 protected:
  void SetUp() override {
    memcpy(savedTable, xproxyExtensionTable, sizeof savedTable);
    memset(static_cast<void *>(&proxyState), 0, sizeof proxyState);
    xcoreInitDispatchTables();
    log.lines.clear();
    asked.clear();
    xtestEmulated = 0;
  }
  void TearDown() override {
    memcpy(xproxyExtensionTable, savedTable, sizeof savedTable);
    memset(static_cast<void *>(&proxyState), 0, sizeof proxyState);
    configRecord.extensions = nullptr;
    configRecord.extensionCount = 0;
  }
  ExtensionTableRow savedTable[kXproxyExtensionTableSize];
  LogCapture log;
};

// Row K's set-up: records its name and registers the record under it (the table's static text).
template <size_t K>
const char *rowSetup(ExtensionRecord *r) {
  asked.push_back(xproxyExtensionTable[K].name);
  return extRegister(r, xproxyExtensionTable[K].name, 0, 0);
}
template <size_t... K>
void installRowSetups(std::index_sequence<K...>) {
  ((xproxyExtensionTable[K].setup = rowSetup<K>), ...);
}

TEST_F(XmainTest, LowestFreeOpcodeAndExhaustion) {
  EXPECT_EQ(xmainAllocExtensionOpcode(), 128);
  proxyState.extensions[128].name = "A";
  proxyState.extensions[130].name = "C";
  EXPECT_EQ(xmainAllocExtensionOpcode(), 129);
  for (unsigned major = 128; major < 256; major++) proxyState.extensions[major].name = "TAKEN";
  EXPECT_EQ(xmainAllocExtensionOpcode(), 0);
  EXPECT_EQ(log.on(logChannelWarning), std::vector<std::string>{"X extension opcodes exhausted"});
  proxyState.extensions[255].name = nullptr;
  EXPECT_EQ(xmainAllocExtensionOpcode(), 255);
}

TEST_F(XmainTest, OwnExtensionsTakeTheLowestFreeOpcodesOnce) {
  installRowSetups(std::make_index_sequence<kXproxyExtensionTableSize>());
  proxyState.extensions[129].name = "REAL";  // held by an extension of the real server
  ASSERT_EQ(xmainInitExtensions(), nullptr);
  // Without a real display there is no XTEST through the remote-control library.
  EXPECT_EQ(asked, (std::vector<std::string>{"MIT-SHM", "MORWENTECH MULTIMEDIA", "XINERAMA", "DOUBLE-BUFFER"}));
  EXPECT_STREQ(proxyState.extensions[128].name, "MIT-SHM");
  EXPECT_STREQ(proxyState.extensions[130].name, "MORWENTECH MULTIMEDIA");
  EXPECT_STREQ(proxyState.extensions[131].name, "XINERAMA");
  EXPECT_STREQ(proxyState.extensions[132].name, "DOUBLE-BUFFER");
  EXPECT_EQ(proxyState.extensions[132].version, 64);
  EXPECT_EQ(proxyState.extensions[128].version, 65);
  for (unsigned major : {128u, 130u, 131u, 132u}) {
    EXPECT_EQ(proxyState.extensions[major].providedByProxy, 1) << major;
    EXPECT_EQ(proxyState.extensions[major].firstError, 0) << major;
  }
  EXPECT_TRUE(log.has(logChannelStep, "Init MIT-SHM 1.1 (op=128 ev=0 err=0) ..."));
  EXPECT_EQ(xtestEmulated, 0);
  // Once per generation.
  asked.clear();
  ASSERT_EQ(xmainInitExtensions(), nullptr);
  EXPECT_TRUE(asked.empty());
}

TEST_F(XmainTest, PresentOrSwitchedOffExtensionsAreNotAdded) {
  installRowSetups(std::make_index_sequence<kXproxyExtensionTableSize>());
  proxyState.extensions[140].name = "xinerama";  // found ignoring case
  ExtensionSwitch off[] = {{0, const_cast<char *>("MIT-SHM")}};
  configRecord.extensions = off;
  configRecord.extensionCount = 1;
  ASSERT_EQ(xmainInitExtensions(), nullptr);
  EXPECT_EQ(asked, (std::vector<std::string>{"MORWENTECH MULTIMEDIA", "DOUBLE-BUFFER"}));
  // The switched-off extension took no opcode.
  EXPECT_STREQ(proxyState.extensions[128].name, "MORWENTECH MULTIMEDIA");
}

TEST_F(XmainTest, AllOpcodesTakenAddsNothing) {
  installRowSetups(std::make_index_sequence<kXproxyExtensionTableSize>());
  for (unsigned major = 128; major < 256; major++) proxyState.extensions[major].name = "TAKEN";
  ASSERT_EQ(xmainInitExtensions(), nullptr);
  EXPECT_TRUE(asked.empty());
  // Nothing went to major 0, the core's InvalidRequest row.
  EXPECT_EQ(proxyState.extensions[0].name, nullptr);
  EXPECT_EQ(log.on(logChannelWarning), std::vector<std::string>(4, "X extension opcodes exhausted"));
}

TEST_F(XmainTest, FailedOwnSetUpLeavesTheOpcodeFree) {
  // Every own extension is tried; MIT-SHM (served in every case) and XINERAMA (answered from
  // the proxy's own heads) take the lowest opcodes, and the ones that decline leave theirs
  // free for the next.
  ASSERT_EQ(xmainInitExtensions(), nullptr);
  ASSERT_NE(proxyState.extensions[128].name, nullptr);
  EXPECT_STREQ(proxyState.extensions[128].name, "MIT-SHM");
  EXPECT_EQ(proxyState.extensions[128].providedByProxy, 1);
  ASSERT_NE(proxyState.extensions[129].name, nullptr);
  EXPECT_STREQ(proxyState.extensions[129].name, "XINERAMA");
  EXPECT_EQ(proxyState.extensions[129].providedByProxy, 1);
  for (unsigned major = 130; major < 256; major++) EXPECT_EQ(proxyState.extensions[major].name, nullptr) << major;
  EXPECT_TRUE(log.has(logChannelStep, "Init DOUBLE-BUFFER 1.0 (op=130 ev=0 err=0) ..."));
}

TEST(XmainScalePoint, TruncatesTowardZero) {
  struct Case {
    double zoomX, zoomY;
    int32_t x, y, wantX, wantY;
  } cases[] = {
      {2.0, 1.5, 3, 3, 6, 4},
      {2.0, 1.5, -3, -3, -6, -4},
      {1.0, 1.0, 7, -9, 7, -9},
      {0.5, 1.0, 7, -9, 3, -9},
      {1.0, 0.5, 7, -9, 7, -4},
      {2.0, 2.0, INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN},  // saturates
  };
  for (const Case &c : cases) {
    Head head{};
    head.zoomX = c.zoomX;
    head.zoomY = c.zoomY;
    int32_t x = c.x, y = c.y;
    xmainScalePoint(&x, &y, &head);
    EXPECT_EQ(x, c.wantX) << c.zoomX << " " << c.x;
    EXPECT_EQ(y, c.wantY) << c.zoomY << " " << c.y;
  }
}

}  // namespace
