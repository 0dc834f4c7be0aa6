// Drawing into a window whose copy a head placed apart (windowplace.h): the copy's inside lies
// elsewhere than the client's window, so the client's coordinates in the window are moved by
// that distance before they go to the head, and what then falls outside the real server's 16
// bits is cut (rectangles, points, thin lines, images, copies) or dropped (arcs, polygons, wide
// lines, text origins: a primitive that cannot be written as it is). A primitive wholly outside
// the copy is dropped. Events and replies that carry the copy's coordinates move back the other
// way. All arithmetic in 64 bits.
#pragma once

#include <cstdint>
#include <vector>

struct DisplayConnection;
struct GCRecord;
struct Head;
struct WindowRecord;

// The copy of a drawable on a head as drawing sees it: dx and dy added to a client's position
// in the drawable give the same pixel in the copy; width and height are the copy's inside.
struct XcoreCopyShift {
  int64_t dx, dy;
  int64_t width, height;
};
// The drawable's copy on the head: 1 when it lies elsewhere than the client's window (a window
// placed apart there), 0 for any other drawable or copy (shift then all zero).
int xcoreCopyShiftOf(uint32_t drawable, const Head *head, XcoreCopyShift *shift);
// The same for a drawable already resolved: its window record, NULL for any other drawable.
int xcoreCopyShiftOfWindow(const WindowRecord *window, const Head *head, XcoreCopyShift *shift);

// ----- The arithmetic of one primitive (copy coordinates out, 16-bit where they are written) ---

struct XcoreBox {
  int64_t x, y, width, height;
};
// A filled box (FillRectangle, ClearArea with both sizes given, an image) moved into the copy and
// cut to start within 16 bits; *cutX and *cutY (optional) tell how much its start moved right
// and down. False when nothing of it lies inside the copy, or its start cannot be written.
bool xcoreShiftBox(const XcoreCopyShift &shift, XcoreBox *box, int64_t *cutX = nullptr, int64_t *cutY = nullptr);
// A point moved into the copy: false unless it lies inside the copy at 16-bit coordinates.
bool xcoreShiftPoint(const XcoreCopyShift &shift, int64_t *x, int64_t *y);
// A thin line from x0,y0 to x1,y1 moved into the copy and, where an end leaves 16 bits, cut at
// the range's edge (the cut end rounded onto the line). False when it lies wholly outside the
// copy or no part is left.
bool xcoreShiftThinLine(const XcoreCopyShift &shift, int64_t *x0, int64_t *y0, int64_t *x1, int64_t *y1);
// Whether the box (copy coordinates), grown by pad on every side, meets the copy.
bool xcoreBoxMeetsCopy(const XcoreCopyShift &shift, int64_t x, int64_t y, int64_t width, int64_t height, int64_t pad);
// Whether a coordinate can be written as a 16-bit signed position.
inline bool xcoreFits16(int64_t v) { return v >= INT16_MIN && v <= INT16_MAX; }

// The requests that draw the client's drawing request (opcodes 61, 64 to 71, 74 to 77; the
// proxy's byte order, ids still the client's) into a copy with the shift; lineWidth is the GC's.
// Each entry a whole request with its 4-byte header (the length field is the writer's). Empty
// when nothing of it lands in the copy.
std::vector<std::vector<uint8_t>> xcoreShiftDrawRequest(const uint8_t *request, uint32_t length,
                                                        const XcoreCopyShift &shift, int64_t lineWidth);
// CopyArea and CopyPlane: the source and destination positions moved by their copies' shifts and
// the width and height cut alike where either start leaves 16 bits (to zero when nothing is
// left: the request still answers its exposure events). The request's bytes are changed in place.
void xcoreShiftCopyRequest(uint8_t *request, const XcoreCopyShift &source, const XcoreCopyShift &destination);

// The GC's origins (tile and stipple, clip) moved by the shift on the head's copy of the GC before
// a request drawn into a copy placed apart (set 1), and the client's values back after it (set 0).
void xcoreShiftGCOrigins(DisplayConnection *connection, const Head *head, const GCRecord *gc,
                         const XcoreCopyShift &shift, int set);

// A rectangle of an event on the copy (Expose, GraphicsExpose: x, y unsigned, sizes) moved back
// into the client's coordinates and kept within the window's 16-bit sizes.
void xcoreShiftEventBox(const XcoreCopyShift &shift, uint16_t *x, uint16_t *y, uint16_t *width, uint16_t *height);
