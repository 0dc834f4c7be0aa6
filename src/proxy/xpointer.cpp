// Pointer crossing between heads. All arithmetic on positions runs in 64 bits: the rectangles
// reach up to the sentinels, so sums such as x + width or 2 + distance do not fit 32 bits.
#include "proxy/xpointer.h"

#include <algorithm>
#include <cmath>

#include "support/logging.h"

namespace {

PointerScreenSize xlibScreenSize(Display *display, int screen) {
  if (!display || screen < 0 || screen >= ScreenCount(display)) return PointerScreenSize{0, 0, 0, 0};
  return PointerScreenSize{DisplayWidth(display, screen), DisplayHeight(display, screen),
                           DisplayWidthMM(display, screen), DisplayHeightMM(display, screen)};
}

// The range a rectangle's first and last unit must lie in: strictly between the sentinels.
constexpr int64_t kLowest = int64_t(kPointerMinusInfinity) + 1;
constexpr int64_t kHighest = int64_t(kPointerPlusInfinity) - 1;

// A double of millimetres times 10000, truncated toward zero, clamped into [low, high]; NaN
// gives 0 clamped.
int64_t toUnits(double mm, int64_t low, int64_t high) {
  double units = std::trunc(mm * 10000.0);
  if (std::isnan(units)) units = 0;
  if (units <= double(low)) return low;
  if (units >= double(high)) return high;
  return int64_t(units);
}

int32_t saturate32(int64_t v) { return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

// A rectangle with inclusive ends, in 64 bits.
struct Box {
  int64_t x1, y1, x2, y2;
};

Box boxOf(const HeadPointerArea *a) {
  return Box{a->x, a->y, int64_t(a->x) + a->width - 1, int64_t(a->y) + a->height - 1};
}

bool inside(const Box &b, int64_t x, int64_t y) { return x >= b.x1 && x <= b.x2 && y >= b.y1 && y <= b.y2; }

bool meets(const Box &a, const Box &b) { return a.x1 <= b.x2 && a.x2 >= b.x1 && a.y1 <= b.y2 && a.y2 >= b.y1; }

// Onto the border of the box: a point outside is clamped into it, a point inside moves to the
// nearest edge (to both edges of a corner when they are equally near).
void toBorder(int64_t *x, int64_t *y, const Box &b) {
  if (!(*x > b.x1 && *x < b.x2 && *y > b.y1 && *y < b.y2)) {
    *x = std::clamp(*x, b.x1, std::max(b.x1, b.x2));
    *y = std::clamp(*y, b.y1, std::max(b.y1, b.y2));
    return;
  }
  int64_t left = *x - b.x1, right = b.x2 - *x, top = *y - b.y1, bottom = b.y2 - *y;
  int64_t horizontal = std::min(left, right), vertical = std::min(top, bottom);
  if (horizontal <= vertical) *x = left <= right ? b.x1 : b.x2;
  if (vertical <= horizontal) *y = top <= bottom ? b.y1 : b.y2;
}

int64_t distanceTo(const Box &b, int64_t x, int64_t y) {
  int64_t dx = x < b.x1 ? b.x1 - x : x > b.x2 ? x - b.x2 : 0;
  int64_t dy = y < b.y1 ? b.y1 - y : y > b.y2 ? y - b.y2 : 0;
  return dx + dy;
}

void setDestination(HeadPointerArea *c, int64_t x, int64_t y, uint32_t value) {
  c->destinationX = saturate32(x);
  c->destinationY = saturate32(y);
  c->destinationValue = value;
}

// Rounds to the nearest integer, halves away from zero, clamped to the int range.
int roundClamped(double v) {
  if (std::isnan(v)) return 0;
  double r = std::round(v);
  if (r <= double(INT32_MIN)) return INT32_MIN;
  if (r >= double(INT32_MAX)) return INT32_MAX;
  return int(r);
}

}  // namespace

XpointerScreenSizeFn xpointerScreenSize = xlibScreenSize;

void xpointerSetHeadRect(HeadPointerArea *area, Display *, int, double x, double y, double width, double height) {
  int64_t x1 = toUnits(x, kLowest, kHighest), y1 = toUnits(y, kLowest, kHighest);
  area->x = int32_t(x1);
  area->y = int32_t(y1);
  // The last unit x + width - 1 stays at most kHighest.
  area->width = int32_t(toUnits(width, 0, kHighest - x1 + 1));
  area->height = int32_t(toUnits(height, 0, kHighest - y1 + 1));
}

void xpointerSetHeadPosition(HeadPointerArea *area, Display *display, int screen, int pixelX, int pixelY) {
  PointerScreenSize size = xpointerScreenSize(display, screen);
  double mmX = size.widthPixels > 0 ? double(size.widthMM) * pixelX / double(size.widthPixels) : 0.0;
  double mmY = size.heightPixels > 0 ? double(size.heightMM) * pixelY / double(size.heightPixels) : 0.0;
  area->pointerX = saturate32(int64_t(area->x) + toUnits(mmX, INT32_MIN, INT32_MAX));
  area->pointerY = saturate32(int64_t(area->y) + toUnits(mmY, INT32_MIN, INT32_MAX));
  area->destinationX = area->pointerX;
  area->destinationY = area->pointerY;
  area->destinationValue = area->pointerValue;
}

uint32_t xpointerCross(HeadPointerArea *from, HeadPointerArea *candidate) {
  if (candidate->disabled) return kPointerUnreachable;
  const bool own = candidate == from;
  const Box f = boxOf(from), c = boxOf(candidate);
  int64_t qx = from->pointerX, qy = from->pointerY;
  if (!own && candidate->width > 0 && candidate->height > 0 && inside(c, qx, qy)) {
    setDestination(candidate, qx, qy, from->pointerValue);
    return 0;
  }
  // The head grown by one unit: its border is just outside the head.
  const Box e{f.x1 - 1, f.y1 - 1, f.x2 + 1, f.y2 + 1};
  toBorder(&qx, &qy, e);
  const bool candidateEmpty = candidate->width <= 0 || candidate->height <= 0;
  int64_t result = -1;
  if (!candidateEmpty && inside(c, qx, qy)) {
    result = 1;
  } else {
    const bool left = qx == e.x1, right = qx == e.x2, top = qy == e.y1, bottom = qy == e.y2;
    constexpr int64_t kMinus = kPointerMinusInfinity, kPlus = kPointerPlusInfinity;
    Box box{};
    bool search = true;
    if ((left || right) && (top || bottom)) {
      if (own) {
        result = -2;
        search = false;
      } else {
        box.x1 = left ? kMinus : f.x2;
        box.x2 = left ? f.x1 : kPlus;
        box.y1 = top ? kMinus : f.y2;
        box.y2 = top ? f.y1 : kPlus;
      }
    } else if (left) {
      box = Box{kMinus, qy, f.x1 - 1, qy};
      if (!meets(c, box) && from->wrapX) qx = kPlus, box = Box{kMinus, qy, kPlus, qy};
    } else if (right) {
      box = Box{f.x2 + 1, qy, kPlus, qy};
      if (!meets(c, box) && from->wrapX) qx = kMinus, box = Box{kMinus, qy, kPlus, qy};
    } else if (top) {
      box = Box{qx, kMinus, qx, f.y1 - 1};
      if (!meets(c, box) && from->wrapY) qy = kPlus, box = Box{qx, kMinus, qx, kPlus};
    } else if (bottom) {
      box = Box{qx, f.y2 + 1, qx, kPlus};
      if (!meets(c, box) && from->wrapY) qy = kMinus, box = Box{qx, kMinus, qx, kPlus};
    } else {
      LOG_UNE();
      search = false;
    }
    if (search && !candidateEmpty && meets(c, box)) {
      int64_t d = distanceTo(c, qx, qy);
      qx = std::clamp(qx, c.x1, c.x2);
      qy = std::clamp(qy, c.y1, c.y2);
      // Far heads at the ends of the range stay below -2 read unsigned.
      result = std::min<int64_t>(2 + d, int64_t(kPointerResultLimit) - 1);
    }
  }
  if (result == -1) return own ? kPointerOwnHead : kPointerUnreachable;
  if (!candidateEmpty) toBorder(&qx, &qy, c);
  setDestination(candidate, qx, qy, from->pointerValue);
  return uint32_t(result);
}

int xpointerToPixels(const HeadPointerArea *area, Display *display, int screen, int *x, int *y) {
  PointerScreenSize size = xpointerScreenSize(display, screen);
  double dx = (double(area->destinationX) - double(area->x)) / 10000.0;
  double dy = (double(area->destinationY) - double(area->y)) / 10000.0;
  *x = size.widthMM > 0 ? roundClamped(double(size.widthPixels) * dx / double(size.widthMM)) : 0;
  *y = size.heightMM > 0 ? roundClamped(double(size.heightPixels) * dy / double(size.heightMM)) : 0;
  return *y;
}
