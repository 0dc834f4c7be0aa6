// Head geometry: settings applied to heads made by hand (no windows, so nothing reaches Xlib),
// the head tags, coordinate conversions and the last server time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/xscreen.h"
#include "logcapture_helpers.h"

namespace {

Display *const kFakeDisplay = reinterpret_cast<Display *>(0x1000);  // marks a head online

class HeadGeometry : public testing::Test {
 protected:
  void SetUp() override {
    mainSetStartLimits();
    display = ServerDisplay{};
    screen = xscreenNew();
    a = add("A", 1024, 768);
    b = add("B", 640, 480);
    log.lines.clear();
  }
  void TearDown() override {
    xscreenFreeAll();
    mainSetStartLimits();
    proxyState.pointerHead = nullptr;
    proxyState.serverTime = 0;
  }
  Head *add(const char *name, uint32_t width, uint32_t height) {
    auto *head = static_cast<Head *>(calloc(1, sizeof(Head)));
    snprintf(head->name, sizeof head->name, "%s", name);
    head->display = kFakeDisplay;
    head->realWidth = width;
    head->realHeight = height;
    head->widthMM = width / 4;
    head->heightMM = height / 4;
    head->zoomX = head->zoomY = 1.0;
    head->logical = Rect{0, 0, width, height};
    xproxyAttachHeadToDisplay(head, &display);
    xproxyAddHeadToMetaScreen(head, screen);
    head->rect = head->visible = Rect{0, 0, width, height};
    head->display = kFakeDisplay;  // the attachment takes the (closed) display's connection
    head->clientRoot = 0x100 + uint32_t(name[0]);
    return head;
  }
  // Placement of b against a as start-up gives it: direction, reference and offsets always.
  ScreenConfig placement(uint32_t direction, uint32_t referenceRoot, int32_t offsetX, int32_t offsetY) {
    ScreenConfig values{};
    values.direction = direction;
    values.referenceRoot = referenceRoot;
    values.offsetX = offsetX;
    values.offsetY = offsetY;
    return values;
  }
  bool logged(const std::string &line) const { return log.has(logChannelStep, line); }
  // Whether a step line starts with the text.
  bool loggedStart(const std::string &start) const {
    for (const std::string &line : log.on(logChannelStep))
      if (line.rfind(start, 0) == 0) return true;
    return false;
  }
  ServerDisplay display;
  MetaScreen *screen = nullptr;
  Head *a = nullptr, *b = nullptr;
  LogCapture log;
};

constexpr uint32_t kPlacementBits = 0x3c;

TEST_F(HeadGeometry, RelativePlacement) {
  struct Case {
    const char *what;
    uint32_t direction;
    int32_t offsetX, offsetY;
    int32_t fixedWidth;  // the meta screen's width word (0 follows the heads)
    int32_t referenceX;
    int32_t wantX, wantY;
    const char *wantLine;  // a "Clipped" line, or ""
  };
  const Case cases[] = {
      {"east + 10", kKorvanDirectionEast, 10, 0, 0, 0, 1034, 0, ""},
      {"east, fixed width", kKorvanDirectionEast, 10, 0, 1400, 0, 760, 0, "Clipped logical x to 760..."},
      {"west of a head at 0", kKorvanDirectionWest, 0, 0, 0, 0, -640, 0, ""},
      {"west, fixed width", kKorvanDirectionWest, 0, 0, 2000, 0, 0, 0, "Clipped logical x to 0..."},
      {"west of a head at 700", kKorvanDirectionWest, -5, 0, 0, 700, 55, 0, ""},
      {"south - 3", kKorvanDirectionSouth, 4, -3, 0, 0, 4, 765, ""},
      {"north", kKorvanDirectionNorth, 0, 0, 0, 0, 0, -480, ""},
      {"same", kKorvanDirectionSame, 7, 8, 0, 0, 7, 8, ""},
  };
  for (const Case &c : cases) {
    TearDown();
    SetUp();
    screen->widthWord = c.fixedWidth;
    a->rect.x = c.referenceX;
    ScreenConfig values = placement(c.direction, a->clientRoot, c.offsetX, c.offsetY);
    ASSERT_EQ(mainMoveResizeHead(nullptr, b, kPlacementBits, &values), nullptr) << c.what;
    // The meta screen's size follows its heads: their origins may shift together.
    EXPECT_EQ(b->rect.x - a->rect.x, c.wantX - c.referenceX) << c.what;
    EXPECT_EQ(b->rect.y - a->rect.y, c.wantY) << c.what;
    EXPECT_EQ(b->reference, a) << c.what;
    if (*c.wantLine) {
      EXPECT_TRUE(logged(c.wantLine)) << c.what;
    }
    EXPECT_EQ(loggedStart("Clipped"), *c.wantLine != 0) << c.what;
    // The change is logged with its mask, and no pointer is moved before the windows exist.
    EXPECT_TRUE(loggedStart("B changed by")) << c.what;
    EXPECT_FALSE(loggedStart("Pointer repositioned")) << c.what;
  }
}

TEST_F(HeadGeometry, Refusals) {
  struct Case {
    const char *what;
    uint32_t mask;
    ScreenConfig values;
    const char *want;
  };
  ScreenConfig v{};
  auto with = [](ScreenConfig base, auto change) {
    change(base);
    return base;
  };
  const Case cases[] = {
      {"direction 6", kPlacementBits, with(v, [&](ScreenConfig &s) { s.direction = 6, s.referenceRoot = 0x141; }),
       "Invalid direction 6 for screen B"},
      {"direction 9", kPlacementBits, with(v, [&](ScreenConfig &s) { s.direction = 9, s.referenceRoot = 0x141; }),
       "Invalid direction 9 for screen B"},
      {"no reference", 0x4, with(v, [&](ScreenConfig &s) { s.direction = 3; }),
       "Specified direction 3 for screen B but no relativeTo screen given"},
      {"itself", kPlacementBits, with(v, [&](ScreenConfig &s) { s.direction = 3, s.referenceRoot = 0x142; }),
       "Cyclic relative positioning for B"},
      {"unknown id", kPlacementBits, with(v, [&](ScreenConfig &s) { s.direction = 3, s.referenceRoot = 0x777; }),
       "Invalid relativeTo xid 0x777 for B"},
      {"zoom 0", 0x10000000, with(v, [&](ScreenConfig &s) { s.zoomX = 0, s.zoomY = 1; }),
       "Invalid pointer scaling factor on B"},
      {"zoom negative", 0x10000000, with(v, [&](ScreenConfig &s) { s.zoomX = 1, s.zoomY = -2; }),
       "Invalid pointer scaling factor on B"},
      {"zoom NaN", 0x10000000, with(v, [&](ScreenConfig &s) { s.zoomX = NAN, s.zoomY = 1; }),
       "Invalid pointer scaling factor on B"},
  };
  for (const Case &c : cases) {
    TearDown();
    SetUp();
    Rect before = b->rect;
    EXPECT_STREQ(mainMoveResizeHead(nullptr, b, c.mask, &c.values), c.want) << c.what;
    EXPECT_EQ(b->rect.x, before.x) << c.what;
    EXPECT_EQ(b->zoomX, 1.0) << c.what;
  }
  // A refusal leaves the later settings of the call unapplied.
  ScreenConfig later = with(v, [&](ScreenConfig &s) { s.direction = 6, s.wrapX = 1; });
  EXPECT_NE(mainMoveResizeHead(nullptr, b, kPlacementBits | 0x2000000, &later), nullptr);
  EXPECT_EQ(b->wrapX, 0);
}

// A refusal late in the call undoes what the call applied before it: the name, the direction
// and the placement against the reference stay as they were.
TEST_F(HeadGeometry, RefusedChangeLeavesTheHeadAsItWas) {
  struct Case {
    const char *what;
    uint32_t mask;
    ScreenConfig values;
  };
  ScreenConfig renamedEastOfA = placement(kKorvanDirectionEast, a->clientRoot, 10, 0);
  static char renamed[] = "Renamed";
  renamedEastOfA.name = renamed;
  ScreenConfig badZoom = renamedEastOfA;
  badZoom.zoomX = -1, badZoom.zoomY = 1;
  ScreenConfig badReference = renamedEastOfA;
  badReference.referenceRoot = 0x777;
  ScreenConfig itself = renamedEastOfA;
  itself.referenceRoot = b->clientRoot;
  const Case cases[] = {
      {"zoom refused after the placement", kPlacementBits | 0x1 | 0x10000000, badZoom},
      {"bad reference after the name and direction", kPlacementBits | 0x1, badReference},
      {"cyclic reference", kPlacementBits | 0x1, itself},
  };
  for (const Case &c : cases) {
    TearDown();
    SetUp();
    Rect before = b->rect;
    uint32_t direction = b->direction;
    EXPECT_NE(mainMoveResizeHead(nullptr, b, c.mask, &c.values), nullptr) << c.what;
    EXPECT_STREQ(b->name, "B") << c.what;
    EXPECT_EQ(b->direction, direction) << c.what;
    EXPECT_EQ(b->reference, nullptr) << c.what;
    EXPECT_EQ(b->rect.x, before.x) << c.what;
    EXPECT_EQ(b->zoomX, 1.0) << c.what;
  }
  // The same change without the bad part is applied whole.
  EXPECT_EQ(mainMoveResizeHead(nullptr, b, kPlacementBits | 0x1, &renamedEastOfA), nullptr);
  EXPECT_STREQ(b->name, "Renamed");
  EXPECT_EQ(b->reference, a);
}

TEST_F(HeadGeometry, ReferenceZeroClearsTheDirection) {
  ScreenConfig values = placement(kKorvanDirectionEast, a->clientRoot, 0, 0);
  ASSERT_EQ(mainMoveResizeHead(nullptr, b, kPlacementBits, &values), nullptr);
  ASSERT_EQ(b->direction, kKorvanDirectionEast);
  values.referenceRoot = 0;
  ASSERT_EQ(mainMoveResizeHead(nullptr, b, kPlacementBits, &values), nullptr);
  EXPECT_EQ(b->direction, 0u);
  EXPECT_EQ(b->reference, nullptr);
}

TEST_F(HeadGeometry, PhysicalPartOfTheRealScreen) {
  struct Case {
    const char *what;
    uint32_t mask;
    int32_t x, width, border;
    int32_t wantX;
    uint32_t wantWidth;
  };
  const Case cases[] = {
      {"x 100, width 0 (all)", 0x200 | 0x800, 100, 0, 0, 100, 540},
      {"x 100, width -40", 0x200 | 0x800, 100, -40, 0, 100, 500},
      {"x 100, width 300", 0x200 | 0x800, 100, 300, 0, 100, 300},
      {"x 600, width 300 cut", 0x200 | 0x800, 600, 300, 0, 600, 40},
      {"x beyond the screen", 0x200, 5000, 0, 0, 639, 1},  // one pixel stays on the screen
      {"x negative", 0x200, -7, 0, 0, 0, 640},
      {"width only", 0x800, 0, 200, 0, 0, 200},
      {"width -1000 stays 1", 0x800, 0, -1000, 0, 0, 1},
      {"border 5, x 0", 0x200 | 0x800 | 0x2000, 0, 0, 5, 0, 630},
      {"border 5, x beyond", 0x200 | 0x800 | 0x2000, 9000, 0, 5, 639, 1},
  };
  for (const Case &c : cases) {
    TearDown();
    SetUp();
    ScreenConfig values{};
    values.physicalX = c.x;
    values.physicalWidth = c.width;
    values.borderWidth = c.border;
    ASSERT_EQ(mainMoveResizeHead(nullptr, b, c.mask, &values), nullptr) << c.what;
    EXPECT_EQ(b->logical.x, c.wantX) << c.what;
    EXPECT_EQ(b->logical.width, c.wantWidth) << c.what;
    EXPECT_EQ(b->rect.width, c.wantWidth) << c.what;
    EXPECT_EQ(b->logical.height, 480u) << c.what;
  }
  // Border given without x: x keeps at least the border.
  b->border = 10;
  ScreenConfig values{};
  values.physicalX = 2;
  ASSERT_EQ(mainMoveResizeHead(nullptr, b, 0x200, &values), nullptr);
  EXPECT_EQ(b->logical.x, 10);
}

TEST_F(HeadGeometry, TagsZoomWrapAndFollowing) {
  // A is the first head of the first meta screen and its primary head.
  EXPECT_EQ(mainHeadTags(a), 0x1u | 0x8u | 0x2u);
  EXPECT_EQ(mainHeadTags(b), 0u);
  uint32_t culling = xproxyCullingHeadCount;
  ScreenConfig values{};
  values.tags = kScreenTagGlx | kScreenTagOptimizedDraw | kScreenTagColor;
  ASSERT_STREQ(mainMoveResizeHead(nullptr, b, 0x80000, &values), nullptr);
  EXPECT_EQ(mainHeadTags(b), 0x40u | 0x20u | 0x2u);
  EXPECT_EQ(screen->primaryHead, b);
  EXPECT_EQ(screen->glxHead, b);
  EXPECT_EQ(xproxyCullingHeadCount, culling + 1);
  values.tags = kScreenTagGlx;  // optimizedDraw off again
  ASSERT_EQ(mainMoveResizeHead(nullptr, b, 0x80000, &values), nullptr);
  EXPECT_EQ(xproxyCullingHeadCount, culling);
  EXPECT_EQ(b->optimizedDraw, 0);
  // "color" needs a real display.
  a->display = nullptr;
  values.tags = kScreenTagColor;
  screen->primaryHead = b;
  EXPECT_STREQ(mainMoveResizeHead(nullptr, a, 0x80000, &values), "Can't change tag 'color' on A: no X-server");
  a->display = kFakeDisplay;

  values = ScreenConfig{};
  values.zoomX = 2.0;
  values.zoomY = 1.5;
  values.wrapX = 1;
  values.followPointerX = 20;
  values.followPointer = 0x8 | kFollowPointerJump;
  ASSERT_EQ(mainMoveResizeHead(nullptr, b, 0x10000000 | 0x2000000 | 0x40 | 0x100, &values), nullptr);
  EXPECT_EQ(b->zoomX, 2.0);
  EXPECT_EQ(b->zoomY, 1.5);
  EXPECT_EQ(b->wrapX, 1);
  EXPECT_EQ(b->followPointerX, 20);
  EXPECT_EQ(b->followPointerModifiers, 0x8);
  EXPECT_EQ(b->followPointerJump, 1);
  EXPECT_TRUE(logged("B changed by no client (640x480, mask 0x12000140) ...")) ;
}

TEST_F(HeadGeometry, EmptyKeyboardMapReplacesTheDisplaysFile) {
  display.keyboardMapFile = strdup("old.map");
  ScreenConfig values{};
  values.keyboardMap = nullptr;  // no file: the display's file becomes empty, no tool runs
  ASSERT_EQ(mainMoveResizeHead(nullptr, b, 0x100000, &values), nullptr);
  ASSERT_NE(display.keyboardMapFile, nullptr);
  EXPECT_STREQ(display.keyboardMapFile, "");
  EXPECT_FALSE(loggedStart("Setting keyboard mapping"));
  free(display.keyboardMapFile);
  display.keyboardMapFile = nullptr;
}

// A map named by a path or climbing out of the configuration directory is refused: the head
// and the display's file stay as they were, and no tool runs.
TEST_F(HeadGeometry, KeyboardMapMustBeAPlainName) {
  display.keyboardMapFile = strdup("old.map");
  for (const char *file : {"/etc/passwd", "../x.map", "sub/x.map", "..", "..x"}) {
    SCOPED_TRACE(file);
    ScreenConfig values{};
    values.keyboardMap = file;
    char renamed[] = "renamed";
    values.name = renamed;
    const char *error = mainMoveResizeHead(nullptr, b, 0x100000 | 0x1, &values);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error).find("Invalid keyboard map"), std::string::npos);
    EXPECT_STREQ(display.keyboardMapFile, "old.map");
    EXPECT_STRNE(b->name, "renamed");
  }
  EXPECT_FALSE(loggedStart("Setting keyboard mapping"));
  free(display.keyboardMapFile);
  display.keyboardMapFile = nullptr;
}

TEST_F(HeadGeometry, ConversionsAndHeadAt) {
  b->rect = Rect{1024, 0, 640, 480};
  b->visible = Rect{1024, 0, 600, 480};
  b->logical = Rect{5, 7, 640, 480};
  int32_t x = 1030, y = 10;
  mainRootToHeadXY(&x, &y, b);
  EXPECT_EQ(x, 11);
  EXPECT_EQ(y, 17);
  xproxyHeadToRootXY(&x, &y, b);
  EXPECT_EQ(x, 1030);
  EXPECT_EQ(y, 10);
  x = INT32_MIN, y = INT32_MAX;
  mainRootToHeadXY(&x, &y, b);  // saturates
  EXPECT_EQ(x, INT32_MIN);
  EXPECT_EQ(y, INT32_MAX);
  EXPECT_EQ(mainHeadAt(screen, 0, 0), a);
  EXPECT_EQ(mainHeadAt(screen, 1023, 767), a);
  EXPECT_EQ(mainHeadAt(screen, 1024, 0), b);
  EXPECT_EQ(mainHeadAt(screen, 1623, 479), b);
  EXPECT_EQ(mainHeadAt(screen, 1624, 0), nullptr);  // beyond the visible width
  EXPECT_EQ(mainHeadAt(screen, -1, 0), nullptr);
  EXPECT_EQ(mainHeadAt(nullptr, 0, 0), nullptr);
}

TEST_F(HeadGeometry, LastServerTime) {
  struct Step {
    uint32_t time, wantStored;
  } steps[] = {
      {0, 0}, {1000, 1000}, {999, 1000}, {0, 1000}, {0x7fffffff, 0x7fffffff},
      {0xfffffff0u, 0xfffffff0u}, {0x10, 0x10},  // wraps past 2^32
      {0x80000011u, 0x10},                       // more than 2^31 ahead counts as older
  };
  for (const Step &s : steps) {
    EXPECT_EQ(mainSetLastTime(s.time), s.time);
    EXPECT_EQ(proxyState.serverTime, s.wantStored) << s.time;
  }
}

}  // namespace
