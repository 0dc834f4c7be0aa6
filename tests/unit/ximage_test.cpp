// Image helpers on XImages built in memory: accessors and copies are checked against Xlib's
// own pixel functions on a twin record that shares the data.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xclient/ximage.h"
#include "ximage_helpers.h"

// ImUtil.h declares Xlib's image internals without C linkage.
extern "C" {
#include <X11/ImUtil.h>
}

namespace {

ImageFormat layout(uint32_t format, uint32_t depth, uint32_t bpp, uint32_t unit, uint32_t byteOrder,
                   uint32_t bitOrder, uint32_t pad, uint32_t r = 0, uint32_t g = 0, uint32_t b = 0) {
  return ImageFormat{format, depth, bpp, unit, byteOrder, bitOrder, pad, r, g, b};
}

const char *name(const ImageFormat &f) {
  static char text[128];
  snprintf(text, sizeof text, "format %u depth %u bpp %u unit %u byte %u bit %u pad %u", f.format, f.depth,
           f.bitsPerPixel, f.bitmapUnit, f.byteOrder, f.bitOrder, f.scanlinePad);
  return text;
}

size_t dataBytes(const XImage *image) {
  return static_cast<size_t>(image->bytes_per_line) * image->height * (image->format == XYPixmap ? image->depth : 1);
}

// A record sharing the image's data whose pixel functions Xlib chose: the reference.
XImage xlibTwin(const XImage *image) {
  XImage twin = *image;
  _XInitImageFuncPtrs(&twin);
  return twin;
}

ImagePtr makeImage(const ImageFormat &f, int width, int height, int xOffset = 0) {
  XImage *image = ximageCreate(width, height, xOffset, &f);
  EXPECT_NE(image, nullptr) << name(f);
  return ImagePtr(image);
}

void fillRandom(XImage *image, std::mt19937 &random) {
  for (size_t i = 0; i < dataBytes(image); i++) image->data[i] = static_cast<char>(random());
}

unsigned long depthMask(int depth) { return depth >= 32 ? 0xffffffffUL : (1UL << depth) - 1; }

// Every layout the tests walk through; `special` marks those with accessors of our own.
struct Layout {
  ImageFormat format;
  bool special;
};
const Layout kLayouts[] = {
    {layout(XYBitmap, 1, 1, 8, MSBFirst, MSBFirst, 8), true},
    {layout(XYBitmap, 1, 1, 32, MSBFirst, MSBFirst, 32), true},
    {layout(XYBitmap, 1, 1, 8, LSBFirst, LSBFirst, 8), true},
    {layout(XYBitmap, 1, 1, 16, LSBFirst, LSBFirst, 32), true},
    {layout(XYBitmap, 1, 1, 32, MSBFirst, LSBFirst, 32), false},
    {layout(XYBitmap, 1, 1, 16, LSBFirst, MSBFirst, 16), false},
    {layout(ZPixmap, 1, 1, 32, LSBFirst, LSBFirst, 32), true},
    {layout(XYPixmap, 4, 1, 8, MSBFirst, MSBFirst, 8), false},
    {layout(ZPixmap, 4, 4, 8, LSBFirst, LSBFirst, 8), false},
    {layout(ZPixmap, 4, 4, 8, MSBFirst, MSBFirst, 32), false},
    {layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), true},
    {layout(ZPixmap, 6, 8, 32, MSBFirst, MSBFirst, 32), true},
    {layout(ZPixmap, 16, 16, 16, LSBFirst, LSBFirst, 16, 0xf800, 0x07e0, 0x001f), false},
    {layout(ZPixmap, 16, 16, 16, MSBFirst, MSBFirst, 32, 0xf800, 0x07e0, 0x001f), false},
    {layout(ZPixmap, 24, 24, 8, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff), false},
    {layout(ZPixmap, 24, 24, 8, MSBFirst, MSBFirst, 8, 0xff0000, 0xff00, 0xff), false},
    {layout(ZPixmap, 24, 32, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff), true},
    {layout(ZPixmap, 24, 32, 32, MSBFirst, MSBFirst, 32, 0xff, 0xff00, 0xff0000), true},
    {layout(ZPixmap, 32, 32, 32, MSBFirst, LSBFirst, 32), true},
};

// Our accessors read what Xlib's read and write the bytes Xlib writes, with and without x
// offset; layouts without accessors of our own keep Xlib's functions.
TEST(XimageAccessors, MatchXlibOnEveryLayout) {
  std::mt19937 random(18);
  for (const Layout &l : kLayouts) {
    for (int xOffset : {0, 3, 13}) {
      SCOPED_TRACE(std::string(name(l.format)) + " x offset " + std::to_string(xOffset));
      ImagePtr ours = makeImage(l.format, 37, 5, xOffset);
      ImagePtr theirs = makeImage(l.format, 37, 5, xOffset);
      ASSERT_TRUE(ours && theirs);
      XImage reference = xlibTwin(ours.get());
      EXPECT_EQ(ours->f.get_pixel != reference.f.get_pixel, l.special);
      EXPECT_EQ(ours->f.put_pixel != reference.f.put_pixel, l.special);
      fillRandom(ours.get(), random);
      for (int y = 0; y < 5; y++)
        for (int x = 0; x < 37; x++) ASSERT_EQ(XGetPixel(ours.get(), x, y), XGetPixel(&reference, x, y)) << x << "," << y;
      // The same puts through both sets of functions leave the same bytes.
      memcpy(theirs->data, ours->data, dataBytes(ours.get()));
      XImage theirsXlib = xlibTwin(theirs.get());
      for (int i = 0; i < 200; i++) {
        int x = static_cast<int>(random() % 37), y = static_cast<int>(random() % 5);
        unsigned long pixel = random() & depthMask(ours->depth);
        XPutPixel(ours.get(), x, y, pixel);
        XPutPixel(&theirsXlib, x, y, pixel);
      }
      EXPECT_EQ(memcmp(ours->data, theirs->data, dataBytes(ours.get())), 0);
    }
  }
}

TEST(XimageAccessors, BitOffsetAndWordOrder) {
  // MSBFirst with x offset 3: pixel 0 is bit 0x10 of the first byte.
  ImagePtr bitmap = makeImage(layout(XYBitmap, 1, 1, 8, MSBFirst, MSBFirst, 8), 8, 1, 3);
  bitmap->data[0] = 0x10;
  EXPECT_EQ(XGetPixel(bitmap.get(), 0, 0), 1u);
  bitmap->data[0] = static_cast<char>(0xef);
  EXPECT_EQ(XGetPixel(bitmap.get(), 0, 0), 0u);
  // 32-bit words in both byte orders.
  ImagePtr lsb = makeImage(layout(ZPixmap, 32, 32, 32, LSBFirst, LSBFirst, 32), 2, 1);
  ImagePtr msb = makeImage(layout(ZPixmap, 32, 32, 32, MSBFirst, MSBFirst, 32), 2, 1);
  XPutPixel(lsb.get(), 1, 0, 0x11223344);
  XPutPixel(msb.get(), 1, 0, 0x11223344);
  const unsigned char lsbBytes[] = {0x44, 0x33, 0x22, 0x11}, msbBytes[] = {0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(memcmp(lsb->data + 4, lsbBytes, 4), 0);
  EXPECT_EQ(memcmp(msb->data + 4, msbBytes, 4), 0);
}

// Line lengths follow the pad; sizes that would wrap or exceed the cap are refused without
// touching the record.
TEST(XimageInit, SizesAndRefusals) {
  struct Case {
    ImageFormat format;
    int width, height, xOffset;
    int bytesPerLine;  // -1: refused
  } cases[] = {
      {layout(XYBitmap, 1, 1, 8, LSBFirst, LSBFirst, 32), 10, 2, 3, 4},
      {layout(XYBitmap, 1, 1, 8, LSBFirst, LSBFirst, 8), 17, 2, 0, 3},
      {layout(ZPixmap, 24, 24, 8, LSBFirst, LSBFirst, 32), 5, 3, 0, 16},
      {layout(ZPixmap, 16, 16, 8, LSBFirst, LSBFirst, 8), 5, 3, 0, 10},
      {layout(XYPixmap, 4, 8, 8, LSBFirst, LSBFirst, 16), 9, 3, 0, 2},  // XY formats: 1 bit
      {layout(ZPixmap, 32, 32, 32, LSBFirst, LSBFirst, 32), 65535, 65535, 0, -1},  // above 1 GiB
      {layout(ZPixmap, 32, 32, 32, LSBFirst, LSBFirst, 32), INT_MAX, 1, 0, -1},    // line > INT_MAX
      {layout(XYBitmap, 1, 1, 8, LSBFirst, LSBFirst, 32), INT_MAX, 1, INT_MAX, 536870912},
      {layout(XYBitmap, 1, 1, 8, LSBFirst, LSBFirst, 0), 8, 1, 0, -1},  // no pad
      {layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 12), 8, 1, 0, -1},
      {layout(ZPixmap, 8, 8, 0, LSBFirst, LSBFirst, 8), 8, 1, 0, -1},
      {layout(ZPixmap, 24, 12, 8, LSBFirst, LSBFirst, 8), 8, 1, 0, -1},
      {layout(ZPixmap, 33, 32, 8, LSBFirst, LSBFirst, 8), 8, 1, 0, -1},
      {layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), -1, 1, 0, -1},
      {layout(3, 8, 8, 8, LSBFirst, LSBFirst, 8), 1, 1, 0, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(name(c.format)) + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
    XImage image{};
    image.width = 4242;
    if (c.bytesPerLine == 536870912) {  // fits the line limit; the 1-row image is 512 MiB
      char byte = 0;
      EXPECT_EQ(ximageInit(&image, c.width, c.height, c.xOffset, &byte, &c.format), nullptr);
      EXPECT_EQ(image.bytes_per_line, c.bytesPerLine);
      continue;
    }
    const char *failure = ximageInit(&image, c.width, c.height, c.xOffset, nullptr, &c.format);
    if (c.bytesPerLine < 0) {
      EXPECT_NE(failure, nullptr);
      EXPECT_EQ(image.width, 4242);
      EXPECT_EQ(image.data, nullptr);
      EXPECT_EQ(ximageCreate(c.width, c.height, c.xOffset, &c.format), nullptr);
      continue;
    }
    ASSERT_EQ(failure, nullptr);
    EXPECT_EQ(image.bytes_per_line, c.bytesPerLine);
    // The whole allocation is addressable (the sanitizers watch) and zeroed.
    EXPECT_EQ(std::vector<char>(image.data, image.data + dataBytes(&image)), std::vector<char>(dataBytes(&image), 0));
    XImage *record = static_cast<XImage *>(malloc(sizeof(XImage)));
    *record = image;
    XDestroyImage(record);  // Xlib frees data and record
  }
}

TEST(XimageFormats, StaticRecordsAndEquality) {
  EXPECT_EQ(ximageDefaultFormat.format, static_cast<uint32_t>(XYBitmap));
  EXPECT_EQ(ximageDefaultFormat.depth, 1u);
  const ImageFormat *packed = ximageSetDefaultDepth(24);
  EXPECT_EQ(packed, &ximagePackedFormat);
  EXPECT_EQ(packed->depth, 24u);
  EXPECT_EQ(packed->bitsPerPixel, 24u);
  EXPECT_EQ(packed->format, static_cast<uint32_t>(ZPixmap));
  ImageFormat copy = *packed;
  EXPECT_TRUE(ximageFormatEqual(&copy, packed));
  copy.blueMask = 1;
  EXPECT_FALSE(ximageFormatEqual(&copy, packed));
  ximageSetDefaultDepth(8);
}

// --- Copies -----------------------------------------------------------------------------------

// The pixel a copy puts: channels moved between masks keeping their top bits.
unsigned long referenceConvert(unsigned long pixel, const XImage *s, const XImage *d) {
  bool sMasks = s->red_mask | s->green_mask | s->blue_mask, dMasks = d->red_mask | d->green_mask | d->blue_mask;
  bool same = s->red_mask == d->red_mask && s->green_mask == d->green_mask && s->blue_mask == d->blue_mask;
  if (!sMasks || !dMasks || same) return pixel & depthMask(d->depth);
  unsigned long out = 0;
  const unsigned long masks[3][2] = {{s->red_mask, d->red_mask}, {s->green_mask, d->green_mask}, {s->blue_mask, d->blue_mask}};
  for (const auto &m : masks) {
    int sLow = __builtin_ctzl(m[0]), dLow = __builtin_ctzl(m[1]);
    int sWidth = 64 - __builtin_clzl(m[0]) - sLow, dWidth = 64 - __builtin_clzl(m[1]) - dLow;
    unsigned long v = (pixel & m[0]) >> sLow;
    v = dWidth >= sWidth ? v << (dWidth - sWidth) : v >> (sWidth - dWidth);
    out |= v << dLow;
  }
  return out;
}

// Copies a rectangle between every pair of layouts and compares with a pixel-by-pixel copy
// through Xlib's functions; pixels outside the (clipped) rectangle keep their values.
TEST(XimageCopyArea, AcrossLayoutsMatchesPixelCopy) {
  std::mt19937 random(7);
  struct Rectangle { int sx, sy, w, h, dx, dy; } rectangles[] = {
      {0, 0, 23, 6, 0, 0},    // whole image
      {3, 1, 9, 4, 7, 2},     // inner
      {-5, -2, 40, 20, 4, 1}, // larger than both, negative source
      {10, 2, 30, 9, -6, -1}, // negative destination
      {0, 0, INT_MAX, INT_MAX, 2, 3},
      {22, 5, 1, 1, 22, 5},
      {5, 5, 0, 3, 0, 0},     // empty
  };
  for (const Layout &from : kLayouts) {
    for (const Layout &to : kLayouts) {
      for (const Rectangle &r : rectangles) {
        SCOPED_TRACE(std::string(name(from.format)) + " -> " + name(to.format) + " rect " + std::to_string(r.sx) + "," +
                     std::to_string(r.sy) + " " + std::to_string(r.w) + "x" + std::to_string(r.h));
        ImagePtr s = makeImage(from.format, 23, 6, from.format.format == ZPixmap ? 0 : 5);
        ImagePtr d = makeImage(to.format, 23, 6);
        fillRandom(s.get(), random);
        fillRandom(d.get(), random);
        XImage sx = xlibTwin(s.get()), dx = xlibTwin(d.get());
        std::vector<unsigned long> expected(23 * 6);
        for (int y = 0; y < 6; y++)
          for (int x = 0; x < 23; x++) expected[y * 23 + x] = XGetPixel(&dx, x, y);
        for (long j = 0; j < r.h && j < 64; j++)
          for (long i = 0; i < r.w && i < 64; i++) {
            long fx = r.sx + i, fy = r.sy + j, tx = r.dx + i, ty = r.dy + j;
            if (fx < 0 || fy < 0 || fx >= 23 || fy >= 6 || tx < 0 || ty < 0 || tx >= 23 || ty >= 6) continue;
            expected[ty * 23 + tx] = referenceConvert(XGetPixel(&sx, static_cast<int>(fx), static_cast<int>(fy)), &sx, &dx);
          }
        ximageCopyArea(s.get(), r.sx, r.sy, r.w, r.h, d.get(), r.dx, r.dy);
        for (int y = 0; y < 6; y++)
          for (int x = 0; x < 23; x++)
            ASSERT_EQ(XGetPixel(&dx, x, y) & depthMask(dx.depth), expected[y * 23 + x] & depthMask(dx.depth))
                << x << "," << y;
      }
    }
  }
}

TEST(XimageCopyArea, ByteOrdersAndMasks) {
  struct Case {
    ImageFormat from, to;
    unsigned long pixel, expected;
    std::vector<unsigned char> bytes;  // the destination's first pixel
  } cases[] = {
      {layout(ZPixmap, 32, 32, 32, LSBFirst, LSBFirst, 32), layout(ZPixmap, 32, 32, 32, MSBFirst, MSBFirst, 32),
       0x11223344, 0x11223344, {0x11, 0x22, 0x33, 0x44}},
      {layout(ZPixmap, 24, 24, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff),
       layout(ZPixmap, 24, 24, 32, MSBFirst, MSBFirst, 32, 0xff0000, 0xff00, 0xff), 0x112233, 0x112233, {0x11, 0x22, 0x33}},
      {layout(ZPixmap, 24, 24, 32, MSBFirst, MSBFirst, 32, 0xff0000, 0xff00, 0xff),
       layout(ZPixmap, 24, 24, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff), 0x112233, 0x112233, {0x33, 0x22, 0x11}},
      {layout(ZPixmap, 16, 16, 16, LSBFirst, LSBFirst, 16, 0xf800, 0x7e0, 0x1f),
       layout(ZPixmap, 16, 16, 16, MSBFirst, MSBFirst, 16, 0xf800, 0x7e0, 0x1f), 0xf81f, 0xf81f, {0xf8, 0x1f}},
      // 565 to 888: channels keep their top bits.
      {layout(ZPixmap, 16, 16, 16, LSBFirst, LSBFirst, 16, 0xf800, 0x7e0, 0x1f),
       layout(ZPixmap, 24, 32, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff), 0xf800, 0xf80000, {0, 0, 0xf8, 0}},
      {layout(ZPixmap, 24, 32, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff),
       layout(ZPixmap, 16, 16, 16, LSBFirst, LSBFirst, 16, 0xf800, 0x7e0, 0x1f), 0xffff00, 0xffe0, {0xe0, 0xff}},
      // RGB to BGR at equal widths: positions swap only.
      {layout(ZPixmap, 24, 32, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff),
       layout(ZPixmap, 24, 32, 32, LSBFirst, LSBFirst, 32, 0xff, 0xff00, 0xff0000), 0x123456, 0x563412, {0x12, 0x34, 0x56, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(name(c.from)) + " -> " + name(c.to));
    ImagePtr s = makeImage(c.from, 3, 2), d = makeImage(c.to, 3, 2);
    XPutPixel(s.get(), 0, 0, c.pixel);
    ximageCopyArea(s.get(), 0, 0, 3, 2, d.get(), 0, 0);
    EXPECT_EQ(XGetPixel(d.get(), 0, 0), c.expected);
    EXPECT_EQ(std::vector<unsigned char>(d->data, d->data + c.bytes.size()), c.bytes);
  }
}

TEST(XimageCopyArea, OverlapInsideOneImage) {
  ImagePtr image = makeImage(layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), 10, 1);
  ImagePtr bitmap = makeImage(layout(XYBitmap, 1, 1, 8, LSBFirst, MSBFirst, 8), 10, 1);
  for (int x = 0; x < 10; x++) XPutPixel(image.get(), x, 0, x), XPutPixel(bitmap.get(), x, 0, x == 0 || x == 3);
  ximageCopyArea(image.get(), 0, 0, 6, 1, image.get(), 3, 0);
  ximageCopyArea(bitmap.get(), 0, 0, 6, 1, bitmap.get(), 3, 0);
  const unsigned long bytes[] = {0, 1, 2, 0, 1, 2, 3, 4, 5, 9}, bits[] = {1, 0, 0, 1, 0, 0, 1, 0, 0, 0};
  for (int x = 0; x < 10; x++) {
    EXPECT_EQ(XGetPixel(image.get(), x, 0), bytes[x]) << x;
    EXPECT_EQ(XGetPixel(bitmap.get(), x, 0), bits[x]) << x;
  }
}

// --- Scaled copies and rotation ----------------------------------------------------------------

TEST(XimageCopyConvert, QuarterTurnsComeBackToTheOriginal) {
  std::mt19937 random(3);
  for (const ImageFormat &f : {layout(ZPixmap, 32, 32, 32, LSBFirst, LSBFirst, 32),
                               layout(XYBitmap, 1, 1, 8, MSBFirst, LSBFirst, 8)}) {
    SCOPED_TRACE(name(f));
    ImagePtr original = makeImage(f, 5, 3);
    fillRandom(original.get(), random);
    // Clockwise: the source's top-left pixel lands top-right.
    ImagePtr turned = makeImage(f, 3, 5);
    ASSERT_EQ(ximageCopyConvert(original.get(), 0, 0, 5, 3, turned.get(), 0, 0, 3, 5, 1), nullptr);
    for (int y = 0; y < 5; y++)
      for (int x = 0; x < 3; x++) ASSERT_EQ(XGetPixel(turned.get(), x, y), XGetPixel(original.get(), y, 2 - x));
    ImagePtr current = makeImage(f, 5, 3);
    ximageCopyArea(original.get(), 0, 0, 5, 3, current.get(), 0, 0);
    for (int turn = 0; turn < 4; turn++) {
      ImagePtr next = makeImage(f, current->height, current->width);
      ASSERT_EQ(ximageCopyConvert(current.get(), 0, 0, current->width, current->height, next.get(), 0, 0,
                                  next->width, next->height, 1), nullptr);
      current = std::move(next);
    }
    EXPECT_EQ(pixelsOf(current.get()), pixelsOf(original.get()));
    // Three quarters undo one quarter; two halves undo each other.
    ImagePtr back = makeImage(f, 5, 3), half = makeImage(f, 5, 3), whole = makeImage(f, 5, 3);
    ximageCopyConvert(turned.get(), 0, 0, 3, 5, back.get(), 0, 0, 5, 3, 3);
    EXPECT_EQ(pixelsOf(back.get()), pixelsOf(original.get()));
    ximageCopyConvert(original.get(), 0, 0, 5, 3, half.get(), 0, 0, 5, 3, 2);
    EXPECT_EQ(XGetPixel(half.get(), 0, 0), XGetPixel(original.get(), 4, 2));
    ximageCopyConvert(half.get(), 0, 0, 5, 3, whole.get(), 0, 0, 5, 3, 2);
    EXPECT_EQ(pixelsOf(whole.get()), pixelsOf(original.get()));
  }
}

// Whole factors replicate (byte path and pixel path); other factors take the nearest pixel.
TEST(XimageCopyConvert, ScalingAndClipping) {
  std::mt19937 random(5);
  struct Case {
    ImageFormat format;
    int dw, dh, dx, dy;  // the source is 4 x 4 at 0, 0
  } cases[] = {
      {layout(ZPixmap, 32, 32, 32, LSBFirst, LSBFirst, 32), 12, 8, 0, 0},
      {layout(ZPixmap, 24, 24, 8, MSBFirst, MSBFirst, 32), 12, 12, 0, 0},
      {layout(ZPixmap, 32, 32, 32, LSBFirst, LSBFirst, 32), 12, 8, -5, 3},  // partly outside
      {layout(XYBitmap, 1, 1, 8, MSBFirst, MSBFirst, 8), 8, 12, 2, -3},
      {layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), 6, 10, 1, 1},       // 1.5 and 2.5
      {layout(ZPixmap, 16, 16, 16, LSBFirst, LSBFirst, 16), 3, 7, 0, 0},
      {layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), 1 << 30, 1 << 30, -(1 << 29), -(1 << 29)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(name(c.format)) + " to " + std::to_string(c.dw) + "x" + std::to_string(c.dh));
    ImagePtr s = makeImage(c.format, 4, 4), d = makeImage(c.format, 13, 13);
    fillRandom(s.get(), random);
    fillRandom(d.get(), random);
    std::vector<unsigned long> before = pixelsOf(d.get());
    ASSERT_EQ(ximageCopyConvert(s.get(), 0, 0, 4, 4, d.get(), c.dx, c.dy, c.dw, c.dh, 0), nullptr);
    for (int y = 0; y < 13; y++)
      for (int x = 0; x < 13; x++) {
        long i = x - c.dx, j = y - c.dy;
        unsigned long want = before[y * 13 + x];
        if (i >= 0 && j >= 0 && i < c.dw && j < c.dh) {
          long fx = (2 * i * 4 + c.dw) / (2L * c.dw), fy = (2 * j * 4 + c.dh) / (2L * c.dh);  // round(i*4/dw)
          if (c.dw % 4 == 0) fx = i / (c.dw / 4);
          if (c.dh % 4 == 0 && c.dw % 4 == 0) fy = j / (c.dh / 4);
          want = XGetPixel(s.get(), static_cast<int>(std::min(fx, 3L)), static_cast<int>(std::min(fy, 3L)));
        }
        ASSERT_EQ(XGetPixel(d.get(), x, y), want) << x << "," << y;
      }
  }
  ImagePtr image = makeImage(layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), 4, 4);
  EXPECT_NE(ximageCopyConvert(image.get(), 0, 0, 2, 2, image.get(), 2, 2, 1, 1, 0), nullptr);
  ImagePtr other = makeImage(layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), 4, 4);
  EXPECT_NE(ximageCopyConvert(image.get(), 0, 0, 2, 2, other.get(), 0, 0, 4, 4, 4), nullptr);
  // A source rectangle beyond the source image leaves those destination pixels alone.
  memset(other->data, 9, dataBytes(other.get()));
  memset(image->data, 1, dataBytes(image.get()));
  ASSERT_EQ(ximageCopyConvert(image.get(), 2, 2, 4, 4, other.get(), 0, 0, 3, 3, 0), nullptr);
  EXPECT_EQ(pixelsOf(other.get()), (std::vector<unsigned long>{1, 1, 9, 9, 1, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}));
}

// --- The bitmap scaler ------------------------------------------------------------------------

ImagePtr bitmap(int width, int height, bool ones) {
  ImagePtr image = makeImage(layout(XYBitmap, 1, 1, 8, LSBFirst, LSBFirst, 8), width, height);
  if (ones) memset(image->data, 0xff, dataBytes(image.get()));
  return image;
}

std::string bitsOf(XImage *image) {
  std::string text;
  for (int y = 0; y < image->height; y++) {
    for (int x = 0; x < image->width; x++) text += XGetPixel(image, x, y) ? '#' : '.';
    text += '|';
  }
  return text;
}

TEST(XimageScaleRect, EdgeCases) {
  ImagePtr ones = bitmap(8, 8, true), four = bitmap(4, 4, false);
  ximageScaleRect(ones.get(), 0, 0, 8, 8, four.get(), 0, 0, 4, 4);
  EXPECT_EQ(bitsOf(four.get()), "####|####|####|####|");

  ImagePtr single = bitmap(8, 8, false);
  XPutPixel(single.get(), 7, 7, 1);
  ximageScaleRect(single.get(), 0, 0, 8, 8, four.get(), 0, 0, 4, 4);
  EXPECT_EQ(bitsOf(four.get()), "....|....|....|...#|");

  // A source rectangle at 10,10 maps its first column and row onto the destination origin.
  ImagePtr big = bitmap(20, 20, false);
  XPutPixel(big.get(), 10, 10, 1);
  ImagePtr six = bitmap(6, 6, false);
  ximageScaleRect(big.get(), 10, 10, 20, 20, six.get(), 1, 1, 6, 6);
  EXPECT_EQ(bitsOf(six.get()), "......|.#....|......|......|......|......|");

  // A partial destination leaves the rest alone, and the clearing stays inside it.
  ImagePtr filled = bitmap(6, 6, true);
  ximageScaleRect(single.get(), 0, 0, 8, 8, filled.get(), 1, 1, 3, 3);
  EXPECT_EQ(bitsOf(filled.get()), "######|#..###|#.####|######|######|######|");

  // Empty rectangles return at once; rectangles beyond the images are clipped.
  ImagePtr untouched = bitmap(6, 6, true);
  ximageScaleRect(ones.get(), 0, 0, 8, 8, untouched.get(), 3, 3, 3, 9);
  ximageScaleRect(ones.get(), 4, 0, 4, 8, untouched.get(), 0, 0, 6, 6);
  ximageScaleRect(ones.get(), 0, 0, 8, 8, untouched.get(), 5, 5, 2, 2);
  EXPECT_EQ(bitsOf(untouched.get()), "######|######|######|######|######|######|");
  ImagePtr clipped = bitmap(4, 4, false);
  // 16 x 16 source pixels (half outside) onto 8 x 8 destination pixels (a quarter inside).
  ximageScaleRect(ones.get(), -8, -8, 8, 8, clipped.get(), -2, -2, 6, 6);
  EXPECT_EQ(bitsOf(clipped.get()), "....|....|..##|..##|");
  ximageScaleRect(ones.get(), 0, 0, 8, 8, clipped.get(), 0, 0, 4, 4);
  ximageScaleRect(ones.get(), 100, 100, 200, 200, clipped.get(), 0, 0, 2, 2);  // clears only
  EXPECT_EQ(bitsOf(clipped.get()), "..##|..##|####|####|");
  ximageScaleRect(single.get(), 0, 0, INT_MAX, INT_MAX, clipped.get(), INT_MIN, INT_MIN, INT_MAX, INT_MAX);
  EXPECT_EQ(bitsOf(clipped.get()), "....|....|....|....|");
}

TEST(XimageScale, BitmapsDoubleWithSmoothingThenScale) {
  // 4 x 4 by 3: doubled once to 8 x 8, then 1.5 by nearest pixel to 12 x 12.
  ImagePtr ones = bitmap(4, 4, true);
  ImagePtr scaled(ximageScale(ones.get(), 3, 3));
  ASSERT_TRUE(scaled);
  EXPECT_EQ(scaled->width, 12);
  EXPECT_EQ(scaled->height, 12);
  std::string allSet;
  for (int i = 0; i < 12; i++) allSet += std::string(12, '#') + '|';
  EXPECT_EQ(bitsOf(scaled.get()), allSet);  // corners and edges stay set
  // A lone pixel (4 of 9 doubled pixels around each of its copies) is smoothed away; a
  // diagonal keeps its ends and thins in the middle; an L keeps its inner corner filled.
  ImagePtr dot = bitmap(3, 3, false);
  XPutPixel(dot.get(), 1, 1, 1);
  ImagePtr dotScaled(ximageScale(dot.get(), 2, 2));
  ASSERT_TRUE(dotScaled);
  EXPECT_EQ(bitsOf(dotScaled.get()), "......|......|......|......|......|......|");
  ImagePtr diagonal = bitmap(3, 3, false);
  for (int i = 0; i < 3; i++) XPutPixel(diagonal.get(), i, i, 1);
  ImagePtr diagonalScaled(ximageScale(diagonal.get(), 2, 2));
  EXPECT_EQ(bitsOf(diagonalScaled.get()), "##....|##....|..#...|...#..|....##|....##|");
  ImagePtr corner = bitmap(2, 2, true);
  XPutPixel(corner.get(), 1, 0, 0);
  ImagePtr cornerScaled(ximageScale(corner.get(), 2, 2));
  EXPECT_EQ(bitsOf(cornerScaled.get()), "##..|###.|####|####|");

  EXPECT_EQ(ximageScale(ones.get(), 1, 1), ones.get());
  EXPECT_EQ(ximageScale(ones.get(), 0, 2), nullptr);
  EXPECT_EQ(ximageScale(ones.get(), 2, -1), nullptr);
  EXPECT_EQ(ximageScale(ones.get(), 1e12, 1e12), nullptr);

  ImagePtr colour = makeImage(layout(ZPixmap, 24, 32, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff), 2, 1);
  XPutPixel(colour.get(), 0, 0, 0x123456);
  XPutPixel(colour.get(), 1, 0, 0xabcdef);
  ImagePtr wide(ximageScale(colour.get(), 2, 0.5));
  ASSERT_TRUE(wide);
  EXPECT_EQ(pixelsOf(wide.get()), (std::vector<unsigned long>{0x123456, 0x123456, 0xabcdef, 0xabcdef}));
}

// --- Values, packed RGB and PPM -----------------------------------------------------------------

TEST(XimageValues, FilterValues) {
  struct Case {
    unsigned long value, mask;
    std::vector<unsigned long> in, out;
  } cases[] = {
      {5, 0, {1, 5, 7, 5, 9}, {1, 7, 9}},
      {4, 0x3, {4, 5, 6, 7, 8, 3}, {8, 3}},          // 5, 6, 7 differ from 4 in mask bits only
      {0x10, 0x100, {0x10, 0x110, 0x120, 0x8}, {0x120, 0x8}},
      {2, 0xff, {}, {}},
  };
  for (const Case &c : cases) {
    std::vector<unsigned long> values = c.in;
    int n = ximageFilterValues(c.value, c.mask, values.data(), static_cast<int>(values.size()));
    values.resize(static_cast<size_t>(n));
    EXPECT_EQ(values, c.out);
  }
  unsigned long pixel = 3;
  EXPECT_EQ(ximageFilterValues(3, 0, &pixel, -1), 0);
  EXPECT_EQ(ximageFilterValues(3, 0, nullptr, 4), 0);
}

TEST(XimageRgb, ChannelsTakeTheirTopBits) {
  struct Case {
    ImageFormat format;
    unsigned long pixel;
    unsigned char rgb[3];
  } cases[] = {
      {layout(ZPixmap, 16, 16, 16, LSBFirst, LSBFirst, 16, 0xf800, 0x07e0, 0x001f), 0xf800, {0xf8, 0, 0}},
      {layout(ZPixmap, 16, 16, 16, LSBFirst, LSBFirst, 16, 0xf800, 0x07e0, 0x001f), 0x07ff, {0, 0xfc, 0xf8}},
      {layout(ZPixmap, 24, 32, 32, MSBFirst, MSBFirst, 32, 0xff0000, 0xff00, 0xff), 0x123456, {0x12, 0x34, 0x56}},
      {layout(ZPixmap, 32, 32, 32, LSBFirst, LSBFirst, 32, 0x3ff00000, 0xffc00, 0x3ff), 0x3ff003ff, {0xff, 0, 0xff}},
      {layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8, 0xe0, 0x1c, 0), 0xff, {0xe0, 0xe0, 0}},  // no blue
      {layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), 0xff, {0, 0, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(name(c.format));
    ImagePtr image = makeImage(c.format, 2, 2);
    XPutPixel(image.get(), 1, 1, c.pixel);
    // A 4 x 3 destination with the image at 1, 1; guard bytes around it stay.
    std::vector<unsigned char> destination(4 * 3 * 3 + 8, 0xaa);
    ximageToRgb24(image.get(), destination.data() + 4, 1, 1, 4);
    unsigned char *at = destination.data() + 4 + ((2 * 4) + 2) * 3;
    EXPECT_EQ(std::vector<unsigned char>(at, at + 3), std::vector<unsigned char>(c.rgb, c.rgb + 3));
    EXPECT_EQ(destination[4 + (1 * 4 + 1) * 3], 0);
    EXPECT_EQ(destination[4 + (1 * 4) * 3], 0xaa);  // column 0 is outside the image
    EXPECT_EQ(destination[0], 0xaa);
    EXPECT_EQ(destination[destination.size() - 5], 0xaa);
    ximageToRgb24(image.get(), destination.data(), 3, 0, 4);  // does not fit the row
    EXPECT_EQ(destination[0], 0xaa);
  }
}

std::string tempDir() {
  char path[] = "/tmp/ximage_test.XXXXXX";
  EXPECT_NE(mkdtemp(path), nullptr);
  return path;
}

// Reads a PPM with python3 and prints "width height sum-of-bytes first-red".
std::string readWithPython(const std::string &path) {
  std::string command = "/usr/bin/python3 -c \"import sys\n"
                        "d=open(sys.argv[1],'rb').read()\n"
                        "parts=d.split(maxsplit=4)\n"
                        "assert parts[0]==b'P6' and parts[3]==b'255'\n"
                        "w,h=int(parts[1]),int(parts[2])\n"
                        "px=parts[4]\n"
                        "assert len(px)==w*h*3\n"
                        "print(w,h,sum(px),px[0])\" " + path;
  FILE *pipe = popen(command.c_str(), "r");
  char line[256] = "";
  if (pipe) {
    if (!fgets(line, sizeof line, pipe)) line[0] = 0;
    pclose(pipe);
  }
  return line;
}

TEST(XimagePpm, WrittenFilesReadBack) {
  ImagePtr image = makeImage(layout(ZPixmap, 24, 32, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff), 3, 2);
  XPutPixel(image.get(), 0, 0, 0x102030);
  XPutPixel(image.get(), 2, 1, 0x010203);
  std::string dir = tempDir(), path = dir + "/image.ppm";
  ASSERT_EQ(ximageWritePpm(image.get(), path.c_str()), nullptr);
  EXPECT_EQ(readWithPython(path), "3 2 102 16\n");

  size_t length = 0;
  uint8_t *memory = ximagePpmInMemory(image.get(), &length);
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(memory), 11), "P6 3 2 255\n");
  EXPECT_EQ(length, 11u + 18u);
  // The raw twin writes the same file from packed RGB.
  std::string raw = dir + "/raw.ppm";
  ASSERT_EQ(ximageWriteRgbPpm(memory + 11, 3, 2, raw.c_str()), nullptr);
  EXPECT_EQ(readWithPython(raw), "3 2 102 16\n");
  free(memory);

  // A planted symlink is not followed; long names and missing directories give the texts.
  std::string link = dir + "/link.ppm", target = dir + "/target";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const char *failure = ximageWritePpm(image.get(), link.c_str());
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(std::string(failure).rfind("Can't create file '" + link + "': ", 0), 0u) << failure;
  EXPECT_NE(access(target.c_str(), F_OK), 0);
  std::string longName(5000, 'a');
  failure = ximageWritePpm(image.get(), longName.c_str());
  ASSERT_NE(failure, nullptr);
  EXPECT_EQ(std::string(failure).rfind("Can't create file 'aaaa", 0), 0u);
  failure = ximageWritePpm(image.get(), (dir + "/missing/x.ppm").c_str());
  ASSERT_NE(failure, nullptr);
  EXPECT_NE(std::string(failure).find("Can't create file '" + dir + "/missing/x.ppm': "), std::string::npos);
  if (access("/dev/full", W_OK) == 0) {
    failure = ximageWritePpm(image.get(), "/dev/full");
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(std::string(failure).rfind("Can't write file '/dev/full': ", 0), 0u) << failure;
  }

  // "-" writes to standard output and leaves it open.
  std::string out = dir + "/stdout.ppm";
  fflush(stdout);
  int saved = dup(1);
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  dup2(fd, 1);
  close(fd);
  EXPECT_EQ(ximageWritePpm(image.get(), "-"), nullptr);
  EXPECT_NE(fcntl(1, F_GETFD), -1);
  dup2(saved, 1);
  close(saved);
  EXPECT_EQ(readWithPython(out), "3 2 102 16\n");
  std::string cleanup = "rm -rf " + dir;
  EXPECT_EQ(system(cleanup.c_str()), 0);
}

// --- Helpers ------------------------------------------------------------------------------------

TEST(XimageHelpers, SmallTools) {
  struct Turn { int degrees, turns; } turns[] = {{0, 0}, {90, 1}, {180, 2}, {270, 3}, {360, 0}, {-90, 3}, {450, 1}, {45, -1}, {-100, -1}};
  for (const Turn &t : turns) EXPECT_EQ(ximageQuarterTurns(t.degrees), t.turns) << t.degrees;

  std::mt19937 random(11);
  ImagePtr image = makeImage(layout(ZPixmap, 16, 16, 16, MSBFirst, MSBFirst, 32, 0xf800, 0x7e0, 0x1f), 5, 3, 2);
  fillRandom(image.get(), random);
  ImagePtr copy(ximageDuplicate(image.get()));
  ASSERT_TRUE(copy);
  EXPECT_EQ(pixelsOf(copy.get()), pixelsOf(image.get()));
  EXPECT_EQ(copy->xoffset, 2);
  EXPECT_TRUE(ximageIsPlausible(image.get()));
  XImage odd = *image;
  odd.format = 3;
  EXPECT_FALSE(ximageIsPlausible(&odd));
  odd = *image;
  odd.width = 65536;
  EXPECT_FALSE(ximageIsPlausible(&odd));

  unsigned long *values = nullptr;
  int count = 0;
  ImagePtr small = makeImage(layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), 3, 2);
  const char pixels[] = {7, 3, 7, 0, 3, 9};
  memcpy(small->data, pixels, sizeof pixels);
  ASSERT_EQ(ximageDistinctPixels(small.get(), &values, &count), nullptr);
  EXPECT_EQ(std::vector<unsigned long>(values, values + count), (std::vector<unsigned long>{0, 3, 7, 9}));
  free(values);

  ImageRowBuffer buffer{};
  ASSERT_EQ(ximageToRowBufferFlipped(small.get(), &buffer, 2), nullptr);
  EXPECT_EQ(ximageRowBufferGet(&buffer, 0, 1), 7u);
  EXPECT_EQ(ximageRowBufferGet(&buffer, 2, 0), 9u);
  EXPECT_EQ(ximageRowBufferGet(&buffer, 3, 0), 0u);  // outside
  ximageRowBufferPut(&buffer, -1, 0, 5);
  ximageRowBufferFree(&buffer);
  ASSERT_EQ(ximageRowBufferInit(&buffer, 10, 2, 0), nullptr);
  ximageRowBufferPut(&buffer, 9, 1, 1);
  EXPECT_EQ(buffer.data[3], 0x40);
  EXPECT_EQ(ximageRowBufferGet(&buffer, 9, 1), 1u);
  ximageRowBufferFree(&buffer);

  const uint8_t rgb[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  size_t rowBytes = 0;
  uint8_t *padded = ximageRgbPad(rgb, 2, 2, 4, &rowBytes);
  ASSERT_NE(padded, nullptr);
  EXPECT_EQ(rowBytes, 8u);
  EXPECT_EQ(std::vector<uint8_t>(padded, padded + 16), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}));
  free(padded);
  uint8_t target[4 * 3 * 2] = {};
  ximageRgbCopy(rgb, 2, 1, 0, 1, 2, target, 4, 3, 0);
  EXPECT_EQ(target[9], 4);
  EXPECT_EQ(target[12 + 11], 12);
  ximageRgbCopy(rgb, 2, 1, 0, 2, 2, target, 4, 0, 0);  // beyond the source row: refused
  EXPECT_EQ(target[0], 0);

  ImagePtr picture = makeImage(layout(ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8), 4, 4);
  memset(picture->data, 2, dataBytes(picture.get()));
  ImagePtr labelled(ximageWithText(picture.get(), "Hi\n1", 5));
  ASSERT_TRUE(labelled);
  EXPECT_GE(labelled->width, 12);
  EXPECT_GE(labelled->height, 4 + 16);
  EXPECT_EQ(XGetPixel(labelled.get(), 3, 3), 2u);
  std::vector<unsigned long> below = pixelsOf(labelled.get());
  EXPECT_GT(std::count(below.begin(), below.end(), 5UL), 10);
  ImagePtr unlabelled(ximageWithText(picture.get(), "\x7f\x80", 5));
  ASSERT_TRUE(unlabelled);
  std::vector<unsigned long> none = pixelsOf(unlabelled.get());
  EXPECT_EQ(std::count(none.begin(), none.end(), 5UL), 0);
}

}  // namespace
