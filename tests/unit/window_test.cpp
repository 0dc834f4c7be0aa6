// The window tree, grabs, freezes and focus on the fake core: fake clients whose output is read
// back, meta screens without a real display.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "xclient/xrclibcursors.h"
#include "proxy/xcorepassive.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/host.h"
#include "xclient/region.h"

namespace {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    screen = core.addScreen(1000, 800);
    a = &core.addClient(false);
    b = &core.addClient(true);
  }

  // A window of the client under the parent, mapped unless told otherwise.
  WindowRecord *make(FakeClient &c, uint32_t n, WindowRecord *parent, int x, int y, int w, int h, int border = 0,
                     bool map = true, uint16_t windowClass = 1) {
    FakeCore::Current current(c);
    WindowRecord *win = windowCreate(c.id(n), parent, x, y, uint16_t(w), uint16_t(h), uint16_t(border), windowClass, 0);
    EXPECT_NE(win, nullptr);
    if (win && map) windowMap(win);
    return win;
  }
  void select(FakeClient &c, WindowRecord *w, uint32_t mask) {
    FakeCore::Current current(c);
    windowChangeAttributes(w, mask);
  }
  // The VisibilityNotify events the client received: window id and state.
  std::vector<std::pair<uint32_t, uint32_t>> visibilityEvents(FakeClient &c, std::vector<uint32_t> *sequences = nullptr) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const FakeBytes &m : core.messages(c)) {
      if (m[0] != 15) continue;
      out.emplace_back(c.u32(m, 4), m[8]);
      if (sequences) sequences->push_back(c.u16(m, 2));
    }
    return out;
  }
  std::vector<uint32_t> stacking(WindowRecord *parent) {
    std::vector<uint32_t> ids;
    for (WindowRecord *w = parent->firstChild; w; w = w->nextSibling) ids.push_back(w->id & 0xff);
    return ids;
  }
  int configure(FakeClient &c, WindowRecord *w, uint32_t mask, std::vector<uint32_t> values) {
    FakeCore::Current current(c);
    return windowConfigure(w, mask, values.data(), c.client);
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *a = nullptr, *b = nullptr;
};

TEST_F(WindowTest, MappingOverASiblingNotifiesEachSelectingClientOnce) {
  WindowRecord *root = core.root();
  WindowRecord *below = make(*a, 1, root, 100, 100, 200, 200);
  select(*a, below, kWindowVisibilityChangeMask);
  select(*b, below, kWindowVisibilityChangeMask | 0x8000);
  a->client->sequence = 7;
  b->client->sequence = 3;
  EXPECT_EQ(below->visibility, 0);
  struct Case {
    int x, y, w, h;
    uint32_t state;
  } cases[] = {
      {150, 150, 50, 50, 1},    // partly covered
      {50, 50, 400, 400, 2},    // wholly covered
  };
  uint32_t n = 10;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.state);
    core.messages(*a);
    core.messages(*b);
    WindowRecord *top = make(*a, n++, root, c.x, c.y, c.w, c.h);
    std::vector<uint32_t> seqA, seqB;
    EXPECT_EQ(visibilityEvents(*a, &seqA), (std::vector<std::pair<uint32_t, uint32_t>>{{below->id, c.state}}));
    EXPECT_EQ(visibilityEvents(*b, &seqB), (std::vector<std::pair<uint32_t, uint32_t>>{{below->id, c.state}}));
    EXPECT_EQ(seqA, std::vector<uint32_t>{7});
    EXPECT_EQ(seqB, std::vector<uint32_t>{3});
    // Unmapped again: the sibling is unobscured and both hear it.
    {
      FakeCore::Current current(*a);
      windowUnmap(top, 0);
    }
    EXPECT_EQ(below->visibility, 0);
    EXPECT_EQ(visibilityEvents(*a).size(), 1u);
    EXPECT_EQ(visibilityEvents(*b).size(), 1u);
  }
  // A window outside its parent is fully obscured; one sticking out partly.
  WindowRecord *child = make(*a, 30, below, 190, 190, 20, 20);
  EXPECT_EQ(child->visibility, 1);
  WindowRecord *gone = make(*a, 31, below, 300, 300, 20, 20);
  EXPECT_EQ(gone->visibility, 2);
  EXPECT_EQ(windowAtPoint(root, 295, 295), child);
  EXPECT_EQ(windowAtPoint(root, 305, 305), root);  // the part outside its parent is not reached
}

TEST_F(WindowTest, RedirectedMapWaitsForTheWindowManager) {
  WindowRecord *root = core.root();
  select(*b, root, kWindowSubstructureRedirectMask);
  WindowRecord *w = make(*a, 1, root, 10, 10, 50, 50);
  EXPECT_FALSE(w->mapped);
  // An override-redirect window is not redirected; nor is the window manager's own.
  WindowRecord *menu = make(*a, 2, root, 10, 10, 50, 50, 0, false);
  menu->overrideRedirect = 1;
  {
    FakeCore::Current current(*a);
    windowMap(menu);
  }
  EXPECT_TRUE(menu->viewable);
  {
    FakeCore::Current current(*b);
    windowMap(w);
  }
  EXPECT_TRUE(w->viewable);
  // Once the window manager has gone, a map goes through at once.
  core.closeClient(*b);
  WindowRecord *later = make(*a, 3, root, 10, 10, 50, 50);
  EXPECT_TRUE(later->mapped);
  EXPECT_FALSE(windowRedirectedByOther(root, a->client));
}

TEST_F(WindowTest, ConfigureRefusals) {
  WindowRecord *root = core.root();
  WindowRecord *w = make(*a, 1, root, 0, 0, 10, 10);
  WindowRecord *sibling = make(*a, 2, root, 0, 0, 10, 10);
  WindowRecord *other = make(*a, 3, sibling, 0, 0, 5, 5);
  WindowRecord *inputOnly = make(*a, 4, root, 0, 0, 10, 10, 0, true, 2);
  struct Case {
    const char *what;
    WindowRecord *window;
    uint32_t mask;
    std::vector<uint32_t> values;
    int error;
  } cases[] = {
      {"width 0", w, 0x4, {0}, 2},
      {"height 0", w, 0x8, {0}, 2},
      {"mask bit 0x80", w, 0x80, {1}, 2},
      {"stack mode 5", w, 0x40, {5}, 2},
      {"sibling without stack mode", w, 0x20, {sibling->id}, 8},
      {"sibling of another parent", w, 0x60, {other->id, 0}, 8},
      {"the window as its own sibling", w, 0x60, {w->id, 0}, 8},
      {"unknown sibling", w, 0x60, {a->id(99), 0}, 3},
      {"border on InputOnly", inputOnly, 0x10, {1}, 8},
      {"root is left alone", root, 0x1, {5}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(configure(*a, c.window, c.mask, c.values), c.error);
    EXPECT_EQ(w->originX, 0);
    EXPECT_EQ(w->width, 10);
  }
  EXPECT_EQ(root->x, 0);
}

TEST_F(WindowTest, StackModes) {
  WindowRecord *root = core.root();
  // Three overlapping windows 1 (top), 2, 3 and a distant one 4 at the bottom.
  auto build = [&]() {
    while (root->firstChild) {
      FakeCore::Current current(*a);
      resourceFree(root->firstChild->id, 0);
    }
    make(*a, 4, root, 800, 600, 10, 10);
    make(*a, 3, root, 0, 0, 100, 100);
    make(*a, 2, root, 50, 50, 100, 100);
    make(*a, 1, root, 60, 60, 100, 100);
  };
  auto win = [&](uint32_t n) { return static_cast<WindowRecord *>(resourceLookupWindow(a->id(n))); };
  struct Case {
    const char *what;
    uint32_t window;
    uint32_t sibling;  // 0: none
    uint32_t mode;
    std::vector<uint32_t> order;
  } cases[] = {
      {"Above", 3, 0, 0, {3, 1, 2, 4}},
      {"Above sibling", 3, 2, 0, {1, 3, 2, 4}},
      {"Below", 1, 0, 1, {2, 3, 4, 1}},
      {"Below sibling", 1, 3, 1, {2, 3, 1, 4}},
      {"TopIf overlapped", 3, 0, 2, {3, 1, 2, 4}},
      {"TopIf not overlapped", 4, 0, 2, {1, 2, 3, 4}},
      {"TopIf sibling below", 2, 3, 2, {1, 2, 3, 4}},
      {"TopIf sibling above", 2, 1, 2, {2, 1, 3, 4}},
      {"BottomIf overlapping", 1, 0, 3, {2, 3, 4, 1}},
      {"BottomIf nothing below overlaps", 4, 0, 3, {1, 2, 3, 4}},
      {"BottomIf sibling below", 1, 3, 3, {2, 3, 4, 1}},
      {"Opposite covered", 3, 0, 4, {3, 1, 2, 4}},
      {"Opposite covering", 1, 0, 4, {2, 3, 4, 1}},
      {"Opposite sibling above", 2, 1, 4, {2, 1, 3, 4}},
      {"Opposite sibling below", 2, 3, 4, {1, 3, 4, 2}},
      {"Opposite sibling apart", 4, 3, 4, {1, 2, 3, 4}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    build();
    uint32_t mask = c.sibling ? 0x60 : 0x40;
    std::vector<uint32_t> values;
    if (c.sibling) values.push_back(win(c.sibling)->id);
    values.push_back(c.mode);
    EXPECT_EQ(configure(*a, win(c.window), mask, values), 0);
    EXPECT_EQ(stacking(root), c.order);
  }
}

TEST_F(WindowTest, GravityOnParentResize) {
  WindowRecord *root = core.root();
  // Child at 10,20 of size 30x40 in a 200x100 parent at 100,100 that grows by 51x31.
  struct Case {
    uint8_t gravity;
    int x, y;  // new position relative to the parent
  } cases[] = {
      {1, 10, 20}, {2, 35, 20}, {3, 61, 20}, {4, 10, 35}, {5, 35, 35},
      {6, 61, 35}, {7, 10, 51}, {8, 35, 51}, {9, 61, 51}, {10, 0, 20},
  };
  uint32_t n = 1;
  for (const Case &c : cases) {
    SCOPED_TRACE(int(c.gravity));
    WindowRecord *parent = make(*a, n++, root, 100, 100, 200, 100);
    WindowRecord *child = make(*a, n++, parent, 10, 20, 30, 40);
    child->windowGravity = c.gravity;
    // Static: the parent's left edge also moves right by 10, the child stays in place.
    if (c.gravity == 10)
      EXPECT_EQ(configure(*a, parent, 0x1 | 0x4 | 0x8, {110, 251, 131}), 0);
    else
      EXPECT_EQ(configure(*a, parent, 0x4 | 0x8, {251, 131}), 0);
    EXPECT_EQ(child->originX, c.x);
    EXPECT_EQ(child->originY, c.y);
    EXPECT_EQ(child->x, parent->x + c.x);
  }
  // Negative changes truncate toward zero; Unmap gravity unmaps.
  int32_t x, y;
  windowGravityTranslate(10, 10, 0, 0, -51, -31, 5, &x, &y);
  EXPECT_EQ(x, 10 - 25);
  EXPECT_EQ(y, 10 - 15);
  WindowRecord *parent = make(*a, 90, root, 0, 0, 100, 100);
  WindowRecord *child = make(*a, 91, parent, 0, 0, 10, 10);
  child->windowGravity = 0;
  EXPECT_EQ(configure(*a, parent, 0x4, {50}), 0);
  EXPECT_FALSE(child->mapped);
}

TEST_F(WindowTest, CirculateAndReparent) {
  WindowRecord *root = core.root();
  WindowRecord *w1 = make(*a, 1, root, 0, 0, 100, 100);
  make(*a, 2, root, 50, 50, 100, 100);
  make(*a, 3, root, 500, 500, 10, 10);  // overlaps nobody
  EXPECT_EQ(stacking(root), (std::vector<uint32_t>{3, 2, 1}));
  {
    FakeCore::Current current(*a);
    windowCirculate(root, 0);  // RaiseLowest: 1 is overlapped
  }
  EXPECT_EQ(stacking(root), (std::vector<uint32_t>{1, 3, 2}));
  {
    FakeCore::Current current(*a);
    windowCirculate(root, 1);  // LowerHighest: 1 overlaps 2
  }
  EXPECT_EQ(stacking(root), (std::vector<uint32_t>{3, 2, 1}));

  // Reparenting into itself or anything inside it is refused; elsewhere it keeps the map state.
  WindowRecord *child = make(*a, 10, w1, 5, 5, 20, 20);
  WindowRecord *grandchild = make(*a, 11, child, 1, 1, 5, 5);
  EXPECT_EQ(windowReparent(w1, w1, 0, 0, a->client), 8);
  EXPECT_EQ(windowReparent(w1, child, 0, 0, a->client), 8);
  EXPECT_EQ(windowReparent(w1, grandchild, 0, 0, a->client), 8);
  WindowRecord *inputOnly = make(*a, 12, root, 0, 0, 5, 5, 0, true, 2);
  EXPECT_EQ(windowReparent(child, inputOnly, 0, 0, a->client), 8);
  WindowRecord *target = static_cast<WindowRecord *>(resourceLookupWindow(a->id(3)));
  {
    FakeCore::Current current(*a);
    EXPECT_EQ(windowReparent(child, target, 2, 3, a->client), 0);
  }
  EXPECT_EQ(child->parent, target);
  EXPECT_TRUE(child->viewable);
  EXPECT_EQ(child->x, 502);
  EXPECT_EQ(grandchild->x, 503);
  EXPECT_EQ(windowAtPoint(root, 503, 504), grandchild);
}

TEST_F(WindowTest, DestroyedWindowMasksLastSevenSeconds) {
  WindowRecord *root = core.root();
  for (int reset = 0; reset < 2; reset++) {
    SCOPED_TRACE(reset);
    WindowRecord *w = make(*a, 1, root, 0, 0, 10, 10);
    {
      FakeCore::Current current(*a);
      windowApplyCreateAttributes(w, 0x1);
      windowChangeAttributes(w, 0x8001);  // keys and exposure: no round trip
    }
    {
      FakeCore::Current current(*a);
      EXPECT_EQ(windowClientEventMask(w->id), 0x8001u);
      resourceFree(w->id, 0);
      EXPECT_EQ(windowClientEventMask(a->id(1)), 0x8001u);
      int32_t x, y;
      EXPECT_EQ(windowPosition(a->id(1), &x, &y), 1);
    }
    if (reset) {
      windowFreePendingSelectionBlocks();
    } else {
      core.advanceMs(6999);
      FakeCore::Current current(*a);
      EXPECT_EQ(windowClientEventMask(a->id(1)), 0x8001u);
    }
    core.advanceMs(2);
    FakeCore::Current current(*a);
    EXPECT_EQ(windowClientEventMask(a->id(1)), 0u);
    EXPECT_EQ(windowPendingSelectionBlocks(), nullptr);
  }
}

TEST_F(WindowTest, ConfirmedGeometryReachesTheBlockWhileItLasts) {
  WindowRecord *w = make(*a, 1, core.root(), 5, 6, 10, 10);
  auto update = [&](int16_t x) {
    auto *u = static_cast<WindowGeometryUpdate *>(calloc(1, sizeof(WindowGeometryUpdate)));
    *u = {a->id(1), x, 2, 30, 40, 1};
    windowSetServerGeometry(nullptr, reinterpret_cast<uintptr_t>(u));
    windowFreeGeometryUpdate(reinterpret_cast<uintptr_t>(u));
  };
  update(7);
  EXPECT_EQ(w->block->x, 7);
  EXPECT_EQ(w->block->width, 30);
  {
    FakeCore::Current current(*a);
    resourceFree(w->id, 0);
  }
  update(8);  // the destroyed window's block still takes it
  EXPECT_EQ(windowSelectionBlockById(a->id(1))->x, 8);
  windowFreePendingSelectionBlocks();
  update(9);  // gone: nothing happens
  EXPECT_EQ(windowSelectionBlockById(a->id(1)), nullptr);
}

TEST_F(WindowTest, PointerMasksWaitForTheRoundTrip) {
  WindowRecord *w = make(*a, 1, core.root(), 0, 0, 10, 10);
  auto maskOfA = [&](uint32_t id) {
    FakeCore::Current current(*a);
    return windowClientEventMask(id);
  };
  select(*a, w, 0x4);  // ButtonPress: judged by the old mask until the server has it
  EXPECT_EQ(maskOfA(w->id), 0u);
  EXPECT_EQ(core.answerRoundTrips(*a), 1);
  EXPECT_EQ(maskOfA(w->id), 0x4u);
  // A second client's ButtonPress is refused while the first holds it.
  {
    FakeCore::Current other(*b);
    EXPECT_EQ(windowChangeAttributes(w, 0x4), 0);
  }
  EXPECT_TRUE(core.logged("Invalid event-mask 0x4 for window"));
  // A confirmation that arrives after the window's block is gone changes nothing.
  select(*a, w, 0);
  {
    FakeCore::Current current(*a);
    resourceFree(w->id, 0);
  }
  windowFreePendingSelectionBlocks();
  EXPECT_EQ(core.answerRoundTrips(*a), 1);
  EXPECT_EQ(maskOfA(a->id(1)), 0u);
}

TEST_F(WindowTest, SaveSetOfAClosingWindowManager) {
  WindowRecord *root = core.root();
  // b is the window manager: a frame on the root, a's window inside, at 20,30 in a frame at 100,50.
  WindowRecord *frame = make(*b, 1, root, 100, 50, 300, 300, 2);
  WindowRecord *inner = make(*b, 2, frame, 0, 0, 280, 280);
  WindowRecord *client = make(*a, 1, root, 0, 0, 50, 50, 1, false);
  {
    FakeCore::Current current(*b);
    EXPECT_EQ(windowReparent(client, inner, 20, 30, b->client), 0);
    windowMap(client);
    EXPECT_EQ(windowChangeSaveSet(b->client, client, 0), 0);
    EXPECT_EQ(windowChangeSaveSet(b->client, client, 0), 0);  // once only
  }
  int32_t x = client->x, y = client->y;
  {
    FakeCore::Current current(*b);
    windowUnmap(frame, 0);  // a mapped but unrealized window
  }
  core.closeClient(*b);
  EXPECT_EQ(client->parent, root);
  EXPECT_EQ(client->x, x);
  EXPECT_EQ(client->y, y);
  EXPECT_TRUE(client->viewable);
  EXPECT_EQ(resourceLookupWindow(b->id(1)), nullptr);
}

TEST_F(WindowTest, AnotherClientsChildGoesWithTheParent) {
  WindowRecord *parent = make(*a, 1, core.root(), 0, 0, 100, 100);
  make(*b, 1, parent, 0, 0, 10, 10);
  make(*b, 2, parent, 0, 0, 10, 10);
  EXPECT_NE(resourceLookupWindow(b->id(1)), nullptr);
  {
    FakeCore::Current current(*a);
    resourceFree(parent->id, 0);
  }
  EXPECT_EQ(resourceLookupWindow(b->id(1)), nullptr);
  EXPECT_EQ(resourceLookupWindow(b->id(2)), nullptr);
  EXPECT_EQ(resourceTableOf(b->client->index)->elements, 0u);
  core.closeClient(*b);  // frees nothing twice (the sanitizer builds judge)
}

TEST_F(WindowTest, DeepChainNeedsNoDeepStack) {
  constexpr uint32_t kDepth = 100000;
  WindowRecord *root = core.root();
  WindowRecord *parent = root;
  FakeCore::Current current(*a);
  WindowRecord *top = nullptr;
  // Each window mapped before its parent: the top's map realizes and validates the chain once.
  std::vector<WindowRecord *> chain;
  for (uint32_t i = 1; i <= kDepth; i++) {
    WindowRecord *w = windowCreate(a->id(i), parent, 0, 0, 100, 100, 0, 0, 0);
    ASSERT_NE(w, nullptr);
    if (!top) top = w;
    chain.push_back(w);
    parent = w;
  }
  for (size_t i = chain.size(); i-- > 0;) windowMap(chain[i]);
  EXPECT_TRUE(chain.back()->viewable);
  EXPECT_EQ(windowAtPoint(root, 5, 5), chain.back());
  int counted = 0;
  windowTraverse(top, [](WindowRecord *, void *n) { return ++*static_cast<int *>(n), 1; }, &counted);
  EXPECT_EQ(counted, int(kDepth));
  resourceFree(top->id, 0);
  EXPECT_EQ(root->firstChild, nullptr);
  EXPECT_EQ(resourceTableOf(a->client->index)->elements, 0u);
  windowFreePendingSelectionBlocks();
}

TEST_F(WindowTest, BackgroundAndCursorReferences) {
  WindowRecord *root = core.root();
  WindowRecord *w = make(*a, 1, root, 0, 0, 50, 50);
  FakeCore::Current current(*a);
  PixmapRecord *p1 = resourceCreatePixmap(a->id(10), screen, screen->rootVisual, 8, 8, 24);
  PixmapRecord *p2 = resourceCreatePixmap(a->id(11), screen, screen->rootVisual, 8, 8, 24);
  PixmapRecord *shallow = resourceCreatePixmap(a->id(12), screen, screen->rootVisual, 8, 8, 1);
  ASSERT_TRUE(p1 && p2 && shallow);
  struct Case {
    const char *what;
    uint32_t pixmap;  // 0xffffffff: a background pixel
    uint8_t state;
    uint32_t refs1, refs2;
  } cases[] = {
      {"pixmap", a->id(10), 3, 1, 0},
      {"another pixmap", a->id(11), 3, 0, 1},
      {"wrong depth is ignored", a->id(12), 3, 0, 1},
      {"pixel", 0xffffffff, 2, 0, 0},
      {"pixmap again", a->id(10), 3, 1, 0},
      {"ParentRelative", 1, 1, 0, 0},
      {"pixmap once more", a->id(11), 3, 0, 1},
      {"None", 0, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.pixmap == 0xffffffff)
      windowSetBackgroundPixel(w);
    else
      windowSetBackgroundPixmap(w, c.pixmap);
    EXPECT_EQ(w->backgroundState, c.state);
    EXPECT_EQ(p1->refCount, c.refs1);
    EXPECT_EQ(p2->refCount, c.refs2);
  }
  EXPECT_TRUE(core.logged("Invalid background pixmap"));

  // Cursors: the window's reference moves; the shown cursor is the nearest ancestor's.
  CursorRecord *arrow = resourceCreateCursor(a->id(20), 0);
  CursorRecord *hand = resourceCreateCursor(a->id(21), 0);
  WindowRecord *child = make(*a, 2, w, 10, 10, 10, 10);
  windowSetCursor(w, arrow->id);
  EXPECT_EQ(arrow->refCount, 2u);
  EXPECT_EQ(windowCurrentCursor(12, 12), arrow->id);
  windowSetCursor(child, hand->id);
  EXPECT_EQ(windowCurrentCursor(12, 12), hand->id);
  EXPECT_EQ(windowCurrentCursor(45, 45), arrow->id);
  EXPECT_EQ(windowCurrentCursor(200, 200), 0u);
  windowSetCursor(w, a->id(99));
  EXPECT_TRUE(core.logged("Unknown cursor 0x"));
  // During a pointer grab: the grab's cursor, else the grab window's outside its area.
  ASSERT_EQ(windowGrabPointer(kWindowPointer, a->client, child->id, 0, 0, 0, 1, 1, nullptr, 0, 0), 1);
  EXPECT_EQ(windowCurrentCursor(45, 45), hand->id);
  windowUngrabPointer(kWindowPointer, nullptr, 0);
  resourceFree(w->id, 0);  // the window's references go with it
  EXPECT_EQ(arrow->refCount, 1u);
  EXPECT_EQ(hand->refCount, 1u);
}

TEST_F(WindowTest, AClosingClientsSelectionsGoEverywhere) {
  WindowRecord *root = core.root();
  WindowRecord *kept = make(*a, 1, root, 0, 0, 50, 50);
  WindowRecord *gone = make(*a, 2, root, 100, 0, 50, 50);
  select(*b, kept, kWindowVisibilityChangeMask | 0x8000);
  select(*b, gone, 0x8000);
  {
    FakeCore::Current current(*a);
    resourceFree(gone->id, 0);
  }
  ClientConnection *closing = b->client;
  core.closeClient(*b);
  EXPECT_EQ(windowAllEventMasks(kept), 0u);
  for (WindowSelectionBlock *block = windowPendingSelectionBlocks(); block; block = block->next)
    for (EventSelection *e = block->entries; e; e = e->next) EXPECT_NE(e->client, closing);
  // Covering the window sends nothing to the closed client (the sanitizer builds would see it).
  make(*a, 3, root, 0, 0, 60, 60);
  EXPECT_EQ(kept->visibility, 2);
}

// A close visits the entries the client selected, however many windows and destroyed windows'
// blocks the proxy holds; the other clients' selections stay, and entries freed with their
// window or block leave the owner's list (a close after them touches none: the sanitizer builds).
TEST_F(WindowTest, AClosingClientVisitsOnlyWhatItSelected) {
  WindowRecord *root = core.root();
  constexpr uint32_t kWindows = 400;
  std::vector<WindowRecord *> windows;
  for (uint32_t n = 1; n <= kWindows; n++) {
    windows.push_back(make(*a, n, root, int(n % 300), 0, 10, 10, 0, false));
    FakeCore::Current current(*a);
    windowApplyCreateAttributes(windows.back(), 0x8000);
  }
  select(*b, root, 0x20000);
  select(*b, windows[0], 0x8000);
  select(*b, windows[kWindows - 1], 0x1);  // destroyed below: its entry waits in the block
  {
    FakeCore::Current current(*a);
    for (uint32_t n = kWindows / 2; n < kWindows; n++) resourceFree(a->id(n + 1), 0);
  }
  FakeClient &c = core.addClient(false);
  select(c, windows[1], 0x8000);
  {
    FakeCore::Current current(c);
    windowChangeAttributes(windows[1], 0);  // removed again: no entry left behind
  }
  for (FakeClient *closing : {b, &c}) {
    uint64_t before = windowDropVisits();
    ClientConnection *gone = closing->client;
    core.closeClient(*closing);
    // b: the record's and the block's entry of the root and of its first window, the block's
    // of the destroyed one.
    EXPECT_EQ(windowDropVisits() - before, closing == b ? 5u : 0u);
    EXPECT_EQ(windowAllEventMasks(root), 0u);
    for (WindowSelectionBlock *block = windowPendingSelectionBlocks(); block; block = block->next)
      for (EventSelection *e = block->entries; e; e = e->next) EXPECT_NE(e->client, gone);
  }
  // The owner's selections stay on both kinds of list.
  EXPECT_EQ(windowAllEventMasks(windows[0]), 0x8000u);
  {
    FakeCore::Current current(*a);
    EXPECT_EQ(windowClientEventMask(a->id(kWindows)), 0x8000u);
  }
  // The blocks expire; the owner's close then visits only its live windows' two entries each.
  core.advanceMs(kWindowBlockLifetimeMs + 1);
  EXPECT_EQ(windowPendingSelectionBlocks(), nullptr);
  uint64_t before = windowDropVisits();
  core.closeClient(*a);
  EXPECT_EQ(windowDropVisits() - before, uint64_t(kWindows));
}

TEST_F(WindowTest, DestroySubwindowsFreesFromTheBottom) {
  WindowRecord *parent = make(*a, 1, core.root(), 0, 0, 100, 100);
  for (uint32_t n = 2; n < 6; n++) make(n % 2 ? *a : *b, n, parent, 0, 0, 10, 10);
  {
    FakeCore::Current current(*a);
    windowDestroySubwindows(parent);
  }
  EXPECT_EQ(parent->firstChild, nullptr);
  EXPECT_TRUE(parent->viewable);
  EXPECT_EQ(resourceTableOf(b->index)->elements, 0u);
  EXPECT_EQ(resourceLookupWindow(a->id(3)), nullptr);
}

// Destroyed windows' blocks wait on one timer: each goes 7 s after its own window did, in
// turn, also when another leaves early or the list drained meanwhile; a reset takes the list
// and its timer.
TEST_F(WindowTest, DestroyedWindowsBlocksGoInTurn) {
  WindowRecord *root = core.root();
  auto destroy = [&](uint32_t n) {
    make(*a, n, root, 0, 0, 10, 10, 0, false);
    FakeCore::Current current(*a);
    resourceFree(a->id(n), 0);
  };
  auto pending = [] {
    std::vector<uint32_t> ids;
    for (WindowSelectionBlock *b = windowPendingSelectionBlocks(); b; b = b->next) ids.push_back(b->windowId & 0xff);
    return ids;
  };
  using Ids = std::vector<uint32_t>;
  destroy(1);  // t = 0: goes at 7000
  core.advanceMs(3000);
  destroy(2);  // 2 and 3 go at 10000
  destroy(3);
  core.advanceMs(3000);
  destroy(4);  // goes at 13000
  EXPECT_EQ(pending(), (Ids{1, 2, 3, 4}));
  windowFreeSelectionBlock(windowSelectionBlockById(a->id(3)));
  core.advanceMs(1001);
  EXPECT_EQ(pending(), (Ids{2, 4}));
  core.advanceMs(2998);
  EXPECT_EQ(pending(), (Ids{2, 4}));
  core.advanceMs(2);
  EXPECT_EQ(pending(), (Ids{4}));
  core.advanceMs(3000);
  EXPECT_EQ(pending(), Ids{});
  // After the list drained, the next block waits its whole time again.
  destroy(5);
  core.advanceMs(6999);
  EXPECT_EQ(pending(), (Ids{5}));
  core.advanceMs(2);
  EXPECT_EQ(pending(), Ids{});
  // A reset frees the list and cancels its timer; a later block still gets its 7 s.
  destroy(6);
  windowFreePendingSelectionBlocks();
  EXPECT_EQ(pending(), Ids{});
  core.advanceMs(3000);
  destroy(7);
  core.advanceMs(6999);
  EXPECT_EQ(pending(), (Ids{7}));
  core.advanceMs(2);
  EXPECT_EQ(pending(), Ids{});
}

// While they wait, destroyed windows cost their blocks only (no timer each); once their time
// has passed nothing of them is left on the heap.
TEST_F(WindowTest, DestroyedWindowsLeaveNothingBehind) {
  WindowRecord *root = core.root();
  constexpr uint32_t kWindows = 2000;
  auto createAndDestroy = [&](uint32_t first) {
    for (uint32_t n = first; n < first + kWindows; n++) make(*a, n, root, int(n % 500), 0, 10, 10, 0, false);
    FakeCore::Current current(*a);
    for (uint32_t n = first; n < first + kWindows; n++) resourceFree(a->id(n), 0);
  };
  // The warm-up grows the client's table to its size for that many windows.
  createAndDestroy(1);
  core.advanceMs(kWindowBlockLifetimeMs + 1);
  ASSERT_EQ(windowPendingSelectionBlocks(), nullptr);
  const size_t settled = hostHeapInUse();
  createAndDestroy(1 + kWindows);
  const size_t waiting = hostHeapInUse();
  core.advanceMs(kWindowBlockLifetimeMs + 1);
  ASSERT_EQ(windowPendingSelectionBlocks(), nullptr);
  const size_t after = hostHeapInUse();
  auto perWindow = [&](size_t to) { return to > settled ? double(to - settled) / kWindows : 0.0; };
  // A block takes 48 bytes (64 with glibc's chunk header); a timer order of its own took as much again.
  EXPECT_GT(perWindow(waiting), 40.0);
  EXPECT_LT(perWindow(waiting), 80.0);
  EXPECT_LT(perWindow(after), 4.0);
}

// Validation after a change recomputes only what the change can reach: after every step of a
// random sequence, each viewable window's clips and visibility equal those of a recomputation of
// the whole tree, and that recomputation finds no visibility left to announce.
TEST_F(WindowTest, ValidatingAChangeMatchesRecomputingEverything) {
  WindowRecord *root = core.root();
  int kinds[10] = {};
  for (uint32_t seed = 1; seed <= 20 && !HasFailure(); seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](int n) { return int(random() % uint32_t(n)); };
    std::vector<WindowRecord *> windows;
    uint32_t next = 1000 * seed;
    auto makeRandom = [&](WindowRecord *parent) {
      int size = parent == root ? 300 : std::max<int>(parent->width, 20);
      WindowRecord *w = make(*a, next++, parent, pick(size) - 20, pick(size) - 20, 5 + pick(size / 2),
                             5 + pick(size / 2), pick(4) == 0 ? pick(6) : 0, pick(5) != 0, pick(12) == 0 ? 2 : 1);
      if (!w) return;
      windows.push_back(w);
      select(*a, w, kWindowVisibilityChangeMask);
    };
    for (int i = 0; i < 12; i++) makeRandom(root);
    for (int i = 0; i < 24; i++) {
      WindowRecord *parent = windows[size_t(pick(int(windows.size())))];
      if (parent->windowClass == 1) makeRandom(parent);
    }
    // Equal areas (an empty region's extents may lie anywhere).
    auto same = [](Region *x, Region *y) {
      bool emptyX = !pixman_region_not_empty(x), emptyY = !pixman_region_not_empty(y);
      return emptyX || emptyY ? emptyX == emptyY : bool(pixman_region_equal(x, y));
    };
    auto compare = [&](int step) {
      std::vector<Region *> saved;
      std::vector<uint8_t> visibility;
      for (WindowRecord *w : windows) {
        for (Region *r : {w->clipList, w->borderClip}) {
          saved.push_back(regionCreate());
          regionCopy(saved.back(), r);
        }
        visibility.push_back(w->visibility);
      }
      core.messages(*a);
      Region *universe = regionCreate();
      regionCopy(universe, root->borderClip);
      Region *rootClip = regionCreate();
      regionCopy(rootClip, root->clipList);
      windowComputeClips(root, universe);
      EXPECT_TRUE(same(rootClip, root->clipList)) << "step " << step << ": the root's clip list";
      regionDestroy(rootClip);
      EXPECT_TRUE(visibilityEvents(*a).empty()) << "step " << step;
      for (size_t i = 0; i < windows.size(); i++) {
        WindowRecord *w = windows[i];
        if (w->viewable) {
          EXPECT_EQ(visibility[i], w->visibility) << "step " << step << " window " << (w->id & 0xffff);
          EXPECT_TRUE(same(saved[2 * i], w->clipList))
              << "step " << step << ": clip list of " << (w->id & 0xffff);
          EXPECT_TRUE(same(saved[2 * i + 1], w->borderClip))
              << "step " << step << ": border clip of " << (w->id & 0xffff);
        }
        regionDestroy(saved[2 * i]);
        regionDestroy(saved[2 * i + 1]);
      }
    };
    compare(0);
    for (int step = 1; step <= 150 && !HasFailure(); step++) {
      WindowRecord *w = windows[size_t(pick(int(windows.size())))];
      FakeCore::Current current(*a);
      int kind = pick(10);
      kinds[kind]++;
      switch (kind) {
        case 0: windowMap(w); break;
        case 1: windowUnmap(w, 0); break;
        case 2: windowMapSubwindows(w); break;
        case 3: windowUnmapSubwindows(w); break;
        case 4: case 5: {  // geometry and stacking
          std::vector<uint32_t> values;
          uint32_t mask = 1 + uint32_t(pick(0x7f));
          if ((mask & 0x20) && w->nextSibling == nullptr && w->previousSibling == nullptr) mask &= ~0x20u;
          if (w->windowClass == 2) mask &= ~0x10u;
          if (mask & 0x20) mask |= 0x40;
          int size = std::max<int>(w->parent ? w->parent->width : 300, 20);
          if (mask & 0x1) values.push_back(uint32_t(pick(size) - 20));
          if (mask & 0x2) values.push_back(uint32_t(pick(size) - 20));
          if (mask & 0x4) values.push_back(uint32_t(1 + pick(size / 2)));
          if (mask & 0x8) values.push_back(uint32_t(1 + pick(size / 2)));
          if (mask & 0x10) values.push_back(uint32_t(pick(6)));
          if (mask & 0x20) {
            WindowRecord *s = w->nextSibling ? w->nextSibling : w->previousSibling;
            for (int k = pick(4); k > 0 && s; k--) s = s->nextSibling && s->nextSibling != w ? s->nextSibling : s;
            values.push_back(s->id);
          }
          if (mask & 0x40) values.push_back(uint32_t(pick(5)));
          EXPECT_EQ(windowConfigure(w, mask, values.data(), a->client), 0) << "step " << step;
          break;
        }
        case 6: windowCirculate(w, pick(2)); break;
        case 7: {  // a bounding shape of a few rectangles, or none
          regionDestroy(w->boundingShape);
          w->boundingShape = nullptr;
          if (pick(3)) {
            std::vector<XRectangle> rects;
            for (int k = 1 + pick(3); k > 0; k--)
              rects.push_back({short(pick(w->width + 10) - 5), short(pick(w->height + 10) - 5),
                               (unsigned short)(1 + pick(w->width)), (unsigned short)(1 + pick(w->height))});
            w->boundingShape = regionFromRects(long(rects.size()), rects.data(), 0);
          }
          windowSetShape(w);
          break;
        }
        case 8: {  // elsewhere in the tree
          WindowRecord *to = windows[size_t(pick(int(windows.size())))];
          windowReparent(w, pick(3) == 0 ? root : to, pick(100) - 20, pick(100) - 20, a->client);
          break;
        }
        default: windowChangeStacking(w, pick(2) ? nullptr : w->parent->firstChild); break;
      }
      compare(step);
      if (HasFailure()) ADD_FAILURE() << "step " << step << " did " << kind << " on " << (w->id & 0xffff);
    }
    FakeCore::Current current(*a);
    for (WindowRecord *w = root->firstChild; w;) {
      WindowRecord *below = w->nextSibling;
      resourceFree(w->id, 0);
      w = below;
    }
  }
  for (int count : kinds) EXPECT_GT(count, 0);
  windowFreePendingSelectionBlocks();
}

// ----- Grabs, freezes and focus -----

class GrabTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    parent = make(*a, 1, core.root(), 0, 0, 500, 500);
    window = make(*a, 2, parent, 10, 10, 100, 100);
    cursor = resourceCreateCursor(a->id(50), 0);
    proxyState.serverTime = 5000;
  }
  int grab(FakeClient &c, uint8_t pointerMode, uint8_t keyboardMode, uint8_t passive, uint32_t time = 1000) {
    return windowGrabPointer(kWindowPointer, c.client, window->id, 0, 0, 0x4, pointerMode, keyboardMode, cursor, time,
                             passive);
  }
  WindowRecord *parent = nullptr, *window = nullptr;
  CursorRecord *cursor = nullptr;
};

TEST_F(GrabTest, UngrabChecks) {
  struct Case {
    const char *what;
    bool byOther;
    uint32_t time;
    bool released;
    const char *message;
  } cases[] = {
      {"CurrentTime", false, 0, true, nullptr},
      {"older than the grab", false, 999, false, "Time too old in UngrabPointer (0x3e7 < 0x3e8)"},
      {"the grab time", false, 1000, true, nullptr},
      {"newer than the server", false, 5001, false, "Time too new in UngrabPointer (0x1389 > 0x1388)"},
      {"another client", true, 0, false, "Not grab client in UngrabPointer"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    core.clearLog();
    ASSERT_EQ(grab(*a, 1, 1, 0), 1);
    EXPECT_EQ(windowUngrabPointer(kWindowPointer, c.byOther ? b->client : a->client, c.time), c.released ? 1 : 0);
    EXPECT_EQ(proxyState.pointerGrab.client == nullptr, c.released);
    if (c.message) {
      EXPECT_TRUE(core.logged(c.message));
    }
    windowUngrabPointer(kWindowPointer, nullptr, 0);
  }
  // Times across the wrap of the 32-bit clock.
  proxyState.serverTime = 0x10;
  ASSERT_EQ(grab(*a, 1, 1, 0, 0xfffffff0u), 1);
  EXPECT_EQ(windowUngrabPointer(kWindowPointer, a->client, 0xffffffe0u), 0);  // before the grab
  EXPECT_EQ(windowUngrabPointer(kWindowPointer, a->client, 0x20), 0);         // after the server time
  EXPECT_EQ(windowUngrabPointer(kWindowPointer, a->client, 0x8), 1);
  // No grab: a client gets 0 silently from the pointer check, a message from the keyboard's.
  core.clearLog();
  EXPECT_EQ(windowCheckUngrabPointer(kWindowPointer, a->client, 0), 0);
  EXPECT_FALSE(core.logged("Not grab client"));
  EXPECT_EQ(windowCheckUngrabKeyboard(kWindowKeyboard, a->client, 0), 0);
  EXPECT_TRUE(core.logged("Not grab client in UngrabKeyboard"));
}

TEST_F(GrabTest, Freezes) {
  struct Case {
    const char *what;
    uint8_t pointerMode, keyboardMode, passive;
    uint8_t pointerFreeze, keyboardFreeze;                // after the grab
    uint8_t pointerAfterUngrab, keyboardAfterUngrab;      // after UngrabPointer
  } cases[] = {
      {"async", 1, 1, 0, 0, 0, 0, 0},
      {"sync pointer", 0, 1, 0, 3, 0, 0, 0},
      {"sync keyboard", 1, 0, 0, 0, 3, 0, 0},
      {"passive sync both", 0, 0, 1, 5, 5, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(grab(*a, c.pointerMode, c.keyboardMode, c.passive), 1);
    EXPECT_EQ(proxyState.pointerFreeze.mode, c.pointerFreeze);
    EXPECT_EQ(proxyState.keyboardFreeze.mode, c.keyboardFreeze);
    EXPECT_EQ(windowUngrabPointer(kWindowPointer, a->client, 0), 1);
    EXPECT_EQ(proxyState.pointerFreeze.mode, c.pointerAfterUngrab);
    EXPECT_EQ(proxyState.keyboardFreeze.mode, c.keyboardAfterUngrab);
  }
  // A keyboard freeze of mode 4 survives UngrabPointer; a passive keyboard grab's pointer
  // freeze ends with the keyboard grab.
  ASSERT_EQ(windowGrabKeyboard(kWindowKeyboard, a->client, window->id, 0, 1, 0, 0, 1000, 0), 1);
  EXPECT_EQ(proxyState.keyboardFreeze.mode, 4);
  ASSERT_EQ(grab(*a, 1, 1, 0), 1);
  EXPECT_EQ(windowUngrabPointer(kWindowPointer, a->client, 0), 1);
  EXPECT_EQ(proxyState.keyboardFreeze.mode, 4);
  EXPECT_EQ(windowUngrabKeyboard(kWindowKeyboard, a->client, 0), 1);
  EXPECT_EQ(proxyState.keyboardFreeze.mode, 0);
  ASSERT_EQ(windowGrabKeyboard(kWindowKeyboard, a->client, window->id, 0, 0, 1, 38, 1000, 1), 1);
  EXPECT_EQ(proxyState.pointerFreeze.mode, 5);
  EXPECT_EQ(windowUngrabKeyboard(kWindowKeyboard, a->client, 0), 1);
  EXPECT_EQ(proxyState.pointerFreeze.mode, 0);
}

TEST_F(GrabTest, EveryEndOfAPointerGrabPopsThePollAndTheCursor) {
  struct Case {
    const char *what;
    std::function<void()> end;
  } cases[] = {
      {"UngrabPointer", [&] { windowUngrabPointer(kWindowPointer, a->client, 0); }},
      {"unmap of the parent", [&] { FakeCore::Current c(*a); windowUnmap(parent, 0); }},
      {"destroy", [&] { FakeCore::Current c(*a); resourceFree(window->id, 0); window = nullptr; }},
      {"invalid after configure", [&] {
         window->windowGravity = 0;  // unmapped by its parent's resize
         configure(*a, parent, 0x4, {400});
       }},
      {"owner close", [&] { windowReleaseClientGrabs(a->client); }},
      {"new root windows", [&] { windowUngrabPointer(kWindowPointer, nullptr, 0); }},
  };
  uint32_t n = 100;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (!window || !window->realized) {
      FakeCore::Current current(*a);
      windowMap(parent);
      window = window ? window : make(*a, n++, parent, 10, 10, 100, 100);
      window->windowGravity = 1;
      windowMap(window);
    }
    uint32_t references = cursor->refCount;
    ASSERT_EQ(grab(*a, 0, 1, 0), 1);
    EXPECT_EQ(xproxyPointerPollDepth(), 1u);
    EXPECT_EQ(xproxyPointerPollInterval(), 60u);
    EXPECT_EQ(cursor->refCount, references + 1);
    c.end();
    EXPECT_EQ(proxyState.pointerGrab.client, nullptr);
    EXPECT_EQ(proxyState.pointerFreeze.mode, 0);
    EXPECT_EQ(xproxyPointerPollDepth(), 0u);
    EXPECT_EQ(cursor->refCount, references);
  }
}

TEST_F(GrabTest, FocusRevertsAboveAnUnmappedGrandparent) {
  WindowRecord *child = make(*a, 3, window, 0, 0, 5, 5);
  struct Case {
    uint8_t revertTo;
    WindowRecord *unmapped;
    uint32_t focus, revertAfter;
  } cases[] = {
      {2, parent, core.root()->id, 0},
      {2, child, window->id, 0},
      {1, child, 1, 1},
      {0, child, 0, 0},
  };
  for (const Case &c : cases) {
    {
      FakeCore::Current current(*a);
      windowMap(parent);
      windowMap(child);
    }
    proxyState.focusWindow = child->id;
    proxyState.focusRevertTo = c.revertTo;
    {
      FakeCore::Current current(*a);
      windowUnmap(c.unmapped, 0);
    }
    EXPECT_EQ(proxyState.focusWindow, c.focus);
    EXPECT_EQ(proxyState.focusRevertTo, c.revertAfter);
  }
  EXPECT_TRUE(core.logged("Keyboard focus window"));
}

TEST_F(GrabTest, PassiveGrabsOnADestroyedWindowAreFreed) {
  WindowRecord *elsewhere = make(*a, 3, core.root(), 600, 600, 10, 10);
  uint32_t references = cursor->refCount;
  for (FakeClient *c : {a, b}) {
    PassiveGrab on{};
    on.window = window->id;
    on.cursor = cursor;
    cursor->refCount++;
    ASSERT_NE(xcoreAddGrab(c->client, on), nullptr);
    PassiveGrab confined{};
    confined.window = elsewhere->id;
    confined.confineTo = window->id;
    confined.cursor = kPassiveGrabKeyMarker;
    ASSERT_NE(xcoreAddGrab(c->client, confined), nullptr);
    PassiveGrab kept{};
    kept.window = elsewhere->id;
    ASSERT_NE(xcoreAddGrab(c->client, kept), nullptr);
  }
  {
    FakeCore::Current current(*a);
    resourceFree(window->id, 0);
  }
  for (FakeClient *c : {a, b}) {
    ASSERT_NE(c->client->passiveGrabs, nullptr);
    EXPECT_EQ(c->client->passiveGrabs->window, elsewhere->id);
    EXPECT_EQ(c->client->passiveGrabs->next, nullptr);
  }
  EXPECT_EQ(cursor->refCount, references);
  // The kept grabs still make the other window's destruction look through the clients.
  EXPECT_EQ(elsewhere->clientHolds, 2u);
  for (FakeClient *c : {a, b}) xcoreFreeGrab(c->client->passiveGrabs, c->client);
  EXPECT_EQ(elsewhere->clientHolds, 0u);
}

}  // namespace

namespace {

// ----- Grabs and moves on the real servers, readable areas -----

class ServerSideTest : public ::testing::Test {
 protected:
  void SetUp() override {
    screen = core.addScreen(1000, 800, 2);
    a = &core.addClient(false);
    b = &core.addClient(false);
    FakeCore::Current current(*a);
    top = windowCreate(a->id(1), core.root(), 100, 100, 200, 150, 1, 0, 0);
    windowMap(top);
    proxyState.serverTime = 100;
  }
  std::vector<FakeBytes> requestsOf(FakeClient &c, uint8_t opcode) {
    std::vector<FakeBytes> out;
    for (FakeBytes &r : core.serverRequests(c))
      if (r[0] == opcode) out.push_back(r);
    return out;
  }
  uint32_t u32(const FakeBytes &m, size_t at) { return a->u32(m, at); }
  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *a = nullptr, *b = nullptr;
  WindowRecord *top = nullptr;
};

TEST_F(ServerSideTest, ForwardedGrabsCarryTheRecordedGrab) {
  ASSERT_EQ(windowGrabPointer(kWindowPointer, a->client, top->id, core.root()->id, 1, 0x4, 0, 1, nullptr, 50, 0), 1);
  Head *second = core.heads()[1];
  miscForwardGrabPointer(second, 1);
  EXPECT_EQ(proxyState.pointerGrab.realServer, 1);
  auto grabs = requestsOf(*a, 26);
  ASSERT_EQ(grabs.size(), 1u);
  EXPECT_EQ(grabs[0][1], 1);                                  // owner-events
  EXPECT_EQ(u32(grabs[0], 4), resourceServerId(top->id, kResourceWindow, second));
  EXPECT_EQ(a->u16(grabs[0], 8), xproxyServerEventMask(0x4));
  EXPECT_EQ(grabs[0][10], 0);                                 // the pointer is frozen: synchronous
  EXPECT_EQ(grabs[0][11], 1);
  EXPECT_EQ(u32(grabs[0], 12), resourceServerId(core.root()->id, kResourceRealRoot, second));
  // A freeze of another client outside a thaw does not make the server's grab synchronous.
  windowSetPointerFreeze(kWindowPointer, b->client, 3);
  miscForwardGrabPointer(second, 1);
  grabs = requestsOf(*a, 26);
  ASSERT_EQ(grabs.size(), 1u);
  EXPECT_EQ(grabs[0][10], 1);
  miscUngrabPointerOnServer(1);
  EXPECT_EQ(requestsOf(*a, 27).size(), 1u);
  windowUngrabPointer(kWindowPointer, nullptr, 0);
  miscUngrabPointerOnServer(1);  // no grab: nothing
  EXPECT_TRUE(requestsOf(*a, 27).empty());

  ASSERT_EQ(windowGrabKeyboard(kWindowKeyboard, a->client, top->id, 0, 1, 0, 0, 50, 0), 1);
  miscForwardGrabKeyboard(second, 1);
  auto keyboard = requestsOf(*a, 31);
  ASSERT_EQ(keyboard.size(), 1u);
  EXPECT_EQ(keyboard[0][12], 1);  // pointer mode
  EXPECT_EQ(keyboard[0][13], 0);  // keyboard mode: frozen (4)
  miscUngrabKeyboardOnServer(1);
  EXPECT_EQ(requestsOf(*a, 32).size(), 1u);
}

// The confine-to window is named on a head only when asked and when the window's region (its
// outside as its parent and its shape clip it) reaches that head: a copy the real server cannot
// bring the pointer into is no confinement. Across the border, the shape decides.
TEST_F(ServerSideTest, ForwardedGrabsConfineOnlyWhereTheRegionReaches) {
  ASSERT_EQ(windowGrabPointer(kWindowPointer, a->client, top->id, top->id, 1, 0x4, 1, 1, nullptr, 50, 0), 1);
  Head *first = core.heads()[0], *second = core.heads()[1];
  miscForwardGrabPointer(second, 1);
  miscForwardGrabPointer(first, 0);
  miscForwardGrabPointer(first, 1);
  auto grabs = requestsOf(*a, 26);
  ASSERT_EQ(grabs.size(), 3u);
  EXPECT_EQ(u32(grabs[0], 12), 0u);
  EXPECT_EQ(u32(grabs[1], 12), 0u);
  EXPECT_EQ(u32(grabs[2], 12), resourceServerId(top->id, kResourceWindow, first));
  windowUngrabPointer(kWindowPointer, nullptr, 0);

  WindowRecord *across = nullptr;
  {
    FakeCore::Current current(*a);
    across = windowCreate(a->id(2), core.root(), 450, 100, 100, 50, 0, 0, 0);
    windowMap(across);
  }
  ASSERT_NE(across, nullptr);
  across->boundingShape = regionCreateRect(0, 0, 40, 50);  // x 450..489: the first head only
  windowSetShape(across);
  ASSERT_EQ(windowGrabPointer(kWindowPointer, a->client, top->id, across->id, 1, 0x4, 1, 1, nullptr, 60, 0), 1);
  EXPECT_TRUE(mainConfinementReaches(across, first));
  EXPECT_FALSE(mainConfinementReaches(across, second));
  int32_t x = 900, y = 400;
  mainConfinePoint(across, nullptr, &x, &y);
  EXPECT_EQ(x, 489);
  EXPECT_EQ(y, 149);
  regionTranslate(across->boundingShape, 60, 0);  // x 510..549: the second head only
  windowSetShape(across);
  miscForwardGrabPointer(first, 1);
  miscForwardGrabPointer(second, 1);
  grabs = requestsOf(*a, 26);
  ASSERT_EQ(grabs.size(), 2u);
  EXPECT_EQ(u32(grabs[0], 12), 0u);
  EXPECT_EQ(u32(grabs[1], 12), resourceServerId(across->id, kResourceWindow, second));
  x = 0, y = 0;
  mainConfinePoint(across, first, &x, &y);
  EXPECT_EQ(x, 0) << "the region has nothing on the first head: the point stays";
  mainConfinePoint(across, nullptr, &x, &y);
  EXPECT_EQ(x, 510);
  EXPECT_EQ(y, 100);
  windowUngrabPointer(kWindowPointer, nullptr, 0);
}

// A grab keeps another client's cursor after its id was freed; the forwarded grab no longer
// names the id, which a new cursor of that client has taken meanwhile.
TEST_F(ServerSideTest, AGrabsCursorFreedByItsIdIsNotNamedAgain) {
  const uint32_t id = b->id(30);
  CursorRecord *kept = nullptr;
  {
    FakeCore::Current current(*b);
    kept = resourceCreateCursor(id, 0);
  }
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(windowGrabPointer(kWindowPointer, a->client, top->id, 0, 1, 0x4, 1, 1, kept, 0, 0), 1);
  Head *second = core.heads()[1];
  miscForwardGrabPointer(second, 1);
  auto grabs = requestsOf(*a, 26);
  ASSERT_EQ(grabs.size(), 1u);
  EXPECT_EQ(u32(grabs[0], 16), resourceServerId(id, kResourceCursor, second));
  CursorRecord *fresh = nullptr;
  {
    FakeCore::Current current(*b);
    resourceFree(id, 0);
    EXPECT_EQ(resourceIdNotNew(id), 0);
    fresh = resourceCreateCursor(id, 0);
  }
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(kept->refCount, 1u) << "the grab's reference";
  miscForwardGrabPointer(second, 1);
  grabs = requestsOf(*a, 26);
  ASSERT_EQ(grabs.size(), 1u);
  EXPECT_EQ(u32(grabs[0], 16), 0u) << "not the new cursor of the same id";
  windowUngrabPointer(kWindowPointer, nullptr, 0);  // frees the kept cursor
  EXPECT_EQ(resourceLookupByType(id, kResourceCursor), fresh);
  EXPECT_EQ(fresh->refCount, 1u);
}

// A grab whose cursor lost its id gets a temporary copy of the cursor on the head, built for
// the grab and freed right after it.
TEST_F(ServerSideTest, AGrabsCursorWithoutIdGetsATemporaryCopy) {
  const uint32_t id = b->id(31);
  CursorRecord *kept = nullptr;
  {
    FakeCore::Current current(*b);
    kept = resourceCreateCursor(id, 1);
  }
  ASSERT_NE(kept, nullptr);
  XrcImage &image = kept->images[0];
  image.width = image.height = 8;
  image.depth = 1;
  image.format = 0;  // XYBitmap
  image.bitmapPad = 8;
  image.data = static_cast<char *>(calloc(8, 1));
  image.mask = image.data;
  ASSERT_NE(image.data, nullptr);
  ASSERT_EQ(windowGrabPointer(kWindowPointer, a->client, top->id, 0, 1, 0x4, 1, 1, kept, 0, 0), 1);
  {
    FakeCore::Current current(*b);
    resourceFree(id, 0);  // the grab keeps the cursor, without an id
  }
  ASSERT_EQ(kept->id, 0u);
  Head *second = core.heads()[1];
  miscForwardGrabPointer(second, 1);
  std::vector<FakeBytes> creates, grabs, frees;
  for (FakeBytes &r : core.serverRequests(*a)) {
    if (r[0] == 93) creates.push_back(r);
    if (r[0] == 26) grabs.push_back(r);
    if (r[0] == 95) frees.push_back(r);
  }
  ASSERT_EQ(creates.size(), 1u);
  ASSERT_EQ(grabs.size(), 1u);
  ASSERT_EQ(frees.size(), 1u);
  uint32_t temporary = u32(creates[0], 4);
  EXPECT_NE(temporary, 0u);
  EXPECT_EQ(u32(grabs[0], 16), temporary);
  EXPECT_EQ(u32(frees[0], 4), temporary);
  windowUngrabPointer(kWindowPointer, nullptr, 0);  // frees the kept cursor
}

TEST_F(ServerSideTest, MoveWindowOnEveryHeadOrThroughTheWindowManager) {
  core.clearLog();
  xproxyMoveWindow(a->client, top, 300, 40);
  auto moves = requestsOf(*a, 12);
  ASSERT_EQ(moves.size(), 2u);  // one copy per head
  for (const FakeBytes &m : moves) {
    EXPECT_EQ(a->u16(m, 8), 0x3u);
    EXPECT_EQ(int32_t(u32(m, 12)), 300);
    EXPECT_EQ(int32_t(u32(m, 16)), 40);
  }
  EXPECT_EQ(top->x, 301);
  EXPECT_EQ(top->y, 41);
  EXPECT_TRUE(core.logged("Moving win 0x"));
  // Managed: b frames a's window; the frame is b's to move.
  WindowRecord *frame;
  {
    FakeCore::Current current(*b);
    frame = windowCreate(b->id(1), core.root(), 10, 10, 400, 400, 0, 0, 0);
    windowMap(frame);
    windowChangeAttributes(frame, kWindowSubstructureRedirectMask);
    windowReparent(top, frame, 5, 20, b->client);
  }
  EXPECT_EQ(windowFindManagedChild(frame), top);
  xproxyMoveWindow(a->client, frame, 50, 60);
  EXPECT_TRUE(core.logged("Let WM move window"));
  EXPECT_TRUE(requestsOf(*a, 12).empty());
  EXPECT_EQ(frame->x, 10);  // the window manager's own ConfigureWindow moves it
}

TEST_F(ServerSideTest, ReadableAreas) {
  FakeCore::Current current(*a);
  PixmapRecord *pixmap = resourceCreatePixmap(a->id(9), screen, screen->rootVisual, 64, 32, 24);
  ASSERT_NE(pixmap, nullptr);
  WindowRecord *hidden = windowCreate(a->id(2), core.root(), 0, 0, 10, 10, 0, 0, 0);
  WindowRecord *cover = windowCreate(a->id(3), core.root(), 100, 100, 20, 20, 0, 0, 0);
  windowMap(cover);  // covers the top-left 20x20 of `top`'s inside at 101,101... minus one pixel
  WindowRecord *edge = windowCreate(a->id(4), core.root(), 990, 790, 50, 50, 0, 0, 0);
  windowMap(edge);
  struct Case {
    const char *what;
    uint32_t drawable;
    int32_t x, y;
    uint32_t width, height;
    int readable;
  } cases[] = {
      {"empty area", a->id(9), 0, 0, 0, 5, 0},
      {"whole pixmap", a->id(9), 0, 0, 64, 32, 1},
      {"sticking out of the pixmap", a->id(9), 1, 0, 64, 32, 0},
      {"negative pixmap position", a->id(9), -1, 0, 4, 4, 0},
      {"unknown window", a->id(77), 0, 0, 5, 5, 1},
      {"unmapped window", hidden->id, 0, 0, 5, 5, 0},
      // Covered by another window: readable, as from the X server (what covers it is read).
      {"covered part of a window", top->id, 0, 0, 10, 10, 1},
      {"partly visible area", top->id, 0, 0, 100, 100, 1},
      {"the border box", top->id, -1, -1, 202, 152, 1},
      {"beyond the border", top->id, -2, 0, 5, 5, 0},
      {"below the border", top->id, 0, 140, 5, 12, 0},
      {"beyond the screen", edge->id, 0, 0, 20, 20, 0},
      {"inside the screen", edge->id, 0, 0, 10, 10, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(mainIsAreaReadable(c.drawable, c.x, c.y, c.width, c.height), c.readable);
  }
}

}  // namespace
