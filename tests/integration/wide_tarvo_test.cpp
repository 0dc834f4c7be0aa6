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

const SceneCase kScenes[] = {
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
