// The window tree's mapping, geometry, stacking and validation. Every walk is iterative: a tree
// may be nested as deep as clients care to make it.
#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <utility>
#include <vector>

#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/windowinternal.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/region.h"

namespace {

int32_t clamp32(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }
int64_t clampCoordinate(int64_t v) { return std::clamp<int64_t>(v, -32768, 32767); }

// Working regions. A validation makes and drops one per viewable child it recomputes; the
// dropped ones are kept for the next (the tree is only ever validated on the loop's thread),
// which spares an allocation and a free per window mapped or unmapped. Each user writes a
// taken region whole before reading it. One that holds many boxes is emptied when kept.
constexpr size_t kSpareRegions = 32;
Region *spareRegions[kSpareRegions];
size_t spareRegionCount = 0;

Region *takeRegion() { return spareRegionCount ? spareRegions[--spareRegionCount] : regionCreate(); }

void dropRegion(Region *r) {
  if (!r) return;
  if (spareRegionCount == kSpareRegions) return regionDestroy(r);
  if (r->data && r->data->size > 8) regionResetRect(r, 0, 0, 0, 0);
  spareRegions[spareRegionCount++] = r;
}

// Moves a region's contents into another that is overwritten whole (the other's old box storage
// goes to the source, which the caller drops or overwrites): a copy without copying the boxes.
void moveRegion(Region *to, Region *from) {
  if (to->pendingBoxes || from->pendingBoxes) {
    regionCopy(to, from);
    return;
  }
  std::swap(static_cast<pixman_region16_t &>(*to), static_cast<pixman_region16_t &>(*from));
}

// Intersects a region with a shape given relative to the inside corner at x, y.
void intersectShape(Region *region, const Region *shape, int32_t x, int32_t y) {
  if (!shape) return;
  Region *moved = takeRegion();
  if (!moved) return LOG_OUT_OF_MEMORY();
  regionCopy(moved, shape);
  regionTranslate(moved, x, y);
  regionIntersect(region, region, moved);
  dropRegion(moved);
}

// The window's sizes from its geometry and its parent's inside.
void computeSizes(WindowRecord *w) {
  WindowRecord *p = w->parent;
  if (!p) return;
  w->x = clamp32(int64_t(p->x) + w->originX);
  w->y = clamp32(int64_t(p->y) + w->originY);
  regionIntersectRect(w->windowSize, p->windowSize, w->x, w->y, w->width, w->height);
  intersectShape(w->windowSize, w->boundingShape, w->x, w->y);
  intersectShape(w->windowSize, w->clipShape, w->x, w->y);
  if (w->borderWidth) {
    int64_t b = w->borderWidth;
    WindowBox box = windowOuterBox(w);
    (void)b;
    regionIntersectRect(w->borderSize, p->windowSize, clamp32(box.x1), clamp32(box.y1),
                        uint32_t(std::min<int64_t>(box.x2 - box.x1, UINT32_MAX)),
                        uint32_t(std::min<int64_t>(box.y2 - box.y1, UINT32_MAX)));
    intersectShape(w->borderSize, w->boundingShape, w->x, w->y);
  } else {
    regionCopy(w->borderSize, w->windowSize);
  }
}

// Visibility from where the border box lies in the region left for the window.
uint8_t visibilityIn(const WindowRecord *w, const Region *universe) {
  WindowBox box = windowOuterBox(w);
  int64_t x1 = clampCoordinate(box.x1), y1 = clampCoordinate(box.y1);
  int64_t x2 = clampCoordinate(box.x2), y2 = clampCoordinate(box.y2);
  int where = regionContainsRect(int32_t(x1), int32_t(y1), uint32_t(x2 - x1), uint32_t(y2 - y1), universe);
  if (where == 1) return 0;
  if (where == 0) return 2;
  if (w->boundingShape) {
    // The shape's boxes, each cut to the border box, decide: all inside, all outside, or mixed.
    // As the X server does it, a box that the cut leaves empty still counts: it is outside
    // unless it lies within the region's extents.
    int n = 0;
    const pixman_box16_t *boxes = pixman_region_rectangles(w->boundingShape, &n);
    bool someIn = false, someOut = false;
    for (int i = 0; i < n; i++) {
      pixman_box16_t box;
      box.x1 = int16_t(clampCoordinate(std::max<int64_t>(int64_t(w->x) + boxes[i].x1, x1)));
      box.y1 = int16_t(clampCoordinate(std::max<int64_t>(int64_t(w->y) + boxes[i].y1, y1)));
      box.x2 = int16_t(clampCoordinate(std::min<int64_t>(int64_t(w->x) + boxes[i].x2, x2)));
      box.y2 = int16_t(clampCoordinate(std::min<int64_t>(int64_t(w->y) + boxes[i].y2, y2)));
      if (box.x1 > box.x2) box.x2 = box.x1;
      if (box.y1 > box.y2) box.y2 = box.y1;
      switch (pixman_region_contains_rectangle(const_cast<Region *>(universe), &box)) {
        case PIXMAN_REGION_IN:
          if (someOut) return 1;
          someIn = true;
          break;
        case PIXMAN_REGION_OUT:
          if (someIn) return 1;
          someOut = true;
          break;
        default: return 1;
      }
    }
    if (someIn) return 0;
    if (someOut) return 2;
  }
  return 1;
}

using Pending = std::vector<std::pair<WindowRecord *, Region *>>;

// Shares what is left of a window's inside among its viewable children from the top; the rest
// is the window's clip list. Consumes `remaining`.
void distribute(WindowRecord *w, Region *remaining, Pending &stack) {
  size_t first = stack.size();
  for (WindowRecord *c = w->firstChild; c; c = c->nextSibling) {
    if (!c->viewable) continue;
    Region *universe = takeRegion();
    if (!universe) {
      LOG_OUT_OF_MEMORY();
      break;
    }
    regionIntersect(universe, remaining, c->borderSize);
    regionSubtract(remaining, remaining, c->borderSize);
    stack.emplace_back(c, universe);
  }
  // The top child is handled first, each subtree before the next sibling.
  std::reverse(stack.begin() + long(first), stack.end());
  moveRegion(w->clipList, remaining);
  dropRegion(remaining);
}

// Whether a sibling lies above the window in the stacking order.
bool siblingAbove(const WindowRecord *w, const WindowRecord *sibling) {
  for (const WindowRecord *s = w->previousSibling; s; s = s->previousSibling)
    if (s == sibling) return true;
  return false;
}

bool anyAboveOverlaps(const WindowRecord *w, const WindowBox &box) {
  for (const WindowRecord *s = w->parent->firstChild; s && s != w; s = s->nextSibling)
    if (s->mapped && windowOverlaps(w, box, s)) return true;
  return false;
}

bool anyBelowOverlaps(const WindowRecord *w, const WindowBox &box) {
  for (const WindowRecord *s = w->nextSibling; s; s = s->nextSibling)
    if (s->mapped && windowOverlaps(w, box, s)) return true;
  return false;
}

// Whether a sibling's outside, as clipped by the parent and its shape, meets a box.
bool siblingMeets(const WindowRecord *sibling, const WindowBox &b) {
  pixman_box16_t box{int16_t(clampCoordinate(b.x1)), int16_t(clampCoordinate(b.y1)), int16_t(clampCoordinate(b.x2)),
                     int16_t(clampCoordinate(b.y2))};
  return pixman_region_contains_rectangle(const_cast<Region *>(sibling->borderSize), &box) != PIXMAN_REGION_OUT;
}

// The sibling the window goes above (NULL: the bottom) for a stack mode.
WindowRecord *whereToGo(WindowRecord *w, WindowRecord *sibling, uint32_t mode, const WindowBox &box) {
  WindowRecord *first = w->parent->firstChild;
  switch (mode) {
    case 0: return sibling ? sibling : first;  // Above
    case 1: return sibling ? sibling->nextSibling : nullptr;  // Below
    default: break;
  }
  if (!w->mapped || (sibling && !sibling->mapped)) return w->nextSibling;
  switch (mode) {
    case 2:  // TopIf
      if (sibling) return siblingAbove(w, sibling) && siblingMeets(sibling, box) ? first : w->nextSibling;
      return anyAboveOverlaps(w, box) ? first : w->nextSibling;
    case 3:  // BottomIf
      if (sibling) return !siblingAbove(w, sibling) && siblingMeets(sibling, box) ? nullptr : w->nextSibling;
      return anyBelowOverlaps(w, box) ? nullptr : w->nextSibling;
    default:  // Opposite
      if (sibling) {
        if (!siblingMeets(sibling, box)) return w->nextSibling;
        return siblingAbove(w, sibling) ? first : nullptr;
      }
      if (anyAboveOverlaps(w, box)) return first;
      if (anyBelowOverlaps(w, box)) return nullptr;
      return w->nextSibling;
  }
}

// Moves, resizes, re-borders and restacks in one go, then validates the parent.
void applyGeometry(WindowRecord *w, int32_t x, int32_t y, uint16_t width, uint16_t height, uint16_t borderWidth,
                   WindowRecord *next, int kind) {
  WindowRecord *parent = w->parent;
  if (!parent) return;
  if (next == w) next = w->nextSibling;
  int32_t oldX = w->x, oldY = w->y;
  bool wasViewable = w->viewable;
  int32_t dw = int32_t(width) - w->width, dh = int32_t(height) - w->height;
  w->originX = x + borderWidth;
  w->originY = y + borderWidth;
  w->width = width;
  w->height = height;
  w->borderWidth = borderWidth;
  if (next != w->nextSibling) {
    windowUnlink(w);
    windowLinkAbove(w, parent, next);
  }
  if (dw || dh) {
    int32_t newX = clamp32(int64_t(parent->x) + w->originX), newY = clamp32(int64_t(parent->y) + w->originY);
    for (WindowRecord *c = w->firstChild; c;) {
      WindowRecord *below = c->nextSibling;
      if (c->windowGravity == 0) {
        // Unmap gravity acts only on a window that is on the screen; elsewhere the child
        // stays mapped where it is.
        if (wasViewable) windowUnmap(c, 1);
      } else {
        int32_t cx = c->originX - c->borderWidth, cy = c->originY - c->borderWidth, nx, ny;
        // Static gravity keeps the absolute place: the inside's move is taken back.
        windowGravityTranslate(cx, cy, cx - (newX - oldX), cy - (newY - oldY), dw, dh, c->windowGravity, &nx, &ny);
        c->originX = nx + c->borderWidth;
        c->originY = ny + c->borderWidth;
      }
      c = below;
    }
  }
  windowRecomputeSubtree(w);
  if (parent->viewable) windowValidateTree(parent, w, kind);
}

}  // namespace

// ----- Links, boxes and sizes -----

void windowUnlink(WindowRecord *w) {
  WindowRecord *p = w->parent;
  if (!p) return;
  if (w->previousSibling)
    w->previousSibling->nextSibling = w->nextSibling;
  else
    p->firstChild = w->nextSibling;
  if (w->nextSibling)
    w->nextSibling->previousSibling = w->previousSibling;
  else
    p->lastChild = w->previousSibling;
  w->nextSibling = w->previousSibling = nullptr;
  w->parent = nullptr;
}

void windowLinkAbove(WindowRecord *w, WindowRecord *parent, WindowRecord *before) {
  w->parent = parent;
  w->nextSibling = before;
  w->previousSibling = before ? before->previousSibling : parent->lastChild;
  if (w->previousSibling)
    w->previousSibling->nextSibling = w;
  else
    parent->firstChild = w;
  if (before)
    before->previousSibling = w;
  else
    parent->lastChild = w;
}

WindowBox windowOuterBox(const WindowRecord *w) {
  int64_t b = w->borderWidth;
  return {w->x - b, w->y - b, int64_t(w->x) + w->width + b, int64_t(w->y) + w->height + b};
}

namespace {
// The box cut by the window's bounding shape. As the X server does it (and clients see it),
// the shape is placed at the window's current origin in its parent, whatever the box.
Region *boundedBox(const WindowRecord *w, const WindowBox &b) {
  Region *r = regionCreate();
  if (!r) return nullptr;
  regionResetRect(r, clamp32(b.x1), clamp32(b.y1), uint32_t(std::min<int64_t>(b.x2 - b.x1, UINT32_MAX)),
                  uint32_t(std::min<int64_t>(b.y2 - b.y1, UINT32_MAX)));
  if (w->boundingShape) {
    regionTranslate(r, -w->originX, -w->originY);
    regionIntersect(r, r, w->boundingShape);
    regionTranslate(r, w->originX, w->originY);
  }
  return r;
}
}  // namespace

int windowOverlaps(const WindowRecord *w, const WindowBox &box, const WindowRecord *other) {
  WindowBox o = windowOuterBox(other);
  if (box.x1 >= o.x2 || o.x1 >= box.x2 || box.y1 >= o.y2 || o.y1 >= box.y2) return 0;
  if (!w->boundingShape && !other->boundingShape) return 1;
  Region *a = boundedBox(w, box), *b = boundedBox(other, o);
  int result = 1;
  if (a && b) {
    regionIntersect(a, a, b);
    result = pixman_region_not_empty(a) ? 1 : 0;
  }
  regionDestroy(a);
  regionDestroy(b);
  return result;
}

void windowRecomputeSubtree(WindowRecord *window) {
  for (WindowRecord *w = window; w; w = windowNextInTree(w, window)) computeSizes(w);
}

void windowGravityTranslate(int32_t x, int32_t y, int32_t oldX, int32_t oldY, int32_t dw, int32_t dh,
                            unsigned gravity, int32_t *newX, int32_t *newY) {
  // oldX, oldY: the place that keeps the child's absolute position (Static).
  switch (gravity) {
    case 2: *newX = x + dw / 2; *newY = y; break;            // North
    case 3: *newX = x + dw; *newY = y; break;                // NorthEast
    case 4: *newX = x; *newY = y + dh / 2; break;            // West
    case 5: *newX = x + dw / 2; *newY = y + dh / 2; break;   // Center
    case 6: *newX = x + dw; *newY = y + dh / 2; break;       // East
    case 7: *newX = x; *newY = y + dh; break;                // SouthWest
    case 8: *newX = x + dw / 2; *newY = y + dh; break;       // South
    case 9: *newX = x + dw; *newY = y + dh; break;           // SouthEast
    case 10: *newX = oldX; *newY = oldY; break;              // Static
    default: *newX = x; *newY = y; break;                    // NorthWest
  }
}

// ----- Validation -----

namespace {
// The stack of a validation. One is kept with its room between validations; a validation that
// starts while it is in use (from within a notification) gets one of its own.
Pending keptStack;
bool keptStackInUse = false;

struct StackLease {
  Pending own;
  Pending *stack;
  StackLease() : stack(keptStackInUse ? &own : &keptStack) { keptStackInUse |= stack == &keptStack; }
  ~StackLease() {
    if (stack != &keptStack) return;
    keptStack.clear();
    keptStackInUse = false;
  }
  StackLease(const StackLease &) = delete;
  StackLease &operator=(const StackLease &) = delete;
};

// Clips, visibility and VisibilityNotify of the windows on a stack, each subtree before the next
// sibling. Consumes the regions.
void computeAll(Pending &stack) {
  while (!stack.empty()) {
    auto [w, universe] = stack.back();
    stack.pop_back();
    uint8_t visibility = visibilityIn(w, universe);
    moveRegion(w->borderClip, universe);
    regionIntersect(universe, w->borderClip, w->windowSize);
    distribute(w, universe, stack);
    if (visibility != w->visibility) {
      w->visibility = visibility;
      windowSendVisibilityNotify(w);
    }
  }
}
}  // namespace

void windowComputeClips(WindowRecord *window, Region *universe) {
  StackLease lease;
  lease.stack->emplace_back(window, universe);
  computeAll(*lease.stack);
}

namespace {
// Whether two regions' extents overlap. Read in place: this runs once per sibling of every
// mapped, moved or restacked window. An empty region's extents are degenerate and meet nothing.
inline bool extentsMeet(const Region *a, const Region *b) {
  const pixman_box16_t &x = a->extents, &y = b->extents;
  return x.x1 < y.x2 && y.x1 < x.x2 && x.y1 < y.y2 && y.y1 < x.y2;
}

bool regionsMeet(const Region *a, const Region *b, Region *scratch) {
  if (!extentsMeet(a, b) || !pixman_region_not_empty(const_cast<Region *>(a)) ||
      !pixman_region_not_empty(const_cast<Region *>(b)))
    return false;
  regionIntersect(scratch, a, b);
  return pixman_region_not_empty(scratch);
}

// The region left for a viewable child: the parent's inside within the child's outside, less
// the outsides of the viewable siblings above it. NULL when out of memory.
Region *universeOf(WindowRecord *child, const Region *inside) {
  Region *universe = takeRegion();
  if (!universe) return nullptr;
  regionIntersect(universe, inside, child->borderSize);
  for (WindowRecord *s = child->parent->firstChild; s && s != child; s = s->nextSibling) {
    if (!pixman_region_not_empty(universe)) break;
    if (s->viewable && extentsMeet(s->borderSize, universe)) regionSubtract(universe, universe, s->borderSize);
  }
  return universe;
}

// The whole subtree from the parent's inside.
void validateAll(WindowRecord *parent, Region *inside) {
  StackLease lease;
  distribute(parent, inside, *lease.stack);
  computeAll(*lease.stack);
}

// After a change of one child (its place, size, shape, stacking or mapping), only the windows
// whose region can differ are recomputed: the child's subtree, and the subtrees of the viewable
// siblings that meet the area the child held before or, below it, the area it holds now. A
// sibling that meets neither keeps its region, since the others above it stayed where they
// were. The parent's clip list changes only there too: it takes back what the child held and
// gives up what each recomputed child covers. The order of the recomputed windows (and so of
// VisibilityNotify) is that of a whole recomputation. Consumes `inside`.
void validateChange(WindowRecord *parent, WindowRecord *changed, Region *inside) {
  Region *held = takeRegion(), *scratch = takeRegion();
  if (!held || !scratch) {
    dropRegion(held);
    dropRegion(scratch);
    return validateAll(parent, inside);
  }
  // What the child held before: its border clip while it stays viewable; one that is no longer
  // viewable has had its clips emptied, and held no more than its outside.
  regionCopy(held, changed->borderClip);
  if (!changed->viewable) regionUnion(held, held, changed->borderSize);
  regionIntersect(scratch, held, inside);
  regionUnion(parent->clipList, parent->clipList, scratch);
  bool below = false;  // past the changed child, whose border clip is then what it holds now
  bool failed = false;
  for (WindowRecord *c = parent->firstChild; c; c = c->nextSibling) {
    if (!c->viewable) continue;
    if (c != changed && !regionsMeet(c->borderSize, held, scratch) &&
        !(below && regionsMeet(c->borderSize, changed->borderClip, scratch)))
      continue;
    Region *universe = universeOf(c, inside);
    if (!universe) {
      LOG_OUT_OF_MEMORY();
      failed = true;
      break;
    }
    windowComputeClips(c, universe);
    regionSubtract(parent->clipList, parent->clipList, c->borderSize);
    below |= c == changed;
  }
  dropRegion(held);
  dropRegion(scratch);
  if (failed) return validateAll(parent, inside);
  dropRegion(inside);
}
}  // namespace

void windowValidateTree(WindowRecord *parent, WindowRecord *child, int) {
  // With a changed child named, the windows it can affect are recomputed; without one (several
  // children changed at once), the parent's whole subtree is, from what the parent's border clip
  // leaves for its inside.
  if (!parent || !parent->viewable) return;
  Region *inside = takeRegion();
  if (!inside) return LOG_OUT_OF_MEMORY();
  regionIntersect(inside, parent->borderClip, parent->windowSize);
  // A child with no viewable sibling is all there is to recompute: the plain walk is cheaper.
  // The neighbours answer at once when windows are mapped or unmapped in stacking order.
  bool siblings = false;
  if (child && child->parent == parent) {
    siblings = (child->previousSibling && child->previousSibling->viewable) ||
               (child->nextSibling && child->nextSibling->viewable);
    for (WindowRecord *c = parent->firstChild; c && !siblings; c = c->nextSibling) siblings = c != child && c->viewable;
  }
  if (siblings)
    validateChange(parent, child, inside);
  else
    validateAll(parent, inside);
}

void windowSendVisibilityNotify(WindowRecord *window) {
  uint8_t event[32] = {15};
  memcpy(event + 4, &window->id, 4);
  event[8] = window->visibility;
  for (EventSelection *s = window->selections; s; s = s->next) {
    if (!(s->mask & kWindowVisibilityChangeMask) || !s->client) continue;
    // Each client at its own sequence number.
    uint16_t sequence = uint16_t(s->client->sequence);
    memcpy(event + 2, &sequence, 2);
    mainSendToClient(event, "bbsib", s->client);
  }
}

// ----- Mapping -----

void windowRealizeTree(WindowRecord *window) {
  if (!window->mapped || !window->parent || !window->parent->realized) return;
  // Windows placed in a part of the meta screen that no head shows: those whose parent is as
  // large as the screen are moved once the subtree is realized.
  std::vector<WindowRecord *> keep;
  MetaScreen *screen = window->screen;
  bool hidden = screen && screen->hiddenParts;
  for (WindowRecord *w = window; w;) {
    if (w->mapped) {
      w->realized = 1;
      w->viewable = w->windowClass == 1;
      if (hidden && w->viewable && w->parent->width == screen->width && w->parent->height == screen->height &&
          !(w->width == screen->width && w->height == screen->height))
        keep.push_back(w);
      if (w->firstChild) {
        w = w->firstChild;
        continue;
      }
    }
    while (w != window && !w->nextSibling) w = w->parent;
    if (w == window) break;
    w = w->nextSibling;
  }
  for (WindowRecord *w : keep) windowKeepOnScreen(w, xproxyCurrentClient);
}

namespace {
// Maps one window without validating; 1 when it became viewable.
int mapOne(WindowRecord *w) {
  if (w->mapped || !w->parent) return 0;
  if (!w->overrideRedirect && windowRedirectedByOther(w->parent, xproxyCurrentClient)) return 0;
  w->mapped = 1;
  if (w->parent->realized) windowRealizeTree(w);
  return w->viewable;
}
}  // namespace

void windowMap(WindowRecord *window) {
  if (window && mapOne(window)) windowValidateTree(window->parent, window, kWindowValidateMap);
}

void windowMapSubwindows(WindowRecord *window) {
  bool any = false;
  for (WindowRecord *c = window->firstChild; c; c = c->nextSibling) any |= mapOne(c) != 0;
  if (any) windowValidateTree(window, nullptr, kWindowValidateMap);
}

void windowUnmap(WindowRecord *window, int fromConfigure) {
  if (!window || !window->mapped || !window->parent) return;
  bool wasViewable = window->viewable;
  window->mapped = 0;
  if (window->realized) windowUnrealizeTree(window, fromConfigure);
  if (wasViewable && !fromConfigure) windowValidateTree(window->parent, window, kWindowValidateUnmap);
}

void windowUnmapSubwindows(WindowRecord *window) {
  bool any = false;
  for (WindowRecord *c = window->firstChild; c; c = c->nextSibling) {
    if (!c->mapped) continue;
    any |= c->viewable != 0;
    c->mapped = 0;
    if (c->realized) windowUnrealizeTree(c, 0);
  }
  if (any) windowValidateTree(window, nullptr, kWindowValidateUnmap);
}

void windowDestroySubwindows(WindowRecord *window) {
  windowUnmapSubwindows(window);
  while (WindowRecord *c = window->lastChild) {
    resourceFree(c->id, 0);
    if (window->lastChild == c) windowDestroy(c);  // no table entry: freed directly
  }
}

// ----- Geometry and stacking -----

int windowConfigure(WindowRecord *window, uint32_t mask, const uint32_t *values, ClientConnection *client) {
  if (mask & ~0x7fu) return 2;
  int32_t x = window->originX - window->borderWidth, y = window->originY - window->borderWidth;
  uint32_t width = window->width, height = window->height, border = window->borderWidth;
  WindowRecord *sibling = nullptr;
  uint32_t mode = 0;
  const uint32_t *v = values;
  if (mask & 0x1) x = int16_t(*v++);
  if (mask & 0x2) y = int16_t(*v++);
  if (mask & 0x4) {
    width = uint16_t(*v++);
    if (width == 0) return 2;
  }
  if (mask & 0x8) {
    height = uint16_t(*v++);
    if (height == 0) return 2;
  }
  if (mask & 0x10) {
    if (window->windowClass == 2) return 8;
    border = uint16_t(*v++);
  }
  if (mask & 0x20) {
    sibling = static_cast<WindowRecord *>(resourceLookupWindow(*v++));
    if (!sibling) return 3;
    if (sibling == window) return 8;
  }
  if (mask & 0x40) {
    mode = *v++;
    if (mode > 4) return 2;
  }
  if ((mask & 0x20) && !(mask & 0x40)) return 8;
  if (sibling && sibling->parent != window->parent) return 8;
  if (!window->parent) return 0;  // a root is left alone
  if (!window->overrideRedirect && windowRedirectedByOther(window->parent, client)) return 0;
  WindowRecord *next = window->nextSibling;
  if (mask & 0x40) {
    int64_t b = border;
    WindowBox box{window->parent->x + int64_t(x), window->parent->y + int64_t(y),
                  window->parent->x + int64_t(x) + width + 2 * b, window->parent->y + int64_t(y) + height + 2 * b};
    next = whereToGo(window, sibling, mode, box);
    if (next == window) next = window->nextSibling;
  }
  bool moved = x != window->originX - window->borderWidth || y != window->originY - window->borderWidth;
  bool resized = width != window->width || height != window->height;
  bool bordered = border != window->borderWidth;
  bool restacked = next != window->nextSibling;
  if (!moved && !resized && !bordered && !restacked) return 0;
  int kind = resized || bordered ? kWindowValidateOther : moved ? kWindowValidateMove : kWindowValidateRestack;
  applyGeometry(window, x, y, uint16_t(width), uint16_t(height), uint16_t(border), next, kind);
  windowValidateGrabs();
  return 0;
}

void windowMove(WindowRecord *window, int32_t x, int32_t y, WindowRecord *nextSibling, int kind) {
  applyGeometry(window, x, y, window->width, window->height, window->borderWidth, nextSibling, kind);
}

void windowMoveResize(WindowRecord *window, int32_t x, int32_t y, uint16_t width, uint16_t height,
                      WindowRecord *nextSibling) {
  applyGeometry(window, x, y, width, height, window->borderWidth, nextSibling, kWindowValidateOther);
}

void windowChangeBorderWidth(WindowRecord *window, uint16_t borderWidth) {
  // The inside stays where it is: the outer corner moves by the difference.
  int32_t x = window->originX - borderWidth, y = window->originY - borderWidth;
  applyGeometry(window, x, y, window->width, window->height, borderWidth, window, kWindowValidateOther);
}

void windowChangeStacking(WindowRecord *window, WindowRecord *nextSibling) {
  applyGeometry(window, window->originX - window->borderWidth, window->originY - window->borderWidth, window->width,
                window->height, window->borderWidth, nextSibling, kWindowValidateRestack);
}

void windowCirculate(WindowRecord *parent, int direction) {
  if (!parent || windowRedirectedByOther(parent, xproxyCurrentClient)) return;
  WindowRecord *w = nullptr;
  if (direction == 0) {
    for (w = parent->lastChild; w; w = w->previousSibling)
      if (w->mapped && anyAboveOverlaps(w, windowOuterBox(w))) break;
  } else {
    for (w = parent->firstChild; w; w = w->nextSibling)
      if (w->mapped && anyBelowOverlaps(w, windowOuterBox(w))) break;
  }
  if (!w) return;
  windowChangeStacking(w, direction == 0 ? parent->firstChild : nullptr);
}

int windowReparent(WindowRecord *window, WindowRecord *parent, int32_t x, int32_t y, ClientConnection *) {
  if (!window || !parent || !window->parent) return 8;
  if (window->screen != parent->screen) return 8;
  if (window->windowClass == 1 && parent->windowClass == 2) return 8;
  if (window->backgroundState == 1 && window->depth != parent->depth) return 8;
  // The window itself or anything inside it: a window would become its own ancestor.
  for (WindowRecord *a = parent; a; a = a->parent)
    if (a == window) return 8;
  bool wasMapped = window->mapped;
  if (wasMapped) windowUnmap(window, 0);
  windowUnlink(window);
  windowLinkAbove(window, parent, parent->firstChild);
  window->originX = x + window->borderWidth;
  window->originY = y + window->borderWidth;
  windowRecomputeSubtree(window);
  if (wasMapped) windowMap(window);
  return 0;
}

void windowSetShape(WindowRecord *window) {
  if (!window) return;
  windowRecomputeSubtree(window);
  if (window->parent && window->parent->viewable) windowValidateTree(window->parent, window, kWindowValidateOther);
  mainKeepPointerConfined(nullptr);  // a confine-to window reshaped under the grab: the proxy's move
}
