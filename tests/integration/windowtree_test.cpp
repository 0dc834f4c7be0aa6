// The window tree against Xvfb as the oracle: a seeded random run of tree operations goes to
// Xvfb through Xlib and to the proxy's tree over a root of the same size; after every step the
// stacking, positions, map states and visibilities must agree, and the window the tree finds
// at random points must be the deepest mapped InputOutput window Xvfb has there.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "xclient/xutilh.h"  // Xutil.h and shape.h with Xlib's region type renamed
#undef min
#undef max

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fakecore.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "xclient/region.h"
#include "xvfb_fixture.h"

namespace {

constexpr int kWidth = 640, kHeight = 480;

struct Shadow {
  Window x;           // the Xvfb window
  uint32_t id;        // the tree's id
  bool inputOnly;
  int visibility = 3;  // as Xvfb last reported (3: nothing reported yet)
};

class OracleTest : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override {
    XvfbOptions options;
    options.screens = {std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24"};
    options.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(options), "");
    display = XOpenDisplay(xvfb.displayName().c_str());
    ASSERT_NE(display, nullptr);
    xroot = DefaultRootWindow(display);
    core = std::make_unique<FakeCore>();
    core->addScreen(kWidth, kHeight);
    client = &core->addClient();
  }
  void TearDown() override {
    core.reset();
    if (display) XCloseDisplay(display);
  }

  WindowRecord *tree(const Shadow &s) { return static_cast<WindowRecord *>(resourceLookupWindow(s.id)); }
  WindowRecord *tree(Window x) {
    if (x == xroot) return core->root();
    for (Shadow &s : windows)
      if (s.x == x) return tree(s);
    return nullptr;
  }
  Shadow *shadowOf(Window x) {
    for (Shadow &s : windows)
      if (s.x == x) return &s;
    return nullptr;
  }
  // The windows that still exist on both sides (destroyed ones are dropped from the list).
  void forget(Window x) {
    std::vector<Window> gone{x};
    // Xvfb's tree tells what went with it.
    for (size_t i = 0; i < gone.size(); i++) {
      Window r, p, *children = nullptr;
      unsigned n = 0;
      if (XQueryTree(display, gone[i], &r, &p, &children, &n)) {  // before the destruction
        for (unsigned k = 0; k < n; k++) gone.push_back(children[k]);
        if (children) XFree(children);
      }
    }
    XSync(display, False);
    std::erase_if(windows, [&](const Shadow &s) { return std::find(gone.begin(), gone.end(), s.x) != gone.end(); });
  }
  void drainEvents() {
    XSync(display, False);
    while (XPending(display)) {
      XEvent e;
      XNextEvent(display, &e);
      if (e.type != VisibilityNotify) continue;
      if (Shadow *s = shadowOf(e.xvisibility.window)) s->visibility = e.xvisibility.state;
    }
  }

  // The deepest mapped window at a point by Xvfb's answers; 0 when an InputOnly window is on the
  // way (the tree's search ignores those).
  Window xAt(int x, int y) {
    Window at = xroot, child = 0;
    int tx, ty;
    for (;;) {
      if (!XTranslateCoordinates(display, xroot, at, x, y, &tx, &ty, &child) || child == None) return at;
      Shadow *s = shadowOf(child);
      if (!s || s->inputOnly) return 0;
      at = child;
    }
  }

  void compare(int step, std::mt19937 &random) {
    drainEvents();
    // Every window, parents before children.
    std::vector<Window> parents{xroot};
    for (size_t i = 0; i < parents.size(); i++) {
      Window r, p, *children = nullptr;
      unsigned n = 0;
      ASSERT_TRUE(XQueryTree(display, parents[i], &r, &p, &children, &n));
      WindowRecord *parent = tree(parents[i]);
      ASSERT_NE(parent, nullptr);
      // Xlib lists bottom to top.
      std::vector<uint32_t> expected, actual;
      for (unsigned k = 0; k < n; k++) {
        WindowRecord *c = tree(children[k]);
        ASSERT_NE(c, nullptr) << "step " << step;
        expected.push_back(c->id);
        parents.push_back(children[k]);
      }
      if (children) XFree(children);
      for (WindowRecord *c = parent->lastChild; c; c = c->previousSibling) actual.push_back(c->id);
      ASSERT_EQ(actual, expected) << "stacking under 0x" << std::hex << parent->id << " at step " << std::dec << step
                                  << "\n" << recent();
    }
    for (Shadow &s : windows) {
      WindowRecord *w = tree(s);
      ASSERT_NE(w, nullptr);
      XWindowAttributes a;
      ASSERT_TRUE(XGetWindowAttributes(display, s.x, &a));
      SCOPED_TRACE("step " + std::to_string(step) + " window " + hex(s.id) + "\n" + recent());
      ASSERT_EQ(a.x, w->originX - w->borderWidth);
      ASSERT_EQ(a.y, w->originY - w->borderWidth);
      ASSERT_EQ(a.width, w->width);
      ASSERT_EQ(a.height, w->height);
      ASSERT_EQ(a.border_width, w->borderWidth);
      int state = !w->mapped ? IsUnmapped : w->realized ? IsViewable : IsUnviewable;
      ASSERT_EQ(a.map_state, state);
      if (w->viewable && s.visibility != w->visibility) {
        std::string detail = "at " + std::to_string(w->x) + "," + std::to_string(w->y) + " " + std::to_string(w->width) +
                             "x" + std::to_string(w->height) + " b" + std::to_string(w->borderWidth);
        if (w->boundingShape) {
          long n = 0;
          XRectangle *r = regionGetRects(w->boundingShape, &n);
          for (long k = 0; k < n; k++)
            detail += " [" + std::to_string(r[k].x) + "," + std::to_string(r[k].y) + " " + std::to_string(r[k].width) +
                      "x" + std::to_string(r[k].height) + "]";
          free(r);
          int count = 0, ordering = 0;
          XRectangle *xr = XShapeGetRectangles(display, s.x, ShapeBounding, &count, &ordering);
          detail += " xvfb:";
          for (int k = 0; k < count; k++)
            detail += " [" + std::to_string(xr[k].x) + "," + std::to_string(xr[k].y) + " " + std::to_string(xr[k].width) +
                      "x" + std::to_string(xr[k].height) + "]";
          if (xr) XFree(xr);
        }
        long n = 0;
        XRectangle *r = regionGetRects(w->borderClip, &n);
        detail += " borderClip:";
        for (long k = 0; k < n; k++)
          detail += " [" + std::to_string(r[k].x) + "," + std::to_string(r[k].y) + " " + std::to_string(r[k].width) +
                    "x" + std::to_string(r[k].height) + "]";
        free(r);
        FAIL() << "visibility: xvfb " << s.visibility << " tree " << int(w->visibility) << " " << detail;
      }
    }
    for (int k = 0; k < 20; k++) {
      int x = std::uniform_int_distribution<int>(0, kWidth - 1)(random);
      int y = std::uniform_int_distribution<int>(0, kHeight - 1)(random);
      Window expected = xAt(x, y);
      if (!expected) continue;
      ASSERT_EQ(windowAtPoint(core->root(), x, y)->id & 0xffff, tree(expected)->id & 0xffff) << "at " << x << "," << y << " step " << step
                                                                   << "\n" << recent();
    }
  }

  XvfbServer xvfb;
  Display *display = nullptr;
  Window xroot = 0;
  std::unique_ptr<FakeCore> core;
  FakeClient *client = nullptr;
  std::vector<Shadow> windows;
  uint32_t nextId = 1;
  std::vector<std::string> history;  // what each step did, for the failure message
  void note(const std::string &what) { history.push_back(what); }
  std::string recent() const {
    std::string out;
    for (size_t i = history.size() > 60 ? history.size() - 60 : 0; i < history.size(); i++) out += history[i] + "\n";
    return out;
  }
  static std::string hex(uint32_t v) {
    char b[16];
    snprintf(b, sizeof b, "%x", v & 0xffff);
    return b;
  }
};

TEST_P(OracleTest, RandomRunAgreesWithXvfb) {
  std::mt19937 random(GetParam());
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  auto chance = [&](int percent) { return pick(100) < percent; };
  // A random existing InputOutput window or the root.
  auto anyParent = [&]() -> Window {
    std::vector<Window> candidates{xroot, xroot, xroot};
    for (Shadow &s : windows)
      if (!s.inputOnly) candidates.push_back(s.x);
    return candidates[size_t(pick(int(candidates.size())))];
  };
  auto anyWindow = [&]() -> Shadow * { return windows.empty() ? nullptr : &windows[size_t(pick(int(windows.size())))]; };

  constexpr int kSteps = 2000;
  for (int step = 0; step < kSteps; step++) {
    FakeCore::Current current(*client);
    int op = pick(100);
    Shadow *s = anyWindow();
    if (op < 18 || !s) {  // create
      if (windows.size() > 60) continue;
      Window parent = anyParent();
      bool inputOnly = chance(10);
      int x = pick(400) - 50, y = pick(300) - 50, w = 1 + pick(250), h = 1 + pick(200);
      int border = inputOnly || chance(50) ? 0 : pick(6);
      int gravity = pick(11);
      XSetWindowAttributes attributes{};
      attributes.event_mask = VisibilityChangeMask;
      attributes.win_gravity = gravity;
      Window xw = XCreateWindow(display, parent, x, y, unsigned(w), unsigned(h), unsigned(border),
                                inputOnly ? 0 : CopyFromParent, inputOnly ? InputOnly : InputOutput, CopyFromParent,
                                CWEventMask | CWWinGravity, &attributes);
      uint32_t id = client->id(nextId++);
      WindowRecord *tw = windowCreate(id, tree(parent), x, y, uint16_t(w), uint16_t(h), uint16_t(border),
                                      inputOnly ? 2 : 1, 0);
      ASSERT_NE(tw, nullptr);
      tw->windowGravity = uint8_t(gravity);
      windowApplyCreateAttributes(tw, kWindowVisibilityChangeMask);
      windows.push_back({xw, id, inputOnly});
      bool map = chance(70);
      note("create " + hex(id) + " in " + hex(tree(parent)->id) + " at " + std::to_string(x) + "," + std::to_string(y) +
           " " + std::to_string(w) + "x" + std::to_string(h) + " b" + std::to_string(border) + " g" +
           std::to_string(gravity) + (inputOnly ? " inputonly" : "") + (map ? " mapped" : ""));
      if (map) {
        XMapWindow(display, xw);
        windowMap(tw);
      }
    } else if (op < 30) {
      note("map " + hex(s->id));
      XMapWindow(display, s->x);
      windowMap(tree(*s));
    } else if (op < 38) {
      note("unmap " + hex(s->id));
      XUnmapWindow(display, s->x);
      windowUnmap(tree(*s), 0);
    } else if (op < 42) {
      note("mapsubwindows " + hex(s->id));
      XMapSubwindows(display, s->x);
      windowMapSubwindows(tree(*s));
    } else if (op < 45) {
      note("unmapsubwindows " + hex(s->id));
      XUnmapSubwindows(display, s->x);
      windowUnmapSubwindows(tree(*s));
    } else if (op < 72) {  // configure
      XWindowChanges changes{};
      std::vector<uint32_t> values;
      unsigned mask = 0;
      if (chance(40)) mask |= CWX, changes.x = pick(400) - 50;
      if (chance(40)) mask |= CWY, changes.y = pick(300) - 50;
      if (chance(40)) mask |= CWWidth, changes.width = 1 + pick(300);
      if (chance(40)) mask |= CWHeight, changes.height = 1 + pick(250);
      if (!s->inputOnly && chance(20)) mask |= CWBorderWidth, changes.border_width = pick(6);
      if (chance(50)) {
        mask |= CWStackMode;
        changes.stack_mode = pick(5);
        WindowRecord *me = tree(*s);
        if (chance(50) && me->parent && me->parent->firstChild != me->parent->lastChild) {
          // A sibling of the same parent other than the window.
          std::vector<WindowRecord *> siblings;
          for (WindowRecord *c = me->parent->firstChild; c; c = c->nextSibling)
            if (c != me) siblings.push_back(c);
          WindowRecord *sibling = siblings[size_t(pick(int(siblings.size())))];
          for (Shadow &o : windows)
            if (o.id == sibling->id) changes.sibling = o.x;
          mask |= CWSibling;
        }
      }
      if (!mask) continue;
      XConfigureWindow(display, s->x, mask, &changes);
      if (mask & CWX) values.push_back(uint32_t(changes.x));
      if (mask & CWY) values.push_back(uint32_t(changes.y));
      if (mask & CWWidth) values.push_back(uint32_t(changes.width));
      if (mask & CWHeight) values.push_back(uint32_t(changes.height));
      if (mask & CWBorderWidth) values.push_back(uint32_t(changes.border_width));
      if (mask & CWSibling) values.push_back(tree(changes.sibling)->id);
      if (mask & CWStackMode) values.push_back(uint32_t(changes.stack_mode));
      std::string text = "configure " + hex(s->id) + " mask " + std::to_string(mask) + ":";
      for (uint32_t v : values) text += " " + std::to_string(int32_t(v));
      note(text);
      ASSERT_EQ(windowConfigure(tree(*s), mask, values.data(), client->client), 0);
    } else if (op < 78) {
      int direction = pick(2);
      Window parent = anyParent();
      note("circulate " + hex(tree(parent)->id) + " " + std::to_string(direction));
      XCirculateSubwindows(display, parent, direction);
      windowCirculate(tree(parent), direction);
    } else if (op < 86) {  // reparent
      Window parent = anyParent();
      WindowRecord *target = tree(parent), *me = tree(*s);
      bool inside = false;
      for (WindowRecord *a = target; a; a = a->parent) inside |= a == me;
      if (inside) {
        EXPECT_EQ(windowReparent(me, target, 0, 0, client->client), 8);
        continue;
      }
      int x = pick(300), y = pick(200);
      note("reparent " + hex(s->id) + " to " + hex(target->id) + " at " + std::to_string(x) + "," + std::to_string(y));
      XReparentWindow(display, s->x, parent, x, y);
      ASSERT_EQ(windowReparent(me, target, x, y, client->client), 0);
    } else if (op < 92) {  // destroy
      Window x = s->x;
      uint32_t id = s->id;
      note("destroy " + hex(id));
      forget(x);  // (asks Xvfb for the subtree first)
      XDestroyWindow(display, x);
      resourceFree(id, 0);
    } else {  // bounding shape
      if (s->inputOnly) continue;
      WindowRecord *me = tree(*s);
      int n = 1 + pick(3);
      std::vector<XRectangle> rects;
      for (int k = 0; k < n; k++)
        rects.push_back({short(pick(me->width) - 5), short(pick(me->height) - 5),
                         (unsigned short)(1 + pick(me->width)), (unsigned short)(1 + pick(me->height))});
      note("shape " + hex(s->id) + " " + std::to_string(n) + " rectangles");
      XShapeCombineRectangles(display, s->x, ShapeBounding, 0, 0, rects.data(), n, ShapeSet, Unsorted);
      Region *shape = regionFromRects(n, rects.data(), RegionUnsorted);
      ASSERT_NE(shape, nullptr);
      regionDestroy(me->boundingShape);
      me->boundingShape = shape;
      windowSetShape(me);
    }
    compare(step, random);
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, OracleTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
