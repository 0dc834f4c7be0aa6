// RENDER drawing through the tarvo executable: twin runs of one 1600x600 Xvfb used directly
// against two 800x600 heads behind tarvo (and of one screen against one): a raw-protocol client
// of either byte order draws with every kind of source, mask and primitive into a window across
// the heads' border and into a pixmap; xlogo draws with RENDER as directly; the two heads of one
// Xvfb hold one copy of a glyph set; RENDER cursors show the direct images; x11perf's RENDER
// tests run without an error on a second meta screen.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrender.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xvfb_fixture.h"

namespace {

std::string script(const std::string &name) { return std::string(TARVO_SOURCE_DIR) + "/tests/integration/scripts/" + name; }

class RenderTwin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens = {"800x600x24", "800x600x24"};
    options.directScreens = {"1600x600x24"};
    ASSERT_EQ(twin.start(options), "");
  }
  // tarvo ends cleanly (a sanitizer's report would end it otherwise).
  void TearDown() override { EXPECT_EQ(twin.stop(), 0); }
  TwinRun twin;
};

// The pictures and glyph sets that the Xvfb behind tarvo holds, counted by X-Resource.
std::string heldOnServer(TwinRun &twin) {
  return twinRunCommand(
      "timeout 20 /usr/bin/python3 -c \"from Xlib import display\nd = display.Display('" + twin.behindDisplay() +
      "')\nn = {}\nfor c in d.res_query_clients().clients:\n"
      "  for t in d.res_query_client_resources(c.resource_base).types:\n"
      "    a = d.get_atom_name(t.resource_type)\n"
      "    if a in ('PICTURE', 'GLYPHSET'): n[a] = n.get(a, 0) + t.count\n"
      "print(sorted(n.items()))\" 2>&1");
}

// Every GetImage through tarvo gives the direct bytes, for a client of either byte order; both
// orders draw the same pixels. Once the clients have left, the real server holds the pictures
// and glyph sets of before.
TEST_F(RenderTwin, DrawingAsDirect) {
  std::string held = heldOnServer(twin);
  ASSERT_EQ(held.find("Error"), std::string::npos) << held;
  std::string first;
  for (const char *order : {"l", "B"}) {
    SCOPED_TRACE(order);
    auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + script("render_draw.py") + " %D " + order);
    ASSERT_NE(direct.find("done 0"), std::string::npos) << direct;
    EXPECT_EQ(proxied, direct);
    EXPECT_EQ(proxied.find("X Error"), std::string::npos) << proxied;
    if (first.empty()) first = proxied;
    EXPECT_EQ(proxied, first);
  }
  std::string after = heldOnServer(twin);
  for (int i = 0; i < 50 && after != held; i++) {
    usleep(20000);
    after = heldOnServer(twin);
  }
  EXPECT_EQ(after, held);
}

// The count of one kind in heldOnServer's answer (0 when it lists none).
int heldCount(const std::string &held, const std::string &kind) {
  size_t at = held.find("('" + kind + "', ");
  return at == std::string::npos ? 0 : atoi(held.c_str() + at + kind.size() + 5);
}

// A glyph set of a client of either byte order, with two A8 glyphs of one image, is one glyph
// set on the Xvfb behind the two heads, and it goes when the client leaves (two copies made the
// server free the shared image twice and crash).
TEST_F(RenderTwin, GlyphSetOnceForTheServer) {
  std::string held = heldOnServer(twin);
  ASSERT_EQ(held.find("Error"), std::string::npos) << held;
  int before = heldCount(held, "GLYPHSET");
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(atoi(twin.proxyDisplay().c_str() + 1), order), "");
    bool big = c.big();
    uint8_t render = c.queryExtension("RENDER");
    ASSERT_NE(render, 0);
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(render).b(0).s(0).i(0).i(11).done(), answer), "");
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(render).b(1).s(0).done(), answer), "");  // QueryPictFormats
    ASSERT_EQ(answer[0], 1);
    uint32_t a8 = 0;
    for (uint32_t k = 0; k < rawGet32(answer, 8, big) && 32 + 28 * (k + 1) <= answer.size() && !a8; k++) {
      size_t at = 32 + 28 * k;
      if (answer[at + 4] == 1 && answer[at + 5] == 8 && rawGet16(answer, at + 22, big) == 0xff) a8 = rawGet32(answer, at, big);
    }
    ASSERT_NE(a8, 0u);
    uint32_t set = c.idBase() | 1;
    ASSERT_EQ(c.send(RawRequest(big).b(render).b(17).s(0).i(set).i(a8).done()), "");  // CreateGlyphSet
    RawRequest add(big);  // AddGlyphs: glyphs 1 and 2, 4x4, one image
    add.b(render).b(20).s(0).i(set).i(2).i(1).i(2);
    for (int k = 0; k < 2; k++) add.s(4).s(4).s(0).s(0).s(4).s(0);
    for (int k = 0; k < 2; k++)
      for (int byte = 0; byte < 16; byte++) add.b(byte * 17);
    ASSERT_EQ(c.send(add.done()), "");
    ASSERT_EQ(c.roundTrip(RawRequest(big).b(43).b(0).s(1).done(), answer), "");  // GetInputFocus
    EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]);
    EXPECT_EQ(heldCount(heldOnServer(twin), "GLYPHSET"), before + 1) << heldOnServer(twin);
    c.close();
    std::string after = heldOnServer(twin);
    for (int i = 0; i < 50 && heldCount(after, "GLYPHSET") != before; i++) {
      usleep(20000);
      after = heldOnServer(twin);
    }
    EXPECT_EQ(heldCount(after, "GLYPHSET"), before) << after;
  }
}

// xlogo -render across the border: the window's pixels (xwd, header and colours aside) as
// directly.
TEST_F(RenderTwin, XlogoRenderAsDirect) {
  const std::string pixels =
      "sh -c 'timeout 20 xlogo -display %D -render -geometry 200x200+700+100 >/dev/null 2>&1 & sleep 2; "
      "timeout 10 xwd -display %D -name xlogo -silent | /usr/bin/python3 -c \"import sys, struct, hashlib\n"
      "d = sys.stdin.buffer.read()\nh = struct.unpack(\\\">25I\\\", d[:100])\n"
      "print(h[4], h[5], h[3], hashlib.sha1(d[h[0] + 12 * h[19]:]).hexdigest())\"'";
  auto [direct, proxied] = twin.run(pixels);
  ASSERT_NE(direct.find("202 202 24 "), std::string::npos) << direct;  // with its border
  EXPECT_EQ(proxied, direct);
}

// One screen against one: the same drawing as directly.
TEST(RenderOneScreen, DrawingAsDirect) {
  tarvoBlockSignals();
  TwinRun twin;
  ASSERT_EQ(twin.start(), "");
  for (const char *order : {"l", "B"}) {
    SCOPED_TRACE(order);
    auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + script("render_draw.py") + " %D " + order);
    ASSERT_NE(direct.find("done 0"), std::string::npos) << direct;
    EXPECT_EQ(proxied, direct);
  }
  EXPECT_EQ(twin.stop(), 0);
}

// x11perf's anti-aliased text, ARGB text, window and pixmap composites and trapezoids on the
// second of two meta screens, whose formats and glyph sets live on another head than the first
// screen's (each run takes half a minute).
TEST(RenderTwoMetaScreens, X11perfOnTheSecondWithoutErrors) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  XvfbOptions x;
  x.screens = {"640x480x24", "640x480x24"};
  x.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(x), "");
  TarvoProcess tarvo;
  TarvoOptions options;
  options.arguments = {"metaScreen", "a", "screen", "%D.0", "metaScreen", "b", "screen", "%D.1"};
  ASSERT_EQ(tarvo.start(xvfb.displayName(), options), "");
  std::string out = twinRunCommand("timeout 120 x11perf -display " + tarvo.displayName() +
                                   ".1 -repeat 1 -time 1 -aa10text -rgb24text -compwinwin10 -comppixwin10 -aatrap10"
                                   " -addaatrapezoid10 2>&1; echo status $?");
  EXPECT_NE(out.find("status 0"), std::string::npos) << out;
  EXPECT_EQ(out.find("X Error"), std::string::npos) << out;
  for (const char *test : {"aa trap", "pre-added trapezoid", "aa line", "rgb line", "from window to window",
                           "from pixmap to window"})
    EXPECT_NE(out.find(test), std::string::npos) << test;
  EXPECT_EQ(tarvo.stop(), 0);
}

// ----- Cursors -----

int errorsSeen = 0;
int countError(Display *, XErrorEvent *) {
  errorsSeen++;
  return 0;
}

// The cursor showing where the pointer is: size, hot spot and pixels.
struct Shown {
  int width = 0, height = 0, xHot = 0, yHot = 0;
  std::vector<unsigned long> pixels;
  bool operator==(const Shown &o) const {
    return width == o.width && height == o.height && xHot == o.xHot && yHot == o.yHot && pixels == o.pixels;
  }
};
Shown cursorShown(Display *judge) {
  XSync(judge, False);
  Shown out;
  XFixesCursorImage *image = XFixesGetCursorImage(judge);
  if (!image) return out;
  out.width = image->width, out.height = image->height, out.xHot = image->xhot, out.yHot = image->yhot;
  out.pixels.assign(image->pixels, image->pixels + size_t(image->width) * image->height);
  XFree(image);
  return out;
}

// An ARGB picture of 16 x 16 on a pixmap: a frame of one colour around another.
Picture argbPicture(Display *d, Pixmap *pixmap, unsigned short red, unsigned short blue) {
  Window root = DefaultRootWindow(d);
  *pixmap = XCreatePixmap(d, root, 16, 16, 32);
  Picture picture = XRenderCreatePicture(d, *pixmap, XRenderFindStandardFormat(d, PictStandardARGB32), 0, nullptr);
  XRenderColor outer{red, 0x4000, blue, 0xffff}, inner{0x8000, 0x8000, 0, 0x8000};
  XRenderFillRectangle(d, PictOpSrc, picture, &outer, 0, 0, 16, 16);
  XRenderFillRectangle(d, PictOpSrc, picture, &inner, 4, 4, 6, 8);
  return picture;
}

// The client's display with a mapped override-redirect window across both heads' border
// (600..1000 x 100..300) and two ARGB pictures (red and blue frames), and the judge's display;
// both displays closed when it goes.
struct CursorScene {
  Display *d, *judge;
  Window window = 0;
  Picture a = 0, b = 0;
  CursorScene(const std::string &name, const std::string &judgeName)
      : d(XOpenDisplay(name.c_str())), judge(XOpenDisplay(judgeName.c_str())) {
    if (!d || !judge) return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    window = XCreateWindow(d, DefaultRootWindow(d), 600, 100, 400, 200, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWOverrideRedirect, &attributes);
    XMapWindow(d, window);
    Pixmap first = 0, second = 0;
    a = argbPicture(d, &first, 0xffff, 0);
    b = argbPicture(d, &second, 0, 0xffff);
  }
  ~CursorScene() {
    if (d) XCloseDisplay(d);
    if (judge) XCloseDisplay(judge);
  }
  bool open() const { return d && judge; }
};

// A window of the client under the pointer at x, with the cursor, on the client's display;
// the cursor then judged on the judge's display.
class RenderCursors : public RenderTwin {
 protected:
  // On display `name`: a still cursor, an animated one of two frames, and one from a window
  // picture, each shown over the window at x (on the first head's or the second's side).
  std::vector<Shown> showCursors(const std::string &name, const std::string &judgeName, int x) {
    std::vector<Shown> out;
    errorsSeen = 0;
    XErrorHandler previous = XSetErrorHandler(countError);
    CursorScene scene(name, judgeName);
    if (!scene.open()) {
      XSetErrorHandler(previous);
      return out;
    }
    Display *d = scene.d, *judge = scene.judge;
    Window window = scene.window;
    Picture a = scene.a, b = scene.b;
    Cursor still = XRenderCreateCursor(d, a, 3, 4);
    XAnimCursor frames[2] = {{XRenderCreateCursor(d, a, 1, 1), 100000}, {XRenderCreateCursor(d, b, 1, 1), 100000}};
    Cursor animated = XRenderCreateAnimCursor(d, 2, frames);
    XWindowAttributes wa{};
    XGetWindowAttributes(d, window, &wa);
    Picture onWindow = XRenderCreatePicture(d, window, XRenderFindVisualFormat(d, wa.visual), 0, nullptr);
    Cursor fromWindow = XRenderCreateCursor(d, onWindow, 0, 0);
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, 200);
    for (Cursor c : {still, frames[0].cursor, frames[1].cursor, animated}) {
      XDefineCursor(d, window, c);
      XSync(d, False);
      usleep(200000);
      out.push_back(cursorShown(judge));
    }
    XDefineCursor(d, window, fromWindow);
    XSync(d, False);
    out.push_back(Shown{errorsSeen, 0, 0, 0, {}});
    XSetErrorHandler(previous);
    return out;
  }
  // On display `name`: a pointer grab on a window across both heads holds an animated cursor
  // whose id (and its frames' ids) are then freed; the cursor shown on the first head, then
  // after the pointer moved to the second, then without the grab.
  std::vector<Shown> grabAcrossHeads(const std::string &name, const std::string &judgeName) {
    std::vector<Shown> out;
    CursorScene scene(name, judgeName);
    if (!scene.open()) return out;
    Display *d = scene.d, *judge = scene.judge;
    XAnimCursor frames[2] = {{XRenderCreateCursor(d, scene.a, 1, 1), 100000},
                             {XRenderCreateCursor(d, scene.b, 2, 2), 100000}};
    Cursor animated = XRenderCreateAnimCursor(d, 2, frames);
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, 700, 200);
    XSync(d, False);
    XGrabPointer(d, scene.window, False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None, animated, CurrentTime);
    XFreeCursor(d, animated);
    XFreeCursor(d, frames[0].cursor);
    XFreeCursor(d, frames[1].cursor);
    for (int x : {700, 900}) {
      XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, 200);
      XSync(d, False);
      usleep(200000);
      out.push_back(cursorShown(judge));
    }
    XUngrabPointer(d, CurrentTime);
    XSync(d, False);
    usleep(200000);
    out.push_back(cursorShown(judge));
    return out;
  }
};

// The still cursors show the direct images on either head, the animated one what it shows directly;
// the one from a window picture is made without an error.
TEST_F(RenderCursors, ImagesAsDirect) {
  for (int x : {700, 900}) {
    SCOPED_TRACE(x);
    std::vector<Shown> direct = showCursors(twin.directDisplay(), twin.directDisplay(), x);
    std::vector<Shown> proxied = showCursors(twin.proxyDisplay(), twin.behindDisplay(), x);
    ASSERT_EQ(direct.size(), 5u);
    ASSERT_EQ(proxied.size(), 5u);
    ASSERT_EQ(direct[0].width, 16);
    EXPECT_EQ(direct[0].xHot, 3);
    EXPECT_FALSE(direct[1] == direct[2]);
    for (size_t k = 0; k < 3; k++) EXPECT_TRUE(proxied[k] == direct[k]) << k;
    // XFixes shows an animated cursor as Xvfb made it (its own 1 x 1 image), not a frame.
    EXPECT_TRUE(proxied[3] == direct[3]) << proxied[3].width << "x" << proxied[3].height;
    EXPECT_EQ(direct[4].width, 0);  // no error directly
    EXPECT_EQ(proxied[4].width, 0) << "errors through tarvo";
  }
}

// A pointer grab keeps its animated cursor, whose ids were freed, when the pointer moves to the
// other head: the cursor shown there is the direct one, not the window's.
TEST_F(RenderCursors, FreedAnimatedGrabCursorFollowsThePointerToTheOtherHead) {
  std::vector<Shown> direct = grabAcrossHeads(twin.directDisplay(), twin.directDisplay());
  std::vector<Shown> proxied = grabAcrossHeads(twin.proxyDisplay(), twin.behindDisplay());
  ASSERT_EQ(direct.size(), 3u);
  ASSERT_EQ(proxied.size(), 3u);
  for (size_t k = 0; k < 2; k++)
    EXPECT_TRUE(proxied[k] == direct[k]) << k << ": " << proxied[k].width << "x" << proxied[k].height << " against "
                                         << direct[k].width << "x" << direct[k].height;
  // Without the grab the window's cursor shows, another one.
  EXPECT_FALSE(direct[1] == direct[2]);
  EXPECT_FALSE(proxied[1] == proxied[2]);
}

}  // namespace
