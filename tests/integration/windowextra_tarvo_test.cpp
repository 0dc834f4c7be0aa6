// Window requests through the tarvo executable, beyond the twin scenes: xeyes, xclock and xlogo
// on a meta screen of two heads stay up, map, and draw on the real screens where xwininfo
// through tarvo places them; a meta screen wider than its one head keeps a top-level on the
// shown part by its keepWindowsVisible setting, as GetGeometry and the real screen agree; a
// most-significant-byte-first client's scene of windows reads back as from the X server direct,
// on one screen and on two joined; the real display holds one copy of each window per head,
// where the meta geometry puts it, stacked as the proxy's tree decides, with bit gravity Forget
// under that workaround, and a window of an emulated 8-bit visual reports depth 8.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "apps_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xvfb_fixture.h"

namespace {

// The share (0..1) of the meta screen rectangle's pixels that differ between two shots of the
// real screens, its parts mapped onto the heads side by side (screen 0 left of screen 1).
double changedShare(const std::vector<Shot> &before, const std::vector<Shot> &after, Box box) {
  long changed = 0, total = 0;
  int left = 0;
  for (size_t s = 0; s < before.size() && s < after.size(); s++) {
    const Shot &a = before[s], &b = after[s];
    for (int y = std::max(box.y, 0); y < std::min(box.y + box.height, a.height); y++)
      for (int x = std::max(box.x, left); x < std::min(box.x + box.width, left + a.width); x++) {
        total++;
        if (a.at(x - left, y) != b.at(x - left, y)) changed++;
      }
    left += a.width;
  }
  return total ? double(changed) / double(total) : 0.0;
}

// ----- real applications on two heads -----

struct Application {
  const char *name;
  std::vector<std::string> words;  // after the program name and -display
  Box where;                       // the -geometry, inside size
};
void PrintTo(const Application &app, std::ostream *out) { *out << app.name; }

// An Xvfb and a tarvo that the test starts; at the end tarvo must stop with status 0 (a
// sanitizer build's tarvo ends with a failure status on a leak or a bad access).
template <class Param>
class TarvoCase : public ::testing::TestWithParam<Param> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void TearDown() override {
    if (this->HasFailure()) ADD_FAILURE() << tarvo.log();
    EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  }
  XvfbServer xvfb;
  TarvoProcess tarvo;
};

class ApplicationsThroughTarvo : public TarvoCase<Application> {};

TEST_P(ApplicationsThroughTarvo, StaysUpMapsAndDrawsWhereXwininfoPlacesIt) {
  const Application &app = GetParam();
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 2, "640x480x24"), "");
  Display *real = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(real, nullptr);
  std::vector<Shot> before = screenshot(real);
  ASSERT_EQ(before.size(), 2u);

  Program program;
  std::vector<std::string> words{app.name, "-display", tarvo.displayName()};
  words.insert(words.end(), app.words.begin(), app.words.end());
  const Box &g = app.where;
  words.insert(words.end(), {"-geometry", std::to_string(g.width) + "x" + std::to_string(g.height) + "+" +
                                              std::to_string(g.x) + "+" + std::to_string(g.y)});
  ASSERT_EQ(program.start(words, tarvo.directory() + "/" + app.name + ".out"), "");

  std::string info;
  bool mapped = waitUntil(
      [&] {
        info = twinRunCommand("xwininfo -display " + tarvo.displayName() + " -name " + app.name + " 2>&1");
        return info.find("Map State: IsViewable") != std::string::npos || !program.running();
      },
      10000);
  if (!program.running() && program.output().find("XInputExtension") != std::string::npos)
    GTEST_SKIP() << app.name << " ended for want of the XInputExtension, which tarvo does not serve: "
                 << program.output();
  ASSERT_TRUE(mapped) << info;
  ASSERT_TRUE(program.running()) << "status " << program.status << ": " << program.output();
  ASSERT_NE(info.find("Map State: IsViewable"), std::string::npos) << info;

  Box placed{xwininfoField(info, "Absolute upper-left X:"), xwininfoField(info, "Absolute upper-left Y:"),
             xwininfoField(info, "Width:"), xwininfoField(info, "Height:")};
  EXPECT_EQ(placed.x, g.x) << info;
  EXPECT_EQ(placed.y, g.y) << info;
  EXPECT_EQ(placed.width, g.width) << info;
  EXPECT_EQ(placed.height, g.height) << info;

  // Each head's part of the window shows the application's drawing (a large share of its
  // pixels left the root's pattern); a strip beside the window stays as it was.
  std::vector<Box> parts;
  for (int left : {0, 640}) {
    int x0 = std::max(placed.x, left), x1 = std::min(placed.x + placed.width, left + 640);
    if (x1 > x0) parts.push_back(Box{x0, placed.y, x1 - x0, placed.height});
  }
  ASSERT_FALSE(parts.empty());
  std::vector<Shot> after;
  bool drawn = waitUntil(
      [&] {
        after = screenshot(real);
        for (const Box &part : parts)
          if (changedShare(before, after, part) < 0.2) return false;
        return true;
      },
      10000);
  EXPECT_TRUE(drawn);
  for (const Box &part : parts)
    EXPECT_GE(changedShare(before, after, part), 0.2) << app.name << " part at " << part.x << " of " << part.width;
  Box beside{placed.x + placed.width + 10, placed.y, 30, placed.height};
  EXPECT_EQ(changedShare(before, after, beside), 0.0) << "nothing drawn right of the window";
  Box below{placed.x, placed.y + placed.height + 10, placed.width, 30};
  EXPECT_EQ(changedShare(before, after, below), 0.0) << "nothing drawn below the window";

  usleep(300000);
  EXPECT_TRUE(program.running()) << "status " << program.status << ": " << program.output();
  XCloseDisplay(real);
}

INSTANTIATE_TEST_SUITE_P(
    TwoHeads, ApplicationsThroughTarvo,
    ::testing::Values(Application{"xeyes", {}, Box{50, 50, 150, 100}},
                      // across the border of the heads
                      Application{"xclock", {"-update", "1"}, Box{560, 100, 164, 164}},
                      Application{"xlogo", {}, Box{900, 200, 100, 100}}),
    [](const ::testing::TestParamInfo<Application> &info) { return std::string(info.param.name); });

// ----- keeping windows visible -----

// One 1280x1024 head in a 2560x1024 meta screen with the setting: a 400x300 top-level without
// border mapped at (x, 10); {x by GetGeometry through tarvo, x of its copy on the real screen}.
struct KeepCase {
  const char *what;
  int setting;
  int mappedAt, expected;
};
void PrintTo(const KeepCase &k, std::ostream *out) { *out << k.what; }

class KeepVisibleThroughTarvo : public TarvoCase<KeepCase> {};

// The real-root x of every window 400x300 on the real display's first screen.
std::vector<int> realCopies(Display *real) {
  std::vector<int> out;
  std::vector<Window> pending{DefaultRootWindow(real)};
  while (!pending.empty()) {
    Window w = pending.back();
    pending.pop_back();
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    if (XQueryTree(real, w, &root, &parent, &children, &n)) {
      pending.insert(pending.end(), children, children + n);
      if (children) XFree(children);
    }
    XWindowAttributes at;
    if (w == DefaultRootWindow(real) || !XGetWindowAttributes(real, w, &at)) continue;
    if (at.width != 400 || at.height != 300) continue;
    int x, y;
    Window child;
    XTranslateCoordinates(real, w, DefaultRootWindow(real), 0, 0, &x, &y, &child);
    out.push_back(x);
  }
  return out;
}

TEST_P(KeepVisibleThroughTarvo, ATopLevelMapsOnTheShownPartAsTheSettingSays) {
  const KeepCase &k = GetParam();
  TarvoOptions options;
  options.arguments = {"metaScreen", "m", "width", "2560", "keepWindowsVisible", std::to_string(k.setting),
                       "screen", "%D.0"};
  ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 1, "1280x1024x24", options), "");
  Display *proxied = XOpenDisplay(tarvo.displayName().c_str());
  Display *real = XOpenDisplay(xvfb.displayName().c_str());
  ASSERT_NE(proxied, nullptr);
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(DisplayWidth(proxied, 0), 2560);
  EXPECT_EQ(DisplayHeight(proxied, 0), 1024);
  int s = DefaultScreen(proxied);
  Window w = XCreateSimpleWindow(proxied, DefaultRootWindow(proxied), k.mappedAt, 10, 400, 300, 0,
                                 BlackPixel(proxied, s), WhitePixel(proxied, s));
  XMapWindow(proxied, w);
  XSync(proxied, False);
  Window root;
  int x = -1, y = -1;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  ASSERT_TRUE(XGetGeometry(proxied, w, &root, &x, &y, &width, &height, &border, &depth));
  EXPECT_EQ(x, k.expected) << k.what;
  EXPECT_EQ(y, 10) << k.what;
  EXPECT_EQ(width, 400u) << k.what;
  XWindowAttributes at;
  ASSERT_TRUE(XGetWindowAttributes(proxied, w, &at));
  EXPECT_EQ(at.map_state, IsViewable) << k.what;
  EXPECT_EQ(realCopies(real), std::vector<int>{k.expected}) << k.what << ": the head's copy";
  XCloseDisplay(real);
  XCloseDisplay(proxied);
}

INSTANTIATE_TEST_SUITE_P(
    OneHeadOfTwoWidths, KeepVisibleThroughTarvo,
    ::testing::Values(KeepCase{"100 columns stay on the head", 100, 2000, 1180},
                      KeepCase{"off: nothing moves", 0, 2000, 2000},
                      KeepCase{"a 15-pixel overhang within -20 stays", -20, 895, 895},
                      KeepCase{"far out with -20: into the widened box", -20, 2000, 900}),
    [](const ::testing::TestParamInfo<KeepCase> &info) {
      std::string name = "Setting" + std::to_string(info.param.setting) + "At" + std::to_string(info.param.mappedAt);
      for (char &c : name)
        if (c == '-') c = 'M';
      return name;
    });

// ----- the copies on the real display -----

// One Xvfb of two 800x600 screens joined into a 1600x600 meta screen by a tarvo that also
// offers an emulated 8-bit PseudoColor visual and forgets bit gravities towards the real
// server; the parts of the test run one after the other on it.
class RealCopiesThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TarvoOptions options;
    options.arguments = {"workarounds", "ForgetBitGravity", "screen", "%D.0", "emulateVisuals", "PseudoColor8"};
    ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, 2, "800x600x24", options), "");
    proxied = XOpenDisplay(tarvo.displayName().c_str());
    real = XOpenDisplay(xvfb.displayName().c_str());
    ASSERT_NE(proxied, nullptr);
    ASSERT_NE(real, nullptr);
    ASSERT_EQ(ScreenCount(real), 2);
    ASSERT_EQ(DisplayWidth(proxied, 0), 1600);
  }
  void TearDown() override {
    if (HasFailure()) ADD_FAILURE() << tarvo.log();
    if (proxied) XCloseDisplay(proxied);
    if (real) XCloseDisplay(real);
    if (tarvo.running()) {
      EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
    }
  }
  // A mapped top-level of the proxied display with a background pixel.
  Window topLevel(int x, int y, unsigned width, unsigned height, unsigned long background) {
    XSetWindowAttributes a{};
    a.background_pixel = background;
    Window w = XCreateWindow(proxied, DefaultRootWindow(proxied), x, y, width, height, 0, CopyFromParent,
                             InputOutput, CopyFromParent, CWBackPixel, &a);
    XMapWindow(proxied, w);
    return w;
  }
  // The pixel of a real screen at (x, y).
  unsigned long realPixel(int screen, int x, int y) {
    XImage *image = XGetImage(real, RootWindow(real, screen), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return ~0ul;
    unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
    XDestroyImage(image);
    return pixel;
  }
  // The windows of that size anywhere below a real screen's root.
  std::vector<Window> realCopies(int screen, unsigned width, unsigned height) {
    std::vector<Window> out, pending{RootWindow(real, screen)};
    while (!pending.empty()) {
      Window w = pending.back();
      pending.pop_back();
      Window root, parent, *children = nullptr;
      unsigned n = 0;
      if (XQueryTree(real, w, &root, &parent, &children, &n)) {
        pending.insert(pending.end(), children, children + n);
        if (children) XFree(children);
      }
      XWindowAttributes at;
      if (w != RootWindow(real, screen) && XGetWindowAttributes(real, w, &at) && unsigned(at.width) == width &&
          unsigned(at.height) == height)
        out.push_back(w);
    }
    return out;
  }
  // A window's siblings from bottom to top, itself included.
  static std::vector<Window> stacking(Display *d, Window w) {
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    std::vector<Window> out;
    if (!XQueryTree(d, w, &root, &parent, &children, &n)) return out;
    if (children) XFree(children);
    children = nullptr;
    if (!XQueryTree(d, parent, &root, &parent, &children, &n)) return out;
    out.assign(children, children + n);
    if (children) XFree(children);
    return out;
  }

  void placement();
  void oppositeAndBitGravity();
  void emulatedDepth();

  XvfbServer xvfb;
  TarvoProcess tarvo;
  Display *proxied = nullptr, *real = nullptr;
};

// Windows of distinct background pixels: one across the heads' border shows on both heads, one
// moved by ConfigureWindow from the first head to the second leaves the first.
void RealCopiesThroughTarvo::placement() {
  const unsigned long red = 0xff0000, green = 0x00ff00;
  topLevel(700, 100, 200, 100, red);  // across the heads' border at 800
  Window moved = topLevel(100, 300, 150, 80, green);
  XSync(proxied, False);
  auto shows = [&](int screen, int x, int y, unsigned long pixel) {
    return waitUntil([&] { return realPixel(screen, x, y) == pixel; }, 5000);
  };
  EXPECT_TRUE(shows(0, 750, 150, red)) << "the left part on the first head";
  EXPECT_TRUE(shows(1, 50, 150, red)) << "the right part on the second head";
  EXPECT_NE(realPixel(0, 690, 150), red) << "nothing left of the window";
  EXPECT_NE(realPixel(1, 110, 150), red) << "nothing right of the window";
  EXPECT_TRUE(shows(0, 175, 340, green));
  EXPECT_NE(realPixel(1, 175, 340), green);

  XMoveWindow(proxied, moved, 1000, 300);
  XSync(proxied, False);
  EXPECT_TRUE(shows(1, 275, 340, green)) << "it appears on the second head";
  EXPECT_TRUE(waitUntil([&] { return realPixel(0, 175, 340) != green; }, 5000)) << "and leaves the first";
  EXPECT_NE(realPixel(1, 175, 340), green);
  Window root;
  int x = 0, y = 0;
  unsigned width, height, border, depth;
  ASSERT_TRUE(XGetGeometry(proxied, moved, &root, &x, &y, &width, &height, &border, &depth));
  EXPECT_EQ(x, 1000);
  EXPECT_EQ(y, 300);
  // Each head holds one copy of each window.
  for (int screen : {0, 1}) {
    EXPECT_EQ(realCopies(screen, 200, 100).size(), 1u) << screen;
    EXPECT_EQ(realCopies(screen, 150, 80).size(), 1u) << screen;
  }
}

// Two windows that overlap only where the second head shows them: on the first head their
// copies lie outside what the head shows and overlap nowhere, so an Opposite there would
// change nothing. The proxy's tree decides, and both heads get the outcome. The copies have
// bit gravity Forget; GetWindowAttributes tells the client's.
void RealCopiesThroughTarvo::oppositeAndBitGravity() {
  XSetWindowAttributes a{};
  a.bit_gravity = StaticGravity;
  Window lower = XCreateWindow(proxied, DefaultRootWindow(proxied), 820, 100, 101, 101, 0, CopyFromParent,
                               InputOutput, CopyFromParent, CWBitGravity, &a);
  Window upper = XCreateWindow(proxied, DefaultRootWindow(proxied), 850, 150, 102, 102, 0, CopyFromParent,
                               InputOutput, CopyFromParent, 0, &a);
  XMapWindow(proxied, lower);
  XMapWindow(proxied, upper);
  a.bit_gravity = NorthWestGravity;
  XChangeWindowAttributes(proxied, upper, CWBitGravity, &a);
  XWindowChanges change{};
  change.sibling = upper;
  change.stack_mode = Opposite;
  XConfigureWindow(proxied, lower, CWSibling | CWStackMode, &change);
  XSync(proxied, False);

  std::vector<Window> order = stacking(proxied, lower);
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order.back(), lower) << "the occluded window went on top";
  // GetWindowAttributes tells the client's gravities.
  XWindowAttributes at;
  ASSERT_TRUE(XGetWindowAttributes(proxied, lower, &at));
  EXPECT_EQ(at.bit_gravity, StaticGravity);
  ASSERT_TRUE(XGetWindowAttributes(proxied, upper, &at));
  EXPECT_EQ(at.bit_gravity, NorthWestGravity);

  for (int screen : {0, 1}) {
    SCOPED_TRACE("real screen " + std::to_string(screen));
    std::vector<Window> lowers = realCopies(screen, 101, 101), uppers = realCopies(screen, 102, 102);
    ASSERT_EQ(lowers.size(), 1u);
    ASSERT_EQ(uppers.size(), 1u);
    order = stacking(real, lowers[0]);
    auto place = [&](Window w) { return std::find(order.begin(), order.end(), w) - order.begin(); };
    ASSERT_LT(size_t(place(uppers[0])), order.size()) << "siblings on the real server too";
    EXPECT_GT(place(lowers[0]), place(uppers[0])) << "the copy went above its sibling's copy";
    for (Window copy : {lowers[0], uppers[0]}) {
      XWindowAttributes copyAttributes;
      ASSERT_TRUE(XGetWindowAttributes(real, copy, &copyAttributes));
      EXPECT_EQ(copyAttributes.bit_gravity, ForgetGravity);
    }
  }
}

// A window (and a pixmap) of the emulated 8-bit visual on the 24-bit heads.
void RealCopiesThroughTarvo::emulatedDepth() {
  XVisualInfo info;
  ASSERT_TRUE(XMatchVisualInfo(proxied, DefaultScreen(proxied), 8, PseudoColor, &info));
  Window root = DefaultRootWindow(proxied);
  XSetWindowAttributes a{};
  a.colormap = XCreateColormap(proxied, root, info.visual, AllocNone);
  a.border_pixel = 0;
  a.background_pixel = 1;
  Window w = XCreateWindow(proxied, root, 700, 50, 150, 60, 1, 8, InputOutput, info.visual,
                           CWColormap | CWBorderPixel | CWBackPixel, &a);
  XMapWindow(proxied, w);
  Pixmap pixmap = XCreatePixmap(proxied, w, 10, 10, 8);
  Window gotRoot;
  int x, y;
  unsigned width, height, border, depth = 0;
  ASSERT_TRUE(XGetGeometry(proxied, w, &gotRoot, &x, &y, &width, &height, &border, &depth));
  EXPECT_EQ(depth, 8u);
  EXPECT_EQ(gotRoot, root);
  EXPECT_EQ(x, 700);
  EXPECT_EQ(width, 150u);
  ASSERT_TRUE(XGetGeometry(proxied, pixmap, &gotRoot, &x, &y, &width, &height, &border, &depth));
  EXPECT_EQ(depth, 8u);
  XWindowAttributes at;
  ASSERT_TRUE(XGetWindowAttributes(proxied, w, &at));
  EXPECT_EQ(at.depth, 8);
  EXPECT_EQ(XVisualIDFromVisual(at.visual), info.visualid);
  // The copies on the 24-bit heads are of the heads' depth.
  for (int screen : {0, 1}) {
    std::vector<Window> copies = realCopies(screen, 150, 60);
    ASSERT_EQ(copies.size(), 1u) << screen;
    ASSERT_TRUE(XGetWindowAttributes(real, copies[0], &at));
    EXPECT_EQ(at.depth, 24) << screen;
  }
}

TEST_F(RealCopiesThroughTarvo, EachHeadHoldsACopyWhereTheMetaTreePutsIt) {
  {
    SCOPED_TRACE("placement");
    placement();
  }
  {
    SCOPED_TRACE("Opposite and bit gravity");
    oppositeAndBitGravity();
  }
  {
    SCOPED_TRACE("emulated depth");
    emulatedDepth();
  }
}

// ----- a client of the other byte order -----

// Builds a scene of windows on a most-significant-byte-first raw connection (windows with
// attributes, reparented, restacked, circulated, resized and mapped) and describes what
// GetGeometry, QueryTree and GetWindowAttributes answer for the root and each window, ids as
// names ("w0" ..., "root"), visual and colormap as whether they are the root's.
std::string rawScene(int displayNumber) {
  RawClient c;
  if (std::string e = c.connect(displayNumber, 'B'); !e.empty()) return "connect: " + e;
  const bool big = true;
  const uint32_t root = c.rootWindow(), base = c.idBase();
  std::vector<uint32_t> w;
  for (uint32_t i = 0; i < 7; i++) w.push_back(base + i);
  std::string failure;
  auto send = [&](RawRequest &r) {
    if (std::string e = c.send(r.done()); !e.empty() && failure.empty()) failure = e;
  };
  // CreateWindow with the values in mask order.
  auto create = [&](uint32_t id, uint32_t parent, int x, int y, unsigned width, unsigned height, unsigned border,
                    unsigned cls, uint32_t mask, std::vector<uint32_t> values) {
    RawRequest r(big);
    r.b(1).b(0).s(0).i(id).i(parent).s(unsigned(x)).s(unsigned(y)).s(width).s(height).s(border).s(cls).i(0).i(mask);
    for (uint32_t v : values) r.i(v);
    send(r);
  };
  auto onWindow = [&](unsigned opcode, uint32_t id, unsigned data = 0) {
    RawRequest r(big);
    r.b(opcode).b(data).s(0).i(id);
    send(r);
  };
  auto configure = [&](uint32_t id, unsigned mask, std::vector<uint32_t> values) {
    RawRequest r(big);
    r.b(12).b(0).s(0).i(id).s(mask).s(0);
    for (uint32_t v : values) r.i(v);
    send(r);
  };
  // back pixel, border pixel, bit gravity Static, win gravity SouthEast, backing store
  // WhenMapped, save under, event mask Exposure|StructureNotify, do-not-propagate ButtonPress
  create(w[0], root, 10, 20, 300, 200, 2, 1, 0x2 | 0x8 | 0x10 | 0x20 | 0x40 | 0x400 | 0x800 | 0x1000,
         {0x123456, 0, 10, 9, 1, 1, 0x8000 | 0x20000, 0x4});
  create(w[1], root, 400, 300, 250, 150, 1, 1, 0x2 | 0x200 | 0x800, {0xffffff, 1, 0x80000});
  create(w[2], w[0], 10, 10, 60, 50, 1, 1, 0x2 | 0x20, {0xff0000, 3});
  create(w[3], w[0], 30, 25, 60, 50, 0, 1, 0x2 | 0x20, {0x00ff00, 9});
  create(w[4], w[0], 50, 40, 60, 50, 0, 2, 0x20 | 0x800, {5, 0x4});  // InputOnly
  create(w[5], w[1], 5, 5, 40, 40, 2, 1, 0x2, {0x0000ff});
  create(w[6], w[1], 20, 20, 40, 40, 0, 1, 0x10 | 0x40, {1, 2});
  {  // ChangeWindowAttributes: bit gravity NorthWest, backing store Always, override-redirect
    RawRequest r(big);
    r.b(2).b(0).s(0).i(w[2]).i(0x10 | 0x40 | 0x200).i(1).i(2).i(1);
    send(r);
  }
  {  // ReparentWindow
    RawRequest r(big);
    r.b(7).b(0).s(0).i(w[3]).i(w[1]).s(100).s(60);
    send(r);
    RawRequest t(big);
    t.b(7).b(0).s(0).i(w[6]).i(root).s(600).s(500);
    send(t);
  }
  configure(w[2], 0x1f, {30, 40, 80, 60, 3});     // x, y, width, height, border
  configure(w[4], 0x60, {w[2], 1});               // below its sibling w2
  configure(w[3], 0x40, {0});                     // to the top
  configure(w[5], 0x60, {w[3], 4});               // Opposite
  onWindow(13, w[0], 0);                          // CirculateWindow RaiseLowest
  onWindow(13, w[1], 1);                          // LowerHighest
  configure(w[1], 0x3 | 0x40, {420, 280, 0});     // moved and raised
  configure(w[0], 0xc, {320, 220});               // resized: w3-like children follow gravity
  onWindow(9, w[0]);                              // MapSubwindows
  onWindow(8, w[0]);
  onWindow(8, w[1]);
  onWindow(9, w[1]);
  onWindow(8, w[6]);
  onWindow(10, w[5]);                             // UnmapWindow
  if (!failure.empty()) return "send: " + failure;

  auto name = [&](uint32_t id) {
    if (id == root) return std::string("root");
    if (id == 0) return std::string("none");
    for (size_t i = 0; i < w.size(); i++)
      if (w[i] == id) return "w" + std::to_string(i);
    return std::string("?");
  };
  std::ostringstream out;
  RawBytes answer;
  auto ask = [&](unsigned opcode, uint32_t id) -> bool {
    RawRequest r(big);
    r.b(opcode).b(0).s(0).i(id);
    if (std::string e = c.roundTrip(r.done(), answer); !e.empty()) {
      out << "request " << opcode << ": " << e << '\n';
      return false;
    }
    if (answer[0] != 1) {
      out << "request " << opcode << " of " << name(id) << ": error " << int(answer[1]) << '\n';
      return false;
    }
    return true;
  };
  uint32_t rootVisual = 0, rootColormap = 0;
  if (ask(3, root)) {
    rootVisual = rawGet32(answer, 8, big);
    rootColormap = rawGet32(answer, 28, big);
  }
  std::vector<uint32_t> all{root};
  all.insert(all.end(), w.begin(), w.end());
  for (uint32_t id : all) {
    out << name(id) << ':';
    if (ask(14, id)) {
      out << " depth " << int(answer[1]) << " root " << name(rawGet32(answer, 8, big)) << " at "
          << int16_t(rawGet16(answer, 12, big)) << ',' << int16_t(rawGet16(answer, 14, big)) << ' '
          << rawGet16(answer, 16, big) << 'x' << rawGet16(answer, 18, big) << '+' << rawGet16(answer, 20, big);
    }
    if (ask(15, id)) {
      out << " parent " << name(rawGet32(answer, 12, big)) << " children";
      unsigned count = rawGet16(answer, 16, big);
      for (unsigned i = 0; i < count && 32 + 4 * i + 4 <= answer.size(); i++)
        out << ' ' << name(rawGet32(answer, 32 + 4 * i, big));
    }
    if (id != root && ask(3, id)) {
      out << " backing " << int(answer[1]) << " default-visual " << (rawGet32(answer, 8, big) == rootVisual)
          << " class " << rawGet16(answer, 12, big) << " bit " << int(answer[14]) << " win " << int(answer[15])
          << " planes " << std::hex << rawGet32(answer, 16, big) << " pixel " << rawGet32(answer, 20, big)
          << std::dec << " save-under " << int(answer[24]) << " installed " << int(answer[25]) << " map "
          << int(answer[26]) << " override " << int(answer[27]) << " default-colormap "
          << (rawGet32(answer, 28, big) == rootColormap) << " events " << std::hex << rawGet32(answer, 32, big)
          << '/' << rawGet32(answer, 36, big) << '/' << rawGet16(answer, 40, big) << std::dec;
    }
    out << '\n';
  }
  for (const RawBytes &m : c.events())
    if (m[0] == 0) out << "error " << int(m[1]) << " of request " << int(m[10]) << '\n';
  return out.str();
}

TEST(WindowsOfTheOtherByteOrder, AnMsbFirstClientsSceneReadsBackAsDirect) {
  tarvoBlockSignals();
  TwinRun twin;
  ASSERT_EQ(twin.start(), "");
  std::string direct = rawScene(atoi(twin.directDisplay().c_str() + 1));
  std::string proxied = rawScene(twin.tarvo().displayNumber());
  EXPECT_NE(direct.find("w3: depth 24 root root at 100,60 60x50+0 parent w1"), std::string::npos) << direct;
  EXPECT_NE(direct.find("w6: depth 24 root root at 600,500"), std::string::npos) << direct;
  EXPECT_EQ(direct.find("error"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
  EXPECT_EQ(twin.tarvo().wait(0), -1) << "tarvo still runs";
  EXPECT_EQ(twin.tarvo().output().find("Sanitizer"), std::string::npos) << twin.tarvo().output();
  if (getenv("TARVO_SHOW_SCENE")) printf("%s", direct.c_str());
}

// The same scene on two 800x600 heads joined into one meta screen, against one 1600x600
// screen used directly.
TEST(WindowsOfTheOtherByteOrder, AnMsbFirstClientsSceneOnTwoHeadsReadsBackAsDirect) {
  tarvoBlockSignals();
  TwinRun twin;
  TwinRunOptions options;
  options.screens = {"800x600x24", "800x600x24"};
  options.directScreens = {"1600x600x24"};
  ASSERT_EQ(twin.start(options), "");
  std::string direct = rawScene(atoi(twin.directDisplay().c_str() + 1));
  std::string proxied = rawScene(twin.tarvo().displayNumber());
  EXPECT_NE(direct.find("w6: depth 24 root root at 600,500"), std::string::npos) << direct;
  EXPECT_EQ(direct.find("error"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
  EXPECT_EQ(twin.tarvo().wait(0), -1) << "tarvo still runs";
}

}  // namespace
