// Keeping windows on the parts of a meta screen that its heads show. Heads of different sizes,
// or placed apart, leave parts of the meta screen that no real screen shows; a meta screen with
// a non-zero keepWindowsVisible setting moves top-level windows, and the positions clients and
// window managers ask for, onto the shown parts.
//
// Every rectangle here is a window's outer rectangle (border included) in meta-screen
// coordinates, and every position written back is the outer corner relative to the parent's
// inside, as ConfigureWindow and the size hints mean x and y: mixing inside and outside
// corners would shift a bordered window by its border at each correction.
#include <algorithm>
#include <climits>
#include <cstdint>

#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/problems.h"
#include "support/wirewords.h"
#include "xclient/region.h"

namespace {

// The outer rectangle of a window whose outer corner lies at x, y relative to the parent's
// inside, with the given inside size and border.
Rect outerRect(const WindowRecord *parent, int64_t x, int64_t y, uint32_t width, uint32_t height, uint32_t border) {
  return Rect{int32_t(std::clamp<int64_t>(parent->x + x, INT32_MIN, INT32_MAX)),
              int32_t(std::clamp<int64_t>(parent->y + y, INT32_MIN, INT32_MAX)), width + 2 * border,
              height + 2 * border};
}

bool asLargeAsScreen(const WindowRecord *window) {
  return window->screen && window->width == window->screen->width && window->height == window->screen->height;
}

// Whether hints and requests for the window are corrected at all.
bool correctsFor(const WindowRecord *window) {
  return window && window->windowClass == 1 && window->parent && window->screen && window->screen->hiddenParts &&
         !windowKeepVisibleExempt(window);
}

}  // namespace

int windowKeepVisibleExempt(const WindowRecord *window) {
  for (const WindowRecord *w = window; w; w = w->parent)
    if (w->keepVisibleExempt) return 1;
  return 0;
}

void windowKeepVisible(MetaScreen *screen) {
  if (!screen) return;
  screen->hiddenParts = 0;
  if (!screen->keepWindowsVisible || !screen->width || !screen->height) return;
  logStep("Recalc keeping windows visible on screen %u ...", screen->index);
  Region *shown = regionCreate();
  if (!screen->hiddenRegion) screen->hiddenRegion = regionCreate();
  if (!shown || !screen->hiddenRegion) {
    regionDestroy(shown);
    LOG_OUT_OF_MEMORY();
    return;
  }
  Rect box{0, 0, 0, 0};
  for (Head *head = screen->heads; head; head = head->next) {
    const Rect &r = head->rect;
    regionUnionRect(shown, r.x, r.y, r.width, r.height);
    rectUnion(&box, r.x, r.y, r.width, r.height);
  }
  regionValidate(shown);
  if (screen->keepWindowsVisible < 0 && box.width && box.height) {
    int64_t n = -int64_t(screen->keepWindowsVisible);
    box.x = int32_t(std::max<int64_t>(box.x - n, INT32_MIN));
    box.y = int32_t(std::max<int64_t>(box.y - n, INT32_MIN));
    box.width = uint32_t(std::min<int64_t>(box.width + 2 * n, UINT32_MAX));
    box.height = uint32_t(std::min<int64_t>(box.height + 2 * n, UINT32_MAX));
  }
  screen->headsBox = box;
  // Nothing shown at all: the hidden region stays empty (there is nowhere to keep windows).
  regionResetRect(screen->hiddenRegion, 0, 0, 0, 0);
  if (pixman_region_not_empty(shown)) {
    regionResetRect(screen->hiddenRegion, 0, 0, screen->width, screen->height);
    if (regionSubtract(screen->hiddenRegion, screen->hiddenRegion, shown)) LOG_OUT_OF_MEMORY();
  }
  regionDestroy(shown);
  if (!pixman_region_not_empty(screen->hiddenRegion)) return;
  screen->hiddenParts = 1;
  if (WindowRecord *root = static_cast<WindowRecord *>(resourceLookupByType(screen->root, kResourceWindow)))
    windowKeepVisibleWalk(root);
}

int windowKeepRectVisible(Rect *rect, MetaScreen *screen) {
  if (!rect || !screen || !screen->hiddenParts || !screen->hiddenRegion || !screen->keepWindowsVisible) return 0;
  Region *hidden = regionCreate();
  if (!hidden) return 0;
  regionIntersectRect(hidden, screen->hiddenRegion, rect->x, rect->y, rect->width, rect->height);
  bool anyHidden = pixman_region_not_empty(hidden);
  const pixman_box16_t *extents = pixman_region_extents(hidden);
  int64_t hiddenWidth = extents->x2 - extents->x1, hiddenHeight = extents->y2 - extents->y1;
  regionDestroy(hidden);
  if (!anyHidden) return 0;
  Rect target = screen->headsBox;
  int64_t n = screen->keepWindowsVisible;
  if (n < 0) {
    if (hiddenWidth <= -n && hiddenHeight <= -n) return 0;
  } else {
    // n pixels of the window must stay inside the box: the target grows per dimension by what
    // may lie outside (a wide, short window need not fit wholly inside vertically).
    if (rect->width > n) {
      int64_t grow = int64_t(rect->width) - n;
      target.x = int32_t(std::max<int64_t>(target.x - grow, INT32_MIN));
      target.width = uint32_t(std::min<int64_t>(target.width + 2 * grow, UINT32_MAX));
    }
    if (rect->height > n) {
      int64_t grow = int64_t(rect->height) - n;
      target.y = int32_t(std::max<int64_t>(target.y - grow, INT32_MIN));
      target.height = uint32_t(std::min<int64_t>(target.height + 2 * grow, UINT32_MAX));
    }
  }
  Rect moved;
  rectFitInside(&moved, *rect, target);
  if (moved.x == rect->x && moved.y == rect->y && moved.width == rect->width && moved.height == rect->height) return 0;
  *rect = moved;
  return 1;
}

void windowKeepOnScreen(WindowRecord *window, ClientConnection *client) {
  if (!window || !window->parent || !window->screen || windowKeepVisibleExempt(window)) return;
  WindowRecord *parent = window->parent;
  int64_t x = int64_t(window->originX) - window->borderWidth, y = int64_t(window->originY) - window->borderWidth;
  Rect rect = outerRect(parent, x, y, window->width, window->height, window->borderWidth);
  Rect before = rect;
  if (!windowKeepRectVisible(&rect, window->screen)) return;
  // Only the position changes: a window larger than the box keeps its size.
  if (rect.x == before.x && rect.y == before.y) return;
  xproxyMoveWindow(client, window, int32_t(int64_t(rect.x) - parent->x), int32_t(int64_t(rect.y) - parent->y));
}

void windowKeepVisibleWalk(WindowRecord *window) {
  if (!window) return;
  for (WindowRecord *child = window->firstChild; child;) {
    WindowRecord *next = child->nextSibling;  // a move keeps the stacking, but take it first
    if (child->viewable) {
      if (asLargeAsScreen(child))
        windowKeepVisibleWalk(child);
      else
        windowKeepOnScreen(child, nullptr);
    }
    child = next;
  }
}

void windowKeepHintsVisible(WindowRecord *window, uint32_t *hints) {
  constexpr uint32_t kProgramPosition = 4, kProgramSize = 8;
  if (!hints || !correctsFor(window) || !(hints[0] & kProgramPosition)) return;
  uint32_t width = window->width, height = window->height;
  if (hints[0] & kProgramSize) width = uint32_t(std::clamp<int32_t>(int32_t(hints[3]), 0, 65535)),
                               height = uint32_t(std::clamp<int32_t>(int32_t(hints[4]), 0, 65535));
  WindowRecord *parent = window->parent;
  Rect rect = outerRect(parent, int32_t(hints[1]), int32_t(hints[2]), width, height, window->borderWidth);
  if (!windowKeepRectVisible(&rect, window->screen)) return;
  hints[1] = uint32_t(int32_t(int64_t(rect.x) - parent->x));
  hints[2] = uint32_t(int32_t(int64_t(rect.y) - parent->y));
}

void windowKeepRequestVisible(uint8_t *event) {
  if (!event) return;
  uint16_t mask = wireGet16(event + 26);
  if (!(mask & 0x3)) return;
  auto *window = static_cast<WindowRecord *>(resourceLookupByType(wireGet32(event + 8), kResourceWindow));
  if (!correctsFor(window)) return;
  WindowRecord *parent = window->parent;
  Rect rect = outerRect(parent, int16_t(wireGet16(event + 16)), int16_t(wireGet16(event + 18)), wireGet16(event + 20),
                        wireGet16(event + 22), wireGet16(event + 24));
  if (!windowKeepRectVisible(&rect, window->screen)) return;
  int64_t x = int64_t(rect.x) - parent->x, y = int64_t(rect.y) - parent->y;
  wirePut16(event + 16, uint16_t(int16_t(std::clamp<int64_t>(x, INT16_MIN, INT16_MAX))));
  wirePut16(event + 18, uint16_t(int16_t(std::clamp<int64_t>(y, INT16_MIN, INT16_MAX))));
}
