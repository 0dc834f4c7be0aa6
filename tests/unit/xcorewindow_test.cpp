// The window requests on the fake core: what each request changes in the proxy's tree, what
// goes to every head, and what is refused (both byte orders).
#include <gtest/gtest.h>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"

namespace {

constexpr uint8_t kCreateWindow = 1, kChangeWindowAttributes = 2, kDestroyWindow = 4, kChangeSaveSet = 6,
                  kReparentWindow = 7, kMapWindow = 8, kUnmapWindow = 10, kConfigureWindow = 12;

class XcoreWindowTest : public ::testing::TestWithParam<bool> {
 protected:
  FakeCore core;
  MetaScreen *screen = core.addScreen(640, 480, 2);
  FakeClient &c = core.addClient(GetParam());

  // CreateWindow of an InputOutput window under the parent with the given values.
  FakeBytes createWindow(uint32_t id, uint32_t parent, int x, int y, unsigned width, unsigned height, unsigned border,
                         uint32_t mask = 0, std::vector<uint32_t> values = {}, uint32_t visual = 0) {
    FakeMessage m(c.big);
    m.b(kCreateWindow).b(0).s(0).i(id).i(parent).s(uint16_t(x)).s(uint16_t(y)).s(width).s(height).s(border).s(1).i(visual).i(mask);
    for (uint32_t v : values) m.i(v);
    return m.done();
  }
  FakeBytes oneWindow(uint8_t opcode, uint32_t window, uint8_t data = 0) {
    return FakeMessage(c.big).b(opcode).b(data).s(0).i(window).done();
  }
  FakeBytes configure(uint32_t window, uint16_t mask, std::vector<uint32_t> values) {
    FakeMessage m(c.big);
    m.b(kConfigureWindow).b(0).s(0).i(window).s(mask).s(0);
    for (uint32_t v : values) m.i(v);
    return m.done();
  }
  // The error the client got for the last request (0 for none) and the server requests dropped.
  int lastError() {
    auto messages = core.messages(c);
    return messages.empty() || messages.back()[0] != 0 ? 0 : messages.back()[1];
  }
  std::vector<FakeBytes> sent() {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(c))
      if (r[0] != 43) out.push_back(r);  // the proxy's own round trips aside
    return out;
  }
  // Fields of what the proxy wrote towards the real server (its own byte order).
  static uint32_t s16(const FakeBytes &m, size_t at) { return rawGet16(m, at, false); }
  static uint32_t s32(const FakeBytes &m, size_t at) { return rawGet32(m, at, false); }
  WindowRecord *window(uint32_t id) { return static_cast<WindowRecord *>(resourceLookupWindow(id)); }
};

TEST_P(XcoreWindowTest, CreateWindowRecordsTheAttributesAndCreatesOneCopyPerHead) {
  uint32_t id = c.id(1);
  // bit gravity 3, window gravity 5, backing store 2, event mask Exposure.
  core.send(c, createWindow(id, screen->root, 10, 20, 100, 50, 2, 0x870, {3, 5, 2, 0x8000}));
  EXPECT_EQ(lastError(), 0);
  WindowRecord *w = window(id);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->parent, core.root());
  EXPECT_EQ(w->bitGravity, 3);
  EXPECT_EQ(w->windowGravity, 5);
  EXPECT_EQ(w->backingStore, 2);
  EXPECT_EQ(windowAllEventMasks(w), 0x8000u);
  EXPECT_EQ(w->x, 12);
  EXPECT_EQ(w->y, 22);
  auto requests = sent();
  ASSERT_EQ(requests.size(), 2u);  // one per head
  for (size_t i = 0; i < 2; i++) {
    const FakeBytes &r = requests[i];
    EXPECT_EQ(r[0], kCreateWindow);
    uint32_t mask = s32(r, 28);
    EXPECT_TRUE(mask & 0x800) << "the copy selects the client's events";
    EXPECT_EQ(s16(r, 16), 100u);
    EXPECT_EQ(s16(r, 20), 2u);
    EXPECT_EQ(s32(r, 8), resourceServerId(screen->root, kResourceWindow, core.heads()[i]));
  }
}

TEST_P(XcoreWindowTest, OutOfRangeValuesStayOutOfTheRecordButAreForwarded) {
  uint32_t id = c.id(1);
  core.send(c, createWindow(id, screen->root, 0, 0, 10, 10, 0, 0x70, {11, 11, 3}));
  WindowRecord *w = window(id);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->bitGravity, 0);
  EXPECT_EQ(w->windowGravity, 1);
  EXPECT_EQ(w->backingStore, 0);
  EXPECT_EQ(sent().size(), 2u);
  core.send(c, FakeMessage(c.big).b(kChangeWindowAttributes).b(0).s(0).i(id).i(0x10).i(12).done());
  EXPECT_EQ(w->bitGravity, 0);
  EXPECT_EQ(sent().size(), 2u);
}

TEST_P(XcoreWindowTest, RefusedRequestsAnswerTheirErrorAndSendNothing) {
  uint32_t id = c.id(1), child = c.id(2);
  core.send(c, createWindow(id, screen->root, 0, 0, 50, 50, 0));
  core.send(c, createWindow(child, id, 0, 0, 10, 10, 0));
  core.messages(c);
  sent();
  FakeBytes shortCreate = createWindow(c.id(3), screen->root, 0, 0, 10, 10, 0, 0x1, {});  // value missing
  FakeBytes longDestroy = FakeMessage(c.big).b(kDestroyWindow).b(0).s(0).i(id).i(0).done();
  struct Case {
    const char *what;
    FakeBytes request;
    int error;
  } cases[] = {
      {"CreateWindow without its value", shortCreate, 16},
      {"CreateWindow mask 0x8000", createWindow(c.id(3), screen->root, 0, 0, 10, 10, 0, 0x8000, {0}), 2},
      {"CreateWindow of an unknown parent", createWindow(c.id(3), c.id(99), 0, 0, 10, 10, 0), 3},
      {"CreateWindow of an invalid visual", createWindow(c.id(3), screen->root, 0, 0, 10, 10, 0, 0, {}, 0x7777), 2},
      {"CreateWindow of a used id", createWindow(id, screen->root, 0, 0, 10, 10, 0), 14},
      {"DestroyWindow 12 bytes long", longDestroy, 16},
      {"MapWindow of an unknown window", oneWindow(kMapWindow, c.id(99)), 3},
      {"GetGeometry of an unknown id", oneWindow(14, c.id(99)), 9},
      {"GetGeometry of an id of an unused slot", oneWindow(14, (c.index + 5) << resourceIdShift()), 9},
      {"ConfigureWindow mask 0x80", configure(id, 0x80, {0}), 2},
      {"ConfigureWindow short of a value", configure(id, 0x3, {5}), 16},
      {"ConfigureWindow width 0", configure(id, 0x4, {0}), 2},
      {"ConfigureWindow sibling without stack mode", configure(id, 0x20, {child}), 8},
      {"ReparentWindow into itself", FakeMessage(c.big).b(kReparentWindow).b(0).s(0).i(id).i(id).s(0).s(0).done(), 8},
      {"ReparentWindow into its child", FakeMessage(c.big).b(kReparentWindow).b(0).s(0).i(id).i(child).s(0).s(0).done(), 8},
      {"ChangeSaveSet mode 2", oneWindow(kChangeSaveSet, id, 2), 2},
      {"ChangeSaveSet of an own window", oneWindow(kChangeSaveSet, id, 0), 8},
  };
  for (const Case &k : cases) {
    core.send(c, k.request);
    EXPECT_EQ(lastError(), k.error) << k.what;
    EXPECT_TRUE(sent().empty()) << k.what;
  }
  EXPECT_EQ(window(c.id(3)), nullptr);
  EXPECT_EQ(window(child)->parent, window(id));
  EXPECT_EQ(window(id)->width, 50);
}

TEST_P(XcoreWindowTest, TheRootIsLeftAloneWithALogLine) {
  for (uint8_t opcode : {kDestroyWindow, kMapWindow, kUnmapWindow}) {
    core.clearLog();
    core.send(c, oneWindow(opcode, screen->root));
    EXPECT_TRUE(core.messages(c).empty());
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(core.logged("No effect for root window in")) << int(opcode);
  }
  core.clearLog();
  core.send(c, configure(screen->root, 0x1, {5}));
  EXPECT_TRUE(core.messages(c).empty());
  EXPECT_TRUE(sent().empty());
  EXPECT_TRUE(core.logged("No effect for root window in"));
  EXPECT_NE(core.root(), nullptr);
}

TEST_P(XcoreWindowTest, MapConfigureUnmapAndDestroyReachTreeAndHeads) {
  uint32_t a = c.id(1), b = c.id(2);
  core.send(c, createWindow(a, screen->root, 0, 0, 50, 50, 0));
  core.send(c, createWindow(b, screen->root, 10, 10, 50, 50, 0));
  sent();
  core.send(c, oneWindow(kMapWindow, a));
  EXPECT_TRUE(window(a)->viewable);
  EXPECT_EQ(sent().size(), 2u);
  core.send(c, oneWindow(kMapWindow, b));
  sent();
  core.send(c, configure(a, 0x3, {uint32_t(-5), 7}));
  EXPECT_EQ(window(a)->x, -5);
  EXPECT_EQ(window(a)->y, 7);
  auto copies = sent();
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0][0], kConfigureWindow);
  EXPECT_EQ(int32_t(s32(copies[0], 12)), -5);
  // b (mapped) is on top and overlaps a; Opposite with b as sibling puts a on top: the heads get Above alone.
  core.send(c, configure(a, 0x60, {b, 4}));
  EXPECT_EQ(lastError(), 0);
  EXPECT_EQ(core.root()->firstChild, window(a));
  copies = sent();
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0].size(), 16u) << "the sibling is left out: 4 bytes shorter";
  EXPECT_EQ(s16(copies[0], 8), 0x40u);
  EXPECT_EQ(s32(copies[0], 12), 0u);  // Above
  core.send(c, oneWindow(kUnmapWindow, a));
  EXPECT_FALSE(window(a)->mapped);
  core.send(c, oneWindow(kDestroyWindow, a));
  EXPECT_EQ(window(a), nullptr);
  EXPECT_EQ(sent().size(), 4u);
  EXPECT_TRUE(core.messages(c).empty());
}

TEST_P(XcoreWindowTest, ForgetBitGravityReachesTheHeadsButNotTheRecord) {
  uint32_t saved = configRecord.workarounds;
  configRecord.workarounds |= kWorkaroundForgetBitGravity;
  uint32_t id = c.id(1);
  core.send(c, createWindow(id, screen->root, 0, 0, 10, 10, 0, 0x10, {4}));  // bit gravity 4 (NorthEast)
  configRecord.workarounds = saved;
  ASSERT_NE(window(id), nullptr);
  EXPECT_EQ(window(id)->bitGravity, 4);
  auto copies = sent();
  ASSERT_EQ(copies.size(), 2u);
  for (auto &copy : copies) {
    ASSERT_EQ(s32(copy, 28) & 0x10, 0x10u);
    EXPECT_EQ(s32(copy, 32), 0u) << "Forget on the heads";
  }
}

TEST_P(XcoreWindowTest, MappingIntoAHiddenPartMovesTheCopiesToo) {
  // Two heads of 320 in the 640 wide screen; the right one shows nothing now.
  core.heads()[1]->rect.width = 0;
  screen->keepWindowsVisible = 50;
  windowKeepVisible(screen);
  ASSERT_TRUE(screen->hiddenParts);
  uint32_t id = c.id(1);
  core.send(c, createWindow(id, screen->root, 500, 10, 100, 40, 0));
  sent();
  core.send(c, oneWindow(kMapWindow, id));
  EXPECT_EQ(window(id)->x, 270);  // 50 of its 100 columns stay on the left head
  int moves = 0;
  for (auto &r : sent())
    if (r[0] == kConfigureWindow && s16(r, 8) == 0x3 && int32_t(s32(r, 12)) == 270) moves++;
  EXPECT_EQ(moves, 2) << "each head's copy follows";
}

// The root's background keeps a pixmap whose id its client freed, or whose client left: the
// owner's pixmaps go on the heads at once, the id is free for the same client and for the next
// client of the slot, and the kept pixmap's last release sends nothing (its id names another
// pixmap by then).
TEST_P(XcoreWindowTest, ABackgroundPixmapKeepsNoIdOnceFreed) {
  auto savedCount = proxyState.pixmapFormatCount;
  auto savedFormat = proxyState.pixmapFormats[0];
  proxyState.pixmapFormatCount = 1;
  proxyState.pixmapFormats[0] = {24, 32, 32};
  const uint32_t root = screen->root, id = c.id(5);
  WindowRecord *rootRecord = core.root();
  auto requestsOf = [&](FakeClient &who, uint8_t opcode) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(who))
      if (r[0] == opcode) out.push_back(r);
    return out;
  };
  auto errorOf = [&](FakeClient &who) {
    auto messages = core.messages(who);
    return messages.empty() || messages.back()[0] != 0 ? 0 : int(messages.back()[1]);
  };
  auto createPixmap = [&](FakeClient &who) {
    return FakeMessage(who.big).b(53).b(24).s(0).i(id).i(root).s(8).s(8).done();
  };
  auto background = [&](FakeClient &who, uint32_t mask, uint32_t value) {
    return FakeMessage(who.big).b(kChangeWindowAttributes).b(0).s(0).i(root).i(mask).i(value).done();
  };
  auto freePixmap = [&](FakeClient &who) { return FakeMessage(who.big).b(54).b(0).s(0).i(id).done(); };

  core.send(c, createPixmap(c));
  core.send(c, background(c, 0x1, id));  // CWBackPixmap
  EXPECT_EQ(errorOf(c), 0);
  PixmapRecord *first = resourceLookupPixmap(id);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(rootRecord->backgroundPixmap, first);
  std::vector<uint32_t> serverIds;
  for (Head *head : core.heads()) serverIds.push_back(resourceServerId(id, kResourcePixmap, head));
  core.serverRequests(c);
  core.send(c, freePixmap(c));
  auto freed = requestsOf(c, 54);
  ASSERT_EQ(freed.size(), 2u) << "one FreePixmap per head at the orphaning";
  for (size_t i = 0; i < 2; i++) EXPECT_EQ(s32(freed[i], 4), serverIds[i]);
  EXPECT_EQ(rootRecord->backgroundPixmap, first);
  EXPECT_EQ(first->orphan, 1);

  // The same client takes the id again; the background moves to the new pixmap and the kept
  // one goes without a request.
  core.send(c, createPixmap(c));
  EXPECT_EQ(errorOf(c), 0) << "no BadIDChoice";
  PixmapRecord *second = resourceLookupPixmap(id);
  ASSERT_NE(second, nullptr);
  core.send(c, background(c, 0x1, id));
  EXPECT_EQ(rootRecord->backgroundPixmap, second);
  EXPECT_EQ(proxyState.orphanPixmaps, nullptr);
  EXPECT_TRUE(requestsOf(c, 54).empty());

  // The client leaves without freeing it; the next client of the slot (the other byte order)
  // creates the id.
  const uint32_t slot = c.index;
  core.closeClient(c);
  EXPECT_EQ(rootRecord->backgroundPixmap, second);
  EXPECT_EQ(resourceFindOrphanPixmap(id), second);
  FakeClient &next = core.addClient(!GetParam());
  ASSERT_EQ(next.index, slot);
  ASSERT_EQ(next.id(5), id);
  core.send(next, createPixmap(next));
  EXPECT_EQ(errorOf(next), 0) << "no BadIDChoice";
  PixmapRecord *third = resourceLookupPixmap(id);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(requestsOf(next, 53).size(), 2u);
  // A background pixel lets the kept pixmap go: nothing may reach the new one.
  core.send(next, background(next, 0x2, 0));  // CWBackPixel
  EXPECT_EQ(rootRecord->backgroundPixmap, nullptr);
  EXPECT_EQ(proxyState.orphanPixmaps, nullptr);
  EXPECT_TRUE(requestsOf(next, 54).empty());
  EXPECT_EQ(resourceLookupPixmap(id), third);
  core.send(next, freePixmap(next));
  EXPECT_EQ(errorOf(next), 0);
  EXPECT_EQ(requestsOf(next, 54).size(), 2u);
  EXPECT_EQ(resourceLookupPixmap(id), nullptr);
  proxyState.pixmapFormatCount = savedCount;
  proxyState.pixmapFormats[0] = savedFormat;
}

INSTANTIATE_TEST_SUITE_P(BothOrders, XcoreWindowTest, ::testing::Values(false, true));

// ----- keeping windows visible -----

class KeepVisibleTest : public ::testing::Test {
 protected:
  FakeCore core;
  MetaScreen *screen = core.addScreen(2560, 1024, 1);
  FakeClient &c = core.addClient(false);

  void SetUp() override {
    core.heads()[0]->rect = Rect{0, 0, 1280, 1024};
    setting(100);
  }
  void setting(int32_t n) {
    screen->keepWindowsVisible = n;
    windowKeepVisible(screen);
  }
  Rect kept(Rect r) {
    windowKeepRectVisible(&r, screen);
    return r;
  }
  WindowRecord *topLevel(uint32_t n, int x, int y, uint16_t width, uint16_t height, uint16_t border = 0) {
    FakeCore::Current current(c);
    return windowCreate(c.id(n), core.root(), x, y, width, height, border, 1, 0);
  }
};

TEST_F(KeepVisibleTest, RectanglesMoveIntoTheShownPart) {
  struct Case {
    const char *what;
    int32_t setting;
    Rect in, out;
  } cases[] = {
      {"400 wide at 2000 keeps 100 columns", 100, {2000, 0, 400, 300}, {1180, 0, 400, 300}},
      {"a wide, short window grows the target by its width alone", 100, {2000, 990, 400, 50}, {1180, 974, 400, 50}},
      {"wholly shown: stays", 100, {100, 100, 400, 300}, {100, 100, 400, 300}},
      {"off", 0, {2000, 0, 400, 300}, {2000, 0, 400, 300}},
      {"15 pixels over with -20: stays", -20, {895, 0, 400, 300}, {895, 0, 400, 300}},
      {"far over with -20: into the widened box", -20, {2000, 0, 400, 300}, {900, 0, 400, 300}},
      {"larger than the box: shrunk into it", -20, {2000, 0, 2000, 300}, {-20, 0, 1320, 300}},
  };
  for (const Case &k : cases) {
    setting(k.setting);
    Rect r = kept(k.in);
    EXPECT_EQ(r.x, k.out.x) << k.what;
    EXPECT_EQ(r.y, k.out.y) << k.what;
    EXPECT_EQ(r.width, k.out.width) << k.what;
    EXPECT_EQ(r.height, k.out.height) << k.what;
  }
}

TEST_F(KeepVisibleTest, HiddenPartsOfAnLShapedUnionDoNotMoveWindowsInsideTheBox) {
  screen->width = 2560;
  core.heads()[0]->rect = Rect{0, 0, 1280, 1024};
  setting(100);
  EXPECT_TRUE(screen->hiddenParts);
  // A second head over the upper right half: the lower right is hidden but inside the box.
  Head second{};
  second.rect = Rect{1280, 0, 1280, 512};
  core.heads()[0]->next = &second;
  windowKeepVisible(screen);
  core.heads()[0]->next = nullptr;
  Rect r = kept(Rect{2000, 600, 100, 100});
  EXPECT_EQ(r.x, 2000);
  EXPECT_EQ(r.y, 600);
  // Every part shown: no hidden parts, nothing moves.
  core.heads()[0]->rect = Rect{0, 0, 2560, 1024};
  setting(100);
  EXPECT_FALSE(screen->hiddenParts);
  EXPECT_EQ(kept(Rect{2400, 0, 400, 300}).x, 2400);
}

TEST_F(KeepVisibleTest, SettingZeroMovesAndLogsNothing) {
  setting(0);
  WindowRecord *w = topLevel(1, 2000, 0, 400, 300);
  core.clearLog();
  {
    FakeCore::Current current(c);
    windowMap(w);
  }
  setting(0);
  EXPECT_EQ(w->x, 2000);
  EXPECT_FALSE(core.logged("Recalc keeping windows visible"));
  setting(100);
  EXPECT_TRUE(core.logged("Recalc keeping windows visible on screen 0"));
  EXPECT_EQ(w->x, 1180);
}

TEST_F(KeepVisibleTest, MappingPlacesTheWindowAndABorderedWindowStaysPutWhenCorrectedAgain) {
  WindowRecord *w = topLevel(1, 2000, 0, 400, 300, 5);
  {
    FakeCore::Current current(c);
    windowMap(w);
  }
  // Outer width 410, 310 of it may lie outside: the outer corner goes to 1590 - 410.
  EXPECT_EQ(w->x - w->borderWidth, 1180);
  EXPECT_EQ(w->y, 5);
  windowKeepOnScreen(w, nullptr);
  windowKeepOnScreen(w, nullptr);
  EXPECT_EQ(w->x - w->borderWidth, 1180);
  EXPECT_EQ(w->y, 5);
}

TEST_F(KeepVisibleTest, ExemptTreesAreNeverMoved) {
  WindowRecord *frame = topLevel(1, 2000, 0, 400, 300);
  frame->keepVisibleExempt = 1;
  {
    FakeCore::Current current(c);
    windowMap(frame);
  }
  EXPECT_EQ(frame->x, 2000);
  uint32_t hints[18] = {4, 2000, 0};
  windowKeepHintsVisible(frame, hints);
  EXPECT_EQ(hints[1], 2000u);
  frame->keepVisibleExempt = 0;
  windowKeepHintsVisible(frame, hints);
  EXPECT_EQ(hints[1], 1180u);
}

TEST_F(KeepVisibleTest, HintsAndConfigureRequestsCarryTheCorrectedPosition) {
  WindowRecord *w = topLevel(1, 0, 0, 400, 300);
  struct Case {
    uint32_t flags, x, y, width, height;
    uint32_t wantX, wantY;
  } cases[] = {
      {4, 2000, 0, 0, 0, 1180, 0},         // program position, the window's size
      {4 | 8, 2000, 1000, 400, 50, 1180, 974},  // with the hinted size
      {1, 2000, 0, 0, 0, 2000, 0},         // user position: left alone
  };
  for (const Case &k : cases) {
    uint32_t hints[18] = {k.flags, k.x, k.y, k.width, k.height};
    windowKeepHintsVisible(w, hints);
    EXPECT_EQ(hints[1], k.wantX) << k.flags;
    EXPECT_EQ(hints[2], k.wantY) << k.flags;
  }
  uint8_t event[32] = {23};
  auto put16 = [&](int at, uint16_t v) { event[at] = uint8_t(v), event[at + 1] = uint8_t(v >> 8); };
  auto put32 = [&](int at, uint32_t v) { put16(at, uint16_t(v)), put16(at + 2, uint16_t(v >> 16)); };
  put32(8, w->id);
  put16(16, 2000);
  put16(18, 10);
  put16(20, 400);
  put16(22, 300);
  put16(26, 0x1);
  windowKeepRequestVisible(event);
  EXPECT_EQ(event[16] | event[17] << 8, 1180);
  EXPECT_EQ(event[18] | event[19] << 8, 10);
  put16(16, 2000);
  put16(26, 0x4);  // only a size: left alone
  windowKeepRequestVisible(event);
  EXPECT_EQ(event[16] | event[17] << 8, 2000);
}

}  // namespace
