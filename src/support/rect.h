// Rectangles: clamping, distances, intersection, union, subtraction and geometry texts.
#pragma once

#include <cstdint>

// Last pixel column x + width - 1, last row y + height - 1; width or height 0 is empty.
struct Rect {
  int32_t x;
  int32_t y;
  uint32_t width;
  uint32_t height;
};

void rectCorners(const Rect &r, int32_t *x1, int32_t *y1, int32_t *x2, int32_t *y2);
void rectPositionDelta(const Rect &a, const Rect &b, int32_t *dx, int32_t *dy);
void rectClampPoint(int32_t *x, int32_t *y, const Rect &r);
void rectClampToBorder(int32_t *x, int32_t *y, const Rect &r);
void rectClampOutside(int32_t *x, int32_t *y, const Rect &r);
int rectContains(const Rect &inner, const Rect &outer);
void rectFit(Rect *out, const Rect &a, const Rect &b);
void rectIntersect(Rect *out, const Rect &a, const Rect &b);
void rectUnion(Rect *r, int32_t x, int32_t y, uint32_t width, uint32_t height);
void rectUnionPoint(Rect *out, const Rect &r, int32_t x, int32_t y);
int rectSubtract(Rect out[4], const Rect &r, const Rect &s);
void rectFitInside(Rect *out, const Rect &r, const Rect &bounds);
int64_t rectDistance(const Rect &r, int32_t x, int32_t y);
void rectOutsideOffsets(const Rect &r, int32_t x, int32_t y, int32_t *dx, int32_t *dy);
const char *rectGeometryText(const Rect &r);
