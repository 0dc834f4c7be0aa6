// Drawing, text and image requests through the tarvo executable give the pixels the X server
// gives when used directly: a python3-xlib client draws every request 61 to 77 into a pixmap
// and prints a digest of each GetImage, on one screen and on two screens joined by anyScreen;
// also pixmaps filled from a window across the heads, xwd and xwud, an emulated 8-bit
// PseudoColor visual against an 8-bit server, and a head tagged optimizedDraw.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "twinrun_fixture.h"

namespace {

const char *const kScript = R"PY(
import sys, hashlib
from Xlib import X, display
from Xlib.protocol import request
d = display.Display(sys.argv[1])
s = d.screen()
root = s.root
out = []
def digest(tag, drawable, x, y, w, h, fmt=X.ZPixmap, mask=0xffffffff):
    img = drawable.get_image(x, y, w, h, fmt, mask)
    out.append("%s depth=%d %s" % (tag, img.depth, hashlib.sha256(img.data).hexdigest()[:16]))
W, H = 400, 300
pm = root.create_pixmap(W, H, s.root_depth)
tile = root.create_pixmap(8, 8, s.root_depth)
stip = root.create_pixmap(8, 8, 1)
g1 = stip.create_gc(foreground=1, background=0)
stip.fill_rectangle(g1, 0, 0, 8, 8)
g1.change(foreground=0)
stip.poly_point(g1, X.CoordModeOrigin, [(i, (i * 3) % 8) for i in range(8)])
gc = pm.create_gc(foreground=0x123456, background=0xabcdef)
tile.fill_rectangle(gc, 0, 0, 8, 8)
gc.change(foreground=0xff0000)
tile.fill_rectangle(gc, 2, 2, 4, 4)
gc.change(foreground=0)
pm.fill_rectangle(gc, 0, 0, W, H)
# (OpenFont without python-xlib's sync, which asks GetPointerControl)
class F: pass
font, font2 = F(), F()
for f, name in ((font, "fixed"), (font2, "6x13")):
    f.id = d.display.allocate_resource_id()
    request.OpenFont(display=d.display, fid=f.id, name=name)
colors = [0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff, 0xffffff, 0x808080]
n = 0
for width in (0, 1, 5, 20):
    for cap in (X.CapNotLast, X.CapButt, X.CapRound, X.CapProjecting):
        for join in (X.JoinMiter, X.JoinRound, X.JoinBevel):
            n += 1
            gc.change(foreground=colors[n % 8], line_width=width, cap_style=cap, join_style=join,
                      line_style=X.LineSolid if n % 3 else X.LineOnOffDash)
            bx, by = (n * 23) % (W - 40), (n * 17) % (H - 40)
            pm.poly_line(gc, X.CoordModePrevious if n % 2 else X.CoordModeOrigin,
                         [(bx, by), (bx + 20, by + 5), (bx + 5, by + 25)] if n % 2 == 0 else [(bx, by), (20, 5), (-15, 20)])
gc.change(line_width=3, line_style=X.LineDoubleDash)
gc.set_dashes(0, [4, 2, 1, 2])
pm.poly_segment(gc, [(10, 10, 200, 40), (30, 280, 390, 200)])
pm.poly_rectangle(gc, [(50, 50, 80, 40), (300, 10, 60, 60)])
pm.poly_arc(gc, [(100, 100, 80, 60, 0, 270 * 64), (200, 150, 40, 40, 45 * 64, 180 * 64)])
gc.change(fill_style=X.FillTiled, tile=tile)
pm.fill_poly(gc, X.Convex, X.CoordModeOrigin, [(150, 20), (250, 30), (220, 90)])
pm.poly_fill_rectangle(gc, [(10, 150, 60, 60)])
gc.change(fill_style=X.FillOpaqueStippled, stipple=stip, foreground=0x00ff00)
pm.poly_fill_arc(gc, [(300, 200, 70, 70, 0, 360 * 64)])
gc.change(fill_style=X.FillSolid)
gc.set_clip_rectangles(0, 0, [(0, 0, 200, 300)], X.YXBanded)
pm.poly_fill_rectangle(gc, [(180, 240, 60, 30)])
gc.change(clip_mask=X.NONE, font=font.id, foreground=0xffffff, function=X.GXcopy)
pm.poly_text(gc, 10, 240, [b"abc", font2.id, (3, b"def"), font.id, b"ghi"])
pm.poly_text_16(gc, 10, 260, [(0, [0x78, 0x79, 0x7a]), font2.id, (2, [0x41, 0x42])])
pm.image_text(gc, 200, 260, "Image text")
pm.image_text_16(gc, 200, 280, [0x54, 0x65, 0x78, 0x74])
pm.poly_point(gc, X.CoordModePrevious, [(5, 5), (1, 1), (1, 1)])
pm.copy_area(gc, pm, 0, 0, 50, 50, 340, 240)
bm = root.create_pixmap(64, 32, 1)
bm.fill_rectangle(g1, 0, 0, 64, 32)
g1.change(foreground=1)
bm.poly_fill_rectangle(g1, [(0, 0, 20, 20), (40, 10, 10, 30)])
pm.copy_plane(gc, bm, 0, 0, 64, 32, 320, 100, 1)
# PutImage: Z, XY, Bitmap with left pad 3
zdata = bytes((i * 7) & 0xff for i in range(60 * 40 * 4))
pm.put_image(gc, 20, 20, 60, 40, X.ZPixmap, 24, 0, zdata)
bitmap = bytes((i * 13) & 0xff for i in range(8 * 20))
gc.change(foreground=0x00ffff, background=0x400000)
pm.put_image(gc, 100, 200, 61, 20, X.XYBitmap, 1, 3, bitmap)
pm.put_image(gc, 200, 200, 64, 20, X.XYBitmap, 1, 0, bitmap)
xy = bytes((i * 5) & 0xff for i in range(4 * 10 * 24))
pm.put_image(gc, 250, 50, 32, 10, X.XYPixmap, 24, 0, xy)
root.get_geometry()
digest("z", pm, 0, 0, W, H)
digest("z-mask", pm, 5, 7, 200, 100, X.ZPixmap, 0x00ff0f)
digest("xy", pm, 0, 0, W, H, X.XYPixmap)
digest("xy-mask", pm, 3, 3, 100, 50, X.XYPixmap, 0x800181)
digest("bitmap", bm, 0, 0, 64, 32, X.XYPixmap, 1)
print("\n".join(out))
)PY";

// On the root window across the boundary of two heads: GetImage pieces from both heads.
const char *const kRootScript = R"PY(
import sys, hashlib
from Xlib import X, display
d = display.Display(sys.argv[1])
s = d.screen()
root = s.root
gc = root.create_gc(foreground=0x102030, background=0, line_width=5, subwindow_mode=X.IncludeInferiors)
# The roots' own backgrounds differ: cover the whole screen first.
root.poly_fill_rectangle(gc, [(0, 0, 1600, 600)])
gc.change(foreground=0xff8000)
root.poly_fill_rectangle(gc, [(700, 100, 200, 50)])
root.poly_line(gc, X.CoordModeOrigin, [(650, 200), (950, 260), (780, 300)])
gc.change(foreground=0x00ff80)
root.poly_arc(gc, [(760, 320, 80, 60, 0, 360 * 64)])
data = bytes((i * 11) & 0xff for i in range(100 * 20 * 4))
root.put_image(gc, 750, 400, 100, 20, X.ZPixmap, 24, 0, data)
root.get_geometry()
for (x, y, w, h, f, m) in ((700, 90, 200, 320, X.ZPixmap, 0xffffffff), (790, 100, 20, 10, X.XYPixmap, 0x00ff00),
                           (0, 0, 100, 50, X.ZPixmap, 0xffffffff), (810, 400, 30, 20, X.ZPixmap, 0xff00ff)):
    img = root.get_image(x, y, w, h, f, m)
    print(x, y, w, h, img.depth, len(img.data), hashlib.sha256(img.data).hexdigest()[:16])
)PY";

// A window across the boundary of the two heads (x 600 to 1000 of 1600): drawing, images, a
// ClearArea and a CopyArea from a pixmap answered by one NoExpose.
const char *const kWindowScript = R"PY(
import sys, hashlib
from Xlib import X, display
d = display.Display(sys.argv[1])
s = d.screen()
root = s.root
win = root.create_window(600, 100, 400, 300, 0, s.root_depth, X.InputOutput, X.CopyFromParent,
                         background_pixel=0x203040, override_redirect=1, event_mask=X.ExposureMask)
win.map()
while True:
    e = d.next_event()
    if e.type == X.Expose and e.count == 0:
        break
gc = win.create_gc(foreground=0xffaa00, background=0x000000, line_width=7, join_style=X.JoinMiter,
                   graphics_exposures=1)
win.poly_fill_rectangle(gc, [(150, 20, 100, 40)])
win.poly_line(gc, X.CoordModePrevious, [(20, 80), (360, 30), (-200, 60)])
win.poly_segment(gc, [(190, 150, 210, 290)])
gc.change(line_width=0)
win.poly_arc(gc, [(150, 160, 100, 100, 0, 360 * 64)])
win.fill_poly(gc, X.Complex, X.CoordModeOrigin, [(180, 200), (230, 180), (220, 260), (170, 240)])
win.image_text(gc, 170, 290, "across the heads")
data = bytes((i * 3) & 0xff for i in range(120 * 30 * 4))
win.put_image(gc, 140, 60, 120, 30, X.ZPixmap, 24, 0, data)
win.clear_area(190, 100, 20, 10, 0)
pm = win.create_pixmap(50, 50, s.root_depth)
pm.fill_rectangle(gc, 0, 0, 50, 50)
win.copy_area(gc, pm, 0, 0, 50, 50, 175, 300 - 55)
noexpose = 0
win.get_geometry()
while d.pending_events():
    e = d.next_event()
    if e.type == X.NoExpose:
        noexpose += 1
print("noexpose", noexpose)
for (x, y, w, h, f, m) in ((0, 0, 400, 300, X.ZPixmap, 0xffffffff), (190, 0, 20, 300, X.XYPixmap, 0x0f0f0f),
                           (150, 50, 100, 100, X.ZPixmap, 0x00ffff)):
    img = win.get_image(x, y, w, h, f, m)
    print(x, y, w, h, img.depth, len(img.data), hashlib.sha256(img.data).hexdigest()[:16])
)PY";

// Pixmaps filled from a window across the boundary of two 800-pixel heads (CopyArea and
// CopyPlane), then copied on into another pixmap and drawn over: GetImage of the pixmaps.
const char *const kPixmapScript = R"PY(
import sys, hashlib
from Xlib import X, display
d = display.Display(sys.argv[1])
s = d.screen()
root = s.root
win = root.create_window(600, 100, 400, 300, 0, s.root_depth, X.InputOutput, X.CopyFromParent,
                         background_pixel=0x203040, override_redirect=1, event_mask=X.ExposureMask)
win.map()
while True:
    e = d.next_event()
    if e.type == X.Expose and e.count == 0:
        break
gc = win.create_gc(foreground=0xffaa00, background=0, line_width=9, graphics_exposures=0)
win.poly_fill_rectangle(gc, [(20, 20, 100, 100), (250, 150, 100, 100)])
win.poly_line(gc, X.CoordModeOrigin, [(10, 280), (390, 10)])
pm = win.create_pixmap(400, 300, s.root_depth)
pm.copy_area(gc, win, 0, 0, 400, 300, 0, 0)
pm2 = win.create_pixmap(300, 200, s.root_depth)
gc.change(foreground=0x112233)
pm2.fill_rectangle(gc, 0, 0, 300, 200)
pm2.copy_area(gc, pm, 150, 100, 250, 200, 20, 0)
gc.change(foreground=0x00ff00)
pm.poly_fill_rectangle(gc, [(180, 140, 60, 60)])
bm = win.create_pixmap(400, 300, 1)
g1 = bm.create_gc(foreground=1, background=0, graphics_exposures=0)
bm.copy_plane(g1, win, 0, 0, 400, 300, 0, 0, 0x000200)
for name, drawable, (x, y, w, h, f, m) in (("pm", pm, (0, 0, 400, 300, X.ZPixmap, 0xffffffff)),
                                           ("pm", pm, (150, 90, 120, 100, X.XYPixmap, 0x0f0f0f)),
                                           ("pm2", pm2, (0, 0, 300, 200, X.ZPixmap, 0xffffffff)),
                                           ("bm", bm, (0, 0, 400, 300, X.XYPixmap, 1))):
    img = drawable.get_image(x, y, w, h, f, m)
    print(name, x, y, w, h, img.depth, img.visual, len(img.data), hashlib.sha256(img.data).hexdigest()[:16])
for (x, y) in ((300, 200), (60, 60), (200, 150)):
    print("pixel", x, y, pm.get_image(x, y, 1, 1, X.ZPixmap, 0xffffffff).data.hex())
)PY";

// Drawing into 8-bit windows of a PseudoColor visual with a colormap of allocated cells; the
// window lies across the boundary of two 800-pixel heads. With a second display name (the real
// display behind the proxy), also the pixels its screens hold at three points of the window.
const char *const kPseudoColorScript = R"PY(
import sys, hashlib
from Xlib import X, display
d = display.Display(sys.argv[1])
s = d.screen()
root = s.root
visual = None
for depth in s.allowed_depths:
    if depth.depth == 8:
        for v in depth.visuals:
            if v.visual_class == X.PseudoColor:
                visual = v.visual_id
cmap = root.create_colormap(visual, X.AllocNone)
cells = cmap.alloc_color_cells(False, 16, 0).pixels
print("cells", cells)
cmap.install_colormap()
cmap.store_colors([(p, (p * 4099) & 0xffff, (p * 7919 + 0x4000) & 0xffff, 0xffff - p * 3000,
                    X.DoRed | X.DoGreen | X.DoBlue) for p in cells])
win = root.create_window(650, 80, 300, 200, 0, 8, X.InputOutput, visual, background_pixel=cells[3],
                         border_pixel=cells[0], colormap=cmap, override_redirect=1, event_mask=X.ExposureMask)
win.map()
while True:
    e = d.next_event()
    if e.type == X.Expose and e.count == 0:
        break
gc = win.create_gc()  # foreground 0, background 1
win.fill_rectangle(gc, 10, 10, 50, 40)
gc.change(foreground=cells[5], line_width=3)
win.poly_line(gc, X.CoordModeOrigin, [(20, 100), (200, 60), (280, 190)])
gc.change(foreground=cells[7])
win.poly_fill_arc(gc, [(120, 20, 80, 60, 0, 360 * 64)])
win.image_text(win.create_gc(), 30, 150, "default background")
gc.change(foreground=cells[9], background=cells[11])
win.image_text(gc, 30, 180, "cells 9 on 11")
data = bytes(cells[(i * 7 + i // 40) % 16] for i in range(40 * 30))
win.put_image(gc, 130, 120, 40, 30, X.ZPixmap, 8, 0, data)
pm = win.create_pixmap(60, 50, 8)
gc.change(foreground=cells[13])
pm.fill_rectangle(gc, 0, 0, 60, 50)
gc.change(foreground=cells[2])
pm.poly_segment(gc, [(0, 0, 59, 49), (59, 0, 0, 49)])
win.copy_area(gc, pm, 0, 0, 60, 50, 220, 130)
win.clear_area(200, 10, 30, 20, 0)
for (x, y, w, h, f, m) in ((0, 0, 300, 200, X.ZPixmap, 0xff), (130, 120, 40, 30, X.ZPixmap, 0xff),
                           (0, 0, 300, 200, X.XYPixmap, 0x0f), (20, 140, 150, 50, X.ZPixmap, 0x3c)):
    img = win.get_image(x, y, w, h, f, m)
    print(x, y, w, h, f, img.depth, len(img.data), hashlib.sha256(img.data).hexdigest()[:16])
print("bytes", list(win.get_image(130, 120, 8, 2, X.ZPixmap, 0xff).data))
print("pixmap", hashlib.sha256(pm.get_image(0, 0, 60, 50, X.ZPixmap, 0xff).data).hexdigest()[:16])
if len(sys.argv) > 2:
    # The real screens (side by side, each as wide as the first) at the image's pixels 1 and
    # 39 of its first row (cells 7 and 1), either side of x 800, and at the background (cell 3).
    real = display.Display(sys.argv[2])
    width = real.screen(0).width_in_pixels
    for (x, y) in ((781, 200), (819, 200), (900, 90)):
        n = min(x // width, real.screen_count() - 1)
        img = real.screen(n).root.get_image(x - n * width, y, 1, 1, X.ZPixmap, 0xffffffff)
        print("real %d,%d 0x%06x" % (x, y, int.from_bytes(img.data[:4], "little") & 0xffffff))
)PY";

std::string writeScript(const char *text) {
  char name[] = "/tmp/tarvo-draw-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return "";
  size_t length = strlen(text);
  bool written = write(fd, text, length) == ssize_t(length);
  close(fd);
  return written ? name : "";
}

// The script's file, removed at the end.
struct ScriptFile {
  std::string path;
  explicit ScriptFile(const char *text) : path(writeScript(text)) {}
  ~ScriptFile() {
    if (!path.empty()) unlink(path.c_str());
  }
};

class DrawingThroughTarvo : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    script = writeScript(kScript);
    rootScript = writeScript(kRootScript);
    windowScript = writeScript(kWindowScript);
    ASSERT_FALSE(windowScript.empty());
    ASSERT_FALSE(script.empty());
    ASSERT_FALSE(rootScript.empty());
    TwinRunOptions options;
    options.screens.assign(size_t(GetParam()), GetParam() == 1 ? "1600x600x24" : "800x600x24");
    options.directScreens = {"1600x600x24"};
    ASSERT_EQ(twin.start(options), "");
  }
  void TearDown() override {
    if (!script.empty()) unlink(script.c_str());
    if (!rootScript.empty()) unlink(rootScript.c_str());
    if (!windowScript.empty()) unlink(windowScript.c_str());
  }
  TwinRun twin;
  std::string script, rootScript, windowScript;
};

TEST_P(DrawingThroughTarvo, EveryGetImageGivesTheDirectBytes) {
  auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + script + " %D");
  EXPECT_NE(direct.find("xy-mask depth=24"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
}

TEST_P(DrawingThroughTarvo, TheRootAcrossTheHeadsGivesTheDirectBytes) {
  auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + rootScript + " %D");
  EXPECT_NE(direct.find("700 90 200 320 24"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
}

TEST_P(DrawingThroughTarvo, AWindowAcrossTheHeadsGivesTheDirectBytes) {
  auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + windowScript + " %D");
  EXPECT_NE(direct.find("noexpose 1\n"), std::string::npos) << direct;
  // The pixels always; the one NoExpose of a copy on two heads comes from the event handlers'
  // merging of the heads' answers (each head answers its own copy until they merge them).
  auto pixels = [](const std::string &text) { return text.substr(std::min(text.find('\n'), text.size())); };
  EXPECT_EQ(pixels(proxied), pixels(direct));
  if (GetParam() == 1)
    EXPECT_EQ(proxied, direct);
  else
    EXPECT_TRUE(proxied.rfind("noexpose 1\n", 0) == 0 || proxied.rfind("noexpose 2\n", 0) == 0) << proxied;
}

TEST_P(DrawingThroughTarvo, PixmapsCopiedFromAWindowAcrossTheHeadsGiveTheDirectBytes) {
  ScriptFile script(kPixmapScript);
  ASSERT_FALSE(script.path.empty());
  auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + script.path + " %D");
  EXPECT_NE(direct.find("pixel 300 200 00aaff00\npixel 60 60 00aaff00\npixel 200 150 00ff0000\n"), std::string::npos)
      << direct;
  EXPECT_EQ(proxied, direct);
}

// xwd -id of a drawn window: the same header, colours and pixels as direct; xwud shows the
// dump, and xwd of xwud's window gives its pixels back; the window covered by xwud's is
// dumped as it shows.
TEST_P(DrawingThroughTarvo, XwdAndXwudAsDirect) {
  auto [direct, proxied] =
      twin.run("timeout 60 /usr/bin/python3 " TARVO_SOURCE_DIR "/tests/integration/xwdtwin.py %D");
  EXPECT_NE(direct.find("width=400 height=300 "), std::string::npos) << direct;
  EXPECT_NE(direct.find("window_x=600 window_y=100 "), std::string::npos) << direct;
  EXPECT_NE(direct.find("xwud same pixels size 400x300\ncovered "), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
}

INSTANTIATE_TEST_SUITE_P(Screens, DrawingThroughTarvo, ::testing::Values(1, 2));

// A 24-bit Xvfb behind tarvo offering an emulated 8-bit PseudoColor visual ("emulateVisuals
// PseudoColor8") on one head or two, against an 8-bit Xvfb used directly: the same cells and the
// same bytes from every GetImage (ZPixmap and XYPixmap, with plane masks, across the heads),
// so pixels go into the heads converted and come back as the cells. The heads hold each cell
// in all three channels of their deeper visual.
class PseudoColorThroughTarvo : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TwinRunOptions options;
    options.screens.assign(size_t(GetParam()), GetParam() == 1 ? "1600x600x24" : "800x600x24");
    options.directScreens = {"1600x600x8"};
    options.tarvoWords = {"emulateVisuals", "PseudoColor8"};
    ASSERT_EQ(twin.start(options), "");
  }
  TwinRun twin;
};

TEST_P(PseudoColorThroughTarvo, CellsDrawnAndReadBackAsOnAnEightBitServer) {
  ScriptFile script(kPseudoColorScript);
  ASSERT_FALSE(script.path.empty());
  std::string command = "timeout 60 /usr/bin/python3 " + script.path + " ";
  std::string direct = twinRunCommand(command + twin.directDisplay() + " 2>&1");
  std::string proxied = twinRunCommand(command + twin.proxyDisplay() + " " + twin.behindDisplay() + " 2>&1");
  EXPECT_NE(direct.find("cells [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15]\n"), std::string::npos)
      << direct;
  EXPECT_NE(direct.find("bytes [0, 7, 14, 5, 12, 3, 10, 1, 9, 0, 7, 14, 5, 12, 3, 10]\n"), std::string::npos)
      << direct;
  EXPECT_NE(direct.find("0 0 300 200 1 8 32000 "), std::string::npos) << direct;  // 4 planes of 300x200
  size_t real = proxied.find("real ");
  EXPECT_EQ(proxied.substr(0, real), direct);
  EXPECT_EQ(real == std::string::npos ? "" : proxied.substr(real),
            "real 781,200 0x070707\nreal 819,200 0x010101\nreal 900,90 0x030303\n");
  EXPECT_EQ(twin.tarvo().wait(0), -1) << "tarvo ended during the test";
}

INSTANTIATE_TEST_SUITE_P(Heads, PseudoColorThroughTarvo, ::testing::Values(1, 2));

// The second head tagged "optimizedDraw" (drawing into windows reaches it only where it can
// show): the window across the heads, the root and pixmaps give the pixels they give without
// culling.
TEST(DrawingOptimizedDraw, PixelsAsWithoutCulling) {
  tarvoBlockSignals();
  ScriptFile window(kWindowScript), root(kRootScript), pixmaps(kPixmapScript);
  ASSERT_FALSE(window.path.empty());
  ASSERT_FALSE(root.path.empty());
  ASSERT_FALSE(pixmaps.path.empty());
  TwinRun twin;
  TwinRunOptions options;
  options.screens = {"800x600x24", "800x600x24"};
  options.directScreens = {"1600x600x24"};
  options.tarvoScreenWords = {"screen", "a", "display", "%D.0", "screen", "b", "display", "%D.1", "tags",
                              "optimizedDraw"};
  ASSERT_EQ(twin.start(options), "");
  auto [direct, proxied] = twin.run("timeout 60 /usr/bin/python3 " + window.path + " %D");
  EXPECT_NE(direct.find("noexpose 1\n"), std::string::npos) << direct;
  EXPECT_EQ(proxied, direct);
  auto [directRoot, proxiedRoot] = twin.run("timeout 60 /usr/bin/python3 " + root.path + " %D");
  EXPECT_NE(directRoot.find("700 90 200 320 24"), std::string::npos) << directRoot;
  EXPECT_EQ(proxiedRoot, directRoot);
  // Pixmaps are never culled: every head's copy gets every drawing.
  auto [directPixmaps, proxiedPixmaps] = twin.run("timeout 60 /usr/bin/python3 " + pixmaps.path + " %D");
  EXPECT_NE(directPixmaps.find("pixel 200 150 00ff0000"), std::string::npos) << directPixmaps;
  EXPECT_EQ(proxiedPixmaps, directPixmaps);
  EXPECT_EQ(twin.tarvo().wait(0), -1) << "tarvo ended during the test";
}

}  // namespace
