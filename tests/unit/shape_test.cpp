// SHAPE, XINERAMA and the screen savers on the fake core, in both byte orders: the local shape
// rules as the server applies them, the per-head copies, ShapeMask's read-back, events from
// the heads, XINERAMA's head walks, and the saver attributes per head.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "xclient/region.h"
#include "xext/ext.h"
#include "xext/screensaver.h"
#include "xext/shape.h"
#include "xext/xinerama.h"

namespace {

constexpr uint8_t kShapeMajor = 200, kShapeEvent = 90;
constexpr uint8_t kSaverMajor = 201, kSaverEvent = 91;
constexpr uint8_t kSgiMajor = 202, kSgiEvent = 93;

std::string rects(const Region *region) {
  if (!region) return "unshaped";
  long n = 0;
  XRectangle *r = regionGetRects(region, &n);
  std::string out;
  for (long k = 0; k < n; k++)
    out += std::to_string(r[k].x) + "," + std::to_string(r[k].y) + "," + std::to_string(r[k].width) + "," +
           std::to_string(r[k].height) + ";";
  free(r);
  return out.empty() ? "empty" : out;
}

// Read-backs the tests hand out instead of asking a real server.
int readBackCalls = 0;
bool readBackFails = false;
int fakeReadBack(DisplayConnection *, Head *, uint32_t, int, XRectangle **rectangles, int *count) {
  readBackCalls++;
  if (readBackFails) return 0;
  *rectangles = static_cast<XRectangle *>(malloc(sizeof(XRectangle)));
  **rectangles = XRectangle{2, 3, 4, 5};
  *count = 1;
  return 1;
}

// Two heads side by side (800 x 600 each) on one real display, a client of the parameter's
// byte order, and a window W (client id 5) at 700,100 of 100 x 50 with border 2.
class ShapeTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    screen = core.addScreen(1600, 600, 2);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    ASSERT_NE(xproxyInitExtension("SHAPE", 0, kShapeMajor, kShapeEvent, 0), nullptr);
    ASSERT_NE(proxyState.extensions[kShapeMajor].name, nullptr);
    ASSERT_NE(xproxyInitExtension("MIT-SCREEN-SAVER", 0, kSaverMajor, kSaverEvent, 0), nullptr);
    ASSERT_NE(xproxyInitExtension("SCREEN-SAVER", 0, kSgiMajor, kSgiEvent, 0), nullptr);
    FakeCore::Current current(*client);
    w = windowCreate(client->id(5), core.root(screen), 700, 100, 100, 50, 2, 0, 0);
    windowMap(w);
    core.serverRequests(*client);
    saved = shapeReadBack;
    shapeReadBack = fakeReadBack;
    readBackCalls = 0;
    readBackFails = false;
  }
  void TearDown() override {
    shapeReadBack = saved;
    extResetAll();
  }
  FakeMessage req(uint8_t major, uint8_t minor) {
    FakeMessage m(client->big);
    m.b(major).b(minor).s(0);
    return m;
  }
  FakeBytes rectanglesReq(uint8_t op, uint8_t kind, int16_t dx, int16_t dy, std::vector<XRectangle> list,
                          uint8_t ordering = 0) {
    FakeMessage m = req(kShapeMajor, 1);
    m.b(op).b(kind).b(ordering).b(0).i(w->id).s(uint16_t(dx)).s(uint16_t(dy));
    for (const XRectangle &r : list) m.s(uint16_t(r.x)).s(uint16_t(r.y)).s(r.width).s(r.height);
    return m.done();
  }
  void send(const FakeBytes &bytes) {
    FakeCore::Current current(*client);
    core.send(*client, bytes);
  }
  Region *kind(int k) { return k == 0 ? w->boundingShape : k == 1 ? w->clipShape : w->inputShape; }
  std::vector<FakeBytes> written(uint8_t major) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(*client))
      if (r[0] == major) out.push_back(r);
    return out;
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  WindowRecord *w = nullptr;
  ShapeReadBack saved = nullptr;
};

// What each operation does to an unshaped kind, and to a shaped one, as the server does it.
TEST_P(ShapeTest, OperationsFollowTheServer) {
  struct Case {
    const char *name;
    uint8_t op, kind;
    bool shapedFirst;  // Set 0,0,10,10 first
    const char *want;
  } cases[] = {
      {"set", 0, 0, false, "1,1,5,5;"},
      {"union on unshaped stays unshaped", 1, 0, false, "unshaped"},
      {"union on shaped", 1, 0, true, "0,0,10,10;"},
      {"intersect on unshaped takes the source", 2, 2, false, "1,1,5,5;"},
      {"subtract from the bounding default with border", 3, 0, false,
       "-2,-2,104,3;-2,1,3,5;6,1,96,5;-2,6,104,46;"},
      {"subtract from the clip default", 3, 1, false, "0,0,100,1;0,1,1,5;6,1,94,5;0,6,100,44;"},
      {"invert on unshaped is empty", 4, 1, false, "empty"},
      {"invert on shaped", 4, 0, true, "empty"},
      {"op 5 changes nothing", 5, 0, false, "unshaped"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (int k = 0; k < 3; k++) shapeSet(w, k, nullptr);
    if (c.shapedFirst) send(rectanglesReq(0, c.kind, 0, 0, {{0, 0, 10, 10}}));
    send(rectanglesReq(c.op, c.kind, 1, 1, {{0, 0, 5, 5}}));
    EXPECT_EQ(rects(kind(c.kind)), c.want);
    // Every request went to both heads.
    EXPECT_EQ(written(kShapeMajor).size(), c.shapedFirst ? 4u : 2u);
  }
  // Kind 3 and ordering 4 change nothing locally.
  shapeSet(w, 0, nullptr);
  send(rectanglesReq(0, 3, 0, 0, {{0, 0, 5, 5}}));
  send(rectanglesReq(0, 0, 0, 0, {{0, 0, 5, 5}}, 4));
  // Rectangles out of their claimed order: the server refuses them (BadMatch).
  send(rectanglesReq(0, 0, 0, 0, {{0, 9, 5, 5}, {0, 0, 5, 5}}, 1));
  EXPECT_EQ(w->boundingShape, nullptr);
  core.messages(*client);
}

TEST_P(ShapeTest, OffsetAndCombine) {
  // Offset of an unshaped kind leaves it unshaped; of a shape it moves it.
  send(req(kShapeMajor, 4).b(0).b(0).s(0).i(w->id).s(3).s(4).done());
  EXPECT_EQ(w->boundingShape, nullptr);
  send(rectanglesReq(0, 0, 0, 0, {{0, 0, 5, 5}}));
  send(req(kShapeMajor, 4).b(0).b(0).s(0).i(w->id).s(3).s(uint16_t(-4)).done());
  EXPECT_EQ(rects(w->boundingShape), "3,-4,5,5;");
  // Combine: the source's default bounding shape (border included) moved by the offset.
  FakeCore::Current current(*client);
  WindowRecord *other = windowCreate(client->id(6), core.root(screen), 10, 10, 20, 10, 1, 0, 0);
  core.serverRequests(*client);
  send(req(kShapeMajor, 3).b(0).b(1).b(0).b(0).i(w->id).s(10).s(10).i(other->id).done());
  EXPECT_EQ(rects(w->clipShape), "9,9,22,12;");
  auto copies = written(kShapeMajor);
  ASSERT_EQ(copies.size(), 2u);
  // A request of the other byte order reaches the servers in the proxy's order.
  EXPECT_EQ(copies[1][12] | copies[1][13] << 8, 10);
  // An unknown destination is BadWindow, and nothing is written.
  send(req(kShapeMajor, 4).b(0).b(0).s(0).i(client->id(77)).s(3).s(4).done());
  EXPECT_TRUE(written(kShapeMajor).empty());
  auto got = core.messages(*client);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back()[0], 0);
  EXPECT_EQ(got.back()[1], 3);
}

TEST_P(ShapeTest, RectanglesLengthIsCheckedFirst) {
  FakeBytes bad = rectanglesReq(0, 0, 0, 0, {{0, 0, 5, 5}});
  bad.insert(bad.end(), {0, 0, 0, 0});
  bad[2] = client->big ? 0 : 7, bad[3] = client->big ? 7 : 0;
  uint16_t before = client->client->sequence;
  send(bad);
  EXPECT_TRUE(written(kShapeMajor).empty());
  EXPECT_EQ(w->boundingShape, nullptr);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], 16);
  EXPECT_EQ(client->u32(got[0], 4), 28u);
  EXPECT_EQ(client->u16(got[0], 2), uint32_t(uint16_t(before + 1)));
}

TEST_P(ShapeTest, MaskReadsTheShapeBack) {
  FakeCore::Current current(*client);
  PixmapRecord *bitmap = resourceCreatePixmap(client->id(9), screen, nullptr, 8, 8, 1);
  ASSERT_NE(bitmap, nullptr);
  auto mask = [&](uint8_t op, uint8_t k, uint32_t source) {
    send(req(kShapeMajor, 2).b(op).b(k).s(0).i(w->id).s(0).s(0).i(source).done());
    core.answerRoundTrips(*client);  // the client parked behind them goes on
    core.runLoopOnce();
  };
  mask(1, 0, bitmap->id);  // Union onto unshaped: stays unshaped, nothing read
  EXPECT_EQ(readBackCalls, 0);
  EXPECT_EQ(w->boundingShape, nullptr);
  mask(0, 0, bitmap->id);
  EXPECT_EQ(readBackCalls, 1);
  EXPECT_EQ(rects(w->boundingShape), "2,3,4,5;");
  readBackFails = true;  // a failed read keeps what was there
  mask(2, 0, bitmap->id);
  EXPECT_EQ(rects(w->boundingShape), "2,3,4,5;");
  mask(0, 0, 0);  // None removes the shape
  EXPECT_EQ(w->boundingShape, nullptr);
  // With None the server looks at no operation: one it would refuse with a bitmap removes too.
  readBackFails = false;
  mask(5, 1, bitmap->id);
  EXPECT_EQ(w->clipShape, nullptr);
  mask(0, 1, bitmap->id);
  ASSERT_NE(w->clipShape, nullptr);
  mask(5, 1, 0);
  EXPECT_EQ(w->clipShape, nullptr);
  EXPECT_EQ(written(kShapeMajor).size(), 14u);
}

// ShapeNotify from each head: only the primary head's reaches the client, its window mapped
// back; a sent one passes as it is.
TEST_P(ShapeTest, NotifyFromThePrimaryHeadOnly) {
  uint16_t real = core.serverSequence(*client, 7);
  std::vector<FakeBytes> events;
  for (Head *head : core.heads(screen)) {
    FakeBytes e(32, 0);
    e[0] = kShapeEvent;
    memcpy(&e[2], &real, 2);
    uint32_t id = core.realId(w->id, head);
    memcpy(&e[4], &id, 4);
    events.push_back(e);
  }
  FakeBytes sent = events[1];
  sent[0] |= 0x80;
  events.push_back(sent);
  core.feedEvents(*client, events);
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(client->u32(got[0], 4), w->id);
  EXPECT_EQ(client->u16(got[0], 2), 7u);
  EXPECT_EQ(client->u32(got[1], 4), core.realId(w->id, core.heads(screen)[1]));
}

// XINERAMA's walks: forwards, reversed by the environment, and a count that stops a large n.
TEST_P(ShapeTest, XineramaHeads) {
  MetaScreen *second = core.addScreen(640, 480, 1);
  auto area = [](MetaScreen *s, uint32_t n) {
    const Rect *r = xineramaGetHeadArea(s, n);
    return r ? std::to_string(r->x) + "+" + std::to_string(r->width) : std::string("none");
  };
  EXPECT_EQ(xineramaCountHeads(nullptr), 3u);
  EXPECT_EQ(area(nullptr, 0) + " " + area(nullptr, 1) + " " + area(nullptr, 2), "0+800 800+800 0+640");
  setenv("XineramaOrdering", "Reverse", 1);
  EXPECT_EQ(area(nullptr, 0) + " " + area(nullptr, 1) + " " + area(nullptr, 2), "800+800 0+800 0+640");
  EXPECT_EQ(area(screen, 0xffffffffu), "none");
  unsetenv("XineramaOrdering");
  EXPECT_EQ(area(nullptr, 3), "none");
  EXPECT_EQ(xineramaIsActive(screen), 1);
  EXPECT_EQ(xineramaIsActive(second), 0);
}

// SetAttributes: one copy per head with that head's root; values as long as the mask says.
TEST_P(ShapeTest, SaverAttributesPerHead) {
  auto setAttributes = [&](uint32_t mask, std::vector<uint32_t> values) {
    FakeMessage m = req(kSaverMajor, 3);
    m.i(screen->root).s(0).s(0).s(10).s(10).s(0).b(1).b(0).i(0).i(mask);
    for (uint32_t v : values) m.i(v);
    send(m.done());
  };
  setAttributes(0x2002, {0x00ff00, screen->defaultColormap});  // BackPixel, Colormap
  auto copies = written(kSaverMajor);
  ASSERT_EQ(copies.size(), 2u);
  auto heads = core.heads(screen);
  for (size_t n = 0; n < 2; n++) {
    uint32_t root = 0, mask = 0;
    memcpy(&root, &copies[n][4], 4);
    memcpy(&mask, &copies[n][24], 4);
    EXPECT_EQ(root, core.realRoot(heads[n]));
    EXPECT_EQ(mask, 0x2002u);
    EXPECT_EQ(copies[n].size(), 36u);
  }
  // One word short of the mask, and the old minimum of 24 bytes: BadLength, nothing written.
  setAttributes(0x2002, {0x00ff00});
  FakeBytes shortOne = req(kSaverMajor, 3).i(screen->root).s(0).s(0).s(10).s(10).s(0).b(1).b(0).i(0).done();
  send(shortOne);
  EXPECT_TRUE(written(kSaverMajor).empty());
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0][1], 16);
  EXPECT_EQ(client->u32(got[0], 4), 32u);
  EXPECT_EQ(client->u32(got[1], 4), 24u);
  // SGI Enable goes to the first head's screen number.
  send(req(kSgiMajor, 1).i(5).done());
  auto enable = written(kSgiMajor);
  ASSERT_EQ(enable.size(), 1u);
  EXPECT_EQ(enable[0][4], uint8_t(heads[0]->screen));
}

// A value list that does not match its mask is refused as the client wrote it: BadLength with
// the length, nothing written, and the request's bytes not swapped in place.
TEST_P(ShapeTest, SaverAttributesLengthBeforeTheSwap) {
  auto request = [&](std::vector<uint32_t> values) {
    FakeMessage m = req(kSaverMajor, 3);
    m.i(screen->root).s(1).s(2).s(10).s(10).s(0).b(1).b(0).i(0).i(0x6002);  // BackPixel, Colormap, Cursor
    for (uint32_t v : values) m.i(v);
    return m.done();
  };
  for (const std::vector<uint32_t> &values : {std::vector<uint32_t>{0x00ff00, 0x20}, {0x00ff00, 0x20, 0x21, 0x22}}) {
    FakeBytes bytes = request(values), handed = bytes;
    {
      FakeCore::Current current(*client);
      client->client->sequence++;
      proxyState.requestHandlers[handed[0] | handed[1] << 8](handed.data(), uint32_t(handed.size()));
    }
    EXPECT_EQ(handed, bytes);
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 0);
    EXPECT_EQ(got[0][1], 16);
    EXPECT_EQ(client->u32(got[0], 4), uint32_t(bytes.size()));
  }
  EXPECT_TRUE(written(kSaverMajor).empty());
}

// The saver events: a real ScreenSaverNotify gets the meta root; sent ones keep their ids.
TEST_P(ShapeTest, SaverEventsMapIds) {
  uint16_t real = core.serverSequence(*client, 9);
  Head *first = core.heads(screen)[0];
  auto event = [&](uint8_t code, bool sent) {
    FakeBytes e(32, 0);
    e[0] = uint8_t(code | (sent ? 0x80 : 0));
    memcpy(&e[2], &real, 2);
    uint32_t root = core.realRoot(first), time = 1234;
    memcpy(&e[4], code == kSaverEvent ? &time : &root, 4);
    memcpy(&e[8], &root, 4);
    return e;
  };
  core.feedEvents(*client, {event(kSaverEvent, false), event(kSaverEvent, true), event(kSgiEvent, false),
                            event(kSgiEvent + 1, true)});
  auto got = core.messages(*client);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(client->u32(got[0], 8), screen->root);
  EXPECT_EQ(client->u32(got[1], 8), core.realRoot(first));
  EXPECT_EQ(client->u32(got[2], 4), screen->root);
  EXPECT_EQ(client->u32(got[3], 4), core.realRoot(first));
  for (auto &m : got) EXPECT_EQ(client->u16(m, 2), 9u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ShapeTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
