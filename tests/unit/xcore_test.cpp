#include "proxy/xcore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "support/logging.h"

namespace {

class XcoreTest : public testing::Test {
 protected:
  void SetUp() override {
    memset(static_cast<void *>(&proxyState), 0, sizeof proxyState);
    xcoreInitDispatchTables();
  }
};

// The core opcodes that answer with a reply.
const std::set<unsigned> kWithReply = {3,  14, 15, 16, 17, 20, 21, 23,  26,  31,  38,  39,  40,  43,
                                       44, 47, 48, 49, 50, 52, 73, 83,  84,  85,  86,  87,  91,  92,
                                       97, 98, 99, 101, 103, 106, 108, 110, 116, 117, 118, 119};

TEST_F(XcoreTest, EveryKeyOfAMajorSelectsItsRow) {
  for (unsigned major = 0; major < 256; major++) {
    RequestHandler request = proxyState.requestHandlers[major];
    ReplyHandler reply = proxyState.replyHandlers[major];
    for (unsigned minor = 1; minor < 256; minor++) {
      ASSERT_EQ(proxyState.requestHandlers[major | minor << 8], request) << major << "." << minor;
      ASSERT_EQ(proxyState.replyHandlers[major | minor << 8], reply) << major << "." << minor;
    }
    ASSERT_NE(request, nullptr);
    ASSERT_NE(reply, nullptr);
    if (major == 0 || (major >= 120 && major <= 126)) {
      EXPECT_EQ(request, xcoreInvalidRequest);
      EXPECT_EQ(reply, xcoreUnexpectedReply);
      EXPECT_STREQ(proxyState.requestNames[major], "InvalidRequest");
    } else if (major == 127) {
      EXPECT_EQ(request, xcoreNoOperation);
      EXPECT_EQ(reply, xproxyNoOpReply);
    } else if (major >= 128) {
      EXPECT_EQ(request, xcoreUnsupportedRequest);
      EXPECT_EQ(reply, xcoreUnsupportedReply);
    }
  }
  uint8_t request[4] = {200, 7, 1, 0};
  EXPECT_EQ(xcoreRequestKey(request), 200u + (7u << 8));
}

TEST_F(XcoreTest, RowTableNamesAndReplies) {
  std::set<std::string> names;
  std::set<unsigned> withReply;
  unsigned expected = 1;
  for (const XcoreRequestRow &row : xcoreRequestRows) {
    if (row.opcode != 127) {
      EXPECT_EQ(row.opcode, expected++);
    }
    ASSERT_NE(row.name, nullptr);
    EXPECT_TRUE(names.insert(row.name).second) << row.name;
    EXPECT_STREQ(proxyState.requestNames[row.opcode], row.name);
    EXPECT_NE(row.requestLayout, nullptr) << row.name;
    if (row.hasReply) withReply.insert(row.opcode);
    if (!row.hasReply) {
      EXPECT_EQ(row.reply, xcoreUnexpectedReply) << row.name;
      EXPECT_EQ(row.replyLayout, nullptr) << row.name;
    }
  }
  EXPECT_EQ(expected, 120u);
  std::set<unsigned> want = kWithReply;
  want.insert(127);
  EXPECT_EQ(withReply, want);
  EXPECT_STREQ(proxyState.requestNames[1], "CreateWindow");
  EXPECT_STREQ(proxyState.requestNames[119], "GetModifierMapping");
  EXPECT_STREQ(proxyState.requestNames[127], "NoOperation");

  // Log names: opcode 0 and unnamed extension keys fall back to the numbers.
  EXPECT_STREQ(xcoreRequestName(1, 99), "CreateWindow");
  EXPECT_STREQ(xcoreRequestName(0, 0), "request 0.0");
  EXPECT_STREQ(xcoreRequestName(200, 3), "request 200.3");
  EXPECT_STREQ(xcoreRequestName(300, 1), "request 300.1");
  proxyState.requestNames[xcoreRequestNameIndex(200, 3)] = "ShapeRectangles";
  EXPECT_STREQ(xcoreRequestName(200, 3), "ShapeRectangles");
  EXPECT_STREQ(xcoreRequestName(200, 256), "request 200.256");
}

TEST_F(XcoreTest, EventAndErrorRows) {
  for (unsigned code = 0; code < 256; code++) {
    if (code == 35) {
      EXPECT_EQ(proxyState.eventHandlers[code], nullptr);
      continue;
    }
    ASSERT_NE(proxyState.eventHandlers[code], nullptr) << code;
    ASSERT_NE(proxyState.eventLayouts[code], nullptr) << code;
    if (code < 2 || code > 34) {
      EXPECT_STREQ(proxyState.eventLayouts[code], "") << code;
    }
  }
  struct Event { unsigned code; const char *layout; };
  const Event events[] = {{2, "bbsiiiisssss"}, {8, "bbsiiiisssss"}, {10, "bbsi"}, {11, ""},
                          {13, "bbsissssss"}, {20, "bbsii"}, {23, "bbsiiissssss"}, {29, "bbsiii"},
                          {30, "bbsiiiiii"}, {33, "H2"}, {34, "bbs"}};
  for (const Event &e : events) EXPECT_STREQ(proxyState.eventLayouts[e.code], e.layout) << e.code;

  const char *errors[] = {"Unsupported", "BadRequest", "BadValue", "BadWindow", "BadPixmap", "BadAtom",
                          "BadCursor", "BadFont", "BadMatch", "BadDrawable", "BadAccess", "BadAlloc",
                          "BadColor", "BadGC", "BadIDChoice", "BadName", "BadLength", "BadImplementation"};
  for (unsigned code = 0; code < 256; code++) {
    ASSERT_NE(proxyState.errorHandlers[code], nullptr);
    EXPECT_STREQ(proxyState.errorNames[code], code < 18 ? errors[code] : "Unsupported") << code;
  }
}

// Until they are built, the default handlers report that they were reached.
}  // namespace
