// What the window tree's source files share and nobody else needs.
#pragma once

#include <cstdint>

struct WindowRecord;

// Sets up a record's four regions (stored in the record's own allocation) and allocates its
// selection block; 0 when out of memory (what was allocated stays attached and goes with
// windowFreeRecordData).
int windowAttachTreeData(WindowRecord *window);
// Recomputes absolute positions, window sizes and border sizes of the whole subtree from its
// parent's inside (iteratively: any depth).
void windowRecomputeSubtree(WindowRecord *window);
// Unrealizes the subtree; quiet leaves out the grab messages (destruction logs only focus).
void windowUnrealize(WindowRecord *window, int fromConfigure, int quiet);
// Unlinks a window from its parent's children.
void windowUnlink(WindowRecord *window);
// Links a window above `before` among the parent's children (NULL: at the bottom).
void windowLinkAbove(WindowRecord *window, WindowRecord *parent, WindowRecord *before);
// The outer box in absolute coordinates, 64-bit ends.
struct WindowBox {
  int64_t x1, y1, x2, y2;
};
WindowBox windowOuterBox(const WindowRecord *window);
// Whether two windows' outsides overlap, the first one at a box of its own.
int windowOverlaps(const WindowRecord *window, const WindowBox &box, const WindowRecord *other);
// The root of a window's meta screen (NULL when none).
WindowRecord *windowRootOf(const WindowRecord *window);
