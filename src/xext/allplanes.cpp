// SUN_ALLPLANES: drawing on all planes, replicated on every head. A drawing into a window is
// drawn on each head's real root at the window's place (the real server reaches the window
// through its inferiors); a drawing into a pixmap goes to the pixmap's copy on each head.
#include "xext/allplanes.h"

#include <algorithm>
#include <cstring>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/window.h"
#include "proxy/xcoreframe.h"
#include "proxy/xscreen.h"
#include "support/rect.h"
#include "support/wirewords.h"
#include "xext/extrequest.h"

namespace {

constexpr uint8_t kBadDrawable = 9;
enum class Shape : uint8_t { Points, Segments, Rectangles };

int16_t clamp16(int64_t v) { return int16_t(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX)); }
int32_t read16(const uint8_t *p) { return int16_t(wireGet16(p)); }
void write16(uint8_t *p, int64_t v) { wirePut16(p, uint16_t(clamp16(v))); }

// What one copy needs to know: where the drawable lies on the meta screen when it is a window.
struct Target {
  Shape shape;
  bool window;
  int32_t originX, originY;  // the window's origin on the meta screen
  Rect area;                 // the window's area on the meta screen (its border included)
  uint32_t drawable;
};

// A meta-screen point of the window as a point of the head's real screen.
void toHead(const Target &t, const Head *head, int64_t *x, int64_t *y) {
  int64_t mx = *x + t.originX, my = *y + t.originY;
  int32_t hx = int32_t(std::clamp<int64_t>(mx, INT32_MIN / 2, INT32_MAX / 2));
  int32_t hy = int32_t(std::clamp<int64_t>(my, INT32_MIN / 2, INT32_MAX / 2));
  mainRootToHeadXY(&hx, &hy, head);
  *x = hx, *y = hy;
}

void convertPoints(const Target &t, const Head *head, uint8_t *copy, uint32_t length) {
  bool relative = copy[8] == 1;
  int64_t absX = 0, absY = 0, lastX = 0, lastY = 0;
  for (uint32_t at = 12; at + 4 <= length; at += 4) {
    int64_t x = read16(copy + at), y = read16(copy + at + 2);
    if (relative && at > 12) x += absX, y += absY;
    absX = x, absY = y;
    toHead(t, head, &x, &y);
    int64_t cx = clamp16(x), cy = clamp16(y);
    if (relative && at > 12) {
      write16(copy + at, cx - lastX);
      write16(copy + at + 2, cy - lastY);
    } else {
      write16(copy + at, cx);
      write16(copy + at + 2, cy);
    }
    lastX = cx, lastY = cy;
  }
}

void convertSegments(const Target &t, const Head *head, uint8_t *copy, uint32_t length) {
  for (uint32_t at = 8; at + 4 <= length; at += 4) {
    int64_t x = read16(copy + at), y = read16(copy + at + 2);
    toHead(t, head, &x, &y);
    write16(copy + at, x);
    write16(copy + at + 2, y);
  }
}

// One side of a rectangle from its two converted corners: the smaller coordinate and the
// distance plus one, both kept inside 16 bits. A size of 0 stays 0 and draws nothing.
void writeSide(uint8_t *position, uint8_t *size, int64_t near, int64_t far, uint32_t original) {
  if (original == 0) {
    write16(position, near);
    return;
  }
  int64_t low = std::max<int64_t>(std::min(near, far), INT16_MIN);
  int64_t high = std::min<int64_t>(std::max(near, far), INT16_MAX);
  write16(position, low);
  wirePut16(size, uint16_t(high >= low ? std::min<int64_t>(high - low + 1, UINT16_MAX) : 0));
}

void convertRectangles(const Target &t, const Head *head, uint8_t *copy, uint32_t length) {
  for (uint32_t at = 8; at + 8 <= length; at += 8) {
    int64_t x = read16(copy + at), y = read16(copy + at + 2);
    uint32_t width = wireGet16(copy + at + 4), height = wireGet16(copy + at + 6);
    int64_t farX = x + (width ? int64_t(width) - 1 : 0), farY = y + (height ? int64_t(height) - 1 : 0);
    toHead(t, head, &x, &y);
    toHead(t, head, &farX, &farY);
    writeSide(copy + at, copy + at + 4, x, farX, width);
    writeSide(copy + at + 2, copy + at + 6, y, farY, height);
  }
}

// One head's copy, through the connection's request sink.
int copyForHead(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *argument) {
  const Target &t = *static_cast<const Target *>(argument);
  if (t.window && head->optimizedDraw) {
    Rect common;
    rectIntersect(&common, t.area, head->rect);
    if (common.width == 0 || common.height == 0) return 1;  // the window misses this head
  }
  const RequestSink &sink = connection->reader.sink;
  uint8_t *copy = sink.begin ? sink.begin(sink.context, request[0], request[1], length) : nullptr;
  if (!copy) return 0;
  memcpy(copy + 4, request + 4, length - 4);
  if (!t.window) {
    wirePut32(copy + 4, xproxyServerDrawable(t.drawable, head));
    return 1;
  }
  wirePut32(copy + 4, uint32_t(head->root));
  switch (t.shape) {
    case Shape::Points: convertPoints(t, head, copy, length); break;
    case Shape::Segments: convertSegments(t, head, copy, length); break;
    case Shape::Rectangles: convertRectangles(t, head, copy, length); break;
  }
  return 1;
}

void draw(uint8_t *request, uint32_t length, Shape shape) {
  uint32_t drawable = wireGet32(request + 4);
  if (!xcoreFrameResolve(drawable, kXcoreWantDrawable, kBadDrawable, request, length)) return;
  ClientConnection *client = xproxyCurrentClient;
  Target t{shape, false, 0, 0, Rect{}, drawable};
  if (client->cachedType == kResourceWindow) {
    // The window record holds the absolute place of its inside's corner on the meta screen.
    const auto *window = static_cast<const WindowRecord *>(client->cachedRecord);
    t.window = true;
    if (window) {
      t.originX = int32_t(window->x);
      t.originY = int32_t(window->y);
      t.area = Rect{int32_t(window->x) - window->borderWidth, int32_t(window->y) - window->borderWidth,
                    uint32_t(window->width) + 2u * window->borderWidth,
                    uint32_t(window->height) + 2u * window->borderWidth};
    }
  } else if (client->cachedType == kResourceHeadRoot) {
    // A head's own root as a client sees it: the window covering that head.
    const auto *head = static_cast<const Head *>(client->cachedRecord);
    t.window = true;
    if (head) {
      t.originX = head->rect.x, t.originY = head->rect.y;
      t.area = head->rect;
    }
  }
  xcoreFramePerHead(request, length, 0, copyForHead, &t);
}

void polyPoint(uint8_t *request, uint32_t length, uint8_t *) { draw(request, length, Shape::Points); }
void polySegment(uint8_t *request, uint32_t length, uint8_t *) { draw(request, length, Shape::Segments); }
void polyRectangle(uint8_t *request, uint32_t length, uint8_t *) { draw(request, length, Shape::Rectangles); }

constexpr ExtRequestRow kRows[] = {
    {0, "AllPlanesQueryVersion", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Version, nullptr},
    {1, "AllPlanesPolyPoint", 12, 4, "bbsibbS", ExtServed::PerHead, polyPoint, nullptr, ExtReplyKind::NoReply, nullptr},
    {2, "AllPlanesPolyLine", 12, 4, "bbsibbS", ExtServed::PerHead, polyPoint, nullptr, ExtReplyKind::NoReply, nullptr},
    {3, "AllPlanesPolySegment", 8, 8, "bbsiS", ExtServed::PerHead, polySegment, nullptr, ExtReplyKind::NoReply, nullptr},
    {4, "AllPlanesPolyRectangle", 8, 8, "bbsiS", ExtServed::PerHead, polyRectangle, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {5, "AllPlanesPolyFillRectangle", 8, 8, "bbsiS", ExtServed::PerHead, polyRectangle, nullptr, ExtReplyKind::NoReply,
     nullptr},
};

void allplanesReset() { proxyState.ext.allplanes = nullptr; }

}  // namespace

const ExtRequestTable allplanesTable{kRows, sizeof kRows / sizeof kRows[0]};

const char *allplanesInit(ExtensionRecord *record) {
  return extInitSimple(record, "SUN_ALLPLANES", allplanesTable, &proxyState.ext.allplanes, allplanesReset);
}
