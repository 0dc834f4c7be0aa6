// Window requests through the tarvo executable: a scene of top-levels and children built with
// every attribute, reparented, restacked by each stack mode, circulated, mapped, unmapped and
// partly destroyed reads back alike (geometry, stacking order, attributes, map state) from the
// X server used directly and through tarvo, on one screen and on two 800x600 screens joined
// into one meta screen against a direct 1600x600 screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "twinrun_fixture.h"

namespace {

// Visits the root and every window below it, each with its QueryTree answer (ok 0: failed),
// a window before its children.
template <typename Visit>
void forEachWindow(Display *d, Window root, Visit visit) {
  std::vector<Window> todo{root};
  while (!todo.empty()) {
    Window w = todo.back();
    todo.pop_back();
    Window r, parent, *children = nullptr;
    unsigned count = 0;
    int ok = XQueryTree(d, w, &r, &parent, &children, &count);
    visit(w, ok, parent, children, count);
    for (unsigned i = 0; ok && i < count; i++) todo.push_back(children[i]);
    if (children) XFree(children);
  }
}

// Builds the scene; the windows in creation order.
std::vector<Window> buildScene(Display *d) {
  Window root = DefaultRootWindow(d);
  int s = DefaultScreen(d);
  std::vector<Window> w;
  XSetWindowAttributes a{};
  a.background_pixel = WhitePixel(d, s);
  a.border_pixel = BlackPixel(d, s);
  a.bit_gravity = StaticGravity;
  a.win_gravity = SouthEastGravity;
  a.backing_store = WhenMapped;
  a.backing_planes = 0xff;
  a.backing_pixel = 1;
  a.override_redirect = False;
  a.save_under = True;
  a.event_mask = ExposureMask | StructureNotifyMask | SubstructureNotifyMask;
  a.do_not_propagate_mask = ButtonPressMask;
  a.colormap = DefaultColormap(d, s);
  unsigned long all = CWBackPixel | CWBorderPixel | CWBitGravity | CWWinGravity | CWBackingStore | CWBackingPlanes |
                      CWBackingPixel | CWOverrideRedirect | CWSaveUnder | CWEventMask | CWDontPropagate | CWColormap;
  auto create = [&](Window parent, int x, int y, unsigned width, unsigned height, unsigned border,
                    unsigned long mask, unsigned cls = InputOutput) {
    Window id = XCreateWindow(d, parent, x, y, width, height, cls == InputOnly ? 0 : border,
                              cls == InputOnly ? 0 : CopyFromParent, cls, CopyFromParent,
                              cls == InputOnly ? mask & (CWWinGravity | CWEventMask | CWDontPropagate | CWOverrideRedirect) : mask,
                              &a);
    w.push_back(id);
    return id;
  };
  // Top-levels: one across the middle of a two-head screen, one on the right half, one
  // InputOnly, one override-redirect with ParentRelative children.
  Window t0 = create(root, 700, 40, 300, 200, 2, all);
  Window t1 = create(root, 100, 300, 250, 150, 1, CWBackPixel | CWEventMask);
  Window t2 = create(root, 50, 50, 20, 20, 0, all, InputOnly);
  a.override_redirect = True;
  a.background_pixmap = ParentRelative;
  Window t3 = create(root, 1200, 100, 120, 90, 3, CWOverrideRedirect | CWBackPixmap | CWBorderPixel);
  // Overlapping children of t0 and t1.
  std::vector<Window> c;
  for (int i = 0; i < 5; i++) c.push_back(create(t0, 10 + 15 * i, 10 + 12 * i, 60, 50, i % 3, all & ~CWColormap));
  Window u0 = create(t1, 5, 5, 40, 40, 1, CWBackPixel);
  Window u1 = create(t1, 20, 20, 40, 40, 0, CWBackPixel);
  Window u2 = create(t3, 0, 0, 30, 30, 0, CWBackPixmap);
  XMapSubwindows(d, t0);
  XMapWindow(d, t0);
  XMapWindow(d, t1);
  XMapRaised(d, t2);
  XMapWindow(d, t3);
  XMapSubwindows(d, t1);
  XMapSubwindows(d, t3);
  (void)u2;
  // Restacking by every stack mode, with and without a sibling.
  XWindowChanges ch{};
  int modes[] = {Above, Below, TopIf, BottomIf, Opposite};
  for (int m : modes) {
    ch.stack_mode = m;
    XConfigureWindow(d, c[2], CWStackMode, &ch);
    Window siblings[] = {c[0], c[3], c[4], c[2], c[0]};
    ch.sibling = siblings[m];
    XConfigureWindow(d, c[1], CWStackMode | CWSibling, &ch);
  }
  XCirculateSubwindowsUp(d, t0);
  XCirculateSubwindowsDown(d, t0);
  XCirculateSubwindows(d, t1, RaiseLowest);
  // Reparenting, moving, resizing and border changes.
  XReparentWindow(d, c[4], t1, 60, 10);
  XReparentWindow(d, u1, root, 400, 420);
  XMapWindow(d, u1);
  ch.x = 820;
  ch.y = 200;
  ch.width = 260;
  ch.height = 120;
  ch.border_width = 4;
  XConfigureWindow(d, t1, CWX | CWY | CWWidth | CWHeight | CWBorderWidth, &ch);
  XResizeWindow(d, t0, 320, 220);  // the children follow their gravity
  XRaiseWindow(d, t1);
  XLowerWindow(d, t3);
  XSetWindowAttributes change{};
  change.bit_gravity = NorthWestGravity;
  change.win_gravity = StaticGravity;
  change.backing_store = Always;
  XChangeWindowAttributes(d, t1, CWBitGravity | CWWinGravity | CWBackingStore, &change);
  // Unmapping and destruction.
  XUnmapWindow(d, c[0]);
  XUnmapSubwindows(d, t3);
  XDestroyWindow(d, c[3]);
  XDestroySubwindows(d, t3);
  (void)u0;
  XSync(d, False);
  return w;
}

// The tree below the root as text, ids as their creation index.
std::string describe(Display *d, const std::vector<Window> &windows) {
  std::map<Window, size_t> index;
  for (size_t i = 0; i < windows.size(); i++) index[windows[i]] = i;
  Window root = DefaultRootWindow(d);
  auto name = [&](Window w) {
    if (w == root) return std::string("root");
    auto it = index.find(w);
    return it == index.end() ? std::string("?") : "w" + std::to_string(it->second);
  };
  std::ostringstream out;
  forEachWindow(d, root, [&](Window w, int ok, Window parent, const Window *children, unsigned count) {
    if (!ok) {
      out << name(w) << " QueryTree failed\n";
      return;
    }
    out << name(w) << " parent " << (w == root ? "none" : name(parent)) << " children";
    for (unsigned i = 0; i < count; i++) out << ' ' << name(children[i]);
    if (w != root) {
      XWindowAttributes at;
      if (XGetWindowAttributes(d, w, &at)) {
        out << " geometry " << at.x << ',' << at.y << ' ' << at.width << 'x' << at.height << '+' << at.border_width
            << " depth " << at.depth << " class " << at.c_class << " bit " << at.bit_gravity << " win "
            << at.win_gravity << " backing " << at.backing_store << " override " << at.override_redirect
            << " map " << at.map_state << " events " << std::hex << at.your_event_mask << '/' << at.all_event_masks
            << '/' << at.do_not_propagate_mask << std::dec << " default-visual "
            << (at.visual == DefaultVisual(d, DefaultScreen(d))) << " default-colormap "
            << (at.colormap == DefaultColormap(d, DefaultScreen(d)));
      }
      Window gr;
      int x, y;
      unsigned width, height, border, depth;
      if (XGetGeometry(d, w, &gr, &x, &y, &width, &height, &border, &depth))
        out << " same-root " << (gr == root) << " at " << x << ',' << y;
    }
    out << '\n';
  });
  return out.str();
}

// The absolute x of every window of the size (border included) on each screen of a display.
std::vector<std::vector<int>> copiesOfSize(Display *d, unsigned width, unsigned height, unsigned border) {
  std::vector<std::vector<int>> out;
  for (int screen = 0; screen < ScreenCount(d); screen++) {
    out.emplace_back();
    Window root = RootWindow(d, screen);
    forEachWindow(d, root, [&](Window w, int, Window, const Window *, unsigned) {
      XWindowAttributes at;
      if (w == root || !XGetWindowAttributes(d, w, &at)) return;
      if (unsigned(at.width) != width || unsigned(at.height) != height || unsigned(at.border_width) != border) return;
      int x, y;
      Window child;
      XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &child);
      out.back().push_back(x);
    });
  }
  return out;
}

struct Layout {
  const char *name;
  std::vector<std::string> screens, directScreens;
};

class WindowsThroughTarvo : public ::testing::TestWithParam<Layout> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
};

TEST_P(WindowsThroughTarvo, TheSceneReadsBackAsDirect) {
  TwinRun twin;
  TwinRunOptions options;
  options.screens = GetParam().screens;
  options.directScreens = GetParam().directScreens;
  ASSERT_EQ(twin.start(options), "");
  Display *direct = XOpenDisplay(twin.directDisplay().c_str());
  Display *proxied = XOpenDisplay(twin.proxyDisplay().c_str());
  ASSERT_NE(direct, nullptr);
  ASSERT_NE(proxied, nullptr);
  EXPECT_EQ(DisplayWidth(proxied, 0), DisplayWidth(direct, 0));
  std::string a = describe(direct, buildScene(direct));
  std::string b = describe(proxied, buildScene(proxied));
  EXPECT_NE(a.find("w0 parent root"), std::string::npos) << a;
  EXPECT_NE(a.find("w8 parent w1 children"), std::string::npos) << a;  // reparented under t1
  EXPECT_NE(a.find("map 2"), std::string::npos) << a;                    // viewable windows
  EXPECT_GE(std::count(a.begin(), a.end(), '\n'), 10) << a;
  EXPECT_EQ(b, a);
  if (getenv("TARVO_SHOW_SCENE")) printf("%s", a.c_str());
  // The real display holds one copy per head, placed by the head's offset in the meta screen.
  XSync(proxied, False);
  Display *behind = XOpenDisplay(twin.behindDisplay().c_str());
  ASSERT_NE(behind, nullptr);
  auto copies = copiesOfSize(behind, 320, 220, 2);
  ASSERT_EQ(copies.size(), GetParam().screens.size());
  for (auto &screen : copies) EXPECT_EQ(screen.size(), 1u);
  if (copies.size() == 2 && copies[0].size() == 1 && copies[1].size() == 1) {
    EXPECT_EQ(copies[0][0] - copies[1][0], 800);
  }
  XCloseDisplay(behind);
  // xwininfo sees the same tree, ids aside.
  auto strip = [](std::string text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      for (size_t at; (at = line.find("0x")) != std::string::npos;) {
        size_t end = at + 2;
        while (end < line.size() && isxdigit(static_cast<unsigned char>(line[end]))) end++;
        line.replace(at, end - at, "ID");
      }
      if (line.find("xwininfo: Window id") == std::string::npos) out += line + "\n";
    }
    return out;
  };
  auto [treeDirect, treeProxied] = twin.run("xwininfo -root -tree -display %D");
  EXPECT_EQ(strip(treeProxied), strip(treeDirect));
  XCloseDisplay(proxied);
  XCloseDisplay(direct);
}

// A window manager reparents a client's window into its frame, adds it to its save set and
// exits: the window survives, mapped, under the root; afterwards a new top-level maps at once.
std::string saveSetScene(const std::string &display) {
  Display *client = XOpenDisplay(display.c_str());
  Display *manager = XOpenDisplay(display.c_str());
  if (!client || !manager) return "no connection";
  Window root = DefaultRootWindow(client);
  Window window = XCreateSimpleWindow(client, root, 30, 40, 200, 100, 1, 0, 0);
  XSync(client, False);
  XSelectInput(manager, DefaultRootWindow(manager), SubstructureRedirectMask);
  Window frame = XCreateSimpleWindow(manager, DefaultRootWindow(manager), 20, 20, 220, 130, 0, 0, 0);
  XAddToSaveSet(manager, window);
  XReparentWindow(manager, window, frame, 10, 20);
  XMapWindow(manager, window);
  XMapWindow(manager, frame);
  XSync(manager, False);
  XCloseDisplay(manager);
  // The manager's close is done once a later request of the client has been answered.
  XSync(client, False);
  usleep(200000);
  Window later = XCreateSimpleWindow(client, root, 300, 300, 50, 50, 0, 0, 0);
  XMapWindow(client, later);
  XSync(client, False);
  std::ostringstream out;
  for (Window w : {window, later}) {
    XWindowAttributes at;
    Window r, parent, *children = nullptr;
    unsigned count = 0;
    if (!XGetWindowAttributes(client, w, &at) || !XQueryTree(client, w, &r, &parent, &children, &count)) {
      out << "gone\n";
      continue;
    }
    if (children) XFree(children);
    out << (parent == root ? "under the root" : "elsewhere") << " map " << at.map_state << " at " << at.x << ','
        << at.y << ' ' << at.width << 'x' << at.height << '\n';
  }
  XCloseDisplay(client);
  return out.str();
}

TEST(WindowSaveSetThroughTarvo, TheManagedWindowSurvivesItsManager) {
  tarvoBlockSignals();
  TwinRun twin;
  ASSERT_EQ(twin.start(), "");
  std::string direct = saveSetScene(twin.directDisplay());
  EXPECT_EQ(direct, "under the root map 2 at 30,40 200x100\nunder the root map 2 at 300,300 50x50\n");
  EXPECT_EQ(saveSetScene(twin.proxyDisplay()), direct);
}

INSTANTIATE_TEST_SUITE_P(Layouts, WindowsThroughTarvo,
                         ::testing::Values(Layout{"OneScreen", {"1024x768x24"}, {}},
                                           Layout{"TwoScreensJoined", {"800x600x24", "800x600x24"}, {"1600x600x24"}}),
                         [](const ::testing::TestParamInfo<Layout> &info) { return std::string(info.param.name); });

}  // namespace
