// Drawing into window copies placed apart: the client's coordinates moved into the copy and cut
// or dropped where they leave 16 bits, per primitive; the GC's origins moved alike for the
// request; event rectangles moved back.
#include "proxy/xcoreshift.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/resourcetable.h"
#include "proxy/window.h"
#include "proxy/windowplace.h"
#include "support/wirewords.h"

namespace {

using Request = std::vector<uint8_t>;
using Point = std::pair<int64_t, int64_t>;

int64_t s16(const uint8_t *p) { return int16_t(wireGet16(p)); }
int64_t u16(const uint8_t *p) { return wireGet16(p); }

void put16(Request &r, int64_t v) {
  uint8_t b[2];
  wirePut16(b, uint16_t(v));
  r.insert(r.end(), b, b + 2);
}
Request fixedPart(const uint8_t *request, uint32_t bytes) { return Request(request, request + bytes); }
void finish(std::vector<Request> &out, Request &r, size_t fixed) {
  if (r.size() <= fixed) return;
  while (r.size() % 4) r.push_back(0);
  out.push_back(std::move(r));
}

// Points of PolyPoint, PolyLine and FillPoly as absolute positions (CoordModePrevious summed
// from the first point).
std::vector<Point> readPoints(const uint8_t *list, uint32_t count, uint8_t mode) {
  std::vector<Point> points;
  points.reserve(count);
  int64_t x = 0, y = 0;
  for (uint32_t i = 0; i < count; i++) {
    int64_t px = s16(list + 4 * i), py = s16(list + 4 * i + 2);
    x = mode == 1 && i ? x + px : px;
    y = mode == 1 && i ? y + py : py;
    points.emplace_back(x, y);
  }
  return points;
}

bool fits(const Point &p) { return xcoreFits16(p.first) && xcoreFits16(p.second); }

// How far a line of the width reaches beside its path.
int64_t linePad(int64_t lineWidth) { return std::max<int64_t>(lineWidth, 1); }

// PolyLine: the segments whose ends fit are kept in runs that keep their joins; a thin segment
// that leaves 16 bits is cut and ends its run; a wide one is dropped. Runs wholly outside the
// copy go.
void shiftPolyLine(const uint8_t *request, uint32_t length, const XcoreCopyShift &s, int64_t lineWidth,
                   std::vector<Request> &out) {
  std::vector<Point> points = readPoints(request + 12, (length - 12) / 4, request[1]);
  for (Point &p : points) p.first += s.dx, p.second += s.dy;
  std::vector<std::vector<Point>> runs;
  bool open = false;  // the last run ends at the previous point, uncut
  if (points.size() == 1 && fits(points[0])) runs.push_back(points);
  for (size_t i = 1; i < points.size(); i++) {
    const Point &a = points[i - 1], &b = points[i];
    if (fits(a) && fits(b)) {
      if (!open) runs.push_back({a});
      runs.back().push_back(b);
      open = true;
      continue;
    }
    open = false;
    int64_t x0 = a.first - s.dx, y0 = a.second - s.dy, x1 = b.first - s.dx, y1 = b.second - s.dy;
    if (lineWidth == 0 && xcoreShiftThinLine(s, &x0, &y0, &x1, &y1)) {
      runs.push_back({{x0, y0}, {x1, y1}});
      open = Point{x1, y1} == b;
    }
  }
  int64_t pad = linePad(lineWidth) * 6;  // mitred joins reach further than the line
  for (const auto &run : runs) {
    int64_t left = INT64_MAX, top = INT64_MAX, right = INT64_MIN, bottom = INT64_MIN;
    for (const Point &p : run)
      left = std::min(left, p.first), top = std::min(top, p.second), right = std::max(right, p.first),
      bottom = std::max(bottom, p.second);
    if (!xcoreBoxMeetsCopy(s, left, top, right - left + 1, bottom - top + 1, pad)) continue;
    Request r = fixedPart(request, 12);
    r[1] = 0;  // CoordModeOrigin
    for (const Point &p : run) put16(r, p.first), put16(r, p.second);
    finish(out, r, 12);
  }
}

// Adds a thin line's cut to a PolySegment list.
void addThinLine(Request &r, const XcoreCopyShift &s, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  if (!xcoreShiftThinLine(s, &x0, &y0, &x1, &y1)) return;
  put16(r, x0), put16(r, y0), put16(r, x1), put16(r, y1);
}

}  // namespace

int xcoreCopyShiftOf(uint32_t drawable, const Head *head, XcoreCopyShift *shift) {
  return xcoreCopyShiftOfWindow(static_cast<const WindowRecord *>(resourceLookupByType(drawable, kResourceWindow)),
                                head, shift);
}

int xcoreCopyShiftOfWindow(const WindowRecord *window, const Head *head, XcoreCopyShift *shift) {
  *shift = XcoreCopyShift{};
  // The mark is a cheap test: most copies never leave the range.
  if (!window || !window->parent || !head || !windowPlacedApart(window, head)) return 0;
  WindowCopy copy{};
  if (!windowCopyOnHead(window, head, &copy)) return 0;
  int64_t originX, originY;
  windowHeadOrigin(head, &originX, &originY);
  int64_t dx = originX + window->x - copy.x.inside, dy = originY + window->y - copy.y.inside;
  if (!dx && !dy) return 0;
  *shift = XcoreCopyShift{dx, dy, copy.x.size, copy.y.size};
  return 1;
}

bool xcoreBoxMeetsCopy(const XcoreCopyShift &s, int64_t x, int64_t y, int64_t width, int64_t height, int64_t pad) {
  return x - pad < s.width && y - pad < s.height && x + width + pad > 0 && y + height + pad > 0;
}

bool xcoreShiftBox(const XcoreCopyShift &s, XcoreBox *box, int64_t *cutX, int64_t *cutY) {
  int64_t x = box->x + s.dx, y = box->y + s.dy, width = box->width, height = box->height;
  // What lies before the range's start lies before the copy's inside too: cut it off.
  int64_t cx = x < INT16_MIN ? INT16_MIN - x : 0, cy = y < INT16_MIN ? INT16_MIN - y : 0;
  x += cx, width -= cx, y += cy, height -= cy;
  if (width <= 0 || height <= 0 || x > INT16_MAX || y > INT16_MAX) return false;
  if (!xcoreBoxMeetsCopy(s, x, y, width, height, 0)) return false;
  *box = XcoreBox{x, y, width, height};
  if (cutX) *cutX = cx;
  if (cutY) *cutY = cy;
  return true;
}

bool xcoreShiftPoint(const XcoreCopyShift &s, int64_t *x, int64_t *y) {
  int64_t px = *x + s.dx, py = *y + s.dy;
  if (px < 0 || py < 0 || px >= s.width || py >= s.height || !xcoreFits16(px) || !xcoreFits16(py)) return false;
  *x = px, *y = py;
  return true;
}

bool xcoreShiftThinLine(const XcoreCopyShift &s, int64_t *x0, int64_t *y0, int64_t *x1, int64_t *y1) {
  int64_t ax = *x0 + s.dx, ay = *y0 + s.dy, bx = *x1 + s.dx, by = *y1 + s.dy;
  if (!xcoreBoxMeetsCopy(s, std::min(ax, bx), std::min(ay, by), std::llabs(bx - ax) + 1, std::llabs(by - ay) + 1, 1))
    return false;
  if (!(xcoreFits16(ax) && xcoreFits16(ay) && xcoreFits16(bx) && xcoreFits16(by))) {
    // Liang-Barsky against the 16-bit square: the part of the line inside it, its ends rounded
    // to the nearest pixel of the line and kept inside.
    long double t0 = 0, t1 = 1, ddx = (long double)(bx - ax), ddy = (long double)(by - ay);
    auto clip = [&](long double p, long double q) {
      if (p == 0) return q >= 0;
      long double r = q / p;
      if (p < 0) {
        if (r > t1) return false;
        t0 = std::max(t0, r);
      } else {
        if (r < t0) return false;
        t1 = std::min(t1, r);
      }
      return true;
    };
    if (!clip(-ddx, (long double)(ax - INT16_MIN)) || !clip(ddx, (long double)(INT16_MAX - ax)) ||
        !clip(-ddy, (long double)(ay - INT16_MIN)) || !clip(ddy, (long double)(INT16_MAX - ay)) || t0 > t1)
      return false;
    auto at = [](int64_t a, long double d, long double t) {
      return std::clamp<int64_t>(std::llround((long double)a + d * t), INT16_MIN, INT16_MAX);
    };
    int64_t cx0 = at(ax, ddx, t0), cy0 = at(ay, ddy, t0), cx1 = at(ax, ddx, t1), cy1 = at(ay, ddy, t1);
    ax = cx0, ay = cy0, bx = cx1, by = cy1;
    if (!xcoreBoxMeetsCopy(s, std::min(ax, bx), std::min(ay, by), std::llabs(bx - ax) + 1, std::llabs(by - ay) + 1, 1))
      return false;
  }
  *x0 = ax, *y0 = ay, *x1 = bx, *y1 = by;
  return true;
}

std::vector<std::vector<uint8_t>> xcoreShiftDrawRequest(const uint8_t *request, uint32_t length,
                                                        const XcoreCopyShift &s, int64_t lineWidth) {
  std::vector<Request> out;
  uint8_t opcode = request[0];
  switch (opcode) {
    case 61: {  // ClearArea: a size of 0 reaches to the window's edge, the copy's far edge alike
      if (length < 16) break;
      int64_t x = s16(request + 8) + s.dx, y = s16(request + 10) + s.dy;
      int64_t width = u16(request + 12), height = u16(request + 14);
      XcoreCopyShift inCopy{0, 0, s.width, s.height};
      XcoreBox box{x, y, width ? width : s.width - x, height ? height : s.height - y};
      if (!xcoreShiftBox(inCopy, &box)) break;
      Request r = fixedPart(request, 16);
      wirePut16(r.data() + 8, uint16_t(box.x));
      wirePut16(r.data() + 10, uint16_t(box.y));
      wirePut16(r.data() + 12, uint16_t(width ? box.width : 0));
      wirePut16(r.data() + 14, uint16_t(height ? box.height : 0));
      out.push_back(std::move(r));
      break;
    }
    case 64: {  // PolyPoint: the points inside the copy, in CoordModeOrigin
      Request r = fixedPart(request, 12);
      r[1] = 0;
      for (auto [x, y] : readPoints(request + 12, (length - 12) / 4, request[1]))
        if (xcoreShiftPoint(s, &x, &y)) put16(r, x), put16(r, y);
      finish(out, r, 12);
      break;
    }
    case 65: shiftPolyLine(request, length, s, lineWidth, out); break;
    case 66:    // PolySegment
    case 67: {  // PolyRectangle: a thin outline that leaves 16 bits goes as its four cut edges
      Request r = fixedPart(request, 12), edges = fixedPart(request, 12);
      edges[0] = 66;
      int64_t pad = linePad(lineWidth);
      for (uint32_t at = 12; at + 8 <= length; at += 8) {
        int64_t a = s16(request + at), b = s16(request + at + 2), c = s16(request + at + 4), d = s16(request + at + 6);
        if (opcode == 66) {
          int64_t x0 = a + s.dx, y0 = b + s.dy, x1 = c + s.dx, y1 = d + s.dy;
          if (xcoreFits16(x0) && xcoreFits16(y0) && xcoreFits16(x1) && xcoreFits16(y1)) {
            if (xcoreBoxMeetsCopy(s, std::min(x0, x1), std::min(y0, y1), std::llabs(x1 - x0) + 1,
                                  std::llabs(y1 - y0) + 1, pad))
              put16(r, x0), put16(r, y0), put16(r, x1), put16(r, y1);
          } else if (lineWidth == 0) {
            addThinLine(r, s, a, b, c, d);
          }
          continue;
        }
        int64_t width = u16(request + at + 4), height = u16(request + at + 6), x = a + s.dx, y = b + s.dy;
        if (xcoreFits16(x) && xcoreFits16(y)) {
          if (xcoreBoxMeetsCopy(s, x, y, width + 1, height + 1, pad))
            put16(r, x), put16(r, y), put16(r, width), put16(r, height);
        } else if (lineWidth == 0) {
          addThinLine(edges, s, a, b, a + width, b);
          addThinLine(edges, s, a + width, b, a + width, b + height);
          addThinLine(edges, s, a + width, b + height, a, b + height);
          addThinLine(edges, s, a, b + height, a, b);
        }
      }
      finish(out, r, 12);
      finish(out, edges, 12);
      break;
    }
    case 68:    // PolyArc
    case 71: {  // PolyFillArc: kept where the corner fits and the box meets the copy
      Request r = fixedPart(request, 12);
      int64_t pad = opcode == 68 ? linePad(lineWidth) : 0;
      for (uint32_t at = 12; at + 12 <= length; at += 12) {
        int64_t x = s16(request + at) + s.dx, y = s16(request + at + 2) + s.dy;
        int64_t width = u16(request + at + 4), height = u16(request + at + 6);
        if (!xcoreFits16(x) || !xcoreFits16(y) || !xcoreBoxMeetsCopy(s, x, y, width + 1, height + 1, pad)) continue;
        put16(r, x), put16(r, y);
        r.insert(r.end(), request + at + 4, request + at + 12);
      }
      finish(out, r, 12);
      break;
    }
    case 69: {  // FillPoly: whole, in CoordModeOrigin, when every point fits
      if (length < 16) break;
      std::vector<Point> points = readPoints(request + 16, (length - 16) / 4, request[13]);
      int64_t left = INT64_MAX, top = INT64_MAX, right = INT64_MIN, bottom = INT64_MIN;
      bool all = !points.empty();
      for (Point &p : points) {
        p.first += s.dx, p.second += s.dy;
        all = all && fits(p);
        left = std::min(left, p.first), top = std::min(top, p.second), right = std::max(right, p.first),
        bottom = std::max(bottom, p.second);
      }
      if (!all || !xcoreBoxMeetsCopy(s, left, top, right - left + 1, bottom - top + 1, 0)) break;
      Request r = fixedPart(request, 16);
      r[13] = 0;
      for (const Point &p : points) put16(r, p.first), put16(r, p.second);
      finish(out, r, 16);
      break;
    }
    case 70: {  // PolyFillRectangle: each cut exactly
      Request r = fixedPart(request, 12);
      for (uint32_t at = 12; at + 8 <= length; at += 8) {
        XcoreBox box{s16(request + at), s16(request + at + 2), u16(request + at + 4), u16(request + at + 6)};
        if (!xcoreShiftBox(s, &box)) continue;
        put16(r, box.x), put16(r, box.y), put16(r, box.width), put16(r, box.height);
      }
      finish(out, r, 12);
      break;
    }
    case 74: case 75: case 76: case 77: {  // text: the origin moves, or the text goes
      if (length < 16) break;
      int64_t x = s16(request + 12) + s.dx, y = s16(request + 14) + s.dy;
      if (!xcoreFits16(x) || !xcoreFits16(y)) break;
      Request r(request, request + length);
      wirePut16(r.data() + 12, uint16_t(x));
      wirePut16(r.data() + 14, uint16_t(y));
      out.push_back(std::move(r));
      break;
    }
    default: break;
  }
  return out;
}

void xcoreShiftCopyRequest(uint8_t *request, const XcoreCopyShift &source, const XcoreCopyShift &destination) {
  int64_t sx = s16(request + 16) + source.dx, sy = s16(request + 18) + source.dy;
  int64_t dx = s16(request + 20) + destination.dx, dy = s16(request + 22) + destination.dy;
  int64_t width = u16(request + 24), height = u16(request + 26);
  // A start before the range lies before the copy's inside: source and destination lose the
  // same columns (rows).
  int64_t cx = std::max<int64_t>({0, INT16_MIN - sx, INT16_MIN - dx});
  int64_t cy = std::max<int64_t>({0, INT16_MIN - sy, INT16_MIN - dy});
  sx += cx, dx += cx, width -= cx, sy += cy, dy += cy, height -= cy;
  if (width <= 0 || height <= 0 || !xcoreFits16(sx) || !xcoreFits16(dx) || !xcoreFits16(sy) || !xcoreFits16(dy)) {
    width = height = 0;
    sx = std::clamp<int64_t>(sx, INT16_MIN, INT16_MAX), sy = std::clamp<int64_t>(sy, INT16_MIN, INT16_MAX);
    dx = std::clamp<int64_t>(dx, INT16_MIN, INT16_MAX), dy = std::clamp<int64_t>(dy, INT16_MIN, INT16_MAX);
  }
  wirePut16(request + 16, uint16_t(sx));
  wirePut16(request + 18, uint16_t(sy));
  wirePut16(request + 20, uint16_t(dx));
  wirePut16(request + 22, uint16_t(dy));
  wirePut16(request + 24, uint16_t(width));
  wirePut16(request + 26, uint16_t(height));
}

void xcoreShiftGCOrigins(DisplayConnection *connection, const Head *head, const GCRecord *gc,
                         const XcoreCopyShift &shift, int set) {
  if (!connection || !head || !gc || (!shift.dx && !shift.dy)) return;
  int64_t tileX = int16_t(gc->values[kGCTileStippleX]), tileY = int16_t(gc->values[kGCTileStippleY]);
  int64_t clipX = int16_t(gc->values[kGCClipX]), clipY = int16_t(gc->values[kGCClipY]);
  if (set) {
    tileX += shift.dx, tileY += shift.dy, clipX += shift.dx, clipY += shift.dy;
    // A tile or stipple repeats: an origin beyond 16 bits moves back by whole periods.
    const PixmapRecord *pattern = gc->values[kGCFillStyle] == 1 ? gc->tile : gc->stipple;
    auto wrap = [](int64_t origin, int64_t period) {
      if (xcoreFits16(origin) || period <= 0) return std::clamp<int64_t>(origin, INT16_MIN, INT16_MAX);
      return ((origin % period) + period) % period;
    };
    tileX = wrap(tileX, pattern ? pattern->width : 0);
    tileY = wrap(tileY, pattern ? pattern->height : 0);
    clipX = std::clamp<int64_t>(clipX, INT16_MIN, INT16_MAX);
    clipY = std::clamp<int64_t>(clipY, INT16_MIN, INT16_MAX);
  }
  XGCValues values{};
  values.ts_x_origin = int(tileX), values.ts_y_origin = int(tileY);
  values.clip_x_origin = int(clipX), values.clip_y_origin = int(clipY);
  core11GChangeGC(connection, resourceServerId(gc->id, kResourceGC, const_cast<Head *>(head)),
                  GCTileStipXOrigin | GCTileStipYOrigin | GCClipXOrigin | GCClipYOrigin, &values);
}

void xcoreShiftEventBox(const XcoreCopyShift &shift, uint16_t *x, uint16_t *y, uint16_t *width, uint16_t *height) {
  int64_t x0 = int64_t(*x) - shift.dx, y0 = int64_t(*y) - shift.dy;
  int64_t x1 = std::clamp<int64_t>(x0 + *width, 0, 65535), y1 = std::clamp<int64_t>(y0 + *height, 0, 65535);
  x0 = std::clamp<int64_t>(x0, 0, 65535), y0 = std::clamp<int64_t>(y0, 0, 65535);
  *x = uint16_t(x0), *y = uint16_t(y0);
  *width = uint16_t(x1 - x0), *height = uint16_t(y1 - y0);
}
