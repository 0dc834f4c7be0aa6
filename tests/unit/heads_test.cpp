#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/xscreen.h"

namespace {

// Heads made by hand: a fake Display pointer marks a head as online (nothing calls Xlib).
Display *const kFakeDisplay = reinterpret_cast<Display *>(0x1000);

Head *newHead(const char *name, Rect rect) {
  auto *head = static_cast<Head *>(calloc(1, sizeof(Head)));
  snprintf(head->name, sizeof head->name, "%s", name);
  head->display = kFakeDisplay;
  head->rect = rect;
  head->realWidth = rect.width;
  head->realHeight = rect.height;
  head->widthMM = rect.width / 4;
  head->heightMM = rect.height / 4;
  head->zoomX = head->zoomY = 1.0;
  return head;
}

class Heads : public testing::Test {
 protected:
  void SetUp() override {
    mainSetStartLimits();
    displayA = ServerDisplay{};
    displayB = ServerDisplay{};
  }
  void TearDown() override {
    xscreenFreeAll();
    mainSetStartLimits();
  }
  Head *add(const char *name, Rect rect, ServerDisplay *display, MetaScreen *screen) {
    Head *head = newHead(name, rect);
    xproxyAttachHeadToDisplay(head, display);
    xproxyAddHeadToMetaScreen(head, screen);
    head->rect = rect;  // placed by hand
    return head;
  }
  ServerDisplay displayA, displayB;
};

TEST_F(Heads, RectOnHeadTouchingEdgesDoNotOverlap) {
  MetaScreen *screen = xscreenNew();
  Head *head = add("h", Rect{100, 50, 200, 100}, &displayA, screen);
  struct {
    int16_t x, y;
    uint16_t width, height;
    int on;
  } cases[] = {
      {0, 50, 100, 10, 0},    // ends exactly at the left edge
      {0, 50, 101, 10, 1},    // one pixel onto it
      {300, 50, 10, 10, 0},   // starts at the right edge
      {299, 149, 5, 5, 1},    // the last pixel
      {100, 0, 10, 50, 0},    // ends at the top edge
      {100, 150, 10, 10, 0},  // starts at the bottom edge
      {150, 60, 0, 10, 0},    // empty
      {-32768, -32768, 65535, 65535, 1},
  };
  for (const auto &c : cases) {
    uint8_t request[16] = {};
    memcpy(request + 8, &c.x, 2);
    memcpy(request + 10, &c.y, 2);
    memcpy(request + 12, &c.width, 2);
    memcpy(request + 14, &c.height, 2);
    EXPECT_EQ(xproxyRectOnHead(head, request), c.on) << c.x << "," << c.y << " " << c.width << "x" << c.height;
  }
}

TEST_F(Heads, NumberingOverDisplaysAndMetaScreens) {
  MetaScreen *first = xscreenNew(), *second = xscreenNew();
  Head *a0 = add("a0", Rect{0, 0, 100, 100}, &displayA, first);
  Head *a1 = add("a1", Rect{100, 0, 100, 100}, &displayA, first);
  Head *b0 = add("b0", Rect{0, 0, 100, 100}, &displayB, second);
  EXPECT_EQ(a0->displayNumber, 0u);
  EXPECT_EQ(a1->displayNumber, 1u);
  EXPECT_EQ(b0->displayNumber, 0u);
  EXPECT_EQ(a0->idIndex, 0u);
  EXPECT_EQ(a1->idIndex, 1u);
  EXPECT_EQ(b0->idIndex, 2u);
  EXPECT_EQ(a0->fontHead, a0);
  EXPECT_EQ(a1->fontHead, a0);
  EXPECT_EQ(b0->fontHead, b0);
  EXPECT_EQ(displayA.headCount, 2u);
  EXPECT_EQ(displayA.firstHead, a0);
  EXPECT_EQ(first->primaryHead, a0);
  EXPECT_EQ(proxyState.headCount, 3u);
  EXPECT_EQ(proxyState.maxHeadsPerMetaScreen, 2u);
  EXPECT_EQ(xproxyFreeHeadIndex(), 3u);
}

TEST_F(Heads, IdTableIndexStopsAt128) {
  MetaScreen *screen = xscreenNew();
  for (uint32_t i = 0; i < kHeadIdTableEntries; i++) add("h", Rect{0, 0, 10, 10}, &displayA, screen);
  EXPECT_EQ(xproxyFreeHeadIndex(), kHeadIdTableEntries);
}

TEST_F(Heads, PanningByStepsClampAndAStepOfZero) {
  struct Case {
    int16_t panX, panY;
    int32_t pointX, pointY;
    int clamp;
    int moved;
    int32_t x, y;
  } cases[] = {
      {100, 100, 229, 50, 0, 1, 200, 0},   // 130 px right of the head: two steps
      {100, 100, 229, 50, 1, 1, 100, 0},   // clamped to one step
      {0, 100, 229, 250, 0, 1, 0, 200},    // no horizontal step: only the other axis
      {0, 0, 229, 250, 0, 0, 0, 0},        // no steps at all
      {-100, 100, 229, 50, 0, 1, 200, 0},  // a negative step counts by its size
      {100, 100, 50, 50, 0, 0, 0, 0},      // inside: nothing
      {100, 100, 900, 50, 0, 1, 300, 0},   // limited by the meta screen's bounds
  };
  for (const Case &c : cases) {
    MetaScreen *screen = xscreenNew();
    screen->width = screen->widthWord = 400;  // a configured size: the heads do not change it
    screen->height = screen->heightWord = 400;
    Head *head = add("p", Rect{0, 0, 100, 100}, &displayA, screen);
    head->panX = c.panX;
    head->panY = c.panY;
    EXPECT_EQ(xproxyPanHead(head, c.pointX, c.pointY, nullptr, c.clamp), c.moved) << c.pointX << " " << c.panX;
    EXPECT_EQ(head->rect.x, c.x) << c.pointX << " " << c.panX;
    EXPECT_EQ(head->rect.y, c.y) << c.pointX << " " << c.panX;
    xscreenFreeAll();
  }
}

TEST_F(Heads, StaticDisplayRefusesPanning) {
  MetaScreen *screen = xscreenNew();
  Head *head = add("s", Rect{0, 0, 10, 10}, &displayA, screen);
  head->staticDisplay = 1;
  const char *error = xproxySetHeadPan(head, 10, 0);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error, "Can't enable screen pan at s - Make sure the StaticDisplay tag is disabled");
  EXPECT_EQ(xproxySetHeadPan(head, 0, 0), nullptr);
}

TEST_F(Heads, VisualIdsBothWays) {
  MetaScreen *screen = xscreenNew();
  Head *head = add("v", Rect{0, 0, 10, 10}, &displayA, screen);
  static VisualRecord meta[3], own[2];
  meta[0].visualId = 40, meta[1].visualId = 41, meta[2].visualId = 42;
  own[0].visualId = 0x21;
  own[1].visualId = 0x77, own[1].baseVisualId = 0x22;  // emulated on base 0x22
  screen->visuals = meta;
  screen->visualCount = 3;
  screen->visualIdsContiguous = 1;
  VisualRecord *map[3] = {&own[0], nullptr, &own[1]};
  head->visualMap = static_cast<VisualRecord **>(malloc(sizeof map));
  memcpy(head->visualMap, map, sizeof map);
  struct {
    uint32_t proxy, server;
  } toServer[] = {{0, 0}, {40, 0x21}, {41, 0}, {42, 0x22}, {43, 43}, {7, 7}};
  for (const auto &c : toServer) EXPECT_EQ(xproxyVisualIdToServer(c.proxy, head), c.server) << c.proxy;
  struct {
    uint32_t server, proxy;
  } toProxy[] = {{0x21, 40}, {0x22, 42}, {0x77, 42}, {0x99, 0x99}};
  for (const auto &c : toProxy) {
    EXPECT_EQ(xproxyServerVisualToProxy(c.server, &displayA, head), c.proxy) << c.server;
    EXPECT_EQ(xproxyServerVisualToProxy(c.server, &displayA, nullptr), c.proxy) << c.server;
  }
  EXPECT_EQ(xproxyServerVisualToProxy(0x21, &displayB, nullptr), 0x21u);
  EXPECT_EQ(xproxyFindVisualByServerId(head, 0x22), &meta[2]);
  EXPECT_EQ(xproxyFindVisualByServerId(head, 0x55), nullptr);
  EXPECT_EQ(xscreenFindVisual(screen, 43), nullptr);
  screen->visuals = nullptr;
  screen->visualCount = 0;
}

// The index by server id answers as the search does: of several meta visuals on one server
// visual the last, an emulated visual under its own id and its base's.
TEST_F(Heads, IndexedServerVisualsAnswerAsTheSearch) {
  MetaScreen *screen = xscreenNew();
  Head *head = add("v", Rect{0, 0, 10, 10}, &displayA, screen);
  static VisualRecord meta[6], own[4];
  for (uint32_t i = 0; i < 6; i++) meta[i].visualId = 40 + i;
  own[0].visualId = 0x21;
  own[1].visualId = 0x77, own[1].baseVisualId = 0x22;
  own[2].visualId = 0x22;                              // the base itself, lower in the table
  own[3].visualId = 0x78, own[3].baseVisualId = 0x21;  // another emulation, on 0x21
  screen->visuals = meta;
  screen->visualCount = 6;
  VisualRecord *maps[][6] = {{&own[2], &own[0], nullptr, &own[1], &own[0], &own[3]},
                             {&own[3], &own[1], &own[0], &own[2], nullptr, nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}};
  for (auto &map : maps) {
    head->visualMap = static_cast<VisualRecord **>(malloc(sizeof map));
    memcpy(head->visualMap, map, sizeof map);
    std::vector<uint32_t> searched;
    for (uint32_t id = 0x1f; id <= 0x79; id++) searched.push_back(xproxyServerVisualToProxy(id, &displayA, head));
    xproxyIndexHeadVisuals(head);
    EXPECT_EQ(head->visualIndex != nullptr, map[0] != nullptr);
    for (uint32_t id = 0x1f; id <= 0x79; id++)
      EXPECT_EQ(xproxyServerVisualToProxy(id, &displayA, head), searched[id - 0x1f]) << std::hex << id;
    free(head->visualMap);
    head->visualMap = nullptr;
    xproxyIndexHeadVisuals(head);  // no map: no index
    EXPECT_EQ(head->visualIndex, nullptr);
  }
  EXPECT_EQ(xproxyServerVisualToProxy(0x21, &displayA, head), 0x21u);
  screen->visuals = nullptr;
  screen->visualCount = 0;
}

TEST_F(Heads, BorderWidthKeepsTheLargerHalf) {
  struct {
    uint32_t width, height;
    int32_t configured;
    uint32_t border;
  } cases[] = {{1, 1, 5, 0}, {10, 4, 8, 5}, {800, 600, 40000, 400}, {800, 600, -7, 0}, {0, 0, 9, 9}};
  for (const auto &c : cases) {
    Head head{};
    head.realWidth = c.width;
    head.realHeight = c.height;
    mainHeadBorderWidth(&head, c.configured);
    EXPECT_EQ(head.border, c.border) << c.width << "x" << c.height << " " << c.configured;
  }
}

TEST_F(Heads, NamesAndDescriptions) {
  MetaScreen *screen = xscreenNew();
  EXPECT_STREQ(xscreenName(nullptr), "no X screen");
  EXPECT_STREQ(xscreenName(screen), "screen 0");
  screen->name = strdup("0");
  EXPECT_STREQ(xscreenName(screen), "screen 0");
  free(screen->name);
  screen->name = strdup("left");
  EXPECT_STREQ(xscreenName(screen), "left");
  EXPECT_STREQ(xscreenHeadName(nullptr), "no head");
  Head *head = add("d", Rect{0, 0, 400, 200}, &displayA, screen);
  head->panX = 5;
  head->border = 2;
  head->display = nullptr;
  EXPECT_STREQ(xscreenDescribeHead(head), "400x200 100x50+0+0mm vis0 offline panX5 bw2");
}

}  // namespace
