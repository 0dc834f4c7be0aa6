// Windows beyond the 16-bit positions of the real server, through the tarvo executable: two
// 800x600 screens of one Xvfb joined by anyScreen against one direct 1600x600 Xvfb. The second
// head shows the meta screen from x 800 on, so a window far to the left lies more than 32768
// pixels left of that real screen's origin. Each scene is built through both; the real
// screens side by side must show the wide screen's pixels where its windows are, and GetImage
// of the wide window across the border of the heads must answer as the direct server does.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr int kHeadWidth = 800, kHeight = 600;

// The meta screen's pixels: the direct server's one screen, or the real screens side by side.
struct Pixels {
  int width = 0, height = 0;
  std::vector<unsigned long> values;
  unsigned long at(int x, int y) const { return values[size_t(y) * size_t(width) + size_t(x)]; }
};

Pixels shoot(Display *d) {
  Pixels out;
  for (int s = 0; s < ScreenCount(d); s++) out.width += DisplayWidth(d, s);
  out.height = DisplayHeight(d, 0);
  out.values.assign(size_t(out.width) * size_t(out.height), 0);
  int left = 0;
  for (int s = 0; s < ScreenCount(d); s++) {
    int width = DisplayWidth(d, s);
    XImage *image = XGetImage(d, RootWindow(d, s), 0, 0, unsigned(width), unsigned(out.height), AllPlanes, ZPixmap);
    if (!image) return Pixels{};
    for (int y = 0; y < out.height; y++)
      for (int x = 0; x < width; x++) out.values[size_t(y) * size_t(out.width) + size_t(left + x)] = XGetPixel(image, x, y);
    XDestroyImage(image);
    left += width;
  }
  return out;
}

struct Box {
  int x, y, width, height;
};

// The first pixel in the box where the shots differ, as a text ("" when none).
std::string firstDifference(const Pixels &a, const Pixels &b, Box box) {
  for (int y = box.y; y < box.y + box.height; y++)
    for (int x = box.x; x < box.x + box.width; x++)
      if (a.at(x, y) != b.at(x, y)) {
        std::ostringstream text;
        text << "at " << x << "," << y << ": 0x" << std::hex << a.at(x, y) << " against 0x" << b.at(x, y);
        return text.str();
      }
  return "";
}

// Errors of the scene's display, counted instead of ending the test program.
int errorCount = 0;
int countError(Display *, XErrorEvent *) {
  errorCount++;
  return 0;
}

unsigned long pixelOf(Display *d, unsigned short red, unsigned short green, unsigned short blue) {
  XColor color{};
  color.red = red, color.green = green, color.blue = blue;
  XAllocColor(d, DefaultColormap(d, 0), &color);
  return color.pixel;
}

Window makeWindow(Display *d, Window parent, int x, int y, unsigned width, unsigned height, unsigned long pixel) {
  XSetWindowAttributes a{};
  a.background_pixel = pixel;
  return XCreateWindow(d, parent, x, y, width, height, 0, CopyFromParent, InputOutput, CopyFromParent, CWBackPixel, &a);
}

// The windows of a scene and the boxes of the meta screen where they show.
struct Scene {
  Window wide = 0;       // the window GetImage reads
  int imageX = 32700;    // where GetImage reads it: 100 pixels on each side of the border
  std::vector<Box> shown;
};

// One way to build the scene; the same calls go to the direct server and through tarvo.
struct SceneCase {
  const char *name;
  std::function<Scene(Display *)> build;
};
void PrintTo(const SceneCase &c, std::ostream *out) { *out << c.name; }

// The wide window: 33000 wide from x -32000, so that its last 1000 pixels are on the meta
// screen, 200 of them on the second head; a child inside it at x 32700 straddles the border.
// The child reaches to the wide window's end: the X server, direct or not, leaves unpainted
// the part of a window beyond its 32767th pixel that a child cuts off from the rest.
Window wideWithChild(Display *d, Window parent, int x, int y) {
  Window wide = makeWindow(d, parent, x, y, 33000, 100, pixelOf(d, 0xffff, 0, 0));
  Window child = makeWindow(d, wide, 32700, 10, 300, 50, pixelOf(d, 0, 0, 0xffff));
  XMapWindow(d, child);
  return wide;
}

// Drawing into the wide window on both sides of the border, at its window coordinates 32000
// on (the meta screen's 0 on): on the second head its copy is placed apart, so every request
// reaches it moved. Fills, thin and wide lines (one reaching out beyond 16 bits), points,
// rectangles, arcs, a polygon, text, an image, copies inside the window and from a pixmap, a
// tiled fill with a tile origin, and a cleared strip.
void drawAcross(Display *d, Window w) {
  Window root = DefaultRootWindow(d);
  XGCValues values{};
  values.foreground = pixelOf(d, 0, 0, 0xffff);
  values.graphics_exposures = False;
  GC gc = XCreateGC(d, w, GCForeground | GCGraphicsExposures, &values);
  XFillRectangle(d, w, gc, 32600, 5, 300, 15);
  XFillRectangle(d, w, gc, -32768, 22, 65535, 2);  // from far beyond the copy's start
  XSetForeground(d, gc, pixelOf(d, 0xffff, 0xffff, 0));
  XDrawLine(d, w, gc, 32500, 25, 32767, 45);
  XDrawLine(d, w, gc, -32768, 27, 32767, 27);
  XDrawLine(d, w, gc, 32766, -32768, 32766, 32767);
  XPoint points[] = {{32760, 30}, {32766, 31}, {32767, 32}, {32767, 33}, {-32768, 34}};
  XDrawPoints(d, w, gc, points, 5, CoordModeOrigin);
  // Outlines and arcs stay left of 32768 in the window: the X server itself wraps what such
  // an outline reaches beyond it.
  XDrawRectangle(d, w, gc, 32700, 30, 60, 12);
  XDrawArc(d, w, gc, 32690, 28, 70, 16, 0, 360 * 64);
  XSetLineAttributes(d, gc, 5, LineSolid, CapRound, JoinRound);
  XSetForeground(d, gc, pixelOf(d, 0, 0xffff, 0xffff));
  XDrawLine(d, w, gc, 32650, 50, 32767, 58);
  XPoint polygon[] = {{32700, 50}, {32767, 50}, {32740, 64}};
  XFillPolygon(d, w, gc, polygon, 3, Convex, CoordModeOrigin);
  XFillArc(d, w, gc, 32750, 45, 80, 20, 0, 270 * 64);
  Font font = XLoadFont(d, "fixed");
  XSetFont(d, gc, font);
  XSetForeground(d, gc, pixelOf(d, 0xffff, 0xffff, 0xffff));
  XDrawString(d, w, gc, 32740, 78, "drawn across", 12);
  XSetBackground(d, gc, pixelOf(d, 0x8000, 0, 0x8000));
  XDrawImageString(d, w, gc, 32760, 92, "image", 5);
  // An image of 120 x 8 with a pattern of its own.
  XImage *image = XGetImage(d, root, 0, 0, 120, 8, AllPlanes, ZPixmap);
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 120; x++) XPutPixel(image, x, y, (x * 7 + y * 13) % 2 ? values.foreground : 0x00ff8000);
  XPutImage(d, w, gc, image, 0, 0, 32740, 82, 120, 8);
  XDestroyImage(image);
  // Copies: inside the window on the first head, and from a pixmap across the border.
  XCopyArea(d, w, w, gc, 32600, 5, 100, 10, 32620, 92);
  Pixmap tile = XCreatePixmap(d, root, 80, 8, unsigned(DefaultDepth(d, 0)));
  XSetForeground(d, gc, pixelOf(d, 0xffff, 0x8000, 0));
  XFillRectangle(d, tile, gc, 0, 0, 80, 8);
  XSetForeground(d, gc, pixelOf(d, 0, 0x8000, 0));
  XFillRectangle(d, tile, gc, 0, 0, 3, 5);
  XFillRectangle(d, tile, gc, 40, 2, 30, 3);
  XCopyArea(d, tile, w, gc, 0, 0, 80, 8, 32760, 0);
  // A tiled fill with the tile's origin set.
  XGCValues tiled{};
  tiled.fill_style = FillTiled;
  tiled.tile = tile;
  tiled.ts_x_origin = 3;
  tiled.ts_y_origin = 5;
  GC tileGC = XCreateGC(d, w, GCFillStyle | GCTile | GCTileStipXOrigin | GCTileStipYOrigin, &tiled);
  XFillRectangle(d, w, tileGC, 32740, 66, 120, 10);
  XClearArea(d, w, 32766, 68, 40, 4, False);
  XFreeGC(d, tileGC);
  XFreeGC(d, gc);
  XFreePixmap(d, tile);
  XUnloadFont(d, font);
}

const SceneCase kScenes[] = {
    {"DrawnAcrossTheBorder",
     [](Display *d) {
       Scene s;
       s.wide = makeWindow(d, DefaultRootWindow(d), -32000, 100, 33000, 100, pixelOf(d, 0xffff, 0, 0));
       XMapWindow(d, s.wide);
       XSync(d, False);
       drawAcross(d, s.wide);
       s.shown = {{0, 100, 1000, 100}};
       return s;
     }},
    {"DrawnAtLargePositiveX",
     [](Display *d) {
       // A child at the largest x of its parent reaches back across the border onto the
       // second head; it is drawn into, and so is its parent beside it at x 32767 on.
       Scene s;
       s.wide = makeWindow(d, DefaultRootWindow(d), -32000, 100, 33000, 100, pixelOf(d, 0xffff, 0, 0));
       Window child = makeWindow(d, s.wide, 32767, 20, 400, 40, pixelOf(d, 0, 0x8000, 0));
       XMapWindow(d, child);
       XMapWindow(d, s.wide);
       XSync(d, False);
       XGCValues values{};
       values.foreground = pixelOf(d, 0xffff, 0xffff, 0);
       GC gc = XCreateGC(d, child, GCForeground, &values);
       XFillRectangle(d, child, gc, 20, 5, 40, 10);
       XDrawLine(d, child, gc, 0, 30, 233, 20);
       Font font = XLoadFont(d, "fixed");
       XSetFont(d, gc, font);
       XDrawString(d, child, gc, 10, 36, "back on the second", 18);
       XFillRectangle(d, s.wide, gc, 32767, 70, 200, 10);
       XDrawRectangle(d, s.wide, gc, 32700, 88, 60, 6);
       XFillRectangle(d, s.wide, gc, 32767, 92, 100, 4);
       XFreeGC(d, gc);
       XUnloadFont(d, font);
       s.shown = {{0, 100, 1000, 100}};
       return s;
     }},

    {"CreatedFarLeft",
     [](Display *d) {
       Scene s;
       s.wide = wideWithChild(d, DefaultRootWindow(d), -32000, 100);
       XMapWindow(d, s.wide);
       // Beside it, a window from x 700 that reaches far to the right across the border.
       Window right = makeWindow(d, DefaultRootWindow(d), 700, 250, 40000, 50, pixelOf(d, 0, 0xffff, 0));
       XMapWindow(d, right);
       s.shown = {{0, 100, 1000, 100}, {700, 250, 900, 50}};
       return s;
     }},
    {"MovedFarLeft",
     [](Display *d) {
       Scene s;
       s.wide = wideWithChild(d, DefaultRootWindow(d), 0, 100);
       XMapWindow(d, s.wide);
       XSync(d, False);
       XMoveWindow(d, s.wide, -32000, 100);
       s.shown = {{0, 100, 1000, 100}};
       return s;
     }},
    {"ReparentedFarLeft",
     [](Display *d) {
       Scene s;
       Window holder = makeWindow(d, DefaultRootWindow(d), 0, 400, 20, 20, pixelOf(d, 0xffff, 0xffff, 0));
       s.wide = wideWithChild(d, holder, 0, 0);
       XMapWindow(d, s.wide);
       XMapWindow(d, holder);
       XSync(d, False);
       XReparentWindow(d, s.wide, DefaultRootWindow(d), -32000, 100);
       s.shown = {{0, 100, 1000, 100}, {0, 400, 20, 20}};
       return s;
     }},
    {"MovedBackIntoRange",
     [](Display *d) {
       Scene s;
       s.wide = wideWithChild(d, DefaultRootWindow(d), -32000, 100);
       XMapWindow(d, s.wide);
       XSync(d, False);
       // Back to where every head holds it in range: 33000 wide again from x -31000.
       XMoveWindow(d, s.wide, -31000, 100);
       s.imageX = 31700;
       s.shown = {{0, 100, 1600, 100}};
       return s;
     }},
};

class WideWindows : public ::testing::TestWithParam<SceneCase> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void TearDown() override {
    if (HasFailure()) ADD_FAILURE() << tarvo.log();
    EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  }
  XvfbServer real, direct;
  TarvoProcess tarvo;
};

TEST_P(WideWindows, ShowOnBothHeadsAndReadBackAsOnTheWideScreen) {
  ASSERT_EQ(tarvoStartOnScreens(real, tarvo, 2, std::to_string(kHeadWidth) + "x" + std::to_string(kHeight) + "x24"),
            "");
  XvfbOptions options;
  options.screens = {std::to_string(2 * kHeadWidth) + "x" + std::to_string(kHeight) + "x24"};
  options.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(direct.start(options), "");
  XSetErrorHandler(countError);
  errorCount = 0;

  Display *viaTarvo = XOpenDisplay(tarvo.displayName().c_str());
  Display *wide = XOpenDisplay(direct.displayName().c_str());
  Display *heads = XOpenDisplay(real.displayName().c_str());
  ASSERT_TRUE(viaTarvo && wide && heads);
  ASSERT_EQ(DisplayWidth(viaTarvo, 0), 2 * kHeadWidth);
  Scene expected = GetParam().build(wide);
  Scene scene = GetParam().build(viaTarvo);
  XSync(wide, False);
  XSync(viaTarvo, False);
  EXPECT_EQ(errorCount, 0);

  // The real screens follow tarvo's requests a little later: wait until they agree.
  Pixels want = shoot(wide), got;
  ASSERT_EQ(want.width, 2 * kHeadWidth);
  std::string difference;
  long long deadline = xvfbNowMs() + 5000;
  do {
    got = shoot(heads);
    ASSERT_EQ(got.width, 2 * kHeadWidth);
    difference.clear();
    for (const Box &box : expected.shown)
      if (difference.empty()) difference = firstDifference(got, want, box);
  } while (!difference.empty() && xvfbNowMs() < deadline && usleep(50000) == 0);
  EXPECT_EQ(difference, "") << "the real screens side by side against the wide screen";
  // Points translated into the wide window and out of it answer as on the wide screen.
  struct Translation {
    bool intoWide;
    int x, y;
  } translations[] = {{true, 900, 150}, {true, 300, 120}, {true, 1500, 580}, {false, 32767, 10}, {false, 32000, 50}};
  for (const Translation &t : translations) {
    auto translate = [&](Display *d, Window w) {
      int x = 0, y = 0;
      Window child = 0;
      Window root = DefaultRootWindow(d);
      XTranslateCoordinates(d, t.intoWide ? root : w, t.intoWide ? w : root, t.x, t.y, &x, &y, &child);
      return std::to_string(x) + "," + std::to_string(y) + (child ? " in a child" : "");
    };
    EXPECT_EQ(translate(viaTarvo, scene.wide), translate(wide, expected.wide)) << t.x << "," << t.y;
  }

  // The pointer over the wide window on the second head, where its copy is placed apart:
  // QueryPointer and the motion event give the position in the window as the wide screen does.
  auto pointerIn = [&](Display *d, Window w) {
    XSelectInput(d, w, PointerMotionMask);
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, 900, 185);
    XSync(d, False);
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, 905, 187);
    XSync(d, False);
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned mask = 0;
    XQueryPointer(d, w, &root, &child, &rootX, &rootY, &x, &y, &mask);
    std::string text = "query " + std::to_string(x) + "," + std::to_string(y);
    XEvent event{}, last{};
    long long until = xvfbNowMs() + 2000;
    while (xvfbNowMs() < until && !(last.type == MotionNotify && last.xmotion.x_root == 905)) {
      while (XCheckTypedWindowEvent(d, w, MotionNotify, &event)) last = event;
      if (last.type != MotionNotify || last.xmotion.x_root != 905) usleep(20000);
    }
    if (last.type == MotionNotify)
      text += " motion " + std::to_string(last.xmotion.x) + "," + std::to_string(last.xmotion.y);
    XSelectInput(d, w, 0);
    return text;
  };
  EXPECT_EQ(pointerIn(viaTarvo, scene.wide), pointerIn(wide, expected.wide));

  // Right of the wide window's end neither screen shows its colour.
  unsigned long red = pixelOf(wide, 0xffff, 0, 0);
  if (GetParam().name != std::string("MovedBackIntoRange")) {
    EXPECT_NE(want.at(1100, 150), red);
    EXPECT_NE(got.at(1100, 150), red);
  }

  // GetImage across the border of the heads: 100 pixels on each.
  XImage *fromWide = XGetImage(wide, expected.wide, expected.imageX, 0, 200, 100, AllPlanes, ZPixmap);
  XImage *fromTarvo = XGetImage(viaTarvo, scene.wide, scene.imageX, 0, 200, 100, AllPlanes, ZPixmap);
  ASSERT_NE(fromWide, nullptr);
  ASSERT_NE(fromTarvo, nullptr) << "GetImage through tarvo failed";
  std::string imageDifference;
  for (int y = 0; y < 100 && imageDifference.empty(); y++)
    for (int x = 0; x < 200 && imageDifference.empty(); x++)
      if (XGetPixel(fromWide, x, y) != XGetPixel(fromTarvo, x, y)) {
        std::ostringstream text;
        text << "at " << x << "," << y << ": 0x" << std::hex << XGetPixel(fromTarvo, x, y) << " against 0x"
             << XGetPixel(fromWide, x, y);
        imageDifference = text.str();
      }
  EXPECT_EQ(imageDifference, "");
  XDestroyImage(fromWide);
  XDestroyImage(fromTarvo);
  EXPECT_EQ(errorCount, 0);
  XCloseDisplay(heads);
  XCloseDisplay(wide);
  XCloseDisplay(viaTarvo);
}

INSTANTIATE_TEST_SUITE_P(TwoHeads, WideWindows, ::testing::ValuesIn(kScenes),
                         [](const ::testing::TestParamInfo<SceneCase> &info) { return std::string(info.param.name); });

}  // namespace
