// Head changes once the proxy's windows exist (in-process start-up against a two-screen Xvfb):
// a moved head's inner window and a resized head's outer and middle windows follow it, and a change of a head that does not
// hold the pointer puts the pointer back on its meta screen.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <string>

#include "loop_fixture.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/xscreen.h"
#include "startup_fixture.h"

namespace {

struct Geometry {
  int x, y;
  unsigned width, height;
};

Geometry geometryOf(Display *display, Window window) {
  Window root;
  Geometry g{};
  unsigned border = 0, depth = 0;
  XGetGeometry(display, window, &root, &g.x, &g.y, &g.width, &g.height, &border, &depth);
  return g;
}

class HeadWindows : public testing::Test {
 protected:
  void SetUp() override {
    StartupOptions options;
    options.xvfb.screens = {"1024x768x24", "800x600x24"};
    options.statements = {"screen", "s0", "display", "%D.0", "screen", "s1", "display", "%D.1", "eastOf", "s0"};
    ASSERT_EQ(proxy.start(options), "");
    MetaScreen *screen = xscreenFirst();
    ASSERT_NE(screen, nullptr);
    first = screen->heads;
    ASSERT_NE(first, nullptr);
    second = first->next;
    ASSERT_NE(second, nullptr);
    ASSERT_NE(second->outerWindow, 0u);
    // The harness leaves the configured placement to the test, as start-up would apply it.
    for (ScreenConfig *config = configRecord.screens; config; config = config->next) {
      config->referenceRoot = config->reference && config->reference->head ? config->reference->head->clientRoot : 0;
      ASSERT_EQ(mainMoveResizeHead(nullptr, config->head, config->givenMask | 0x3c, config), nullptr);
    }
    ASSERT_EQ(second->rect.x, 1024);
  }
  void TearDown() override { proxy.stop(); }
  StartupProxy proxy;
  Head *first = nullptr, *second = nullptr;
};

TEST_F(HeadWindows, ResizedHeadMovesItsWindows) {
  ScreenConfig values{};
  values.physicalX = 50;
  values.physicalWidth = 400;
  values.physicalY = 20;
  values.physicalHeight = 300;
  ASSERT_EQ(mainMoveResizeHead(nullptr, second, 0x200 | 0x400 | 0x800 | 0x1000, &values), nullptr);
  EXPECT_EQ(second->logical.x, 50);
  EXPECT_EQ(second->logical.width, 400u);
  Display *other = XOpenDisplay(proxy.xvfb().displayName().c_str());
  ASSERT_NE(other, nullptr);
  int border = int(second->border);
  Geometry outer = geometryOf(other, second->outerWindow);
  EXPECT_EQ(outer.x, 50 - border);
  EXPECT_EQ(outer.y, 20 - border);
  EXPECT_EQ(outer.width, 400u + 2 * border);
  EXPECT_EQ(outer.height, 300u + 2 * border);
  // The placement east of the first head moved the inner window to minus the head's origin.
  Geometry inner = geometryOf(other, second->innerWindow);
  EXPECT_EQ(inner.x, -1024);
  EXPECT_EQ(inner.y, 0);
  Geometry middle = geometryOf(other, second->middleWindow);
  EXPECT_EQ(middle.x, border);
  EXPECT_EQ(middle.width, 400u);
  EXPECT_EQ(middle.height, 300u);
  XCloseDisplay(other);
  EXPECT_TRUE(loopLogged("changed by no client"));
}

TEST_F(HeadWindows, ChangeOfAnotherHeadRepositionsThePointer) {
  proxyState.pointerHead = first;
  proxyState.pointerX = 100;
  proxyState.pointerY = 200;
  loopLogLines().clear();
  // Only a change of offsets, places or sizes moves the pointer; a wrap change does not.
  mainLogHeadChange(second, 0, 0x2000000);
  EXPECT_FALSE(loopLogged("Pointer repositioned"));
  mainLogHeadChange(second, 0, 0x4000);
  EXPECT_TRUE(loopLogged("Pointer repositioned to screen 0 +100+200..."));
  EXPECT_EQ(proxyState.pointerHead, first);
  EXPECT_EQ(proxyState.pointerX, 100);
  // The real pointer is where the meta position shows on that head.
  Display *other = XOpenDisplay(proxy.xvfb().displayName().c_str());
  ASSERT_NE(other, nullptr);
  Window root, child;
  int rootX = 0, rootY = 0, x, y;
  unsigned mask;
  XQueryPointer(other, RootWindow(other, first->screen), &root, &child, &rootX, &rootY, &x, &y, &mask);
  EXPECT_EQ(rootX, 100 - first->rect.x + first->logical.x);
  EXPECT_EQ(rootY, 200 - first->rect.y + first->logical.y);
  XCloseDisplay(other);
  // A head that goes away is never where the pointer is put back.
  loopLogLines().clear();
  proxyState.pointerHead = second;
  proxyState.pointerX = 5;  // shown by the first head
  proxyState.pointerY = 10;
  mainLogHeadChange(first, 2, 0);
  EXPECT_TRUE(loopLogged("Pointer repositioned to screen 0 +5+10..."));
  EXPECT_EQ(proxyState.pointerHead, second);
  EXPECT_EQ(proxyState.pointerX, second->rect.x);  // clamped into the second head
}

}  // namespace
