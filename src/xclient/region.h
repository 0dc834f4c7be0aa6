// Regions: pixman's 16-bit regions seen through X rectangles (x, y, width, height).
//
// pixman works on boxes (x1, y1, x2, y2, x2 and y2 exclusive, each a signed 16-bit value). Every
// wrapper that builds a box from a rectangle clamps its ends: x2 = x + width and y2 = y + height,
// computed in 64 bits and limited to 32767; x and y are kept (limited to -32768 .. 32767 when a
// caller passes wider values, which for 16-bit arguments changes nothing). A box that clamps to
// nothing is empty. Two behaviours of pixman the callers rely on: emptying a region keeps the
// top-left corner of its extents, and a region without box data (data NULL) is exactly its extents.
//
// Xlib's <X11/Xutil.h> declares a Region of its own; include it only through xclient/xutilh.h,
// which renames that one to XlibRegion.
#pragma once

#include <cstdint>

#include <pixman.h>
#include <X11/Xlib.h>

using RegionBox = pixman_box16_t;

// A pixman region (a Region* is a pixman_region16_t*, so pixman's own functions take it) plus
// the boxes that regionUnionRect appended since the last regionValidate. Those boxes are not yet
// part of the region: nothing may read the region between the appends and the validate.
// A Region embedded in a record is set up with regionInit and released with regionFini (which,
// unlike pixman_region_fini, also frees the appended boxes).
struct Region : pixman_region16_t {
  RegionBox *pendingBoxes;  // malloc'ed, pendingSize entries, the first pendingCount in use
  uint32_t pendingCount;
  uint32_t pendingSize;
};

// Orderings of regionFromRects, as the protocol's SetClipRectangles names them. Any ordering
// gives the same region: the rectangles are always sorted and merged.
enum { RegionUnsorted = 0, RegionYSorted = 1, RegionYXSorted = 2, RegionYXBanded = 3 };

// --- Life cycle ---------------------------------------------------------------------------
void regionInit(Region *region);  // empty, no appended boxes
void regionFini(Region *region);  // accepts a zeroed or NULL region
Region *regionCreate();           // a new empty region, or NULL when out of memory
Region *regionCreateRect(int32_t x, int32_t y, uint32_t width, uint32_t height);
void regionDestroy(Region *region);  // accepts NULL
// Failing operations return NULL on success, else an out-of-memory text; pixman then leaves the
// destination empty.
const char *regionCopy(Region *destination, const Region *source);

// --- Rectangles in and out ------------------------------------------------------------------
void regionResetRect(Region *region, int32_t x, int32_t y, uint32_t width, uint32_t height);
// The box at index as a rectangle; a region without box data gives its extents. An index at or
// beyond the box count gives an empty rectangle at 0, 0.
void regionGetRect(const Region *region, long index, int16_t *x, int16_t *y, uint16_t *width,
                   uint16_t *height);
void regionBoxToRect(const RegionBox *box, int16_t *x, int16_t *y, uint16_t *width,
                     uint16_t *height);
// The region's boxes as rectangles in the region's order (malloc'ed; the caller frees it) and
// their count; an empty region or no memory gives NULL and a count of 0.
XRectangle *regionGetRects(const Region *region, long *count);
// A new region of the rectangles (width or height 0 adds nothing), or NULL when out of memory.
// regionFromRects2 is the same operation.
Region *regionFromRects(long count, const XRectangle *rectangles, int ordering);
Region *regionFromRects2(long count, const XRectangle *rectangles, int ordering);

// --- Tests ----------------------------------------------------------------------------------
// Where the clamped rectangle lies: 0 outside, 1 wholly inside, 2 partly inside. An empty
// rectangle is outside.
int regionContainsRect(int32_t x, int32_t y, uint32_t width, uint32_t height,
                       const Region *region);
// Non-zero when the pixel at x, y lies in the region (a pixel beyond 32766 or below -32768 never
// does: no box reaches it).
int regionContainsPoint(int32_t x, int32_t y, const Region *region);

// --- Arithmetic -----------------------------------------------------------------------------
// Appends the box of the rectangle, with x and y first raised to at least -32767 and the ends
// computed from the raised values, to the boxes waiting for regionValidate; nothing when width or
// height is 0.
const char *regionUnionRect(Region *region, int32_t x, int32_t y, uint32_t width, uint32_t height);
// Unites the appended boxes with the region and forgets them.
const char *regionValidate(Region *region);
const char *regionUnionWithRect(Region *destination, const Region *source, int32_t x, int32_t y,
                                uint32_t width, uint32_t height);
const char *regionIntersectRect(Region *destination, const Region *source, int32_t x, int32_t y,
                                uint32_t width, uint32_t height);
const char *regionSubtractRect(Region *destination, const Region *source, int32_t x, int32_t y,
                               uint32_t width, uint32_t height);
const char *regionUnion(Region *destination, const Region *a, const Region *b);
const char *regionIntersect(Region *destination, const Region *a, const Region *b);
const char *regionSubtract(Region *destination, const Region *a, const Region *b);  // a minus b
// Moves the region; parts pushed beyond the 16-bit coordinate space are cut off.
void regionTranslate(Region *region, int32_t dx, int32_t dy);
