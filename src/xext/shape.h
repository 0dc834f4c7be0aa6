// The SHAPE extension: shape changes written on every head of the window's meta screen and
// mirrored in the proxy's window tree; queries asked of the primary head; ShapeNotify from the
// primary head only.
#pragma once

#include <cstdint>

#include <X11/Xlib.h>

#include "proxy/xproxy.h"
#include "xext/extrequest.h"

struct Head;
struct Region;
struct WindowRecord;

// Shape kinds and operations as the protocol numbers them.
enum : uint8_t { kShapeBounding = 0, kShapeClip = 1, kShapeInput = 2 };
enum : uint8_t { kShapeSet = 0, kShapeUnion = 1, kShapeIntersect = 2, kShapeSubtract = 3, kShapeInvert = 4 };

// The window's current shape of the kind as a new region, relative to its inside's corner:
// a copy of its own, or, unshaped, what the server takes then (bounding and input: the
// window with its border, -bw, -bw, w + 2bw, h + 2bw; clip: 0, 0, w, h). NULL for another
// kind, a NULL window or no memory.
Region *shapeCurrent(const WindowRecord *window, int kind);
// Replaces the window's shape of the kind (the region is taken over; NULL makes the kind
// unshaped) and has the window tree recompute the window. Another kind logs "UNE" and frees
// the region.
void shapeSet(WindowRecord *window, int kind, Region *region);
// One operation of the server on the window's shape of the kind with a source region (taken
// over, already moved by the offset), as the server does it: Set takes the source; Union of an
// unshaped kind leaves it unshaped; Intersect of an unshaped kind takes the source; Subtract
// starts from the default; Invert of an unshaped kind gives the empty region. A root window,
// a kind above 2 or an operation above 4 changes nothing.
void shapeOperate(WindowRecord *window, int kind, int op, Region *source);

// The read-back of ShapeMask, once the client's connection has been synced (its client parked
// meanwhile): reads the window's rectangles of the kind from the head's real server (Xlib). 1 with the rectangles
// (malloc'ed, or NULL with a count of 0) when the read succeeded, else 0. Tests replace it.
using ShapeReadBack = int (*)(DisplayConnection *connection, Head *head, uint32_t serverWindow, int kind,
                              XRectangle **rectangles, int *count);
extern ShapeReadBack shapeReadBack;

// The request rows (for tests and diagnostics).
extern const ExtRequestTable shapeTable;

// ===== set-up =====
// Asks every real display for its SHAPE version ("Display %s does not support extension %s"
// when one has none), lowers the record's version to the smallest, registers the extension
// with one event, writes its rows, its event handler and its reset. NULL or an error text
// after which the record is cleared and the extension is not offered.
const char *shapeSetup(ExtensionRecord *record);
// ===== end of set-up =====
