// Rectangles: clamping, distances, intersection, union, subtraction and geometry texts.
#include "support/rect.h"

#include <algorithm>
#include <cstdio>

#include "support/strings.h"

namespace {

// Coordinates one past the last pixel, in 64 bits so that large sizes cannot overflow.
int64_t rightOf(const Rect &r) { return static_cast<int64_t>(r.x) + r.width; }
int64_t bottomOf(const Rect &r) { return static_cast<int64_t>(r.y) + r.height; }
bool isEmpty(const Rect &r) { return r.width == 0 || r.height == 0; }

int32_t saturate(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

Rect fromEdges(int64_t x1, int64_t y1, int64_t x2, int64_t y2) {  // x2, y2 exclusive
  return Rect{static_cast<int32_t>(x1), static_cast<int32_t>(y1), static_cast<uint32_t>(x2 - x1),
              static_cast<uint32_t>(y2 - y1)};
}

}  // namespace

void rectCorners(const Rect &r, int32_t *x1, int32_t *y1, int32_t *x2, int32_t *y2) {
  *x1 = r.x;
  *y1 = r.y;
  *x2 = static_cast<int32_t>(rightOf(r) - 1);
  *y2 = static_cast<int32_t>(bottomOf(r) - 1);
}

void rectPositionDelta(const Rect &a, const Rect &b, int32_t *dx, int32_t *dy) {
  *dx = saturate(static_cast<int64_t>(b.x) - a.x);
  *dy = saturate(static_cast<int64_t>(b.y) - a.y);
}

void rectClampPoint(int32_t *x, int32_t *y, const Rect &r) {
  int64_t x2 = rightOf(r) - 1, y2 = bottomOf(r) - 1;
  if (*x < r.x) *x = r.x;
  if (*x > x2) *x = static_cast<int32_t>(x2);
  if (*y < r.y) *y = r.y;
  if (*y > y2) *y = static_cast<int32_t>(y2);
}

namespace {
// The border clamp on first and last pixel coordinates given in 64 bits, so that a rectangle
// grown by a pixel at the edge of the coordinate range cannot overflow.
void clampToBorder(int32_t *x, int32_t *y, int64_t x1, int64_t y1, int64_t x2, int64_t y2) {
  int64_t px = *x, py = *y;
  if (!(px > x1 && px < x2 && py > y1 && py < y2)) {
    px = std::max(px, x1), px = std::min(px, x2);
    py = std::max(py, y1), py = std::min(py, y2);
  } else {
    int64_t left = px - x1, right = x2 - px, top = py - y1, bottom = y2 - py;
    int64_t horizontal = std::min(left, right), vertical = std::min(top, bottom);
    if (horizontal <= vertical) px = left <= right ? x1 : x2;
    if (vertical <= horizontal) py = top <= bottom ? y1 : y2;
  }
  *x = saturate(px);
  *y = saturate(py);
}
}  // namespace

void rectClampToBorder(int32_t *x, int32_t *y, const Rect &r) {
  clampToBorder(x, y, r.x, r.y, rightOf(r) - 1, bottomOf(r) - 1);
}

void rectClampOutside(int32_t *x, int32_t *y, const Rect &r) {
  clampToBorder(x, y, static_cast<int64_t>(r.x) - 1, static_cast<int64_t>(r.y) - 1, rightOf(r), bottomOf(r));
}

int rectContains(const Rect &inner, const Rect &outer) {
  return inner.x >= outer.x && inner.y >= outer.y && rightOf(inner) <= rightOf(outer) &&
                 bottomOf(inner) <= bottomOf(outer)
             ? 1
             : 0;
}

void rectFit(Rect *out, const Rect &a, const Rect &b) {
  uint32_t width = std::min(a.width, b.width), height = std::min(a.height, b.height);
  int64_t x = std::min<int64_t>(std::max(a.x, b.x), rightOf(a) - width);
  int64_t y = std::min<int64_t>(std::max(a.y, b.y), bottomOf(a) - height);
  *out = Rect{static_cast<int32_t>(x), static_cast<int32_t>(y), width, height};
}

void rectIntersect(Rect *out, const Rect &a, const Rect &b) {
  int64_t x1 = std::max(a.x, b.x), y1 = std::max(a.y, b.y);
  int64_t x2 = std::min(rightOf(a), rightOf(b)), y2 = std::min(bottomOf(a), bottomOf(b));
  if (x2 <= x1 || y2 <= y1) {
    *out = Rect{static_cast<int32_t>(x1), static_cast<int32_t>(y1), 0, 0};
    return;
  }
  *out = fromEdges(x1, y1, x2, y2);
}

void rectUnion(Rect *r, int32_t x, int32_t y, uint32_t width, uint32_t height) {
  Rect add{x, y, width, height};
  if (isEmpty(add)) return;
  if (isEmpty(*r)) {
    *r = add;
    return;
  }
  *r = fromEdges(std::min(r->x, x), std::min(r->y, y), std::max(rightOf(*r), rightOf(add)),
                 std::max(bottomOf(*r), bottomOf(add)));
}

void rectUnionPoint(Rect *out, const Rect &r, int32_t x, int32_t y) {
  Rect result = r;
  if (isEmpty(result))
    result = Rect{x, y, 1, 1};
  else
    rectUnion(&result, x, y, 1, 1);
  *out = result;
}

// r minus s: the band above s, then left and right of s over the rows both share, then the
// band below. When they do not overlap at all, r itself is the one piece.
int rectSubtract(Rect out[4], const Rect &r, const Rect &s) {
  if (isEmpty(r)) return 0;
  Rect common;
  rectIntersect(&common, r, s);
  if (isEmpty(common)) {
    out[0] = r;
    return 1;
  }
  int n = 0;
  int64_t cx2 = rightOf(common), cy2 = bottomOf(common);
  if (common.y > r.y) out[n++] = fromEdges(r.x, r.y, rightOf(r), common.y);
  if (common.x > r.x) out[n++] = fromEdges(r.x, common.y, common.x, cy2);
  if (cx2 < rightOf(r)) out[n++] = fromEdges(cx2, common.y, rightOf(r), cy2);
  if (cy2 < bottomOf(r)) out[n++] = fromEdges(r.x, cy2, rightOf(r), bottomOf(r));
  return n;
}

void rectFitInside(Rect *out, const Rect &r, const Rect &bounds) {
  uint32_t width = std::min(r.width, bounds.width), height = std::min(r.height, bounds.height);
  int64_t x = r.x < bounds.x ? bounds.x
              : static_cast<int64_t>(r.x) + width <= rightOf(bounds) ? r.x
                                                                      : rightOf(bounds) - width;
  int64_t y = r.y < bounds.y ? bounds.y
              : static_cast<int64_t>(r.y) + height <= bottomOf(bounds) ? r.y
                                                                        : bottomOf(bounds) - height;
  *out = Rect{static_cast<int32_t>(x), static_cast<int32_t>(y), width, height};
}

int64_t rectDistance(const Rect &r, int32_t x, int32_t y) {
  int64_t x2 = rightOf(r) - 1, y2 = bottomOf(r) - 1;
  int64_t dx = x < r.x ? static_cast<int64_t>(r.x) - x : x > x2 ? x - x2 : 0;
  int64_t dy = y < r.y ? static_cast<int64_t>(r.y) - y : y > y2 ? y - y2 : 0;
  return dx + dy;
}

void rectOutsideOffsets(const Rect &r, int32_t x, int32_t y, int32_t *dx, int32_t *dy) {
  int64_t x2 = rightOf(r) - 1, y2 = bottomOf(r) - 1;
  *dx = x < r.x ? saturate(static_cast<int64_t>(x) - r.x) : x > x2 ? saturate(x - x2) : 0;
  *dy = y < r.y ? saturate(static_cast<int64_t>(y) - r.y) : y > y2 ? saturate(y - y2) : 0;
}

const char *rectGeometryText(const Rect &r) {
  char *p = strTempAlloc(60);
  if (r.x == 0 && r.y == 0)
    snprintf(p, 60, "%ux%u", r.width, r.height);
  else
    snprintf(p, 60, "%ux%u+%d+%d", r.width, r.height, r.x, r.y);
  return p;
}
