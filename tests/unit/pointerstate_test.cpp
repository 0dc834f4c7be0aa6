// Pointer state: the poll interval stack, real-to-meta pointer positions, and the pointer
// requests answered or forwarded for the pointer head (fake core, both byte orders).
#include <gtest/gtest.h>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xclient/xrclibinput.h"

namespace {

// Two 100x100 heads side by side in a 200x100 meta screen, each on its own real root.
struct TwoHeads {
  FakeCore &core;
  MetaScreen *screen;
  Head *left, *right;
  explicit TwoHeads(FakeCore &c) : core(c) {
    screen = core.addScreen(200, 100, 2);
    auto heads = core.heads(screen);
    left = heads[0], right = heads[1];
    for (Head *h : heads) {
      h->logical = Rect{0, 0, 100, 100};
      h->visible = Rect{h->rect.x, 0, 100, 100};
      h->realWidth = h->realHeight = 100;
      h->border = 0;
    }
    left->root = 0x100;
    right->root = 0x200;
  }
  ~TwoHeads() {
    for (Head *h : core.heads(screen)) h->display = nullptr;
    proxyState.pointerHead = nullptr;
    configRecord.workarounds = 0;
  }
};

TEST(PointerPoll, StackKeepsTheSmallestAndIsBounded) {
  FakeCore core;
  xproxyPushPointerPoll(256, 50);
  xproxyPushPointerPoll(256, 20);
  EXPECT_EQ(xproxyPointerPollInterval(), 20u);
  xproxyPopPointerPoll();
  EXPECT_EQ(xproxyPointerPollInterval(), 50u);
  xproxyPopPointerPoll();
  EXPECT_EQ(xproxyPointerPollDepth(), 0u);
  EXPECT_EQ(xproxyPointerPollInterval(), 0u);
  core.clearLog();
  xproxyPopPointerPoll();  // a pop too many does nothing
  EXPECT_EQ(xproxyPointerPollDepth(), 0u);
  EXPECT_FALSE(core.logged("UNE"));
  for (int i = 0; i < 40; i++) xproxyPushPointerPoll(256, 100 - uint32_t(i));
  EXPECT_TRUE(core.logged("UNE"));
  EXPECT_LT(xproxyPointerPollDepth(), 40u);
  EXPECT_GT(xproxyPointerPollDepth(), 0u);
  // The dropped pushes did not lower the interval below what the stack holds.
  EXPECT_EQ(xproxyPointerPollInterval(), 100 - xproxyPointerPollDepth() + 1);
  xproxyResetPointerPoll();
}

TEST(PointerQuery, RealPositionsBecomeMetaPositions) {
  FakeCore core;
  TwoHeads t(core);
  struct Case {
    const char *what;
    Window root;
    int32_t x, y;
    uint32_t workarounds;
    int result;
    Head *head;
    int32_t metaX, metaY;
    int clamped;
  } cases[] = {
      {"inside the right head", 0x200, 10, 20, 0, 1, t.right, 110, 20, 0},
      {"inside the left head", 0x100, 99, 99, 0, 1, t.left, 99, 99, 0},
      {"past the right head's edge is clamped", 0x200, 150, 20, 0, 1, t.right, 199, 20, 1},
      {"above the left head is clamped", 0x100, 5, -7, 0, 1, t.left, 5, 0, 1},
      {"FixPointerCoordinates: outside converted, not found", 0x200, 150, 20, kWorkaroundFixPointerCoordinates, 0,
       t.right, 250, 20, 0},
      {"unknown root", 0x999, 1, 1, 0, 0, nullptr, -1, -1, 0},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    configRecord.workarounds = k.workarounds;
    Head *head = reinterpret_cast<Head *>(1);
    int32_t x = -1, y = -1;
    int clamped = -1;
    EXPECT_EQ(mainQueryPointer(nullptr, k.root, k.x, k.y, &head, &x, &y, &clamped), k.result);
    EXPECT_EQ(head, k.head);
    EXPECT_EQ(x, k.metaX);
    EXPECT_EQ(y, k.metaY);
    EXPECT_EQ(clamped, k.clamped);
  }
  // A panned head shows only part of its rectangle: the position stays in what it shows.
  configRecord.workarounds = 0;
  t.left->visible.width = 50;
  Head *head = nullptr;
  int32_t x = 0, y = 0;
  int clamped = 0;
  EXPECT_EQ(mainQueryPointer(nullptr, 0x100, 70, 5, &head, &x, &y, &clamped), 1);
  EXPECT_EQ(x, 49);
  EXPECT_EQ(clamped, 1);
}

TEST(PointerQuery, RootToHeadAndBack) {
  FakeCore core;
  TwoHeads t(core);
  t.right->logical = Rect{8, 4, 80, 90};  // a part of the real screen inside a border
  struct Case {
    Head *head;
    int32_t metaX, metaY, realX, realY;
  } cases[] = {{t.left, 0, 0, 0, 0}, {t.right, 100, 0, 8, 4}, {t.right, 150, 60, 58, 64},
               {t.right, INT32_MIN, 0, INT32_MIN, 4}};
  for (const Case &k : cases) {
    int32_t x = k.metaX, y = k.metaY;
    mainRootToHeadXY(&x, &y, k.head);
    EXPECT_EQ(x, k.realX);
    EXPECT_EQ(y, k.realY);
    if (k.metaX == INT32_MIN) continue;  // saturated: no way back
    xproxyHeadToRootXY(&x, &y, k.head);
    EXPECT_EQ(x, k.metaX);
    EXPECT_EQ(y, k.metaY);
  }
}

TEST(PointerQuery, UndoingAScreenCrossingLandsOnTheBorder) {
  FakeCore core;
  struct Case {
    int fromX, fromY, x, y, toX, toY, resultX, resultY;
  } cases[] = {
      // Without a display the target screen counts as one pixel: every point lands on it.
      {0, 0, 5, 5, 100, 0, 0, 0},
      {100, 0, 0, 3, 100, 0, 0, 0},
      {0, 0, -50, 0, -200, -10, 0, 0},
  };
  for (const Case &k : cases) {
    int x = -1, y = -1;
    xrcUndoScreenCrossing(nullptr, 0, k.fromX, k.fromY, k.x, k.y, 1, k.toX, k.toY, &x, &y);
    EXPECT_EQ(x, k.resultX);
    EXPECT_EQ(y, k.resultY);
  }
  EXPECT_TRUE(core.logged("Undo screen crossing from head 0"));
}

class PointerRequests : public ::testing::TestWithParam<bool> {};

// WarpPointer is the proxy's own: a warp on the pointer head goes out as a WarpPointer onto
// that head's real root, in real coordinates; a source rectangle that misses the pointer does
// nothing; a wrong length is BadLength.
TEST_P(PointerRequests, WarpPointerOnThePointerHead) {
  FakeCore core;
  TwoHeads t(core);
  t.left->logical = Rect{4, 6, 100, 100};
  Display *fake = reinterpret_cast<Display *>(&t);  // "open"; never called through on this path
  t.left->display = t.right->display = fake;
  FakeClient &c = core.addClient(GetParam());
  proxyState.pointerHead = t.left;
  proxyState.pointerX = 10;
  proxyState.pointerY = 10;
  {
    FakeCore::Current current(c);
    ASSERT_NE(windowCreate(c.id(1), core.root(t.screen), 50, 50, 20, 20, 0, 0, 0), nullptr);
  }
  auto warp = [&](uint32_t source, uint32_t destination, int dx, int dy) {
    core.send(c, FakeMessage(c.big).b(41).b(0).s(0).i(source).i(destination).s(0).s(0).s(0).s(0).s(dx).s(dy).done());
  };
  // Relative move on the pointer head.
  warp(0, 0, 5, 3);
  auto requests = core.serverRequests(c);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0][0], 41);
  EXPECT_EQ(rawGet32(requests[0], 8, false), 0x100u);  // the head's real root
  EXPECT_EQ(int16_t(rawGet16(requests[0], 20, false)), 15 + 4);
  EXPECT_EQ(int16_t(rawGet16(requests[0], 22, false)), 13 + 6);
  EXPECT_EQ(proxyState.pointerX, 15);
  EXPECT_EQ(proxyState.pointerY, 13);
  // Into a window: its position plus the offsets.
  warp(0, c.id(1), 2, 2);
  requests = core.serverRequests(c);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(proxyState.pointerX, 52);
  EXPECT_EQ(proxyState.pointerY, 52);
  // A source rectangle (the window) that misses the pointer: nothing moves.
  proxyState.pointerX = proxyState.pointerY = 10;
  core.clearLog();
  warp(c.id(1), 0, 30, 30);
  EXPECT_TRUE(core.serverRequests(c).empty());
  EXPECT_EQ(proxyState.pointerX, 10);
  EXPECT_TRUE(core.logged("No effect"));
  // Unknown source: BadWindow; short request: BadLength.
  warp(c.id(9), 0, 1, 1);
  core.send(c, FakeMessage(c.big).b(41).b(0).s(0).i(0).i(0).done());
  auto messages = core.messages(c);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0][1], 3);   // BadWindow
  EXPECT_EQ(messages[1][1], 16);  // BadLength
  EXPECT_EQ(c.u16(messages[1], 2), c.client->sequence);
  EXPECT_TRUE(core.serverRequests(c).empty());
}

// QueryPointer goes to the pointer head; its reply speaks of the meta screen.
TEST_P(PointerRequests, QueryPointerReplyIsInMetaCoordinates) {
  FakeCore core;
  TwoHeads t(core);
  FakeClient &c = core.addClient(GetParam());
  proxyState.pointerHead = t.right;
  core.send(c, FakeMessage(c.big).b(38).b(0).s(0).i(t.screen->root).done());
  auto requests = core.serverRequests(c);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0][0], 38);
  uint32_t sequence = c.client->displays[0]->requestsSent;
  FakeMessage reply(false);
  reply.b(1).b(1).s(sequence).i(0).i(0x200).i(0).s(10).s(20).s(10).s(20).s(0x100).pad(6);
  core.feedServer(c, reply.d);
  auto messages = core.messages(c);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0][0], 1);
  EXPECT_EQ(messages[0][1], 1);  // same screen
  EXPECT_EQ(c.u32(messages[0], 8), t.screen->root);
  EXPECT_EQ(c.u16(messages[0], 16), 110u);
  EXPECT_EQ(c.u16(messages[0], 18), 20u);
  EXPECT_EQ(c.u16(messages[0], 2), c.client->sequence);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, PointerRequests, ::testing::Values(false, true));

}  // namespace
