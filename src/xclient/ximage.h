// Image formats, XImages with fast pixel accessors, copies between image layouts, scaling with
// quarter turns, packed RGB and PPM output.
//
// Images are Xlib XImage records. Those made here (ximageInit without data, ximageCreate,
// ximageDuplicate, ximageScale) are released with XDestroyImage, whatever the allocation.
// Pixel access never checks coordinates: every function that takes a rectangle clips it to
// the images first, so that no pixel outside an image is read or written.
#pragma once

#include <cstddef>
#include <cstdint>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

// The layout of an image. format: 0 XYBitmap, 1 XYPixmap, 2 ZPixmap; byteOrder and bitOrder:
// 0 LSBFirst, 1 MSBFirst; masks 0 when the layout has no colour channels.
struct ImageFormat {
  uint32_t format;
  uint32_t depth;
  uint32_t bitsPerPixel;
  uint32_t bitmapUnit;
  uint32_t byteOrder;
  uint32_t bitOrder;
  uint32_t scanlinePad;
  uint32_t redMask;
  uint32_t greenMask;
  uint32_t blueMask;
};

// XYBitmap, depth 1, 1 bit per pixel, unit 8, LSBFirst byte and bit order, pad 8.
extern const ImageFormat ximageDefaultFormat;
// ZPixmap, unit 8, LSBFirst, pad 8, no masks; depth = bits per pixel as last set by
// ximageSetDefaultDepth (8 until then).
extern ImageFormat ximagePackedFormat;
// Filled by ximageFormatOfDisplay (overwritten by each call).
extern ImageFormat ximageDisplayFormat;

// An image larger than this many bytes is refused (callers answer BadAlloc).
constexpr uint64_t kXimageMaxBytes = uint64_t{1} << 30;

// Sets depth and bits per pixel of the packed format; returns the packed format.
const ImageFormat *ximageSetDefaultDepth(unsigned value);

// The display's layout for images of that format and depth (see ximageDisplayFormat). Masks
// come from the visual when one is given and the depth is above 1. ZPixmap takes bits per
// pixel and scanline pad from the display's pixmap format of the depth; other formats, or a
// depth without a pixmap format, get 1 bit per pixel and the display's bitmap pad.
const ImageFormat *ximageFormatOfDisplay(Display *display, int format, int depth, Visual *visual);

// Fills the image from the format: bytes per line = ceil((x offset + width) x bits per pixel /
// pad) x pad / 8 (XY formats count 1 bit per pixel). Without data, height x bytes per line
// bytes (times the depth for XYPixmap) are allocated, zeroed, and owned by the image. Then
// Xlib's accessors are installed and ximageSetPixelFuncs runs. NULL on success; an error text
// for a layout Xlib cannot address (pad or unit not 8, 16 or 32, bits per pixel not 1 to 32),
// negative sizes, a line above INT_MAX bytes or an image above kXimageMaxBytes, or no memory.
// On failure the image's data stays as given (nothing is allocated).
const char *ximageInit(XImage *image, int width, int height, int xOffset, char *data,
                       const ImageFormat *format);
// The format record of an image.
void ximageFormatOfImage(const XImage *image, ImageFormat *format);

// Installs the specialised get/put-pixel functions for the layouts that have them (1-bit
// images whose byte order equals their bit order, with and without x offset; ZPixmap at 8 bits
// and at 32 bits in either byte order); other layouts keep the functions they have. The
// ZPixmap accessors, as Xlib's, ignore the x offset and return only the depth's low bits.
void ximageSetPixelFuncs(XImage *image);

// A data-less 1 x 1 XYPixmap image of the first screen's root depth and visual masks, in the
// display's layout with its bitmap pad; the twin makes a data-less 1 x 1 XYBitmap.
const char *ximageTemplate(Display *display, XImage *image);
const char *ximageBitmapTemplate(Display *display, XImage *image);
// True when byte order, bitmap unit, bit order and pad (the scanline pad of the depth for
// ZPixmap, the bitmap pad otherwise) are the display's.
bool ximageMatchesDisplay(const XImage *image, Display *display);

// The GC used to draw an image of a depth on a screen. The display helpers install a provider
// that returns their cached GC of that depth (the provider keeps ownership). While none is
// installed, or when the provider has no GC for the depth, a GC of that depth is created for
// the call and freed afterwards.
using XimageGCProvider = GC (*)(Display *display, int screen, int depth);
void ximageSetGCProvider(XimageGCProvider provider);
// A new pixmap of the image's size and depth on the screen's root, filled with the image.
// 0 when the size is empty or the display has no pixmap format of that depth.
Pixmap ximagePixmapFromImage(Display *display, XImage *image, int screen);

// Copies a rectangle. Both rectangles are clipped to their images (positions shift together).
void ximageCopyArea(XImage *source, int sx, int sy, int width, int height, XImage *destination,
                    int dx, int dy);
// Copies the source rectangle scaled onto the destination rectangle, turned by rotation
// quarter turns clockwise (0 to 3). Destination pixels outside the destination image, or
// whose source pixel lies outside the source image, are left alone. NULL or an error text.
const char *ximageCopyConvert(XImage *source, int sx, int sy, int sw, int sh, XImage *destination,
                              int dx, int dy, int dw, int dh, int rotation);
// Reduces a bitmap: every source pixel of 1 in [sx0, sx1) x [sy0, sy1) sets the destination
// pixel it maps onto in [dx0, dx1) x [dy0, dy1) (after the rectangle is cleared). Works through
// the images' own accessors; parts of rectangles outside their images are skipped.
void ximageScaleRect(XImage *source, int sx0, int sy0, int sx1, int sy1, XImage *destination,
                     int dx0, int dy0, int dx1, int dy1);
// A new image scaled by the factors (bitmaps are doubled with smoothing while both factors
// are at least 2); the image itself when both are 1; NULL when out of memory or a factor is
// not positive.
XImage *ximageScale(XImage *image, double fx, double fy);
// XGetImage with the wait for the server bounded: the rectangle of the drawable read on the
// display's connection, the reply awaited at most limitMs (0: without a bound). NULL and *image
// (in the server's layout as XGetImage gives it: its byte and bit order, unit and pads, for
// XYPixmap one plane per bit of the mask within the depth; XDestroyImage frees it) on success.
// Else the failure text: no answer in time, a broken connection, the server's error (which
// goes to no error handler), or a reply too short for the image; nothing in *image.
const char *ximageGetImageWithin(Display *display, Drawable drawable, int x, int y, unsigned width,
                                 unsigned height, unsigned long planeMask, int format, uint32_t limitMs,
                                 XImage **image);
// XGetGeometry and XGetWindowAttributes with the wait for the server bounded in the same way
// (limitMs, 0: without a bound): NULL and the values as Xlib gives them, else the failure text
// (no answer in time, a broken connection, the server's error, which goes to no error handler).
const char *ximageGeometryWithin(Display *display, Drawable drawable, uint32_t limitMs, Window *root, int *x, int *y,
                                 unsigned *width, unsigned *height, unsigned *border, unsigned *depth);
const char *ximageWindowAttributesWithin(Display *display, Window window, uint32_t limitMs,
                                         XWindowAttributes *attributes);
// The window's image scaled into a new pixmap on the target drawable's screen; 0 on failure.
// The queries wait at most xtargetSyncLimitMs each; X errors of the drawing are the caller's
// to trap.
Pixmap ximageScaleWindow(Display *sourceDisplay, Window window, Display *targetDisplay,
                         Drawable target, double fx, double fy);

// Removes every entry equal to value and, with a mask, every entry above value whose
// difference from it has only bits of the mask. Returns the new count.
int ximageFilterValues(unsigned long value, unsigned long mask, unsigned long *array, int count);

// Packed RGB (R, G, B bytes) of every pixel at x, y of a destination rows of rowLength pixels.
// A channel with mask 0 gives 0. Nothing is written when the image does not fit the row.
void ximageToRgb24(XImage *image, uint8_t *destination, int x, int y, int rowLength);

// Binary PPM of the image ("-" is standard output, left open). NULL or an error text.
const char *ximageWritePpm(XImage *image, const char *fileName);
// The same for packed RGB data of width x height pixels.
const char *ximageWriteRgbPpm(const uint8_t *rgb, int width, int height, const char *fileName);
// The whole PPM in a malloc'ed buffer; NULL when out of memory.
uint8_t *ximagePpmInMemory(XImage *image, size_t *length);

// --- Helpers for tools and debugging --------------------------------------------------------

// The two displays lay out images of the format and depth alike.
bool ximageDisplaysCompatible(Display *a, Display *b, int format, int depth);
bool ximageFormatEqual(const ImageFormat *a, const ImageFormat *b);
// An image with its data in the same allocation (zeroed); NULL on failure. XDestroyImage
// frees it.
XImage *ximageCreate(int width, int height, int xOffset, const ImageFormat *format);
// A copy of an image's layout and pixels in one allocation.
XImage *ximageDuplicate(const XImage *image);
bool ximageHasPixmapFormat(Display *display, int depth);
// A new pixmap holding a copy of the drawable; 0 on failure.
Pixmap ximageCopyDrawable(Display *display, Drawable drawable);
// The distinct pixel values of the image in ascending order (malloc'ed); NULL or error text.
const char *ximageDistinctPixels(XImage *image, unsigned long **values, int *count);
// A plausible image record: address above 4096 and aligned, format at most 2, width and
// height below 65536.
bool ximageIsPlausible(const XImage *image);

// A plain pixel buffer: rows of bytesPerRow bytes, pixels of 1 bit (bytesPerPixel 0, bit x % 8
// of byte x / 8, most significant first) or of bytesPerPixel bytes in host order.
struct ImageRowBuffer {
  int width;
  int height;
  int bytesPerPixel;
  size_t bytesPerRow;
  uint8_t *data;
};
const char *ximageRowBufferInit(ImageRowBuffer *buffer, int width, int height, int bytesPerPixel);
void ximageRowBufferFree(ImageRowBuffer *buffer);
uint32_t ximageRowBufferGet(const ImageRowBuffer *buffer, int x, int y);
void ximageRowBufferPut(ImageRowBuffer *buffer, int x, int y, uint32_t value);
// The image into a new buffer of its size with the last row first.
const char *ximageToRowBufferFlipped(XImage *image, ImageRowBuffer *buffer, int bytesPerPixel);

// A copy of the image enlarged by text lines below it holding the text in a built-in 5 x 8
// font (foreground pixel; characters outside 32..126 are skipped, '\n' starts a new line).
XImage *ximageWithText(XImage *image, const char *text, unsigned long foreground);
// Degrees as quarter turns 0 to 3; -1 when not a multiple of 90.
int ximageQuarterTurns(int degrees);
// Packed RGB rectangle copy between buffers of the given row lengths (in pixels).
void ximageRgbCopy(const uint8_t *source, int sourceRowLength, int sx, int sy, int width,
                   int height, uint8_t *destination, int destinationRowLength, int dx, int dy);
// Packed RGB rows padded to a multiple of alignment bytes in a new buffer; NULL on failure.
uint8_t *ximageRgbPad(const uint8_t *rgb, int width, int height, int alignment,
                      size_t *bytesPerRow);
// A window on the display's default screen showing a copy of the drawable; 0 on failure.
Window ximageShowDrawable(Display *display, Drawable drawable, const char *title);
