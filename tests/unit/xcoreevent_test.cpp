// The core event handlers on the fake core: events fed as the real server sends them, one per
// head copy with real ids and real sequence numbers, and what the client then receives.
#include <gtest/gtest.h>

#include <cstring>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/window.h"
#include "proxy/windowcrossing.h"
#include "proxy/xcorepassive.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

namespace {

struct Event {
  FakeBytes bytes = FakeBytes(32, 0);
  Event(uint8_t code, uint8_t detail, uint16_t sequence) {
    bytes[0] = code;
    bytes[1] = detail;
    s(2, sequence);
  }
  Event &s(size_t at, uint16_t v) {
    memcpy(&bytes[at], &v, 2);
    return *this;
  }
  Event &i(size_t at, uint32_t v) {
    memcpy(&bytes[at], &v, 4);
    return *this;
  }
  Event &b(size_t at, uint8_t v) {
    bytes[at] = v;
    return *this;
  }
};

// A meta screen of `heads` heads of 300 x 200 on one real display, one client with a mapped
// top-level window W (client id 5) at 10,20 of 100 x 50 and a child C (id 6) at 5,5 of it.
class EventHarness {
 public:
  FakeCore core;
  MetaScreen *screen;
  FakeClient *client;
  WindowRecord *w = nullptr, *child = nullptr;
  uint16_t clientSequence = 7;
  uint16_t real = 0;  // the real-server sequence of the client's request 7

  EventHarness(int heads, bool big, uint32_t mask) {
    screen = core.addScreen(300 * uint32_t(heads), 200, heads);
    core.addRealDisplay();
    client = &core.addClient(big);
    FakeCore::Current current(*client);
    w = windowCreate(client->id(5), core.root(screen), 10, 20, 100, 50, 0, 0, 0);
    child = windowCreate(client->id(6), w, 5, 5, 20, 20, 0, 0, 0);
    windowApplyCreateAttributes(w, mask);
    windowApplyCreateAttributes(child, mask);
    windowMap(child);
    windowMap(w);
    real = core.serverSequence(*client, clientSequence);
    core.messages(*client);
  }
  Head *head(size_t n) { return core.heads(screen).at(n); }
  // A second mapped top-level window of the client (id 9) at 400,20 of 100 x 50: on the second
  // head of 300-pixel heads.
  WindowRecord *secondWindow(uint32_t mask) {
    FakeCore::Current current(*client);
    WindowRecord *window = windowCreate(client->id(9), core.root(screen), 400, 20, 100, 50, 0, 0, 0);
    windowApplyCreateAttributes(window, mask);
    windowMap(window);
    return window;
  }
  uint32_t realId(WindowRecord *window, size_t n) { return core.realId(window->id, head(n)); }
  std::vector<FakeBytes> feed(const std::vector<Event> &events) {
    std::vector<FakeBytes> bytes;
    for (const Event &e : events) bytes.push_back(e.bytes);
    core.feedEvents(*client, bytes);
    return core.messages(*client);
  }
  // A device event on head n's copy of the window at a position of that head's real screen
  // (the fake heads' real screens use the meta screen's coordinates).
  Event device(uint8_t code, uint8_t detail, size_t n, WindowRecord *window, int16_t x, int16_t y, uint16_t state,
               uint8_t sameScreen = 1) {
    Event e(code, detail, real);
    e.i(4, 1000).i(8, core.realRoot(head(n))).i(12, realId(window, n)).s(20, uint16_t(x)).s(22, uint16_t(y));
    e.s(24, uint16_t(x - window->x)).s(26, uint16_t(y - window->y)).s(28, state);
    if (code == 7 || code == 8)
      e.b(31, sameScreen ? 2 : 0);
    else
      e.b(30, sameScreen);
    return e;
  }
};

class EventTest : public ::testing::TestWithParam<bool> {};

TEST_P(EventTest, StructureEventsComeOnceFromTheFirstHead) {
  for (int heads : {1, 3}) {
    SCOPED_TRACE(heads);
    EventHarness h(heads, GetParam(), 0x20000);
    h.screen->primaryHead = h.head(size_t(heads - 1));
    struct Case {
      uint8_t code;
      std::vector<uint8_t> idFields;
    } cases[] = {{19, {4, 8}}, {22, {4, 8}}, {21, {4, 8, 12}}};
    for (const Case &k : cases) {
      SCOPED_TRACE(int(k.code));
      std::vector<Event> events;
      for (int n = 0; n < heads; n++) {
        Event e(k.code, 0, h.real);
        for (uint8_t at : k.idFields) e.i(at, at == 12 ? h.core.realRoot(h.head(size_t(n))) : h.realId(h.w, size_t(n)));
        events.push_back(e);
      }
      auto got = h.feed(events);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0][0], k.code);
      EXPECT_EQ(h.client->u16(got[0], 2), h.clientSequence);
      EXPECT_EQ(h.client->u32(got[0], 4), h.w->id);
      EXPECT_EQ(h.client->u32(got[0], 8), h.w->id);
      if (k.code == 21) {
        EXPECT_EQ(h.client->u32(got[0], 12), h.screen->root);
      }
    }
    // ColormapNotify: only the primary head's copy speaks.
    std::vector<Event> colormaps;
    for (int n = 0; n < heads; n++) colormaps.push_back(Event(32, 0, h.real).i(4, h.realId(h.w, size_t(n))));
    auto got = h.feed(colormaps);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(h.client->u32(got[0], 4), h.w->id);
    // A VisibilityNotify of the real server never arrives.
    EXPECT_TRUE(h.feed({Event(15, 0, h.real).i(4, h.realId(h.w, 0))}).empty());
  }
}

TEST_P(EventTest, CrossingAndFocusPairsFromTwoHeadsCancelOut) {
  EventHarness h(3, GetParam(), 0x30);
  WindowRecord *other = h.secondWindow(0x30);
  // The pointer leaves head 0's copy of W and enters head 1's copy: nothing.
  EXPECT_TRUE(h.feed({h.device(8, 0, 0, h.w, 299, 30, 0), h.device(7, 0, 1, h.w, 300, 30, 0)}).empty());
  // Leaving W for another window: both arrive, in meta coordinates.
  auto got = h.feed({h.device(8, 0, 0, h.w, 299, 30, 0), h.device(7, 0, 1, other, 400, 30, 0)});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0][0], 8);
  EXPECT_EQ(h.client->u32(got[0], 12), h.w->id);
  EXPECT_EQ(got[1][0], 7);
  EXPECT_EQ(h.client->u32(got[1], 12), other->id);
  EXPECT_EQ(h.client->u16(got[1], 20), 400u);
  EXPECT_EQ(h.client->u16(got[1], 24), 0u);
  EXPECT_EQ(h.client->u32(got[1], 8), h.screen->root);
  // FocusOut and FocusIn of W from two heads: nothing; a lone FocusIn arrives.
  EXPECT_TRUE(h.feed({Event(10, 0, h.real).i(4, h.realId(h.w, 0)), Event(9, 0, h.real).i(4, h.realId(h.w, 2))}).empty());
  got = h.feed({Event(9, 3, h.real).i(4, h.realId(h.w, 1))});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(h.client->u32(got[0], 4), h.w->id);
}

// The pointer goes from the child C of W (head 0) to a window V on head 1: the client gets the
// window tree's crossing (Leave C Nonlinear, Leave W NonlinearVirtual naming C, Enter V
// Nonlinear) at its sequence and the new position; the real server's report of its change of
// screen (V entered from the root) is dropped once, an Inferior or a later one passes, and
// after its lifetime nothing is dropped. Under a grab on W only the grab's events arrive; the
// focus following the pointer between W's copies reports nothing.
TEST_P(EventTest, AChangeOfHeadSendsTheTreesCrossingAndDropsTheServersReport) {
  EventHarness h(2, GetParam(), 0x30);
  WindowRecord *v = h.secondWindow(0x30);
  h.core.messages(*h.client);
  h.client->client->sequence = h.clientSequence;
  windowCrossHeads(h.screen, h.head(0), 20, 30, h.head(1), 420, 35, 0x100, false, false);
  auto got = h.core.messages(*h.client);
  ASSERT_EQ(got.size(), 3u);
  struct Expected {
    uint8_t code, detail;
    uint32_t window, child;
    uint16_t x, y;
  } expected[] = {{8, 3, h.child->id, 0, 405, 10}, {8, 4, h.w->id, h.child->id, 410, 15}, {7, 3, v->id, 0, 20, 15}};
  for (size_t n = 0; n < 3; n++) {
    SCOPED_TRACE(n);
    const FakeBytes &m = got[n];
    EXPECT_EQ(m[0], expected[n].code);
    EXPECT_EQ(m[1], expected[n].detail);
    EXPECT_EQ(h.client->u16(m, 2), h.clientSequence);
    EXPECT_EQ(h.client->u32(m, 8), h.screen->root);
    EXPECT_EQ(h.client->u32(m, 12), expected[n].window);
    EXPECT_EQ(h.client->u32(m, 16), expected[n].child);
    EXPECT_EQ(h.client->u16(m, 20), 420u);
    EXPECT_EQ(h.client->u16(m, 22), 35u);
    EXPECT_EQ(h.client->u16(m, 24), expected[n].x);
    EXPECT_EQ(h.client->u16(m, 26), expected[n].y);
    EXPECT_EQ(h.client->u16(m, 28), 0x100u);
    EXPECT_EQ(m[30], 0);
    EXPECT_EQ(m[31], 3);  // same screen, and the focus (PointerRoot) holds the window
  }
  EXPECT_TRUE(h.feed({h.device(7, 0, 1, v, 420, 35, 0x100)}).empty());
  EXPECT_EQ(h.feed({h.device(7, 0, 1, v, 420, 35, 0x100)}).size(), 1u);
  EXPECT_EQ(h.feed({h.device(7, 2, 1, v, 420, 35, 0x100)}).size(), 1u);
  windowCrossHeads(h.screen, h.head(1), 420, 35, h.head(0), 20, 30, 0, false, false);
  EXPECT_EQ(h.core.messages(*h.client).size(), 3u);
  EXPECT_EQ(h.feed({h.device(7, 0, 0, h.child, 21, 30, 0)}).size(), 1u);  // another position
  h.core.advanceMs(10001);
  EXPECT_EQ(h.feed({h.device(7, 0, 0, h.child, 20, 30, 0)}).size(), 1u);
  {
    FakeCore::Current current(*h.client);
    ASSERT_TRUE(windowGrabPointer(kWindowPointer, h.client->client, h.w->id, 0, 0, 0x10, 1, 1, nullptr, 0, 0));
  }
  h.core.messages(*h.client);
  windowCrossHeads(h.screen, h.head(0), 20, 30, h.head(1), 420, 35, 0, true, false);
  got = h.core.messages(*h.client);
  ASSERT_EQ(got.size(), 0u);  // Leave of C and W, Enter of V: none is the grab's
  windowCrossHeads(h.screen, h.head(1), 420, 35, h.head(0), 20, 30, 0, true, false);
  got = h.core.messages(*h.client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 7);
  EXPECT_EQ(h.client->u32(got[0], 12), h.w->id);
  // The grab carried from V's head: its crossing between W's copies in mode Grab is dropped.
  Event regrab = h.device(8, 3, 1, h.w, 420, 35, 0);
  regrab.b(30, 1);
  EXPECT_TRUE(h.feed({regrab}).empty());
  proxyState.pointerGrab = {};
  // With the focus on W the focus follows onto head 1's copy of W while the pointer is still in
  // head 0's copy of C: its FocusOut of detail Pointer is dropped once; a FocusIn is the client's.
  proxyState.focusWindow = h.w->id;
  windowCrossHeads(h.screen, h.head(0), 20, 30, h.head(1), 420, 35, 0, false, false);
  EXPECT_EQ(h.core.messages(*h.client).size(), 3u);
  Event out = Event(10, 5, h.real).i(4, h.realId(h.child, 0));
  EXPECT_TRUE(h.feed({out}).empty());
  EXPECT_EQ(h.feed({out}).size(), 1u);
  EXPECT_EQ(h.feed({Event(9, 5, h.real).i(4, h.realId(h.child, 0))}).size(), 1u);
  proxyState.focusWindow = 1;
}

// A switch between PointerRoot (detail 6) and None (7) comes once per real root: on a meta
// screen of three heads the client gets it once, from the root of the head holding the pointer
// (the first head when the pointer is on no head of the screen), in the real server's order.
// Out and In of different details from two heads' roots are different transitions: both arrive.
TEST_P(EventTest, PointerRootAndNoneSwitchesComeOnceFromThePointerHead) {
  EventHarness h(3, GetParam(), 0);
  auto onRoot = [&](uint8_t code, uint8_t detail, size_t n) {
    return Event(code, detail, h.real).i(4, h.core.realRoot(h.head(n)));
  };
  auto details = [&](const std::vector<FakeBytes> &got) {
    std::vector<int> out;
    for (const FakeBytes &m : got) {
      EXPECT_EQ(h.client->u32(m, 4), h.screen->root);
      EXPECT_EQ(h.client->u16(m, 2), h.clientSequence);
      out.push_back(m[0] * 10 + m[1]);
    }
    return out;
  };
  for (Head *pointer : {h.head(1), static_cast<Head *>(nullptr)}) {
    SCOPED_TRACE(pointer ? "pointer on the second head" : "pointer nowhere");
    proxyState.pointerHead = pointer;
    std::vector<Event> events;
    for (size_t n = 0; n < 3; n++) {
      events.push_back(onRoot(10, 6, n));  // FocusOut PointerRoot
      events.push_back(onRoot(9, 7, n));   // FocusIn None
    }
    EXPECT_EQ(details(h.feed(events)), (std::vector<int>{106, 97}));
  }
  // The pointer run on the pointer head's root, then the switch on every root.
  proxyState.pointerHead = h.head(2);
  std::vector<Event> events{onRoot(10, 5, 2)};
  for (size_t n = 0; n < 3; n++) {
    events.push_back(onRoot(10, 7, n));
    events.push_back(onRoot(9, 6, n));
  }
  events.push_back(onRoot(9, 5, 2));
  EXPECT_EQ(details(h.feed(events)), (std::vector<int>{105, 107, 96, 95}));
  // FocusOut Pointer from one head and FocusIn PointerRoot from another do not cancel out.
  proxyState.pointerHead = h.head(0);
  EXPECT_EQ(details(h.feed({onRoot(10, 5, 1), onRoot(9, 6, 0)})), (std::vector<int>{105, 96}));
}

TEST_P(EventTest, ExposuresOfTwoHeadsMergeIntoOneSeries) {
  EventHarness h(2, GetParam(), 0x8000);
  auto expose = [&](size_t n, int16_t x, uint16_t count) {
    return Event(12, 0, h.real).i(4, h.realId(h.w, n)).s(8, uint16_t(x)).s(10, 0).s(12, 10).s(14, 10).s(16, count);
  };
  auto got = h.feed({expose(0, 0, 1), expose(0, 20, 0), expose(1, 40, 0)});
  ASSERT_EQ(got.size(), 3u);
  uint32_t area = 0;
  for (size_t i = 0; i < got.size(); i++) {
    EXPECT_EQ(got[i][0], 12);
    EXPECT_EQ(h.client->u32(got[i], 4), h.w->id);
    EXPECT_EQ(h.client->u16(got[i], 16), 2 - i);
    area += h.client->u16(got[i], 12) * h.client->u16(got[i], 14);
  }
  EXPECT_EQ(area, 300u);
  // A pending NoExpose gives way to the other head's GraphicsExpose; a second NoExpose goes.
  auto noExpose = [&](size_t n) { return Event(14, 0, h.real).i(4, h.realId(h.w, n)).s(8, 0).b(10, 62); };
  Event graphics = Event(13, 0, h.real).i(4, h.realId(h.w, 1)).s(8, 1).s(10, 2).s(12, 3).s(14, 4).s(16, 0).b(20, 62);
  h.core.clearLog();
  got = h.feed({expose(0, 0, 0), noExpose(0), graphics, noExpose(1)});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0][0], 12);
  EXPECT_EQ(got[1][0], 13);
  EXPECT_EQ(h.client->u16(got[1], 12), 3u);
  EXPECT_TRUE(h.core.logged("Replacing NoExpose event for"));
  // With a CopyArea answer queued only the first head's GraphicsExpose is written.
  uint16_t copy = h.core.serverSequence(*h.client, 9);
  xproxyPushReplyCallback(h.client->client->displays[0], 62, 1, nullptr);
  Event first = Event(13, 0, copy).i(4, h.realId(h.w, 0)).s(12, 5).s(14, 5).b(20, 62);
  Event second = Event(13, 0, copy).i(4, h.realId(h.w, 1)).s(12, 6).s(14, 6).b(20, 62);
  got = h.feed({second, first});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(h.client->u16(got[0], 12), 5u);
  EXPECT_EQ(h.client->u16(got[0], 2), 9u);
}

TEST_P(EventTest, SentEventsPassUntouchedAndOthersAreFiltered) {
  EventHarness h(1, GetParam(), 0x4);
  // Sent: a ClientMessage (format 32) and a ButtonPress with real ids left as they are.
  Event message = Event(33 | 0x80, 32, h.real).i(4, 0x12345).i(8, 77).i(12, 0xdeadbeef).i(28, 0x01020304);
  Event press = h.device(4 | 0x80, 1, 0, h.w, 50, 60, 0);
  auto got = h.feed({message, press});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0][0], 33 | 0x80);
  EXPECT_EQ(h.client->u32(got[0], 4), 0x12345u);
  EXPECT_EQ(h.client->u32(got[0], 12), 0xdeadbeefu);
  EXPECT_EQ(h.client->u32(got[0], 28), 0x01020304u);
  EXPECT_EQ(got[1][0], 4 | 0x80);
  EXPECT_EQ(h.client->u32(got[1], 12), h.realId(h.w, 0));
  EXPECT_EQ(h.client->u16(got[1], 2), h.clientSequence);
  if (!GetParam()) {
    // Byte for byte apart from the sequence.
    for (size_t i = 0; i < 2; i++) {
      FakeBytes expected = (i == 0 ? message : press).bytes;
      expected[2] = uint8_t(h.clientSequence);
      expected[3] = 0;
      EXPECT_EQ(got[i], expected);
    }
  }
  // A clamped ButtonPress and a not-same-screen MotionNotify on one meta screen are dropped.
  h.head(0)->visible = {0, 0, 200, 200};
  EXPECT_TRUE(h.feed({h.device(4, 1, 0, h.w, 250, 30, 0)}).empty());
  EXPECT_EQ(proxyState.pointerGrab.client, nullptr);
  EXPECT_TRUE(h.feed({h.device(6, 0, 0, h.w, 50, 30, 0, 0)}).empty());
  // A MappingNotify for a retained client (no transport) is dropped.
  XtransConnInfo transport = h.client->client->transport;
  h.client->client->transport = nullptr;
  h.core.feedEvents(*h.client, {Event(34, 0, h.real).b(4, 1).bytes});
  h.client->client->transport = transport;
  EXPECT_TRUE(h.core.messages(*h.client).empty());
  got = h.feed({Event(34, 0, h.real).b(4, 1)});
  ASSERT_EQ(got.size(), 1u);
}

TEST_P(EventTest, ButtonsAboveFiveEndTheirImplicitGrab) {
  for (uint8_t button : {1, 8, 200}) {
    SCOPED_TRACE(int(button));
    EventHarness h(1, GetParam(), 0xc);
    uint16_t held = button <= 5 ? uint16_t(0x100 << (button - 1)) : 0;
    auto got = h.feed({h.device(4, button, 0, h.w, 50, 30, 0)});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(proxyState.pointerGrab.client, h.client->client);
    EXPECT_EQ(xproxyPointerPollDepth(), 1u);
    got = h.feed({h.device(5, button, 0, h.w, 50, 30, held)});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 5);
    EXPECT_EQ(h.client->u16(got[0], 24), 40u);  // 50 - 10
    EXPECT_EQ(proxyState.pointerGrab.client, nullptr);
    EXPECT_EQ(xproxyPointerPollDepth(), 0u);
  }
}

TEST_P(EventTest, UnselectedReleasesAreNotWritten) {
  EventHarness h(1, GetParam(), 0x4);
  auto got = h.feed({h.device(4, 1, 0, h.w, 50, 30, 0), h.device(5, 1, 0, h.w, 50, 30, 0x100)});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 4);
  EXPECT_EQ(proxyState.pointerGrab.client, nullptr);
}

PassiveGrab buttonGrab(uint32_t window, uint16_t modifiers, uint8_t button, uint8_t pointerMode, uint32_t confineTo = 0) {
  PassiveGrab g{};
  g.window = window;
  g.confineTo = confineTo;
  g.eventMask = 0xc;
  g.modifiers = modifiers;
  g.ownerEvents = 1;
  g.detail = button;
  g.pointerMode = pointerMode;
  g.keyboardMode = 1;
  return g;
}

TEST_P(EventTest, PassiveGrabsActivateOnAncestorsAndRefreeze) {
  struct Case {
    uint16_t state;  // with the group bit or not
    uint16_t modifiers;
  } cases[] = {{0x0001, 0x0001}, {0x2001, 0x0001}, {0x2000, 0x8000}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.state);
    EventHarness h(1, GetParam(), 0xc);
    ASSERT_NE(xcoreAddGrab(h.client->client, buttonGrab(h.w->id, k.modifiers, 1, 0)), nullptr);
    // A press in the child: the grab on its parent is the one the real server activated.
    auto got = h.feed({h.device(4, 1, 0, h.child, 20, 30, k.state)});
    ASSERT_EQ(got.size(), 1u);
    const auto &g = proxyState.pointerGrab;
    EXPECT_EQ(g.client, h.client->client);
    EXPECT_EQ(g.window, h.w->id);
    EXPECT_EQ(g.ownerEvents, 1);
    EXPECT_EQ(proxyState.pointerFreeze.mode, 5);
    // Thawed by SyncPointer: the next press freezes the pointer again.
    windowSetPointerFreeze(kWindowPointer, h.client->client, 1);
    h.feed({h.device(4, 2, 0, h.child, 20, 30, 0x100)});
    EXPECT_EQ(proxyState.pointerFreeze.mode, 5);
    // Thawed by SyncBoth: a release that is not the last freezes both.
    windowSetPointerFreeze(kWindowPointer, h.client->client, 2);
    h.feed({h.device(5, 2, 0, h.child, 20, 30, 0x300)});
    EXPECT_EQ(proxyState.pointerFreeze.mode, 5);
    EXPECT_EQ(proxyState.keyboardFreeze.mode, 5);
    EXPECT_EQ(g.client, h.client->client);
    h.feed({h.device(5, 1, 0, h.child, 20, 30, 0x100)});
    EXPECT_EQ(g.client, nullptr);
  }
}

TEST_P(EventTest, AGrabConfinedToAnUnviewableWindowIsUndone) {
  EventHarness h(1, GetParam(), 0xc);
  WindowRecord *hidden;
  {
    FakeCore::Current current(*h.client);
    hidden = windowCreate(h.client->id(12), h.core.root(h.screen), 0, 0, 10, 10, 0, 0, 0);
  }
  ASSERT_NE(xcoreAddGrab(h.client->client, buttonGrab(h.w->id, 0x8000, 0, 1, hidden->id)), nullptr);
  h.core.serverRequests(*h.client);
  EXPECT_TRUE(h.feed({h.device(4, 3, 0, h.w, 50, 30, 0)}).empty());
  EXPECT_TRUE(h.core.logged("Fix consequence of GrabButton with confineTo None"));
  auto requests = h.core.serverRequests(*h.client);
  bool ungrab = false;
  for (const FakeBytes &r : requests) ungrab |= r[0] == 27;
  EXPECT_TRUE(ungrab);
  EXPECT_EQ(proxyState.pointerGrab.client, nullptr);
}

TEST_P(EventTest, KeyGrabsEndWithTheirKey) {
  EventHarness h(1, GetParam(), 0x3);
  PassiveGrab g{};
  g.window = h.w->id;
  g.cursor = kPassiveGrabKeyMarker;
  g.modifiers = 0x8000;
  g.detail = 38;
  g.ownerEvents = 0;
  g.pointerMode = 1;
  g.keyboardMode = 1;
  ASSERT_NE(xcoreAddGrab(h.client->client, g), nullptr);
  auto got = h.feed({h.device(2, 38, 0, h.child, 20, 30, 0x2000)});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(proxyState.keyboardGrab.client, h.client->client);
  EXPECT_EQ(proxyState.keyboardGrab.window, h.w->id);
  h.feed({h.device(3, 39, 0, h.child, 20, 30, 0)});
  EXPECT_EQ(proxyState.keyboardGrab.client, h.client->client);
  got = h.feed({h.device(3, 38, 0, h.child, 20, 30, 0)});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(proxyState.keyboardGrab.client, nullptr);
}

TEST_P(EventTest, APassingCrossingEventBehindAPendingBlockArrives) {
  EventHarness h(1, GetParam(), 0x10);
  ASSERT_NE(mainInsertDeferredOutput(h.client->client, h.clientSequence), nullptr);
  auto got = h.feed({h.device(7, 0, 0, h.w, 50, 30, 0), h.device(8, 0, 0, h.w, 50, 30, 0)});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 7);
  EXPECT_EQ(h.client->u16(got[0], 24), 40u);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, EventTest, ::testing::Values(false, true));

}  // namespace
