// Font helpers against Xvfb: glyph cursors judged by the cursor the server makes itself (XFixes
// GetCursorImage), the font atlas, font properties and the font-path probes.
#include <gtest/gtest.h>

#include "xclient/xfont.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>

#include <X11/Xlib.h>
#include <X11/Xlibint.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>

#include "xclient/xtarget.h"
#include "xclient/xutil.h"
#include "display_fixture.h"

namespace {

struct FreeDeleter {
  void operator()(void *p) const { free(p); }
};
using Bits = std::unique_ptr<uint8_t, FreeDeleter>;

bool bitAt(const uint8_t *bits, int width, int x, int y) {
  const uint8_t *row = bits + size_t((width + 7) / 8) * size_t(y);
  return (row[x / 8] >> (x % 8)) & 1;
}

int countBits(const uint8_t *bits, int width, int height) {
  int n = 0;
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) n += bitAt(bits, width, x, y);
  return n;
}

// What a glyph cursor made by xfontMakeGlyphCursor shows.
struct OurCursor {
  int ok = 0;
  int width = 0, height = 0, hotX = 0, hotY = 0;
  Bits source, mask;
};

constexpr unsigned long kForeground = 0xffffffff;  // opaque white
constexpr unsigned long kBackground = 0xff000000;  // opaque black

class XfontDisplayTest : public XvfbDisplayTest {
 protected:
  void SetUp() override {
    XvfbDisplayTest::SetUp();
    if (HasFatalFailure()) return;
    int eventBase, errorBase, major = 2, minor = 0;
    ASSERT_TRUE(XFixesQueryExtension(display_, &eventBase, &errorBase));
    ASSERT_TRUE(XFixesQueryVersion(display_, &major, &minor));
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 320, 240, 0, 0, 0);
    XMapWindow(display_, window_);
    XWarpPointer(display_, None, window_, 0, 0, 0, 0, 160, 120);
    XSync(display_, False);
  }
  OurCursor ours(Font source, XFontStruct *sourceInfo, unsigned sourceChar, Font mask,
                 XFontStruct *maskInfo, unsigned maskChar) {
    OurCursor c;
    uint8_t *sourceBits = nullptr, *maskBits = nullptr;
    c.ok = xfontMakeGlyphCursor(display_, source, sourceInfo, sourceChar, mask, maskInfo, maskChar,
                                &c.width, &c.height, &sourceBits, &maskBits, &c.hotX, &c.hotY);
    c.source.reset(sourceBits);
    c.mask.reset(maskBits);
    return c;
  }

  // CreateGlyphCursor (white on black) as the request itself: Xlib's XCreateGlyphCursor may
  // hand the cursor font's shapes to a cursor theme instead.
  Cursor createGlyphCursor(Font source, unsigned sourceChar, Font mask, unsigned maskChar) {
    LockDisplay(display_);
    auto *request = reinterpret_cast<xCreateGlyphCursorReq *>(
        xutilBeginRequest(display_, X_CreateGlyphCursor, 0, sizeof(xCreateGlyphCursorReq)));
    Cursor cursor = XAllocID(display_);
    request->cid = static_cast<CARD32>(cursor);
    request->source = static_cast<CARD32>(source);
    request->mask = static_cast<CARD32>(mask);
    request->sourceChar = static_cast<CARD16>(sourceChar);
    request->maskChar = static_cast<CARD16>(maskChar);
    request->foreRed = request->foreGreen = request->foreBlue = 0xffff;
    UnlockDisplay(display_);
    if (display_->synchandler) (*display_->synchandler)(display_);
    return cursor;
  }

  // The server's own glyph cursor shown on the window, compared with ours pixel by pixel.
  void expectSameAsServer(const OurCursor &c, Font source, unsigned sourceChar, Font mask,
                          unsigned maskChar) {
    ASSERT_EQ(c.ok, 1);
    Cursor cursor = createGlyphCursor(source, sourceChar, mask, maskChar);
    XDefineCursor(display_, window_, cursor);
    XSync(display_, False);
    XFixesCursorImage *image = XFixesGetCursorImage(display_);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, c.width);
    EXPECT_EQ(image->height, c.height);
    EXPECT_EQ(image->xhot, c.hotX);
    EXPECT_EQ(image->yhot, c.hotY);
    if (image->width == c.width && image->height == c.height) {
      int differences = 0;
      for (int y = 0; y < c.height; y++) {
        for (int x = 0; x < c.width; x++) {
          bool inMask = !c.mask || bitAt(c.mask.get(), c.width, x, y);
          unsigned long want = !inMask ? 0 : bitAt(c.source.get(), c.width, x, y) ? kForeground : kBackground;
          unsigned long got = image->pixels[y * c.width + x] & 0xffffffff;
          differences += want != got;
        }
      }
      EXPECT_EQ(differences, 0);
    }
    XFree(image);
    XUndefineCursor(display_, window_);
    XFreeCursor(display_, cursor);
    XSync(display_, False);
  }

  Window window_ = None;
};

TEST_F(XfontDisplayTest, GlyphCursorsMatchTheServersOwn) {
  Font cursorFont = XLoadFont(display_, "cursor");
  XFontStruct *info = XQueryFont(display_, cursorFont);
  ASSERT_NE(info, nullptr);
  // Shape and mask pairs of the cursor font: arrows, crosshairs, the watch, the I-beam, ...
  for (unsigned shape : {0u, 2u, 34u, 52u, 68u, 90u, 116u, 132u, 150u, 152u}) {
    SCOPED_TRACE(shape);
    // With the font information given and queried here: the same cursor.
    OurCursor queried = ours(cursorFont, nullptr, shape, cursorFont, nullptr, shape + 1);
    OurCursor given = ours(cursorFont, info, shape, cursorFont, info, shape + 1);
    ASSERT_EQ(given.ok, 1);
    ASSERT_NE(given.mask, nullptr);
    size_t bytes = size_t((given.width + 7) / 8) * size_t(given.height);
    EXPECT_EQ(memcmp(queried.source.get(), given.source.get(), bytes), 0);
    EXPECT_GT(countBits(given.mask.get(), given.width, given.height), 0);
    expectSameAsServer(queried, cursorFont, shape, cursorFont, shape + 1);
    // Without a mask font: the source glyph's own box, no mask bits.
    OurCursor unmasked = ours(cursorFont, nullptr, shape, None, nullptr, 0);
    EXPECT_EQ(unmasked.mask, nullptr);
    expectSameAsServer(unmasked, cursorFont, shape, None, 0);
  }
  // A source glyph of another font inside a cursor-font mask.
  Font fixed = XLoadFont(display_, "fixed");
  OurCursor mixed = ours(fixed, nullptr, 'X', cursorFont, nullptr, 69);
  expectSameAsServer(mixed, fixed, 'X', cursorFont, 69);
  XFreeFontInfo(nullptr, info, 1);
  XUnloadFont(display_, fixed);
  XUnloadFont(display_, cursorFont);
}

TEST_F(XfontDisplayTest, EmptyMaskGlyphFailsAndZeroWidthMaskIsOnePixelWide) {
  Font fixed = XLoadFont(display_, "fixed");
  XFontStruct *info = XQueryFont(display_, fixed);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->per_char, nullptr);
  // "fixed" lacks characters 127 to 159; with a default character that is one of them, such
  // a character has no metrics at all.
  XFontStruct empty = *info;
  empty.default_char = 127;
  uint8_t *source = nullptr, *mask = nullptr;
  int width = -1, height = -1, hotX = -1, hotY = -1;
  EXPECT_EQ(xfontMakeGlyphCursor(display_, fixed, info, 'A', fixed, &empty, 130, &width, &height,
                                 &source, &mask, &hotX, &hotY),
            0);
  EXPECT_EQ(xfontMakeGlyphCursor(display_, fixed, &empty, 130, None, nullptr, 0, &width, &height,
                                 &source, &mask, &hotX, &hotY),
            0);
  EXPECT_EQ(source, nullptr);
  EXPECT_EQ(width, -1);

  // A mask glyph of width 0 that stands 5 pixels above the baseline.
  std::vector<XCharStruct> chars(info->per_char, info->per_char + 256);
  chars['|'] = XCharStruct{0, 0, 0, 5, 0, 0};
  XFontStruct thin = *info;
  thin.per_char = chars.data();
  OurCursor c = ours(fixed, info, 'A', fixed, &thin, '|');
  ASSERT_EQ(c.ok, 1);
  EXPECT_EQ(c.width, 1);
  EXPECT_EQ(c.height, 5);
  EXPECT_EQ(c.hotX, 0);
  EXPECT_EQ(c.hotY, 5);
  ASSERT_NE(c.mask, nullptr);
  // An unknown font cannot be queried: failure, not a crash.
  XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
  EXPECT_EQ(ours(0x3ffffff, nullptr, 'A', None, nullptr, 0).ok, 0);
  EXPECT_EQ(ours(fixed, nullptr, 'A', 0x3ffffff, nullptr, 'A').ok, 0);
  XSync(display_, False);
  XSetErrorHandler(nullptr);
  XFreeFontInfo(nullptr, info, 1);
  XUnloadFont(display_, fixed);
}

// The font's metrics and glyphs are read waiting at most the sync limit: a stopped server
// fails the cursor once the limit passed; a font the server does not know fails it at once.
TEST_F(XfontDisplayTest, GlyphCursorReadsWaitAtMostTheLimit) {
  Font cursorFont = XLoadFont(display_, "cursor");
  XSync(display_, False);
  uint32_t limit = xtargetSyncLimitMs;
  xtargetSyncLimitMs = 300;
  OurCursor unknown = ours(cursorFont + 0x100, nullptr, 68, None, nullptr, 0);
  EXPECT_EQ(unknown.ok, 0);
  ASSERT_TRUE(xvfbStopProcess(server_.pid()));
  long long started = xvfbNowMs();
  OurCursor stopped = ours(cursorFont, nullptr, 68, cursorFont, nullptr, 69);
  long long spent = xvfbNowMs() - started;
  kill(server_.pid(), SIGCONT);
  xtargetSyncLimitMs = limit;
  EXPECT_EQ(stopped.ok, 0);
  EXPECT_EQ(stopped.source, nullptr);
  EXPECT_GE(spent, 290);
  EXPECT_LT(spent, 2000);
  // The connection goes on: the same cursor once the server runs.
  OurCursor again = ours(cursorFont, nullptr, 68, cursorFont, nullptr, 69);
  expectSameAsServer(again, cursorFont, 68, cursorFont, 69);
  XUnloadFont(display_, cursorFont);
}

TEST_F(XfontDisplayTest, AtlasHoldsEveryGlyph) {
  XFontStruct *font = XLoadQueryFont(display_, "fixed");
  ASSERT_NE(font, nullptr);
  FontAtlas atlas;
  ASSERT_EQ(xfontMakeAtlas(display_, 0, font, &atlas), nullptr);
  EXPECT_EQ(atlas.count, 256);
  EXPECT_GT(atlas.width, 0);
  EXPECT_LT(atlas.width, kFontAtlasMaxWidth);
  XImage *image = XGetImage(display_, atlas.pixmap, 0, 0, static_cast<unsigned>(atlas.width),
                            static_cast<unsigned>(atlas.height), 1, XYPixmap);
  ASSERT_NE(image, nullptr);
  // Each glyph's ink in the atlas equals its ink as a cursor source (which holds the whole ink).
  for (unsigned ch : {unsigned('A'), unsigned('g'), unsigned('|'), unsigned('@'), 0u}) {
    SCOPED_TRACE(ch);
    const FontAtlasEntry &entry = atlas.entries[ch];
    ASSERT_GT(entry.width, 0);
    int inAtlas = 0;
    for (int y = entry.y; y < entry.y + entry.height; y++)
      for (int x = entry.x; x < entry.x + entry.width; x++) inAtlas += XGetPixel(image, x, y) & 1;
    OurCursor c = ours(font->fid, font, ch, None, nullptr, 0);
    ASSERT_EQ(c.ok, 1);
    EXPECT_EQ(inAtlas, countBits(c.source.get(), c.width, c.height));
    EXPECT_GT(inAtlas, 0);
  }
  // Characters without metrics have empty entries.
  EXPECT_EQ(atlas.entries[130].width, 0);
  EXPECT_EQ(atlas.entries[130].height, 0);
  XDestroyImage(image);
  xfontFreeAtlas(display_, &atlas);
  EXPECT_EQ(atlas.pixmap, None);
  xfontFreeAtlas(display_, &atlas);

  // Properties of the font.
  std::unique_ptr<char, FreeDeleter> family(xfontPropertyAtomName(display_, font, "FAMILY_NAME"));
  ASSERT_TRUE(family);
  EXPECT_STREQ(family.get(), "Fixed");
  EXPECT_EQ(xfontPropertyNumber(display_, font, "PIXEL_SIZE"), 13u);
  EXPECT_EQ(xfontPropertyNumber(display_, font, "TARVO_NO_SUCH_PROPERTY"), 65535u);
  EXPECT_EQ(xfontPropertyAtomName(display_, font, "TARVO_NO_SUCH_PROPERTY"), nullptr);
  XFreeFont(display_, font);
}

class XfontPathTest : public XfontDisplayTest {
 protected:
  std::vector<std::string> path() {
    int count = 0;
    char **elements = XGetFontPath(display_, &count);
    std::vector<std::string> result(elements, elements + count);
    XFreeFontPath(elements);
    return result;
  }

  // Another connection gets a round trip through within a time-out: the server is not grabbed.
  bool serverAnswersOthers() {
    Display *other = XOpenDisplay(server_.displayName().c_str());
    if (!other) return false;
    auto done = std::async(std::launch::async, [other] { XSync(other, False); });
    bool answered = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!answered) {
      XUngrabServer(display_);  // lets the waiting round trip end
      XSync(display_, False);
      done.wait();
    }
    XCloseDisplay(other);
    return answered;
  }
};

TEST_F(XfontPathTest, ProbesLeaveThePathAndTheServerAsTheyWere) {
  std::vector<std::string> before = path();
  ASSERT_FALSE(before.empty());
  const char *builtIns = "built-ins";
  const char *missing = "/nonexistent/tarvo-font-dir";
  XErrorHandler handler = [](Display *, XErrorEvent *) { return 0; };
  XSetErrorHandler(handler);

  const char *elements[] = {builtIns, missing, builtIns};
  int accepted[3] = {-1, -1, -1};
  EXPECT_EQ(xfontProbePathElements(display_, elements, 3, accepted), nullptr);
  EXPECT_EQ(accepted[0], 1);
  EXPECT_EQ(accepted[1], 0);
  EXPECT_EQ(accepted[2], 1);
  EXPECT_EQ(path(), before);
  EXPECT_TRUE(serverAnswersOthers());

  struct Case {
    std::vector<const char *> path;
    int accepted;
    int listFails;
  };
  const Case cases[] = {
      {{builtIns}, 1, 0},
      {{builtIns, missing}, 0, 1},
      {{missing}, 0, 1},
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(test.path.back());
    int count = static_cast<int>(test.path.size());
    EXPECT_EQ(xfontProbePath(display_, test.path.data(), count), test.accepted);
    EXPECT_EQ(path(), before);
    EXPECT_TRUE(serverAnswersOthers());
    EXPECT_EQ(xfontProbeListFonts(display_, test.path.data(), count), test.listFails);
    EXPECT_EQ(path(), before);
    EXPECT_TRUE(serverAnswersOthers());
  }
  // The probes put back the error handler they found.
  EXPECT_EQ(XSetErrorHandler(nullptr), handler);
}

}  // namespace
