// Image formats, templates and pixmaps made from images against Xvfb (depth 24 at 32 bits per
// pixel, LSBFirst).
#include <signal.h>

#include <cstdlib>
#include <memory>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "xclient/ximage.h"
#include "../unit/ximage_helpers.h"
#include "display_fixture.h"

namespace {

class XimageDisplayTest : public XvfbDisplayTest {
 protected:
  void TearDown() override {
    ximageSetGCProvider(nullptr);
    XvfbDisplayTest::TearDown();
  }

  // The pixels of a drawable as read back by the server.
  std::vector<unsigned long> readBack(Drawable drawable, int width, int height, int format = ZPixmap) {
    ImagePtr image(XGetImage(display_, drawable, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
                             AllPlanes, format));
    std::vector<unsigned long> pixels;
    EXPECT_TRUE(image);
    if (!image) return pixels;
    for (int y = 0; y < height; y++)
      for (int x = 0; x < width; x++) pixels.push_back(XGetPixel(image.get(), x, y));
    return pixels;
  }

};

TEST_F(XimageDisplayTest, FormatsTemplatesAndMatching) {
  Visual *visual = DefaultVisual(display_, 0);
  const ImageFormat *f = ximageFormatOfDisplay(display_, ZPixmap, 24, visual);
  EXPECT_EQ(f, &ximageDisplayFormat);
  EXPECT_EQ(f->format, static_cast<uint32_t>(ZPixmap));
  EXPECT_EQ(f->depth, 24u);
  EXPECT_EQ(f->bitsPerPixel, 32u);
  EXPECT_EQ(f->byteOrder, static_cast<uint32_t>(LSBFirst));
  EXPECT_EQ(f->redMask, visual->red_mask);
  EXPECT_EQ(f->greenMask, visual->green_mask);
  EXPECT_EQ(f->blueMask, visual->blue_mask);
  EXPECT_EQ(f->scanlinePad, 32u);
  // XY formats and depths without a pixmap format: 1 bit per pixel and the bitmap pad.
  f = ximageFormatOfDisplay(display_, XYPixmap, 24, visual);
  EXPECT_EQ(f->bitsPerPixel, 1u);
  EXPECT_EQ(f->scanlinePad, static_cast<uint32_t>(BitmapPad(display_)));
  f = ximageFormatOfDisplay(display_, ZPixmap, 13, nullptr);
  EXPECT_EQ(f->bitsPerPixel, 1u);
  EXPECT_EQ(f->redMask, 0u);
  EXPECT_FALSE(ximageHasPixmapFormat(display_, 13));
  EXPECT_TRUE(ximageHasPixmapFormat(display_, 1));

  XImage templateImage, bitmapTemplate;
  ASSERT_EQ(ximageTemplate(display_, &templateImage), nullptr);
  EXPECT_EQ(templateImage.data, nullptr);
  EXPECT_EQ(templateImage.width, 1);
  EXPECT_EQ(templateImage.format, XYPixmap);
  EXPECT_EQ(templateImage.depth, 24);
  EXPECT_TRUE(ximageMatchesDisplay(&templateImage, display_));
  ASSERT_EQ(ximageBitmapTemplate(display_, &bitmapTemplate), nullptr);
  EXPECT_EQ(bitmapTemplate.format, XYBitmap);
  EXPECT_TRUE(ximageMatchesDisplay(&bitmapTemplate, display_));

  // Images in the display's format match; another bit order, unit or pad does not.
  ImagePtr z(ximageCreate(3, 3, 0, ximageFormatOfDisplay(display_, ZPixmap, 24, visual)));
  ASSERT_TRUE(z);
  EXPECT_TRUE(ximageMatchesDisplay(z.get(), display_));
  ImageFormat other = *ximageFormatOfDisplay(display_, XYBitmap, 1, nullptr);
  other.bitOrder = BitmapBitOrder(display_) == MSBFirst ? 0 : 1;
  ImagePtr bits(ximageCreate(3, 3, 0, &other));
  EXPECT_FALSE(ximageMatchesDisplay(bits.get(), display_));
  ImageFormat packed = *ximageSetDefaultDepth(24);
  ImagePtr packedImage(ximageCreate(3, 3, 0, &packed));
  EXPECT_FALSE(ximageMatchesDisplay(packedImage.get(), display_));
  ximageSetDefaultDepth(8);
  EXPECT_TRUE(ximageDisplaysCompatible(display_, display_, ZPixmap, 24));
  EXPECT_FALSE(ximageDisplaysCompatible(display_, display_, ZPixmap, 13));
}

GC providedGC = nullptr;
int providerCalls = 0;
GC provider(Display *, int, int depth) { return ++providerCalls, depth == 1 ? providedGC : nullptr; }

TEST_F(XimageDisplayTest, PixmapsFromImagesReadBackEqual) {
  std::mt19937 random(24);
  Visual *visual = DefaultVisual(display_, 0);
  // In the display's own layout and in foreign ones that Xlib converts on the way.
  ImageFormat layouts[] = {
      *ximageFormatOfDisplay(display_, ZPixmap, 24, visual),
      {ZPixmap, 24, 32, 32, MSBFirst, MSBFirst, 32, 0xff0000, 0xff00, 0xff},
      {ZPixmap, 24, 24, 8, MSBFirst, MSBFirst, 8, 0xff0000, 0xff00, 0xff},
  };
  for (const ImageFormat &format : layouts) {
    SCOPED_TRACE(format.bitsPerPixel);
    ImagePtr image(ximageCreate(37, 11, 0, &format));
    ASSERT_TRUE(image);
    std::vector<unsigned long> pixels;
    for (int y = 0; y < 11; y++)
      for (int x = 0; x < 37; x++) XPutPixel(image.get(), x, y, random() & 0xffffff);
    Pixmap pixmap = ximagePixmapFromImage(display_, image.get(), 0);
    ASSERT_NE(pixmap, 0u);
    EXPECT_EQ(readBack(pixmap, 37, 11), pixelsOf(image.get()));
    XFreePixmap(display_, pixmap);
  }

  // A bitmap keeps its ones as ones: the GC draws foreground 1 on background 0, whether
  // made for the call or supplied by the provider.
  ImagePtr bitmap(ximageCreate(19, 7, 3, &ximageDefaultFormat));
  for (int y = 0; y < 7; y++)
    for (int x = 0; x < 19; x++) XPutPixel(bitmap.get(), x, y, random() & 1);
  Pixmap plain = ximagePixmapFromImage(display_, bitmap.get(), 0);
  ASSERT_NE(plain, 0u);
  EXPECT_EQ(readBack(plain, 19, 7, XYPixmap), pixelsOf(bitmap.get()));
  XGCValues values{};
  values.foreground = 1;
  values.background = 0;
  providedGC = XCreateGC(display_, plain, GCForeground | GCBackground, &values);
  ximageSetGCProvider(provider);
  Pixmap provided = ximagePixmapFromImage(display_, bitmap.get(), 0);
  EXPECT_EQ(providerCalls, 1);
  EXPECT_EQ(readBack(provided, 19, 7, XYPixmap), pixelsOf(bitmap.get()));
  XFreeGC(display_, providedGC);  // a BadGC here would end the test: the GC stayed ours
  XSync(display_, False);
  XFreePixmap(display_, plain);
  XFreePixmap(display_, provided);

  // No pixmap for an empty image, a depth the display lacks or a screen it does not have.
  ImageFormat odd = {ZPixmap, 13, 16, 8, LSBFirst, LSBFirst, 8, 0, 0, 0};
  ImagePtr oddImage(ximageCreate(2, 2, 0, &odd));
  EXPECT_EQ(ximagePixmapFromImage(display_, oddImage.get(), 0), 0u);
  EXPECT_EQ(ximagePixmapFromImage(display_, bitmap.get(), 1), 0u);
  ImagePtr empty(ximageCreate(0, 4, 0, &ximageDefaultFormat));
  EXPECT_EQ(ximagePixmapFromImage(display_, empty.get(), 0), 0u);
  XSync(display_, False);
}

// A window's image scaled into a pixmap of another connection; a copied drawable reads back
// the same.
TEST_F(XimageDisplayTest, ScaledWindowAndCopiedDrawable) {
  Display *target = XOpenDisplay(server_.displayName().c_str());
  ASSERT_NE(target, nullptr);
  Window window = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 4, 3, 0, 0, 0);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  XChangeWindowAttributes(display_, window, CWOverrideRedirect, &attributes);
  XMapRaised(display_, window);
  XSync(display_, False);
  ImagePtr image(ximageCreate(4, 3, 0, ximageFormatOfDisplay(display_, ZPixmap, 24, DefaultVisual(display_, 0))));
  for (int y = 0; y < 3; y++)
    for (int x = 0; x < 4; x++) XPutPixel(image.get(), x, y, static_cast<unsigned long>(0x102030 * (x + 4 * y + 1)) & 0xffffff);
  GC gc = XCreateGC(display_, window, 0, nullptr);
  XPutImage(display_, window, gc, image.get(), 0, 0, 0, 0, 4, 3);
  XFreeGC(display_, gc);
  XSync(display_, False);

  Pixmap scaled = ximageScaleWindow(display_, window, target, DefaultRootWindow(target), 2, 2);
  ASSERT_NE(scaled, 0u);
  ImagePtr back(XGetImage(target, scaled, 0, 0, 8, 6, AllPlanes, ZPixmap));
  ASSERT_TRUE(back);
  for (int y = 0; y < 6; y++)
    for (int x = 0; x < 8; x++) ASSERT_EQ(XGetPixel(back.get(), x, y), XGetPixel(image.get(), x / 2, y / 2)) << x << "," << y;
  XFreePixmap(target, scaled);

  Pixmap copy = ximageCopyDrawable(display_, window);
  ASSERT_NE(copy, 0u);
  EXPECT_EQ(readBack(copy, 4, 3), pixelsOf(image.get()));
  XFreePixmap(display_, copy);
  Window shown = ximageShowDrawable(display_, window, "ximage test");
  EXPECT_NE(shown, 0u);
  XSync(display_, False);
  XCloseDisplay(target);
}

// The bounded read gives XGetImage's image (layout and bytes) for ZPixmap, XYPixmap with some
// planes and a bitmap; the server's error is its failure; a stopped server gives up at the limit.
TEST_F(XimageDisplayTest, ImageReadWithinLimitAsXGetImage) {
  Window root = DefaultRootWindow(display_);
  Pixmap deep = XCreatePixmap(display_, root, 7, 5, 24), bitmap = XCreatePixmap(display_, root, 13, 5, 1);
  for (Pixmap pixmap : {deep, bitmap}) {
    GC gc = XCreateGC(display_, pixmap, 0, nullptr);
    for (int k = 0; k < 35; k++) {
      XSetForeground(display_, gc, 0x3d1f07ul * unsigned(k + 3));
      XDrawPoint(display_, pixmap, gc, (k * 5) % 13, k % 5);
    }
    XFreeGC(display_, gc);
  }
  struct Case {
    Pixmap pixmap;
    unsigned width, height;
    unsigned long planes;
    int format;
  };
  for (const Case &c : {Case{deep, 7, 5, AllPlanes, ZPixmap}, Case{deep, 7, 5, 0x810301, XYPixmap},
                        Case{deep, 3, 2, 0xff00, ZPixmap}, Case{bitmap, 13, 5, 1, XYPixmap},
                        Case{bitmap, 13, 5, AllPlanes, ZPixmap}}) {
    SCOPED_TRACE(testing::Message() << c.width << " format " << c.format << " planes " << c.planes);
    ImagePtr expected(XGetImage(display_, c.pixmap, 1, 0, c.width - 1, c.height, c.planes, c.format));
    ASSERT_TRUE(expected);
    XImage *got = nullptr;
    ASSERT_EQ(ximageGetImageWithin(display_, c.pixmap, 1, 0, c.width - 1, c.height, c.planes, c.format, 2000, &got),
              nullptr);
    ImagePtr image(got);
    ASSERT_TRUE(image);
    ImageFormat a, b;
    ximageFormatOfImage(expected.get(), &a);
    ximageFormatOfImage(image.get(), &b);
    EXPECT_TRUE(ximageFormatEqual(&a, &b));
    EXPECT_EQ(image->width, expected->width);
    EXPECT_EQ(image->height, expected->height);
    ASSERT_EQ(image->bytes_per_line, expected->bytes_per_line);
    int planes = c.format == XYPixmap ? expected->depth : 1;
    size_t bytes = size_t(expected->bytes_per_line) * size_t(expected->height) * size_t(planes);
    EXPECT_EQ(memcmp(image->data, expected->data, bytes), 0);
    EXPECT_EQ(pixelsOf(image.get()), pixelsOf(expected.get()));
  }
  // A drawable the server does not know: its error is the answer, not the error handler's.
  XImage *got = nullptr;
  const char *failure = ximageGetImageWithin(display_, deep + 0x100, 0, 0, 2, 2, AllPlanes, ZPixmap, 2000, &got);
  ASSERT_NE(failure, nullptr);
  EXPECT_NE(std::string(failure).find("error 9"), std::string::npos) << failure;  // BadDrawable
  EXPECT_EQ(got, nullptr);
  // Stopped: the read gives up once the limit passed, and the connection stays usable.
  XSync(display_, False);
  ASSERT_TRUE(xvfbStopProcess(server_.pid()));
  long long started = xvfbNowMs();
  failure = ximageGetImageWithin(display_, deep, 0, 0, 7, 5, AllPlanes, ZPixmap, 300, &got);
  long long spent = xvfbNowMs() - started;
  kill(server_.pid(), SIGCONT);
  EXPECT_NE(failure, nullptr);
  EXPECT_EQ(got, nullptr);
  EXPECT_GE(spent, 290);
  EXPECT_LT(spent, 2000);
  EXPECT_EQ(ximageGetImageWithin(display_, deep, 0, 0, 7, 5, AllPlanes, ZPixmap, 2000, &got), nullptr);
  XDestroyImage(got);
}

// The bounded geometry and attribute queries give what Xlib's give; a stopped server gives up
// at the limit.
TEST_F(XimageDisplayTest, GeometryAndAttributesWithinLimitAsXlib) {
  Window root = DefaultRootWindow(display_);
  XSetWindowAttributes set{};
  set.override_redirect = True;
  set.win_gravity = SouthEastGravity;
  set.event_mask = ExposureMask | KeyPressMask;
  Window window = XCreateWindow(display_, root, -7, 11, 23, 17, 3, CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWWinGravity | CWEventMask, &set);
  XMapWindow(display_, window);
  XSync(display_, False);
  XWindowAttributes want{}, got{};
  ASSERT_TRUE(XGetWindowAttributes(display_, window, &want));
  ASSERT_EQ(ximageWindowAttributesWithin(display_, window, 2000, &got), nullptr);
  EXPECT_EQ(memcmp(&want, &got, sizeof want), 0);
  Window wantRoot = 0, gotRoot = 0;
  int wx = 0, wy = 0, gx = 0, gy = 0;
  unsigned ww = 0, wh = 0, wb = 0, wd = 0, gw = 0, gh = 0, gb = 0, gd = 0;
  ASSERT_TRUE(XGetGeometry(display_, window, &wantRoot, &wx, &wy, &ww, &wh, &wb, &wd));
  ASSERT_EQ(ximageGeometryWithin(display_, window, 2000, &gotRoot, &gx, &gy, &gw, &gh, &gb, &gd), nullptr);
  EXPECT_EQ(std::vector<long>({long(gotRoot), gx, gy, gw, gh, gb, gd}),
            std::vector<long>({long(wantRoot), wx, wy, ww, wh, wb, wd}));
  // A pixmap has a geometry but no window attributes: the server's error is the failure.
  Pixmap pixmap = XCreatePixmap(display_, root, 4, 4, 24);
  EXPECT_EQ(ximageGeometryWithin(display_, pixmap, 2000, &gotRoot, &gx, &gy, &gw, &gh, &gb, &gd), nullptr);
  EXPECT_NE(ximageWindowAttributesWithin(display_, pixmap, 2000, &got), nullptr);
  XSync(display_, False);
  ASSERT_TRUE(xvfbStopProcess(server_.pid()));
  long long started = xvfbNowMs();
  const char *failure = ximageWindowAttributesWithin(display_, window, 300, &got);
  long long spent = xvfbNowMs() - started;
  kill(server_.pid(), SIGCONT);
  EXPECT_NE(failure, nullptr);
  EXPECT_GE(spent, 290);
  EXPECT_LT(spent, 2000);
  EXPECT_EQ(ximageGeometryWithin(display_, window, 2000, &gotRoot, &gx, &gy, &gw, &gh, &gb, &gd), nullptr);
  EXPECT_EQ(gw, 23u);
}

}  // namespace
