// Where the copies of a window lie on the heads. The real server keeps the absolute position of
// a window's inside in 16 bits and wraps whatever lies beyond; the proxy keeps it in 32 bits
// (WindowRecord::x, y). A head shows the meta screen from its own origin on: its inner window
// lies at minus that origin on the real screen, so the copy of a window far to the left of the
// meta screen lies further left on a head further right, and on the second of two 800-pixel
// heads a window at x -32000 would lie at -32800 and wrap out of sight.
//
// Such a copy is placed apart: its inside moves to the end of the 16-bit range and gives up as
// much of its size, so that its far edge stays, and with it every pixel of the window that the
// head shows (a copy wholly beyond the range keeps one pixel there, out of sight). The copies
// of its children are placed against the moved copy, so they stay where they belong. What a
// client draws into a copy placed apart, and what events and replies report of it, is moved by
// the distance the copy moved on its way (xcoreshift.h).
//
// Each window remembers the heads on which its copy was last placed apart (placedApart, by
// the head's id-table index), so that a change that brings it back into range sends its own
// geometry again.
#pragma once

#include <cstdint>

#include "support/rect.h"

struct ClientConnection;
struct Head;
struct WindowRecord;

// The range of a window's absolute position on the real server. The X.Org server shows no
// window whose inside lies at -32768 itself: the range starts one above.
constexpr int64_t kWindowPlaceMin = -32767, kWindowPlaceMax = 32767;

// One axis of a window's copy on a head.
struct WindowCopySpan {
  int32_t offset;  // the outer corner relative to the parent copy's inside (16-bit range)
  uint32_t size;   // the inside's size, 1..65535
  int64_t inside;  // the copy's inside on the real screen (absolute), where its children go
};
struct WindowCopy {
  WindowCopySpan x, y;
  uint8_t apart;   // the offset or size differs from the client's geometry
};

// One axis: the parent copy's inside and the window's own inside at their absolute positions on
// the real screen, the window's inside size and border width.
WindowCopySpan windowPlaceSpan(int64_t parentInside, int64_t inside, uint32_t size, uint32_t border);

// Where the head's inner window, the copy of the meta root, lies on its real screen.
void windowHeadOrigin(const Head *head, int64_t *x, int64_t *y);
// The copy of the window on the head as the proxy's tree places it (the meta root: the inner
// window, never apart). 0 without a window or head.
int windowCopyOnHead(const WindowRecord *window, const Head *head, WindowCopy *copy);

// Whether the window's copy on the head was last placed apart; the mark set or cleared.
int windowPlacedApart(const WindowRecord *window, const Head *head);
void windowMarkPlacedApart(WindowRecord *window, const Head *head, int apart);

// Brings the copies of the window's subtree to their places after a change of geometry, a
// reparenting or a move of the head: on the head (every head of the window's meta screen when
// NULL) each copy placed apart now or before gets a ConfigureWindow of x, y, width and height,
// parents before children. skipTop leaves the window itself to the caller (its own request
// carried its place). Through the client's connection to the head's display, else the head's display.
// `known` (optional) holds copies of the window itself that its caller has placed already, so
// that their ancestors are not walked again; a head it does not hold is placed from the tree.
struct WindowKnownCopies {
  static constexpr int kMax = 8;
  int count;
  const Head *heads[kMax];
  WindowCopy copies[kMax];
};
void windowPlaceCopies(WindowRecord *window, Head *head, ClientConnection *client, int skipTop,
                       const WindowKnownCopies *known = nullptr);

// Where GetImage reads the rectangle (meta screen coordinates) of the window on the head: the
// window's own copy, else the nearest ancestor of the same visual and depth whose copy holds the
// rectangle at coordinates of 16 bits (at last the head's inner window for a window of the root
// visual). *reader and the rectangle's corner relative to the reader's inside; 0 when none can.
int windowCopyForRead(const WindowRecord *window, const Head *head, const Rect &rect, const WindowRecord **reader,
                      int16_t *x, int16_t *y);
