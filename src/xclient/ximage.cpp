// Image formats, XImages with fast pixel accessors, copies between image layouts, scaling with
// quarter turns, packed RGB and PPM output.
#include "xclient/ximage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

// ImUtil.h declares Xlib's image internals without C linkage.
extern "C" {
#include <X11/ImUtil.h>
}
#include <X11/Xlib-xcb.h>
#include <X11/Xlibint.h>
// Xlibint.h defines min and max as macros; std::min and std::max are meant here.
#undef min
#undef max

#include "support/strings.h"
#include "xclient/xtarget.h"

const ImageFormat ximageDefaultFormat = {XYBitmap, 1, 1, 8, LSBFirst, LSBFirst, 8, 0, 0, 0};
ImageFormat ximagePackedFormat = {ZPixmap, 8, 8, 8, LSBFirst, LSBFirst, 8, 0, 0, 0};
ImageFormat ximageDisplayFormat = {};

namespace {

XimageGCProvider gcProvider = nullptr;

using i64 = int64_t;

// The low `depth` bits of a pixel (all 32 for depth 32 and above).
unsigned long depthBits(int depth) {
  return depth >= 32 || depth < 0 ? 0xffffffffUL : (1UL << depth) - 1;
}

uint8_t *rowAt(const XImage *image, int y) {
  return reinterpret_cast<uint8_t *>(image->data) + static_cast<i64>(y) * image->bytes_per_line;
}

// Bytes of the image's data: every row, times the depth for XYPixmap.
uint64_t imageBytes(const XImage *image) {
  uint64_t planes = image->format == XYPixmap ? static_cast<uint64_t>(image->depth) : 1;
  return static_cast<uint64_t>(image->bytes_per_line) * static_cast<uint64_t>(image->height) * planes;
}

// --- Specialised accessors ------------------------------------------------------------------

// 1-bit images whose byte order equals their bit order: byte x / 8 of the row, whatever the
// bitmap unit.
template <bool kMsb, bool kOffset>
unsigned long getBit(XImage *image, int x, int y) {
  if constexpr (kOffset) x += image->xoffset;
  uint8_t byte = rowAt(image, y)[x >> 3];
  return kMsb ? (byte >> (7 - (x & 7))) & 1 : (byte >> (x & 7)) & 1;
}

template <bool kMsb, bool kOffset>
int putBit(XImage *image, int x, int y, unsigned long pixel) {
  if constexpr (kOffset) x += image->xoffset;
  uint8_t *byte = rowAt(image, y) + (x >> 3);
  uint8_t bit = kMsb ? static_cast<uint8_t>(0x80 >> (x & 7)) : static_cast<uint8_t>(1 << (x & 7));
  if (pixel & 1)
    *byte |= bit;
  else
    *byte &= static_cast<uint8_t>(~bit);
  return 1;
}

unsigned long getPixel8(XImage *image, int x, int y) {
  return rowAt(image, y)[x] & depthBits(image->depth);
}

int putPixel8(XImage *image, int x, int y, unsigned long pixel) {
  rowAt(image, y)[x] = static_cast<uint8_t>(pixel);
  return 1;
}

// 32-bit pixels in LSBFirst order: a plain word on a little-endian host.
unsigned long getPixel32Lsb(XImage *image, int x, int y) {
  uint32_t word;
  memcpy(&word, rowAt(image, y) + 4 * static_cast<i64>(x), 4);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
  return word & depthBits(image->depth);
}

int putPixel32Lsb(XImage *image, int x, int y, unsigned long pixel) {
  uint32_t word = static_cast<uint32_t>(pixel);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
  memcpy(rowAt(image, y) + 4 * static_cast<i64>(x), &word, 4);
  return 1;
}

unsigned long getPixel32Msb(XImage *image, int x, int y) {
  const uint8_t *p = rowAt(image, y) + 4 * static_cast<i64>(x);
  unsigned long word = (static_cast<unsigned long>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
  return word & depthBits(image->depth);
}

int putPixel32Msb(XImage *image, int x, int y, unsigned long pixel) {
  uint8_t *p = rowAt(image, y) + 4 * static_cast<i64>(x);
  p[0] = static_cast<uint8_t>(pixel >> 24);
  p[1] = static_cast<uint8_t>(pixel >> 16);
  p[2] = static_cast<uint8_t>(pixel >> 8);
  p[3] = static_cast<uint8_t>(pixel);
  return 1;
}

// --- Image records --------------------------------------------------------------------------

bool isUnitOrPad(uint32_t v) { return v == 8 || v == 16 || v == 32; }
bool isZPixmapDepth(uint32_t bpp) { return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32; }

// Fills a record (zeroed first, without data and functions) and its data size; the record is
// untouched on failure.
const char *fillImage(XImage *image, int width, int height, int xOffset, const ImageFormat *format,
                      uint64_t *bytes) {
  if (!image || !format) return "No image or no format";
  if (width < 0 || height < 0 || xOffset < 0)
    return strTempPrintf("Bad image size %dx%d (x offset %d)", width, height, xOffset);
  if (format->format > ZPixmap || format->depth < 1 || format->depth > 32)
    return strTempPrintf("Bad image format %u of depth %u", format->format, format->depth);
  // Xlib addresses XY images plane by plane, one bit per pixel.
  uint32_t bitsPerPixel = format->format == ZPixmap ? format->bitsPerPixel : 1;
  if (format->format == ZPixmap && (!isZPixmapDepth(bitsPerPixel) || bitsPerPixel < format->depth))
    return strTempPrintf("Bad image format: %u bits per pixel at depth %u", bitsPerPixel, format->depth);
  if (!isUnitOrPad(format->scanlinePad) || !isUnitOrPad(format->bitmapUnit))
    return strTempPrintf("Bad image format: unit %u, pad %u", format->bitmapUnit, format->scanlinePad);
  uint64_t bits = (static_cast<uint64_t>(xOffset) + static_cast<uint64_t>(width)) * bitsPerPixel;
  uint64_t bytesPerLine = (bits + format->scanlinePad - 1) / format->scanlinePad * format->scanlinePad / 8;
  uint64_t planes = format->format == XYPixmap ? format->depth : 1;
  uint64_t size = bytesPerLine * static_cast<uint64_t>(height) * planes;  // below 2^63 here
  if (bytesPerLine > INT_MAX || size > kXimageMaxBytes)
    return strTempPrintf("Image of %dx%d pixels at %u bits is too large", width, height, bitsPerPixel);

  *image = XImage{};
  image->width = width;
  image->height = height;
  image->xoffset = xOffset;
  image->format = static_cast<int>(format->format);
  image->byte_order = static_cast<int>(format->byteOrder ? MSBFirst : LSBFirst);
  image->bitmap_unit = static_cast<int>(format->bitmapUnit);
  image->bitmap_bit_order = static_cast<int>(format->bitOrder ? MSBFirst : LSBFirst);
  image->bitmap_pad = static_cast<int>(format->scanlinePad);
  image->depth = static_cast<int>(format->depth);
  image->bytes_per_line = static_cast<int>(bytesPerLine);
  image->bits_per_pixel = static_cast<int>(bitsPerPixel);
  image->red_mask = format->redMask;
  image->green_mask = format->greenMask;
  image->blue_mask = format->blueMask;
  *bytes = size;
  return nullptr;
}

void installFuncs(XImage *image) {
  _XInitImageFuncPtrs(image);
  ximageSetPixelFuncs(image);
}

// Images whose data shares the record's allocation.
int destroyCombined(XImage *image) {
  free(image);
  return 1;
}

const ScreenFormat *pixmapFormatOf(Display *display, int depth) {
  for (int i = 0; i < display->nformats; i++)
    if (display->pixmap_format[i].depth == depth) return &display->pixmap_format[i];
  return nullptr;
}

int screenOfRoot(Display *display, Window root) {
  for (int i = 0; i < ScreenCount(display); i++)
    if (RootWindow(display, i) == root) return i;
  return 0;
}

// The provider's GC for the depth, or one made for this call on a drawable of that depth
// (foreground 1, background 0 and no exposures, as the cached ones) and freed with the guard.
struct DepthGC {
  DepthGC(Display *display, int screen, int depth, Drawable drawable) : display(display) {
    if (gcProvider) gc = gcProvider(display, screen, depth);
    if (!gc) {
      XGCValues values{};
      values.foreground = 1;
      values.background = 0;
      values.graphics_exposures = False;
      gc = XCreateGC(display, drawable, GCForeground | GCBackground | GCGraphicsExposures, &values);
      owned = true;
    }
  }
  ~DepthGC() {
    if (owned && gc) XFreeGC(display, gc);
  }
  DepthGC(const DepthGC &) = delete;
  DepthGC &operator=(const DepthGC &) = delete;
  Display *display;
  GC gc = nullptr;
  bool owned = false;
};

// --- Clipping and scale tables --------------------------------------------------------------

// Clips one axis of a copy: source start s, destination start d, length n, against the
// extents of both images. False when nothing is left.
bool clipAxis(i64 *s, i64 *d, i64 *n, i64 sourceExtent, i64 destinationExtent) {
  if (*s < 0) *d -= *s, *n += *s, *s = 0;
  if (*d < 0) *s -= *d, *n += *d, *d = 0;
  *n = std::min({*n, sourceExtent - *s, destinationExtent - *d});
  return *n > 0;
}

// Position i of n mapped onto a range of a: round(i x a / n), halves away from zero, at most
// a - 1. Exact integer arithmetic; the product needs more than 64 bits near the int range ends.
i64 scaleIndex(i64 i, i64 n, i64 a) {
  __int128 v = (static_cast<__int128>(2) * i * a + n) / (static_cast<__int128>(2) * n);
  return static_cast<i64>(std::min<__int128>(v, a - 1));
}

// A channel of a pixel brought from one mask onto another: taken by the source mask, shifted
// down to bit 0, cut to or widened to the destination channel's width keeping its top bits,
// and shifted up into the destination mask.
struct ChannelMap {
  unsigned long sourceMask, destinationMask;
  int sourceShift, destinationShift, widthChange;
};

ChannelMap channelMap(unsigned long sourceMask, unsigned long destinationMask) {
  ChannelMap m{sourceMask, destinationMask, 0, 0, 0};
  if (sourceMask) m.sourceShift = std::countr_zero(sourceMask);
  if (destinationMask) m.destinationShift = std::countr_zero(destinationMask);
  int sourceWidth = sourceMask ? static_cast<int>(std::bit_width(sourceMask)) - m.sourceShift : 0;
  int destinationWidth = destinationMask ? static_cast<int>(std::bit_width(destinationMask)) - m.destinationShift : 0;
  m.widthChange = destinationWidth - sourceWidth;
  return m;
}

unsigned long mapChannel(const ChannelMap &m, unsigned long pixel) {
  if (!m.sourceMask || !m.destinationMask) return 0;
  unsigned long v = (pixel & m.sourceMask) >> m.sourceShift;
  v = m.widthChange >= 0 ? v << m.widthChange : v >> -m.widthChange;
  return (v << m.destinationShift) & m.destinationMask;
}

bool hasMasks(const XImage *image) { return image->red_mask || image->green_mask || image->blue_mask; }

// Reverses every unit of `size` bytes among the first n bytes.
void swapUnits(uint8_t *p, i64 n, int size) {
  for (i64 i = 0; i + size <= n; i += size) std::reverse(p + i, p + i + size);
}

// A new bitmap of twice the size in both directions, smoothed; NULL when out of memory.
XImage *doubleSmoothed(XImage *image) {
  i64 w = image->width, h = image->height;
  ImageFormat format;
  ximageFormatOfImage(image, &format);
  if (2 * w > INT_MAX || 2 * h > INT_MAX) return nullptr;
  XImage *result = ximageCreate(static_cast<int>(2 * w), static_cast<int>(2 * h), 0, &format);
  if (!result) return nullptr;
  std::vector<uint8_t> bits;
  try {
    bits.resize(static_cast<size_t>(w * h));
  } catch (...) {
    XDestroyImage(result);
    return nullptr;
  }
  for (i64 y = 0; y < h; y++)
    for (i64 x = 0; x < w; x++) bits[y * w + x] = XGetPixel(image, static_cast<int>(x), static_cast<int>(y)) & 1;
  // The doubled pixel at (x, y) is the source pixel at half its coordinates. A pixel of the
  // result is set when more than half of the doubled pixels of its 3 x 3 neighbourhood that
  // exist are set (5 of 9 inside, 4 of 6 on an edge, 3 of 4 in a corner).
  i64 w2 = 2 * w, h2 = 2 * h;
  for (i64 y = 0; y < h2; y++) {
    for (i64 x = 0; x < w2; x++) {
      int set = 0, present = 0;
      for (i64 ny = std::max<i64>(y - 1, 0); ny <= std::min(y + 1, h2 - 1); ny++)
        for (i64 nx = std::max<i64>(x - 1, 0); nx <= std::min(x + 1, w2 - 1); nx++)
          present++, set += bits[(ny / 2) * w + nx / 2];
      if (2 * set > present) XPutPixel(result, static_cast<int>(x), static_cast<int>(y), 1);
    }
  }
  return result;
}

// The source rectangle enlarged by whole factors. Each destination pixel inside the
// destination image takes the source pixel it comes from; for ZPixmap images of one byte
// layout each source pixel's bytes are written and the finished row is copied to the next
// rows of the same source row.
void replicate(XImage *s, i64 sx, i64 sy, i64 sw, i64 sh, XImage *d, i64 dx, i64 dy, i64 dw, i64 dh) {
  i64 fx = dw / sw, fy = dh / sh;
  i64 c0 = std::max<i64>(dx, 0), c1 = std::min<i64>(dx + dw, d->width);
  i64 r0 = std::max<i64>(dy, 0), r1 = std::min<i64>(dy + dh, d->height);
  // Columns whose source column lies outside the source image are left alone.
  c0 = std::max(c0, dx + std::max<i64>(-sx, 0) * fx);
  c1 = std::min(c1, dx + std::min<i64>(sw, s->width - sx) * fx);
  if (c0 >= c1 || r0 >= r1) return;
  bool bytes = s->format == ZPixmap && d->format == ZPixmap && s->depth == d->depth &&
               s->bits_per_pixel == d->bits_per_pixel && s->bits_per_pixel % 8 == 0 &&
               s->byte_order == d->byte_order && s->bitmap_bit_order == d->bitmap_bit_order;
  i64 pixelBytes = s->bits_per_pixel / 8;
  i64 lastRow = -1, lastSourceRow = -1;
  for (i64 r = r0; r < r1; r++) {
    i64 sourceRow = sy + (r - dy) / fy;
    if (sourceRow < 0 || sourceRow >= s->height) continue;
    if (bytes && sourceRow == lastSourceRow && lastRow == r - 1) {
      memcpy(rowAt(d, static_cast<int>(r)) + c0 * pixelBytes, rowAt(d, static_cast<int>(lastRow)) + c0 * pixelBytes,
             static_cast<size_t>((c1 - c0) * pixelBytes));
    } else if (bytes) {
      const uint8_t *from = rowAt(s, static_cast<int>(sourceRow));
      uint8_t *to = rowAt(d, static_cast<int>(r));
      for (i64 c = c0; c < c1; c++)
        memcpy(to + c * pixelBytes, from + (sx + (c - dx) / fx) * pixelBytes, static_cast<size_t>(pixelBytes));
    } else {
      for (i64 c = c0; c < c1; c++) {
        unsigned long pixel = XGetPixel(s, static_cast<int>(sx + (c - dx) / fx), static_cast<int>(sourceRow));
        XPutPixel(d, static_cast<int>(c), static_cast<int>(r), pixel);
      }
    }
    lastRow = r, lastSourceRow = sourceRow;
  }
}

// The scale table for the positions [from, to) of a rectangle of n positions starting at
// start, mapped onto a range of a positions starting at origin (reversed: the last position
// takes the first value); -1 where the mapped position lies outside [0, limit). Exact integer
// rounding, so no reduction of the ratio by a common divisor is needed.
std::vector<i64> scaleTable(i64 from, i64 to, i64 start, i64 n, i64 origin, i64 a, bool reversed, i64 limit) {
  std::vector<i64> table(static_cast<size_t>(to - from));
  for (i64 p = from; p < to; p++) {
    i64 i = p - start;
    i64 v = origin + scaleIndex(reversed ? n - 1 - i : i, n, a);
    table[static_cast<size_t>(p - from)] = v >= 0 && v < limit ? v : -1;
  }
  return table;
}

void scaleRect64(XImage *s, i64 sx0, i64 sy0, i64 sx1, i64 sy1, XImage *d, i64 dx0, i64 dy0, i64 dx1, i64 dy1) {
  if (!s || !d || sx1 <= sx0 || sy1 <= sy0 || dx1 <= dx0 || dy1 <= dy0) return;
  // Clear the destination rectangle (the part inside the image).
  if (dx0 == 0 && dy0 == 0 && dx1 == d->width && dy1 == d->height) {
    memset(d->data, 0, static_cast<size_t>(imageBytes(d)));
  } else {
    for (i64 y = std::max<i64>(dy0, 0); y < std::min<i64>(dy1, d->height); y++)
      for (i64 x = std::max<i64>(dx0, 0); x < std::min<i64>(dx1, d->width); x++)
        XPutPixel(d, static_cast<int>(x), static_cast<int>(y), 0);
  }
  i64 sw = sx1 - sx0, sh = sy1 - sy0, dw = dx1 - dx0, dh = dy1 - dy0;
  i64 c0 = std::max<i64>(sx0, 0), c1 = std::min<i64>(sx1, s->width);
  i64 r0 = std::max<i64>(sy0, 0), r1 = std::min<i64>(sy1, s->height);
  if (c0 >= c1 || r0 >= r1) return;
  // Source column x goes to dx0 + round((x - sx0) x dw / sw), at most dx1 - 1.
  std::vector<i64> columns, rows;
  try {
    columns = scaleTable(c0, c1, sx0, sw, dx0, dw, false, d->width);
    rows = scaleTable(r0, r1, sy0, sh, dy0, dh, false, d->height);
  } catch (...) {
    return;
  }
  for (i64 y = r0; y < r1; y++) {
    i64 ty = rows[static_cast<size_t>(y - r0)];
    if (ty < 0) continue;
    for (i64 x = c0; x < c1; x++) {
      i64 tx = columns[static_cast<size_t>(x - c0)];
      if (tx >= 0 && XGetPixel(s, static_cast<int>(x), static_cast<int>(y)) & 1)
        XPutPixel(d, static_cast<int>(tx), static_cast<int>(ty), 1);
    }
  }
}

}  // namespace

// --- Formats and set-up ---------------------------------------------------------------------

const ImageFormat *ximageSetDefaultDepth(unsigned value) {
  ximagePackedFormat.depth = value;
  ximagePackedFormat.bitsPerPixel = value;
  return &ximagePackedFormat;
}

const ImageFormat *ximageFormatOfDisplay(Display *display, int format, int depth, Visual *visual) {
  ImageFormat &f = ximageDisplayFormat;
  f = ImageFormat{};
  f.format = static_cast<uint32_t>(format);
  f.depth = static_cast<uint32_t>(depth);
  f.byteOrder = ImageByteOrder(display) == MSBFirst;
  f.bitmapUnit = static_cast<uint32_t>(BitmapUnit(display));
  f.bitOrder = BitmapBitOrder(display) == MSBFirst;
  if (visual && depth > 1) {
    f.redMask = static_cast<uint32_t>(visual->red_mask);
    f.greenMask = static_cast<uint32_t>(visual->green_mask);
    f.blueMask = static_cast<uint32_t>(visual->blue_mask);
  }
  const ScreenFormat *pixmapFormat = pixmapFormatOf(display, depth);
  if (format == ZPixmap && pixmapFormat) {
    f.bitsPerPixel = static_cast<uint32_t>(pixmapFormat->bits_per_pixel);
    f.scanlinePad = static_cast<uint32_t>(pixmapFormat->scanline_pad);
  } else {
    f.bitsPerPixel = 1;
    f.scanlinePad = static_cast<uint32_t>(BitmapPad(display));
  }
  return &f;
}

const char *ximageInit(XImage *image, int width, int height, int xOffset, char *data,
                       const ImageFormat *format) {
  XImage filled;
  uint64_t bytes = 0;
  if (const char *failure = fillImage(&filled, width, height, xOffset, format, &bytes)) return failure;
  if (!data) {
    data = static_cast<char *>(calloc(bytes ? bytes : 1, 1));
    if (!data) return OUT_OF_MEMORY_TEXT();
  }
  *image = filled;
  image->data = data;
  installFuncs(image);
  return nullptr;
}

void ximageFormatOfImage(const XImage *image, ImageFormat *format) {
  *format = ImageFormat{static_cast<uint32_t>(image->format), static_cast<uint32_t>(image->depth),
                        static_cast<uint32_t>(image->bits_per_pixel), static_cast<uint32_t>(image->bitmap_unit),
                        image->byte_order == MSBFirst, image->bitmap_bit_order == MSBFirst,
                        static_cast<uint32_t>(image->bitmap_pad), static_cast<uint32_t>(image->red_mask),
                        static_cast<uint32_t>(image->green_mask), static_cast<uint32_t>(image->blue_mask)};
}

void ximageSetPixelFuncs(XImage *image) {
  if (image->bits_per_pixel == 1 && image->depth == 1 && image->byte_order == image->bitmap_bit_order) {
    bool msb = image->bitmap_bit_order == MSBFirst;
    if (image->xoffset) {
      image->f.get_pixel = msb ? getBit<true, true> : getBit<false, true>;
      image->f.put_pixel = msb ? putBit<true, true> : putBit<false, true>;
    } else {
      image->f.get_pixel = msb ? getBit<true, false> : getBit<false, false>;
      image->f.put_pixel = msb ? putBit<true, false> : putBit<false, false>;
    }
  } else if (image->format == ZPixmap && image->bits_per_pixel == 8) {
    image->f.get_pixel = getPixel8;
    image->f.put_pixel = putPixel8;
  } else if (image->format == ZPixmap && image->bits_per_pixel == 32) {
    bool msb = image->byte_order == MSBFirst;
    image->f.get_pixel = msb ? getPixel32Msb : getPixel32Lsb;
    image->f.put_pixel = msb ? putPixel32Msb : putPixel32Lsb;
  }
}

namespace {
const char *templateOf(Display *display, XImage *image, int format, int depth, Visual *visual) {
  if (!display || !image) return "No display or no image";
  const ImageFormat *f = ximageFormatOfDisplay(display, format, depth, visual);
  uint64_t bytes;
  XImage filled;
  if (const char *failure = fillImage(&filled, 1, 1, 0, f, &bytes)) return failure;
  *image = filled;
  installFuncs(image);
  return nullptr;
}
}  // namespace

const char *ximageTemplate(Display *display, XImage *image) {
  if (!display) return "No display";
  return templateOf(display, image, XYPixmap, DefaultDepth(display, 0), DefaultVisual(display, 0));
}

const char *ximageBitmapTemplate(Display *display, XImage *image) {
  return templateOf(display, image, XYBitmap, 1, nullptr);
}

bool ximageMatchesDisplay(const XImage *image, Display *display) {
  if (!image || !display) return false;
  if (image->byte_order != ImageByteOrder(display) || image->bitmap_unit != BitmapUnit(display) ||
      image->bitmap_bit_order != BitmapBitOrder(display))
    return false;
  if (image->format != ZPixmap) return image->bitmap_pad == BitmapPad(display);
  const ScreenFormat *pixmapFormat = pixmapFormatOf(display, image->depth);
  return pixmapFormat && image->bitmap_pad == pixmapFormat->scanline_pad;
}

void ximageSetGCProvider(XimageGCProvider provider) { gcProvider = provider; }

Pixmap ximagePixmapFromImage(Display *display, XImage *image, int screen) {
  if (!display || !image || screen < 0 || screen >= ScreenCount(display)) return 0;
  if (image->width <= 0 || image->height <= 0 || image->width > 65535 || image->height > 65535) return 0;
  if (!pixmapFormatOf(display, image->depth)) return 0;
  Pixmap pixmap = XCreatePixmap(display, RootWindow(display, screen), static_cast<unsigned>(image->width),
                                static_cast<unsigned>(image->height), static_cast<unsigned>(image->depth));
  DepthGC gc(display, screen, image->depth, pixmap);
  XPutImage(display, pixmap, gc.gc, image, 0, 0, 0, 0, static_cast<unsigned>(image->width),
            static_cast<unsigned>(image->height));
  return pixmap;
}

// --- Copies ---------------------------------------------------------------------------------

void ximageCopyArea(XImage *source, int sourceX, int sourceY, int width, int height, XImage *destination,
                    int destinationX, int destinationY) {
  if (!source || !destination) return;
  i64 sx = sourceX, sy = sourceY, dx = destinationX, dy = destinationY, w = width, h = height;
  if (w <= 0 || h <= 0 || !clipAxis(&sx, &dx, &w, source->width, destination->width) ||
      !clipAxis(&sy, &dy, &h, source->height, destination->height))
    return;
  XImage *s = source, *d = destination;
  // Overlapping copies inside one image run against the direction of the move.
  bool rowsBackwards = s == d && dy > sy, columnsBackwards = s == d && dx > sx;
  auto rowOf = [&](i64 i) { return rowsBackwards ? h - 1 - i : i; };

  bool sameMasks = s->red_mask == d->red_mask && s->green_mask == d->green_mask && s->blue_mask == d->blue_mask;
  bool byteCopy = s->format == ZPixmap && d->format == ZPixmap && s->depth == d->depth &&
                  s->bits_per_pixel == d->bits_per_pixel && s->bits_per_pixel % 8 == 0 &&
                  s->bitmap_unit == d->bitmap_unit && sameMasks;
  if (byteCopy) {
    i64 pixelBytes = s->bits_per_pixel / 8, rowBytes = w * pixelBytes;
    bool swap = s->byte_order != d->byte_order && pixelBytes > 1;
    if (sx == 0 && sy == 0 && dx == 0 && dy == 0 && s->height == d->height && h == s->height &&
        w == s->width && w == d->width && s->xoffset == d->xoffset && s->bitmap_pad == d->bitmap_pad &&
        s->bytes_per_line == d->bytes_per_line) {
      if (s != d) memcpy(d->data, s->data, static_cast<size_t>(imageBytes(s)));
    } else {
      for (i64 i = 0; i < h; i++) {
        i64 r = rowOf(i);
        memmove(rowAt(d, static_cast<int>(dy + r)) + dx * pixelBytes, rowAt(s, static_cast<int>(sy + r)) + sx * pixelBytes,
                static_cast<size_t>(rowBytes));
      }
    }
    // 16-, 24- and 32-bit pixels change their byte order unit by unit.
    if (swap)
      for (i64 r = 0; r < h; r++) swapUnits(rowAt(d, static_cast<int>(dy + r)) + dx * pixelBytes, rowBytes, static_cast<int>(pixelBytes));
    return;
  }

  bool convert = hasMasks(s) && hasMasks(d) && !sameMasks;
  ChannelMap red = channelMap(s->red_mask, d->red_mask), green = channelMap(s->green_mask, d->green_mask),
             blue = channelMap(s->blue_mask, d->blue_mask);
  for (i64 i = 0; i < h; i++) {
    i64 r = rowOf(i);
    for (i64 j = 0; j < w; j++) {
      i64 c = columnsBackwards ? w - 1 - j : j;
      unsigned long pixel = XGetPixel(s, static_cast<int>(sx + c), static_cast<int>(sy + r));
      if (convert) pixel = mapChannel(red, pixel) | mapChannel(green, pixel) | mapChannel(blue, pixel);
      XPutPixel(d, static_cast<int>(dx + c), static_cast<int>(dy + r), pixel);
    }
  }
}

const char *ximageCopyConvert(XImage *source, int sourceX, int sourceY, int sourceWidth, int sourceHeight,
                              XImage *destination, int destinationX, int destinationY, int destinationWidth,
                              int destinationHeight, int rotation) {
  if (!source || !destination) return "No source or destination image";
  if (source == destination) return "Scaled copy inside one image";
  if (rotation < 0 || rotation > 3) return strTempPrintf("Bad rotation %d", rotation);
  i64 sx = sourceX, sy = sourceY, sw = sourceWidth, sh = sourceHeight;
  i64 dx = destinationX, dy = destinationY, dw = destinationWidth, dh = destinationHeight;
  if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return nullptr;
  if (rotation == 0 && sw == dw && sh == dh) {
    ximageCopyArea(source, sourceX, sourceY, sourceWidth, sourceHeight, destination, destinationX, destinationY);
    return nullptr;
  }
  if (rotation == 0 && source->depth == 1 && destination->depth == 1 && dw <= sw && dh <= sh) {
    scaleRect64(source, sx, sy, sx + sw, sy + sh, destination, dx, dy, dx + dw, dy + dh);
    return nullptr;
  }
  if (rotation == 0 && dw % sw == 0 && dh % sh == 0) {
    replicate(source, sx, sy, sw, sh, destination, dx, dy, dw, dh);
    return nullptr;
  }
  // Destination columns and rows inside the destination image, each mapped onto the source.
  // Quarter turns transpose: destination columns come from source rows and destination rows
  // from source columns; a clockwise turn reverses the columns, three quarters the rows.
  i64 c0 = std::max<i64>(dx, 0), c1 = std::min<i64>(dx + dw, destination->width);
  i64 r0 = std::max<i64>(dy, 0), r1 = std::min<i64>(dy + dh, destination->height);
  if (c0 >= c1 || r0 >= r1) return nullptr;
  bool transposed = rotation == 1 || rotation == 3;
  std::vector<i64> columns, rows;
  try {
    if (transposed) {
      columns = scaleTable(c0, c1, dx, dw, sy, sh, rotation == 1, source->height);
      rows = scaleTable(r0, r1, dy, dh, sx, sw, rotation == 3, source->width);
    } else {
      columns = scaleTable(c0, c1, dx, dw, sx, sw, rotation == 2, source->width);
      rows = scaleTable(r0, r1, dy, dh, sy, sh, rotation == 2, source->height);
    }
  } catch (...) {
    return OUT_OF_MEMORY_TEXT();
  }
  for (i64 r = r0; r < r1; r++) {
    i64 rowValue = rows[static_cast<size_t>(r - r0)];
    if (rowValue < 0) continue;
    for (i64 c = c0; c < c1; c++) {
      i64 columnValue = columns[static_cast<size_t>(c - c0)];
      if (columnValue < 0) continue;
      i64 x = transposed ? rowValue : columnValue, y = transposed ? columnValue : rowValue;
      XPutPixel(destination, static_cast<int>(c), static_cast<int>(r),
                XGetPixel(source, static_cast<int>(x), static_cast<int>(y)));
    }
  }
  return nullptr;
}

void ximageScaleRect(XImage *source, int sx0, int sy0, int sx1, int sy1, XImage *destination, int dx0, int dy0,
                     int dx1, int dy1) {
  scaleRect64(source, sx0, sy0, sx1, sy1, destination, dx0, dy0, dx1, dy1);
}

XImage *ximageScale(XImage *image, double fx, double fy) {
  if (!image || !(fx > 0) || !(fy > 0) || !std::isfinite(fx) || !std::isfinite(fy)) return nullptr;
  // Refuse a result that could not be made before doubling towards it.
  double finalWidth = std::trunc(image->width * fx), finalHeight = std::trunc(image->height * fy);
  double bits = image->format == ZPixmap ? image->bits_per_pixel : image->depth;
  if (finalWidth > INT_MAX || finalHeight > INT_MAX ||
      std::max(finalWidth, 1.0) * std::max(finalHeight, 1.0) * bits / 8 > static_cast<double>(kXimageMaxBytes))
    return nullptr;
  XImage *current = image;
  if (image->depth == 1) {
    while (fx >= 2 && fy >= 2) {
      XImage *next = doubleSmoothed(current);
      if (current != image) XDestroyImage(current);
      if (!next) return nullptr;
      current = next;
      fx /= 2, fy /= 2;
    }
  }
  if (fx == 1 && fy == 1) return current;
  double w = std::max(1.0, std::trunc(current->width * fx)), h = std::max(1.0, std::trunc(current->height * fy));
  ImageFormat format;
  ximageFormatOfImage(current, &format);
  XImage *result = ximageCreate(static_cast<int>(w), static_cast<int>(h), 0, &format);
  if (result && ximageCopyConvert(current, 0, 0, current->width, current->height, result, 0, 0, result->width,
                                  result->height, 0)) {
    XDestroyImage(result);
    result = nullptr;
  }
  if (current != image) XDestroyImage(current);
  return result;
}

const char *ximageGetImageWithin(Display *display, Drawable drawable, int x, int y, unsigned width,
                                 unsigned height, unsigned long planeMask, int format, uint32_t limitMs,
                                 XImage **image) {
  *image = nullptr;
  if (!display || (format != XYPixmap && format != ZPixmap)) return "No display or no image format";
  xcb_connection_t *connection = XGetXCBConnection(display);
  if (!connection) return "No connection to the X server";
  // What Xlib holds for the server goes first (the drawing that the image shows).
  XFlush(display);
  xcb_get_image_cookie_t cookie =
      xcb_get_image(connection, uint8_t(format), uint32_t(drawable), int16_t(x), int16_t(y), uint16_t(width),
                    uint16_t(height), uint32_t(planeMask));
  void *answer = nullptr;
  if (const char *failure = xtargetReplyWithin(display, cookie.sequence, limitMs, "GetImage", &answer)) return failure;
  auto *reply = static_cast<xcb_get_image_reply_t *>(answer);
  unsigned depth = reply->depth;
  uint64_t bytes = uint64_t(reply->length) * 4;
  if (!depth || depth > 32) {
    free(answer);
    return "The X server's image has no depth";
  }
  // The record as XGetImage makes it: XYPixmap one plane per bit of the mask within the depth,
  // lines padded to the bitmap pad; ZPixmap the depth's pixmap format.
  Visual *visual = _XVIDtoVisual(display, reply->visual);
  unsigned planes = 1;
  XImage *made;
  char *data = reinterpret_cast<char *>(answer);
  if (format == XYPixmap) {
    planes = unsigned(std::popcount(uint32_t(planeMask) & (0xffffffffu >> (32 - depth))));
    made = planes ? XCreateImage(display, visual, planes, XYPixmap, 0, data, width, height, display->bitmap_pad, 0)
                  : nullptr;
  } else {
    made = XCreateImage(display, visual, depth, ZPixmap, 0, data, width, height,
                        _XGetScanlinePad(display, int(depth)), 0);
  }
  if (!made || made->height < 1 || made->bytes_per_line < 1 ||
      bytes < uint64_t(planes) * uint64_t(made->height) * uint64_t(made->bytes_per_line)) {
    if (made) made->data = nullptr, XDestroyImage(made);
    free(answer);
    return "The X server's image is shorter than asked";
  }
  // The pixels move to the front of the reply's allocation, which the image then owns.
  memmove(data, xcb_get_image_data(reply), size_t(bytes));
  *image = made;
  return nullptr;
}


const char *ximageGeometryWithin(Display *display, Drawable drawable, uint32_t limitMs, Window *root, int *x, int *y,
                                 unsigned *width, unsigned *height, unsigned *border, unsigned *depth) {
  xcb_connection_t *connection = display ? XGetXCBConnection(display) : nullptr;
  if (!connection) return "No connection to the X server";
  XFlush(display);
  xcb_get_geometry_cookie_t cookie = xcb_get_geometry(connection, uint32_t(drawable));
  void *answer = nullptr;
  if (const char *failure = xtargetReplyWithin(display, cookie.sequence, limitMs, "GetGeometry", &answer)) return failure;
  auto *reply = static_cast<xcb_get_geometry_reply_t *>(answer);
  *root = reply->root;
  *x = reply->x, *y = reply->y;
  *width = reply->width, *height = reply->height;
  *border = reply->border_width, *depth = reply->depth;
  free(answer);
  return nullptr;
}

const char *ximageWindowAttributesWithin(Display *display, Window window, uint32_t limitMs,
                                         XWindowAttributes *attributes) {
  xcb_connection_t *connection = display ? XGetXCBConnection(display) : nullptr;
  if (!connection) return "No connection to the X server";
  XFlush(display);
  // Both requests go out at once, as Xlib sends them; the geometry's reply is dropped when the
  // attributes' fails.
  xcb_get_window_attributes_cookie_t asked = xcb_get_window_attributes(connection, uint32_t(window));
  xcb_get_geometry_cookie_t measured = xcb_get_geometry(connection, uint32_t(window));
  void *answer = nullptr;
  if (const char *failure = xtargetReplyWithin(display, asked.sequence, limitMs, "GetWindowAttributes", &answer)) {
    xcb_discard_reply(connection, measured.sequence);
    return failure;
  }
  std::unique_ptr<void, decltype(&free)> owned(answer, free);
  void *geometryAnswer = nullptr;
  if (const char *failure = xtargetReplyWithin(display, measured.sequence, limitMs, "GetGeometry", &geometryAnswer))
    return failure;
  std::unique_ptr<void, decltype(&free)> ownedGeometry(geometryAnswer, free);
  auto *reply = static_cast<xcb_get_window_attributes_reply_t *>(answer);
  auto *geometry = static_cast<xcb_get_geometry_reply_t *>(geometryAnswer);
  XWindowAttributes &a = *attributes;
  a = XWindowAttributes{};
  a.c_class = reply->_class;
  a.bit_gravity = reply->bit_gravity;
  a.win_gravity = reply->win_gravity;
  a.backing_store = reply->backing_store;
  a.backing_planes = reply->backing_planes;
  a.backing_pixel = reply->backing_pixel;
  a.save_under = reply->save_under;
  a.colormap = reply->colormap;
  a.map_installed = reply->map_is_installed;
  a.map_state = reply->map_state;
  a.all_event_masks = long(reply->all_event_masks);
  a.your_event_mask = long(reply->your_event_mask);
  a.do_not_propagate_mask = long(reply->do_not_propagate_mask);
  a.override_redirect = reply->override_redirect;
  a.visual = _XVIDtoVisual(display, reply->visual);
  a.x = geometry->x, a.y = geometry->y;
  a.width = geometry->width, a.height = geometry->height;
  a.border_width = geometry->border_width;
  a.depth = geometry->depth;
  a.root = geometry->root;
  for (int i = 0; i < ScreenCount(display); i++)
    if (RootWindow(display, i) == a.root) a.screen = ScreenOfDisplay(display, i);
  return nullptr;
}

Pixmap ximageScaleWindow(Display *sourceDisplay, Window window, Display *targetDisplay, Drawable target,
                         double fx, double fy) {
  if (!sourceDisplay || !targetDisplay) return 0;
  XWindowAttributes attributes;
  if (ximageWindowAttributesWithin(sourceDisplay, window, xtargetSyncLimitMs, &attributes) || attributes.width <= 0 ||
      attributes.height <= 0)
    return 0;
  XImage *image = nullptr;
  if (ximageGetImageWithin(sourceDisplay, window, 0, 0, static_cast<unsigned>(attributes.width),
                           static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap, xtargetSyncLimitMs, &image))
    return 0;
  XImage *scaled = ximageScale(image, fx, fy);
  Pixmap pixmap = 0;
  Window root;
  int x, y;
  unsigned width, height, border, depth;
  if (scaled && !ximageGeometryWithin(targetDisplay, target, xtargetSyncLimitMs, &root, &x, &y, &width, &height,
                                      &border, &depth))
    pixmap = ximagePixmapFromImage(targetDisplay, scaled, screenOfRoot(targetDisplay, root));
  if (scaled && scaled != image) XDestroyImage(scaled);
  XDestroyImage(image);
  return pixmap;
}

// --- Values and packed RGB ------------------------------------------------------------------

int ximageFilterValues(unsigned long value, unsigned long mask, unsigned long *array, int count) {
  if (!array || count <= 0) return 0;
  int kept = 0;
  for (int i = 0; i < count; i++) {
    unsigned long entry = array[i];
    bool drop = entry == value || (mask && entry > value && ((entry - value) & ~mask) == 0);
    if (!drop) array[kept++] = entry;
  }
  return kept;
}

namespace {
// A channel brought to 8 bits: its top 8 bits, or its bits shifted up to fill 8.
uint8_t channel8(unsigned long pixel, unsigned long mask) {
  if (!mask) return 0;
  int low = std::countr_zero(mask), width = static_cast<int>(std::bit_width(mask)) - low;
  unsigned long v = (pixel & mask) >> low;
  return static_cast<uint8_t>(width >= 8 ? v >> (width - 8) : v << (8 - width));
}
}  // namespace

void ximageToRgb24(XImage *image, uint8_t *destination, int x, int y, int rowLength) {
  if (!image || !destination || x < 0 || y < 0 || static_cast<i64>(x) + image->width > rowLength) return;
  unsigned long red = image->red_mask, green = image->green_mask, blue = image->blue_mask;
  for (i64 row = image->height - 1; row >= 0; row--) {
    uint8_t *line = destination + ((y + row) * static_cast<i64>(rowLength) + x) * 3;
    for (i64 column = image->width - 1; column >= 0; column--) {
      unsigned long pixel = XGetPixel(image, static_cast<int>(column), static_cast<int>(row));
      uint8_t *p = line + column * 3;
      p[0] = channel8(pixel, red), p[1] = channel8(pixel, green), p[2] = channel8(pixel, blue);
    }
  }
}

namespace {
// "P6 w h 255\n" and the packed RGB in one buffer; NULL when out of memory.
uint8_t *ppmBuffer(int width, int height, size_t *length, uint8_t **pixels) {
  char header[64];
  int headerLength = snprintf(header, sizeof header, "P6 %u %u 255\n", static_cast<unsigned>(width),
                              static_cast<unsigned>(height));
  uint64_t dataBytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3;
  uint8_t *buffer = static_cast<uint8_t *>(malloc(static_cast<size_t>(headerLength + dataBytes)));
  if (!buffer) return nullptr;
  memcpy(buffer, header, static_cast<size_t>(headerLength));
  *length = static_cast<size_t>(headerLength + dataBytes);
  *pixels = buffer + headerLength;
  return buffer;
}

const char *writeFile(const char *fileName, const uint8_t *data, size_t n) {
  if (strcmp(fileName, "-") == 0) {
    if (fwrite(data, 1, n, stdout) != n || fflush(stdout) != 0)
      return strTempPrintf("Can't write file '%s': %s", fileName, strErrno(errno));
    return nullptr;
  }
  if (strlen(fileName) > 4095)
    return strTempPrintf("Can't create file '%.4095s': %s", fileName, strErrno(ENAMETOOLONG));
  // A dump may replace an older one of the same name, but never through a planted symlink.
  int fd = open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return strTempPrintf("Can't create file '%s': %s", fileName, strErrno(errno));
  size_t done = 0;
  while (done < n) {
    ssize_t written = write(fd, data + done, n - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      int error = written < 0 ? errno : EIO;
      close(fd);
      return strTempPrintf("Can't write file '%s': %s", fileName, strErrno(error));
    }
    done += static_cast<size_t>(written);
  }
  if (close(fd) != 0) return strTempPrintf("Can't write file '%s': %s", fileName, strErrno(errno));
  return nullptr;
}
}  // namespace

uint8_t *ximagePpmInMemory(XImage *image, size_t *length) {
  if (!image || !length || image->width < 0 || image->height < 0) return nullptr;
  uint8_t *pixels;
  uint8_t *buffer = ppmBuffer(image->width, image->height, length, &pixels);
  if (buffer) ximageToRgb24(image, pixels, 0, 0, image->width);
  return buffer;
}

const char *ximageWritePpm(XImage *image, const char *fileName) {
  if (!image || !fileName) return "No image or no file name";
  size_t length;
  uint8_t *buffer = ximagePpmInMemory(image, &length);
  if (!buffer) return OUT_OF_MEMORY_TEXT();
  const char *failure = writeFile(fileName, buffer, length);
  free(buffer);
  return failure;
}

const char *ximageWriteRgbPpm(const uint8_t *rgb, int width, int height, const char *fileName) {
  if (!rgb || !fileName || width < 0 || height < 0) return "No data or no file name";
  size_t length;
  uint8_t *pixels;
  uint8_t *buffer = ppmBuffer(width, height, &length, &pixels);
  if (!buffer) return OUT_OF_MEMORY_TEXT();
  memcpy(pixels, rgb, static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  const char *failure = writeFile(fileName, buffer, length);
  free(buffer);
  return failure;
}

// --- Helpers for tools and debugging --------------------------------------------------------

bool ximageDisplaysCompatible(Display *a, Display *b, int format, int depth) {
  if (!a || !b) return false;
  if (ImageByteOrder(a) != ImageByteOrder(b) || BitmapBitOrder(a) != BitmapBitOrder(b) ||
      BitmapUnit(a) != BitmapUnit(b) || BitmapPad(a) != BitmapPad(b))
    return false;
  if (format != ZPixmap) return true;
  const ScreenFormat *fa = pixmapFormatOf(a, depth), *fb = pixmapFormatOf(b, depth);
  return fa && fb && fa->bits_per_pixel == fb->bits_per_pixel && fa->scanline_pad == fb->scanline_pad;
}

bool ximageFormatEqual(const ImageFormat *a, const ImageFormat *b) {
  return a && b && memcmp(a, b, sizeof *a) == 0;
}

XImage *ximageCreate(int width, int height, int xOffset, const ImageFormat *format) {
  XImage filled;
  uint64_t bytes;
  if (fillImage(&filled, width, height, xOffset, format, &bytes)) return nullptr;
  constexpr size_t kHead = (sizeof(XImage) + 15) / 16 * 16;
  void *block = calloc(kHead + static_cast<size_t>(bytes), 1);
  if (!block) return nullptr;
  XImage *image = static_cast<XImage *>(block);
  *image = filled;
  image->data = static_cast<char *>(block) + kHead;
  installFuncs(image);
  image->f.destroy_image = destroyCombined;
  return image;
}

XImage *ximageDuplicate(const XImage *image) {
  if (!image || !image->data) return nullptr;
  ImageFormat format;
  ximageFormatOfImage(image, &format);
  XImage *copy = ximageCreate(image->width, image->height, image->xoffset, &format);
  if (!copy) return nullptr;
  // Rows keep their bytes; a record whose line length differs from ours copies the common part.
  i64 planes = image->format == XYPixmap ? image->depth : 1;
  i64 n = std::min(copy->bytes_per_line, image->bytes_per_line);
  for (i64 row = 0; row < image->height * planes; row++)
    memcpy(copy->data + row * copy->bytes_per_line, image->data + row * image->bytes_per_line, static_cast<size_t>(n));
  return copy;
}

bool ximageHasPixmapFormat(Display *display, int depth) { return display && pixmapFormatOf(display, depth); }

Pixmap ximageCopyDrawable(Display *display, Drawable drawable) {
  if (!display) return 0;
  Window root;
  int x, y;
  unsigned width, height, border, depth;
  if (ximageGeometryWithin(display, drawable, xtargetSyncLimitMs, &root, &x, &y, &width, &height, &border, &depth))
    return 0;
  Pixmap pixmap = XCreatePixmap(display, root, width, height, depth);
  DepthGC gc(display, screenOfRoot(display, root), static_cast<int>(depth), pixmap);
  XCopyArea(display, drawable, pixmap, gc.gc, 0, 0, width, height, 0, 0);
  return pixmap;
}

const char *ximageDistinctPixels(XImage *image, unsigned long **values, int *count) {
  if (!image || !values || !count) return "No image";
  std::vector<unsigned long> pixels;
  try {
    pixels.reserve(static_cast<size_t>(image->width) * static_cast<size_t>(std::max(image->height, 0)));
    for (int y = 0; y < image->height; y++)
      for (int x = 0; x < image->width; x++) pixels.push_back(XGetPixel(image, x, y));
  } catch (...) {
    return OUT_OF_MEMORY_TEXT();
  }
  std::sort(pixels.begin(), pixels.end());
  pixels.erase(std::unique(pixels.begin(), pixels.end()), pixels.end());
  unsigned long *result = static_cast<unsigned long *>(malloc(std::max<size_t>(pixels.size(), 1) * sizeof *result));
  if (!result) return OUT_OF_MEMORY_TEXT();
  std::copy(pixels.begin(), pixels.end(), result);
  *values = result;
  *count = static_cast<int>(pixels.size());
  return nullptr;
}

bool ximageIsPlausible(const XImage *image) {
  uintptr_t address = reinterpret_cast<uintptr_t>(image);
  return address > 4096 && address % alignof(XImage) == 0 && image->format >= 0 && image->format <= 2 &&
         image->width >= 0 && image->width < 65536 && image->height >= 0 && image->height < 65536;
}

const char *ximageRowBufferInit(ImageRowBuffer *buffer, int width, int height, int bytesPerPixel) {
  if (!buffer || width < 0 || height < 0 || bytesPerPixel < 0 || bytesPerPixel > 4)
    return "Bad row buffer size";
  size_t bytesPerRow = bytesPerPixel ? static_cast<size_t>(width) * static_cast<size_t>(bytesPerPixel)
                                     : (static_cast<size_t>(width) + 7) / 8;
  if (static_cast<uint64_t>(bytesPerRow) * static_cast<uint64_t>(height) > kXimageMaxBytes) return "Row buffer too large";
  uint8_t *data = static_cast<uint8_t *>(calloc(std::max<size_t>(bytesPerRow * static_cast<size_t>(height), 1), 1));
  if (!data) return OUT_OF_MEMORY_TEXT();
  *buffer = ImageRowBuffer{width, height, bytesPerPixel, bytesPerRow, data};
  return nullptr;
}

void ximageRowBufferFree(ImageRowBuffer *buffer) {
  if (!buffer) return;
  free(buffer->data);
  *buffer = ImageRowBuffer{};
}

uint32_t ximageRowBufferGet(const ImageRowBuffer *buffer, int x, int y) {
  if (!buffer || !buffer->data || x < 0 || y < 0 || x >= buffer->width || y >= buffer->height) return 0;
  const uint8_t *row = buffer->data + static_cast<size_t>(y) * buffer->bytesPerRow;
  if (!buffer->bytesPerPixel) return (row[x / 8] >> (7 - x % 8)) & 1;
  uint32_t value = 0;
  memcpy(&value, row + static_cast<size_t>(x) * buffer->bytesPerPixel, static_cast<size_t>(buffer->bytesPerPixel));
  return value;
}

void ximageRowBufferPut(ImageRowBuffer *buffer, int x, int y, uint32_t value) {
  if (!buffer || !buffer->data || x < 0 || y < 0 || x >= buffer->width || y >= buffer->height) return;
  uint8_t *row = buffer->data + static_cast<size_t>(y) * buffer->bytesPerRow;
  if (!buffer->bytesPerPixel) {
    uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
    row[x / 8] = static_cast<uint8_t>(value & 1 ? row[x / 8] | bit : row[x / 8] & ~bit);
    return;
  }
  memcpy(row + static_cast<size_t>(x) * buffer->bytesPerPixel, &value, static_cast<size_t>(buffer->bytesPerPixel));
}

const char *ximageToRowBufferFlipped(XImage *image, ImageRowBuffer *buffer, int bytesPerPixel) {
  if (!image) return "No image";
  if (const char *failure = ximageRowBufferInit(buffer, image->width, image->height, bytesPerPixel)) return failure;
  for (int y = 0; y < image->height; y++)
    for (int x = 0; x < image->width; x++)
      ximageRowBufferPut(buffer, x, image->height - 1 - y, static_cast<uint32_t>(XGetPixel(image, x, y)));
  return nullptr;
}

int ximageQuarterTurns(int degrees) {
  if (degrees % 90 != 0) return -1;
  int turns = degrees / 90 % 4;
  return turns < 0 ? turns + 4 : turns;
}

void ximageRgbCopy(const uint8_t *source, int sourceRowLength, int sx, int sy, int width, int height,
                   uint8_t *destination, int destinationRowLength, int dx, int dy) {
  if (!source || !destination || width <= 0 || height <= 0 || sx < 0 || sy < 0 || dx < 0 || dy < 0 ||
      static_cast<i64>(sx) + width > sourceRowLength || static_cast<i64>(dx) + width > destinationRowLength)
    return;
  for (i64 row = 0; row < height; row++)
    memmove(destination + ((dy + row) * destinationRowLength + dx) * 3, source + ((sy + row) * sourceRowLength + sx) * 3,
            static_cast<size_t>(width) * 3);
}

uint8_t *ximageRgbPad(const uint8_t *rgb, int width, int height, int alignment, size_t *bytesPerRow) {
  if (!rgb || width < 0 || height < 0 || alignment < 1) return nullptr;
  uint64_t rowBytes = static_cast<uint64_t>(width) * 3;
  uint64_t padded = (rowBytes + static_cast<uint64_t>(alignment) - 1) / static_cast<uint64_t>(alignment) * static_cast<uint64_t>(alignment);
  uint8_t *result = static_cast<uint8_t *>(calloc(std::max<uint64_t>(padded * static_cast<uint64_t>(height), 1), 1));
  if (!result) return nullptr;
  for (i64 row = 0; row < height; row++) memcpy(result + row * padded, rgb + row * rowBytes, rowBytes);
  if (bytesPerRow) *bytesPerRow = padded;
  return result;
}

Window ximageShowDrawable(Display *display, Drawable drawable, const char *title) {
  if (!display) return 0;
  Window root;
  int x, y;
  unsigned width, height, border, depth;
  if (ximageGeometryWithin(display, drawable, xtargetSyncLimitMs, &root, &x, &y, &width, &height, &border, &depth))
    return 0;
  int screen = DefaultScreen(display);
  Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, width, height, 0,
                                      BlackPixel(display, screen), WhitePixel(display, screen));
  // The window shows the drawable as its background when their depths agree.
  if (static_cast<int>(depth) == DefaultDepth(display, screen) && root == RootWindow(display, screen)) {
    if (Pixmap copy = ximageCopyDrawable(display, drawable)) {
      XSetWindowBackgroundPixmap(display, window, copy);
      XFreePixmap(display, copy);
    }
  }
  if (title) XStoreName(display, window, title);
  XMapWindow(display, window);
  XFlush(display);
  return window;
}

namespace {
// A 5 x 8 font for the characters 32 to 126: eight rows per glyph, bit 4 the leftmost column.
constexpr uint8_t kFont5x8[95][8] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04, 0x00},  //   !
    {0x0A, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A, 0x00},  // " #
    {0x04, 0x0F, 0x14, 0x0E, 0x05, 0x1E, 0x04, 0x00}, {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03, 0x00},  // $ %
    {0x08, 0x14, 0x14, 0x08, 0x15, 0x12, 0x0D, 0x00}, {0x04, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // & '
    {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02, 0x00}, {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08, 0x00},  // ( )
    {0x00, 0x04, 0x15, 0x0E, 0x15, 0x04, 0x00, 0x00}, {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00, 0x00},  // * +
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x04, 0x08}, {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x00},  // , -
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00}, {0x01, 0x01, 0x02, 0x04, 0x08, 0x10, 0x10, 0x00},  // . /
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E, 0x00}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E, 0x00},  // 0 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F, 0x00}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E, 0x00},  // 2 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02, 0x00}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E, 0x00},  // 4 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E, 0x00}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08, 0x00},  // 6 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E, 0x00}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C, 0x00},  // 8 9
    {0x00, 0x00, 0x04, 0x00, 0x00, 0x04, 0x00, 0x00}, {0x00, 0x00, 0x04, 0x00, 0x00, 0x04, 0x04, 0x08},  // : ;
    {0x02, 0x04, 0x08, 0x10, 0x08, 0x04, 0x02, 0x00}, {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00, 0x00},  // < =
    {0x08, 0x04, 0x02, 0x01, 0x02, 0x04, 0x08, 0x00}, {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04, 0x00},  // > ?
    {0x0E, 0x11, 0x17, 0x15, 0x17, 0x10, 0x0E, 0x00}, {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00},  // @ A
    {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E, 0x00}, {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E, 0x00},  // B C
    {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E, 0x00}, {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F, 0x00},  // D E
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10, 0x00}, {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F, 0x00},  // F G
    {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11, 0x00}, {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E, 0x00},  // H I
    {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C, 0x00}, {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11, 0x00},  // J K
    {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F, 0x00}, {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11, 0x00},  // L M
    {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x00}, {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E, 0x00},  // N O
    {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10, 0x00}, {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D, 0x00},  // P Q
    {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11, 0x00}, {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E, 0x00},  // R S
    {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x00}, {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E, 0x00},  // T U
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04, 0x00}, {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A, 0x00},  // V W
    {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11, 0x00}, {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x00},  // X Y
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F, 0x00}, {0x0E, 0x08, 0x08, 0x08, 0x08, 0x08, 0x0E, 0x00},  // Z [
    {0x10, 0x10, 0x08, 0x04, 0x02, 0x01, 0x01, 0x00}, {0x0E, 0x02, 0x02, 0x02, 0x02, 0x02, 0x0E, 0x00},  // \ ]
    {0x04, 0x0A, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x00},  // ^ _
    {0x08, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F, 0x00},  // ` a
    {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x1E, 0x00}, {0x00, 0x00, 0x0E, 0x10, 0x10, 0x11, 0x0E, 0x00},  // b c
    {0x01, 0x01, 0x0D, 0x13, 0x11, 0x11, 0x0F, 0x00}, {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E, 0x00},  // d e
    {0x06, 0x09, 0x08, 0x1C, 0x08, 0x08, 0x08, 0x00}, {0x00, 0x00, 0x0F, 0x11, 0x11, 0x0F, 0x01, 0x0E},  // f g
    {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x11, 0x00}, {0x04, 0x00, 0x0C, 0x04, 0x04, 0x04, 0x0E, 0x00},  // h i
    {0x02, 0x00, 0x06, 0x02, 0x02, 0x02, 0x12, 0x0C}, {0x10, 0x10, 0x12, 0x14, 0x18, 0x14, 0x12, 0x00},  // j k
    {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E, 0x00}, {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11, 0x00},  // l m
    {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11, 0x00}, {0x00, 0x00, 0x0E, 0x11, 0x11, 0x11, 0x0E, 0x00},  // n o
    {0x00, 0x00, 0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10}, {0x00, 0x00, 0x0F, 0x11, 0x11, 0x0F, 0x01, 0x01},  // p q
    {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10, 0x00}, {0x00, 0x00, 0x0F, 0x10, 0x0E, 0x01, 0x1E, 0x00},  // r s
    {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06, 0x00}, {0x00, 0x00, 0x11, 0x11, 0x11, 0x13, 0x0D, 0x00},  // t u
    {0x00, 0x00, 0x11, 0x11, 0x11, 0x0A, 0x04, 0x00}, {0x00, 0x00, 0x11, 0x11, 0x15, 0x15, 0x0A, 0x00},  // v w
    {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x00}, {0x00, 0x00, 0x11, 0x11, 0x11, 0x0F, 0x01, 0x0E},  // x y
    {0x00, 0x00, 0x1F, 0x02, 0x04, 0x08, 0x1F, 0x00}, {0x02, 0x04, 0x04, 0x08, 0x04, 0x04, 0x02, 0x00},  // z {
    {0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x00}, {0x08, 0x04, 0x04, 0x02, 0x04, 0x04, 0x08, 0x00},  // | }
    {0x00, 0x00, 0x08, 0x15, 0x02, 0x00, 0x00, 0x00},                                                     // ~
};
constexpr int kCellWidth = 6, kCellHeight = 9;

bool drawable(unsigned char c) { return c >= 32 && c <= 126; }
}  // namespace

XImage *ximageWithText(XImage *image, const char *text, unsigned long foreground) {
  if (!image || !text) return nullptr;
  // Lines and their widths in cells; characters without a glyph take no cell.
  i64 lines = 1, cells = 0, widest = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
    if (*p == '\n') lines++, cells = 0;
    else if (drawable(*p)) widest = std::max(widest, ++cells);
  }
  i64 width = std::max<i64>(image->width, widest * kCellWidth), height = image->height + lines * kCellHeight;
  if (width > INT_MAX || height > INT_MAX) return nullptr;
  ImageFormat format;
  ximageFormatOfImage(image, &format);
  XImage *result = ximageCreate(static_cast<int>(width), static_cast<int>(height), 0, &format);
  if (!result) return nullptr;
  ximageCopyArea(image, 0, 0, image->width, image->height, result, 0, 0);
  i64 line = 0, cell = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
    if (*p == '\n') {
      line++, cell = 0;
      continue;
    }
    if (!drawable(*p)) continue;
    const uint8_t *glyph = kFont5x8[*p - 32];
    i64 x0 = cell++ * kCellWidth, y0 = image->height + line * kCellHeight;
    for (int row = 0; row < 8; row++)
      for (int column = 0; column < 5; column++)
        if (glyph[row] & (0x10 >> column))
          XPutPixel(result, static_cast<int>(x0 + column), static_cast<int>(y0 + row), foreground);
  }
  return result;
}
