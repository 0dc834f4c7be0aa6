// The remote-control library's cursors and the image record that cursor images are kept in.
//
// Image records: the per-head cursor images of the proxy's cursor resources use this record;
// its data and mask may be one shared buffer. Sizes are computed in 64 bits and an image above
// kXrcImageMaxBytes is refused.
#pragma once

#include <cstddef>
#include <cstdint>

#include <X11/Xlib.h>

constexpr uint64_t kXrcImageMaxBytes = uint64_t{1} << 30;

struct XrcImage {
  uint16_t width;
  uint16_t height;
  uint16_t depth;
  uint8_t format;      // XYBitmap, XYPixmap or ZPixmap
  uint8_t byteOrder;   // LSBFirst or MSBFirst
  uint8_t bitOrder;
  uint8_t bitmapPad;
  char *data;          // ((width x depth + 7) / 8) x height bytes (malloc'ed), or NULL
  char *mask;          // ((width + 7) / 8) x height bytes, NULL, or the data buffer itself
};

// ((width x depth + 7) / 8) x height and ((width + 7) / 8) x height, in 64 bits.
uint64_t xrcImageDataSize(const XrcImage *image);
uint64_t xrcImageMaskSize(const XrcImage *image);
// Deep copies of count records into fresh records at target (whose old buffers are not
// looked at): both buffers duplicated, a shared buffer copied once and shared again. On
// failure the targets copied so far are freed and zeroed; an error text.
const char *xrcCopyImages(XrcImage *target, const XrcImage *source, size_t count);
// Replaces target's content with a deep copy of source; the old buffers are freed once the
// copy succeeded (so a record may be assigned from itself). On failure target is unchanged.
const char *xrcAssignImage(XrcImage *target, const XrcImage *source);
// Grows (or shrinks) an array of records; new records are zeroed, dropped ones freed. On
// failure the array is unchanged.
const char *xrcGrowImages(XrcImage **array, size_t count, size_t newCount);
// Frees the buffers of count records (a shared buffer once) and the array itself.
void xrcFreeImages(XrcImage *array, size_t count);
// Frees one record's buffers and zeroes it.
void xrcClearImage(XrcImage *image);

// An all-transparent cursor (also the cursor of the proxy's root and cursor windows).
Cursor xrcCreateInvisibleCursor(Display *display);
// The built-in 32x32 pixmap cursors, hot spot 16,16: 0 a target of rings, 1 a cross hair.
Cursor xrcCreateBuiltinCursor(Display *display, int which);
// Each sets its cursor on the window (XDefineCursor) or, for None, on the active pointer grab,
// then frees it. A frame is a hollow rectangle with its hot spot at the centre (width or
// height 0 sets None); a cross needs width and height above 2.
const char *xrcSetFrameCursor(Display *display, Window window, unsigned width, unsigned height);
const char *xrcSetCrossCursor(Display *display, Window window, unsigned width, unsigned height);
const char *xrcSetInvisibleCursor(Display *display, Window window);
const char *xrcSetFontCursor(Display *display, Window window, unsigned shape);
const char *xrcSetBuiltinCursor(Display *display, Window window, int which);
