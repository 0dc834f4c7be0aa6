// Drawing and text requests (opcodes 61 to 71 and 74 to 77). Each is copied once per head of
// the drawable's meta screen with the drawable and GC translated for that head. While some
// head carries the culling flag, the request's region (what the drawing can touch, in 64-bit
// arithmetic and clipped to the drawable before it enters the 16-bit region) decides which
// flagged heads get no copy. CopyArea and CopyPlane with graphics exposures are answered by
// one merged set of exposure events.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/resourcetable.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xcoreshift.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"

namespace {

constexpr uint8_t kBadLength = 16;

// Ends the request's culling whatever way the handler leaves.
struct RegionScope {
  ~RegionScope() { xproxyClearRequestRegion(); }
};

uint32_t pad4(uint64_t n) { return uint32_t((n + 3) & ~uint64_t(3)); }

int16_t s16(const uint8_t *p) { return int16_t(wireGet16(p)); }

// The drawable at byte 4 as the resolved resource (no error: the real server reports an
// unknown one) so that the per-head loop knows the meta screen and culling the area.
void cacheDrawable(uint32_t id) { resourceCacheDrawable(xproxyCurrentClient, id); }

// The window record of the drawable just cached, NULL for any other drawable: the per-head
// copies ask it whether the head placed the window's copy apart.
const WindowRecord *cachedWindow() {
  const ClientConnection *client = xproxyCurrentClient;
  return client && client->cachedType == kResourceWindow ? static_cast<const WindowRecord *>(client->cachedRecord)
                                                          : nullptr;
}

// What the drawing requests' copy builder gets: the id fields to translate and the drawable's
// window (resolved once per request, not once per head).
struct DrawArgument {
  const XcoreIdField *fields;
  const WindowRecord *window;
};

const XcoreIdField kDrawableGC[] = {{4, kResourceWindow}, {8, kResourceGC}, {0, 0}};
const XcoreIdField kClearFields[] = {{4, kResourceWindow}, {0, 0}};
const XcoreIdField kCopyFields[] = {{4, kResourceWindow}, {8, kResourceWindow}, {12, kResourceGC}, {0, 0}};


// The copy builder of the drawing requests: a drawable whose copy the head placed apart gets
// the request moved into its copy (possibly as several requests, or none), with the GC's
// origins moved alike around them; any other gets the plain copy.
int shiftedCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *argument) {
  const auto *draw = static_cast<const DrawArgument *>(argument);
  XcoreCopyShift shift;
  if (!xcoreCopyShiftOfWindow(draw->window, head, &shift))
    return xcoreFrameCopyForHead(request, length, connection, head, draw->fields) != nullptr;
  const GCRecord *gc = request[0] == 61 ? nullptr : resourceLookupGC(wireGet32(request + 8));
  int64_t lineWidth = gc ? int64_t(uint16_t(gc->values[kGCLineWidth])) : 0;
  std::vector<std::vector<uint8_t>> parts = xcoreShiftDrawRequest(request, length, shift, lineWidth);
  if (parts.empty()) return 1;
  xcoreShiftGCOrigins(connection, head, gc, shift, 1);
  int sent = 1;
  for (size_t i = 0; i < parts.size() && sent; i++)
    sent = xcoreFrameCopyForHead(parts[i].data(), uint32_t(parts[i].size()), connection, head, draw->fields) != nullptr;
  xcoreShiftGCOrigins(connection, head, gc, shift, 0);
  return sent;
}

// A request with a list of `unit`-byte entries after `fixed` bytes: BadLength and false when
// the list is no whole number of entries.
bool listOfUnits(uint8_t *request, uint32_t length, const XcoreRequestShape &shape, uint32_t unit) {
  if (!xcoreFrameEnter(request, length, shape)) return false;
  if ((length - shape.fixedLength) % unit == 0) return true;
  xprotoSendError(kBadLength, length, request, length, nullptr);
  return false;
}

// The GC's line values for the region boxes; false when the GC is unknown.
struct LineValues {
  int64_t width;
  uint32_t cap, join;
};
bool lineValues(uint32_t gcId, LineValues *out) {
  const GCRecord *gc = resourceLookupGC(gcId);
  if (!gc) return false;
  *out = LineValues{int64_t(uint16_t(gc->values[kGCLineWidth])), gc->values[kGCCapStyle], gc->values[kGCJoinStyle]};
  return true;
}

// PolyLine's pad around each segment box.
int64_t polyLinePad(const LineValues &line) {
  if (line.width <= 1) return 1;
  if (line.join == 0) return 6 * line.width;  // JoinMiter: spikes reach far
  if (line.cap == 3) return line.width;       // CapProjecting
  return (line.width + 1) / 2;
}

// Points of PolyPoint, PolyLine and FillPoly in absolute coordinates (CoordModePrevious summed
// in 64 bits from the first point).
std::vector<std::pair<int64_t, int64_t>> readPoints(const uint8_t *list, uint32_t count, uint8_t mode) {
  std::vector<std::pair<int64_t, int64_t>> points;
  points.reserve(count);
  int64_t x = 0, y = 0;
  for (uint32_t i = 0; i < count; i++) {
    int64_t px = s16(list + 4 * i), py = s16(list + 4 * i + 2);
    if (mode == 1 && i) {
      x += px;
      y += py;
    } else {
      x = px;
      y = py;
    }
    points.emplace_back(x, y);
  }
  return points;
}

// Builds the region of a Poly/Fill request (opcodes 64 to 71) while culling.
void buildDrawRegion(const uint8_t *request, uint32_t length) {
  if (!xproxyCullingHeadCount) return;
  uint8_t opcode = request[0];
  uint32_t listStart = opcode == 69 ? 16 : 12;
  LineValues line{};
  bool needsLine = opcode == 65 || opcode == 66 || opcode == 67 || opcode == 68;
  if (needsLine && !lineValues(wireGet32(request + 8), &line)) return;
  XproxyRequestArea area;
  if (!xproxyBeginRequestRegion(&area)) return;
  const uint8_t *list = request + listStart;
  uint32_t bytes = length - listStart;
  auto box = [&](int64_t x0, int64_t y0, int64_t x1, int64_t y1, int64_t pad) {
    xproxyAddRequestBox(area, x0 - pad, y0 - pad, x1 + pad, y1 + pad);
  };
  switch (opcode) {
    case 64:  // PolyPoint
      for (auto [x, y] : readPoints(list, bytes / 4, request[1])) box(x, y, x + 1, y + 1, 0);
      break;
    case 65: {  // PolyLine
      auto points = readPoints(list, bytes / 4, request[1]);
      int64_t pad = polyLinePad(line);
      if (points.size() == 1) box(points[0].first, points[0].second, points[0].first + 1, points[0].second + 1, pad);
      for (size_t i = 1; i < points.size(); i++) {
        auto [ax, ay] = points[i - 1];
        auto [bx, by] = points[i];
        box(std::min(ax, bx), std::min(ay, by), std::max(ax, bx) + 1, std::max(ay, by) + 1, pad);
      }
      break;
    }
    case 66:  // PolySegment
      for (uint32_t i = 0; i + 8 <= bytes; i += 8) {
        int64_t ax = s16(list + i), ay = s16(list + i + 2), bx = s16(list + i + 4), by = s16(list + i + 6);
        box(std::min(ax, bx), std::min(ay, by), std::max(ax, bx) + 1, std::max(ay, by) + 1,
            std::max<int64_t>(line.width, 1));
      }
      break;
    case 67: {  // PolyRectangle: its four edges
      int64_t pad = (std::max<int64_t>(line.width, 1) + 1) / 2;
      for (uint32_t i = 0; i + 8 <= bytes; i += 8) {
        int64_t x = s16(list + i), y = s16(list + i + 2), w = wireGet16(list + i + 4), h = wireGet16(list + i + 6);
        box(x, y, x + w + 1, y + 1, pad);
        box(x, y + h, x + w + 1, y + h + 1, pad);
        box(x, y, x + 1, y + h + 1, pad);
        box(x + w, y, x + w + 1, y + h + 1, pad);
      }
      break;
    }
    case 68:    // PolyArc
    case 71: {  // PolyFillArc
      int64_t pad = opcode == 68 ? (std::max<int64_t>(line.width, 1) + 1) / 2 : 0;
      for (uint32_t i = 0; i + 12 <= bytes; i += 12) {
        int64_t x = s16(list + i), y = s16(list + i + 2), w = wireGet16(list + i + 4), h = wireGet16(list + i + 6);
        box(x, y, x + w + 1, y + h + 1, pad);
      }
      break;
    }
    case 69: {  // FillPoly: one bounding box
      auto points = readPoints(list, bytes / 4, request[13]);
      if (points.empty()) break;
      int64_t x0 = INT64_MAX, y0 = INT64_MAX, x1 = INT64_MIN, y1 = INT64_MIN;
      for (auto [x, y] : points) {
        x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x + 1), y1 = std::max(y1, y + 1);
      }
      box(x0, y0, x1, y1, 0);
      break;
    }
    case 70:  // PolyFillRectangle
      for (uint32_t i = 0; i + 8 <= bytes; i += 8) {
        int64_t x = s16(list + i), y = s16(list + i + 2), w = wireGet16(list + i + 4), h = wireGet16(list + i + 6);
        box(x, y, x + w, y + h, 0);
      }
      break;
  }
  xproxyEndRequestRegion();
}

// ----- Text -------------------------------------------------------------------------------------

// Walks PolyText items from byte 16 to the request's end: a font change (length byte 255)
// takes 5 bytes and calls fn with the offset of its id; a text item takes 2 + n (or 2 + 2n)
// bytes; fewer than 2 bytes left, or an item that does not fit, end the list.
template <typename Fn>
void walkTextItems(const uint8_t *request, uint32_t length, uint32_t charBytes, Fn fn) {
  uint64_t at = 16;
  while (at + 2 <= length) {
    uint8_t n = request[at];
    if (n == 255) {
      if (at + 5 > length) return;
      fn(uint32_t(at + 1));
      at += 5;
    } else {
      uint64_t size = 2 + uint64_t(n) * charBytes;
      if (at + size > length) return;
      at += size;
    }
  }
}

struct TextArgument {
  uint32_t charBytes;
  const WindowRecord *window;  // the drawable's, NULL for any other drawable
};

int textCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *argument) {
  // Into a copy placed apart: the origin moved (the items unchanged), or nothing.
  XcoreCopyShift shift;
  std::vector<std::vector<uint8_t>> shifted;
  const GCRecord *gc = nullptr;
  auto *text = static_cast<TextArgument *>(argument);
  if (xcoreCopyShiftOfWindow(text->window, head, &shift)) {
    shifted = xcoreShiftDrawRequest(request, length, shift, 0);
    if (shifted.empty()) return 1;
    gc = resourceLookupGC(wireGet32(request + 8));
    xcoreShiftGCOrigins(connection, head, gc, shift, 1);
  }
  uint8_t *copy = xcoreFrameCopyForHead(shifted.empty() ? request : shifted[0].data(), length, connection, head,
                                        kDrawableGC);
  if (!copy) {
    xcoreShiftGCOrigins(connection, head, gc, shift, 0);
    return 0;
  }
  // The copy's body lies at copy + 4 in either form; items' offsets are the request's.
  Head *fontHead = xproxyFontHeadOf(head);
  walkTextItems(request, length, text->charBytes, [&](uint32_t at) {
    uint32_t font = xprotoReadCard32MSB(request + at);
    xprotoWriteCard32MSB(copy + at, resourceServerId(font, kResourceFont, fontHead));
  });
  if (gc) xcoreShiftGCOrigins(connection, head, gc, shift, 0);
  return 1;
}

void polyText(uint8_t *request, uint32_t length, uint32_t charBytes) {
  static const XcoreRequestShape shape{"bbsiiss", 16, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  RegionScope scope;
  cacheDrawable(wireGet32(request + 4));
  if (xproxyCullingHeadCount) xproxySetRequestRegionWhole();
  if (GCRecord *gc = resourceLookupGC(wireGet32(request + 8))) {
    uint32_t lastFont = 0;
    bool changed = false;
    walkTextItems(request, length, charBytes, [&](uint32_t at) {
      lastFont = xprotoReadCard32MSB(request + at);
      changed = true;
    });
    if (changed) xcoreApplyGCValues(gc, 1u << kGCFont, &lastFont);
  }
  TextArgument argument{charBytes, cachedWindow()};
  xcoreFramePerHead(request, length, 0, textCopy, &argument);
}

void imageText(uint8_t *request, uint32_t length, uint32_t charBytes) {
  static const XcoreRequestShape shape{"bbsiiss", 16, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  if (!xcoreFrameCheckLength(request, length, 16 + pad4(uint64_t(request[1]) * charBytes))) return;
  RegionScope scope;
  cacheDrawable(wireGet32(request + 4));
  if (xproxyCullingHeadCount) xproxySetRequestRegionWhole();
  DrawArgument argument{kDrawableGC, cachedWindow()};
  xcoreFramePerHead(request, length, 0, shiftedCopy, &argument);
}

// ----- Copies -----------------------------------------------------------------------------------

struct CopyArgument {
  const VisualRecord *sourceVisual;  // CopyPlane: the bit plane's visual
  const WindowRecord *sourceWindow, *destinationWindow;  // NULL for other drawables
};

// The copy of CopyArea or CopyPlane on the head, source and destination each moved into their
// copies there. *restore: the GC whose origins were moved for a destination placed apart, to be
// put back (xcoreShiftGCOrigins) once the request's own reply callbacks are queued.
int copyCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *argument,
             const GCRecord **restore, XcoreCopyShift *destination) {
  auto *copyArgument = static_cast<const CopyArgument *>(argument);
  XcoreCopyShift source;
  int fromApart = xcoreCopyShiftOfWindow(copyArgument->sourceWindow, head, &source);
  int intoApart = xcoreCopyShiftOfWindow(copyArgument->destinationWindow, head, destination);
  *restore = nullptr;
  uint8_t shifted[32];
  if ((fromApart || intoApart) && length <= sizeof shifted) {
    memcpy(shifted, request, length);
    xcoreShiftCopyRequest(shifted, source, *destination);
    request = shifted;
    if (intoApart) {
      *restore = resourceLookupGC(wireGet32(request + 12));
      xcoreShiftGCOrigins(connection, head, *restore, *destination, 1);
    }
  }
  uint8_t *copy = xcoreFrameCopyForHead(request, length, connection, head, kCopyFields);
  if (!copy) {
    xcoreShiftGCOrigins(connection, head, *restore, *destination, 0);
    return 0;
  }
  if (request[0] == 63) {
    wirePut32(copy + 28, xproxyPixelToServer2(wireGet32(request + 28), copyArgument->sourceVisual, head));
  }
  return 1;
}

const VisualRecord *drawableVisual(uint32_t id) {
  ClientConnection *client = xproxyCurrentClient;
  resourceCacheDrawable(client, id);
  switch (client->cachedType) {
    case kResourceWindow: return static_cast<WindowRecord *>(client->cachedRecord)->visual;
    case kResourcePixmap: return static_cast<PixmapRecord *>(client->cachedRecord)->visual;
    case kResourceHeadRoot: {
      const MetaScreen *screen = static_cast<Head *>(client->cachedRecord)->metaScreen;
      return screen ? screen->rootVisual : nullptr;
    }
    default: return nullptr;
  }
}

// A copy into a pixmap of a meta screen with several heads: the parts that only one head's copy
// of the pixmap gets right. A window's (or root's) copy on a head holds only what that head
// shows, so each head copies its own part of the source; from a pixmap holding such parts, the
// parts move along. Coordinates in 64 bits.
void notePixmapParts(const uint8_t *request, uint32_t sourceType, const void *sourceRecord, PixmapRecord *target) {
  const MetaScreen *screen = target->screen;
  if (!screen || !screen->heads || !screen->heads->next || !sourceRecord) return;
  int64_t srcX = s16(request + 16), srcY = s16(request + 18), dstX = s16(request + 20), dstY = s16(request + 22);
  int64_t width = wireGet16(request + 24), height = wireGet16(request + 26);
  if (sourceType == kResourcePixmap) {
    auto *source = static_cast<const PixmapRecord *>(sourceRecord);
    // The moved parts first (the source may be the target), each cut to the copied rectangle
    // and to the target as the target's list keeps it.
    PixmapPart moved[kPixmapMaxParts];
    uint32_t count = 0;
    for (uint32_t i = 0; source->parts && i < source->partCount && i < kPixmapMaxParts; i++) {
      const PixmapPart &p = source->parts[i];
      int64_t x0 = std::max<int64_t>(p.x, srcX), y0 = std::max<int64_t>(p.y, srcY);
      int64_t x1 = std::min<int64_t>(int64_t(p.x) + p.width, srcX + width);
      int64_t y1 = std::min<int64_t>(int64_t(p.y) + p.height, srcY + height);
      x0 += dstX - srcX, x1 += dstX - srcX, y0 += dstY - srcY, y1 += dstY - srcY;
      x0 = std::max<int64_t>(x0, 0), y0 = std::max<int64_t>(y0, 0);
      x1 = std::min<int64_t>(x1, target->width), y1 = std::min<int64_t>(y1, target->height);
      if (x1 > x0 && y1 > y0 && p.head)
        moved[count++] = PixmapPart{int32_t(x0), int32_t(y0), uint32_t(x1 - x0), uint32_t(y1 - y0), p.head};
    }
    // The first part gives the target its list; the oldest parts they push out leave in one
    // move, and the moved parts follow in one copy.
    uint32_t first = 0;
    if (count && !target->parts) {
      resourceNotePixmapPart(target, moved[0].x, moved[0].y, moved[0].width, moved[0].height, moved[0].head);
      if (!target->parts) return;
      first = 1;
    }
    if (target->partCount + (count - first) > kPixmapMaxParts) {
      uint32_t drop = target->partCount + (count - first) - kPixmapMaxParts;
      memmove(target->parts, target->parts + drop, (target->partCount - drop) * sizeof(PixmapPart));
      target->partCount -= drop;
    }
    if (count > first) memcpy(target->parts + target->partCount, moved + first, (count - first) * sizeof(PixmapPart));
    target->partCount += count - first;
    return;
  }
  int64_t left, top, right, bottom;  // the source drawable's area on the meta screen
  if (sourceType == kResourceWindow) {
    auto *window = static_cast<const WindowRecord *>(sourceRecord);
    left = window->x, top = window->y, right = left + window->width, bottom = top + window->height;
  } else if (sourceType == kResourceHeadRoot) {
    left = 0, top = 0, right = screen->width, bottom = screen->height;
  } else {
    return;
  }
  // The copied rectangle on the meta screen, inside the source.
  int64_t x0 = std::max(left, left + srcX), y0 = std::max(top, top + srcY);
  int64_t x1 = std::min(right, left + srcX + width), y1 = std::min(bottom, top + srcY + height);
  for (Head *head = screen->heads; head; head = head->next) {
    const Rect &r = head->rect;
    int64_t hx0 = std::max<int64_t>(x0, r.x), hy0 = std::max<int64_t>(y0, r.y);
    int64_t hx1 = std::min<int64_t>(x1, int64_t(r.x) + r.width), hy1 = std::min<int64_t>(y1, int64_t(r.y) + r.height);
    if (hx1 <= hx0 || hy1 <= hy0) continue;
    resourceNotePixmapPart(target, hx0 - (left + srcX) + dstX, hy0 - (top + srcY) + dstY, hx1 - hx0, hy1 - hy0, head);
  }
}

void copyRequest(uint8_t *request, uint32_t length, const XcoreRequestShape &shape) {
  if (!xcoreFrameEnter(request, length, shape)) return;
  ClientConnection *client = xproxyCurrentClient;
  uint32_t source = wireGet32(request + 4), destination = wireGet32(request + 8);
  CopyArgument argument{drawableVisual(source), cachedWindow(), nullptr};
  bool sourceIsPixmap = client->cachedType == kResourcePixmap;
  uint32_t sourceType = client->cachedType;
  const void *sourceRecord = client->cachedRecord;
  RegionScope scope;
  cacheDrawable(destination);
  argument.destinationWindow = cachedWindow();
  if (client->cachedType == kResourcePixmap)
    notePixmapParts(request, sourceType, sourceRecord, static_cast<PixmapRecord *>(client->cachedRecord));
  MetaScreen *screen = client->cachedScreen ? client->cachedScreen : xscreenList;
  if (xproxyCullingHeadCount)
    xproxySetRequestRegion(s16(request + 20), s16(request + 22), wireGet16(request + 24), wireGet16(request + 26));
  const GCRecord *gc = resourceLookupGC(wireGet32(request + 12));
  bool exposures = gc && gc->values[kGCGraphicsExposures];
  // One merged answer of exposure events when the copy reaches several heads.
  bool merging = exposures && screen && screen->heads && screen->heads->next;
  DisplayConnection *connection = xcoreFrameConnection();
  if (!screen || !connection) return (void)xprotoSendError(11, 0, request, length, nullptr);
  bool copied = false;
  for (Head *head = screen->heads; head; head = head->next) {
    // With graphics exposures one head must always answer: the last is never culled while
    // none has had a copy.
    bool mustAnswer = exposures && !copied && !head->next;
    if (!mustAnswer && xcoreFrameHeadCulled(head)) continue;
    const GCRecord *restore = nullptr;
    XcoreCopyShift destination{};
    if (!copyCopy(head, connection, request, length, &argument, &restore, &destination)) {
      xprotoSendError(11, 0, request, length, nullptr);
      break;
    }
    copied = true;
    if (merging) xproxyPushReplyCallback(connection, kXcoreReplyTagCopyExposures, sourceIsPixmap ? 1 : 0, nullptr);
    xcoreShiftGCOrigins(connection, head, restore, destination, 0);
  }
  if (merging && copied) mainInsertDeferredOutput(client, client->sequence);
}

}  // namespace

// ===== drawing and text requests =====

void xcoreClearArea(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsissss", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  RegionScope scope;
  cacheDrawable(wireGet32(request + 4));
  // With exposures every head clears, so that every head exposes its part.
  if (xproxyCullingHeadCount && !request[1]) {
    XproxyRequestArea area;
    if (xproxyCurrentRequestArea(&area)) {
      int64_t x = s16(request + 8), y = s16(request + 10);
      int64_t width = wireGet16(request + 12), height = wireGet16(request + 14);
      if (!width) width = int64_t(area.width) - x;
      if (!height) height = int64_t(area.height) - y;
      if (width > 0 && height > 0) xproxySetRequestRegion(x, y, width, height);
      else xproxySetRequestRegion(0, 0, 0, 0);
    }
  }
  DrawArgument argument{kClearFields, cachedWindow()};
  xcoreFramePerHead(request, length, 0, shiftedCopy, &argument);
}

void xcoreCopyArea(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiissssss", 28, XcoreShape::Fixed, 0, 0};
  copyRequest(request, length, shape);
}

void xcoreCopyPlane(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiissssssi", 32, XcoreShape::Fixed, 0, 0};
  copyRequest(request, length, shape);
}

void xcorePolyDraw(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape listShape{"bbsiiS", 12, XcoreShape::List, 0, 0};
  static const XcoreRequestShape fillPolyShape{"bbsiibbbbS", 16, XcoreShape::List, 0, 0};
  uint32_t unit = 4;
  switch (request[0]) {
    case 66: case 67: case 70: unit = 8; break;
    case 68: case 71: unit = 12; break;
    default: break;
  }
  if (!listOfUnits(request, length, request[0] == 69 ? fillPolyShape : listShape, unit)) return;
  RegionScope scope;
  cacheDrawable(wireGet32(request + 4));
  DrawArgument argument{kDrawableGC, cachedWindow()};
  buildDrawRegion(request, length);
  xcoreFramePerHead(request, length, 0, shiftedCopy, &argument);
}

void xcorePolyText8(uint8_t *request, uint32_t length) { polyText(request, length, 1); }
void xcorePolyText16(uint8_t *request, uint32_t length) { polyText(request, length, 2); }
void xcoreImageText8(uint8_t *request, uint32_t length) { imageText(request, length, 1); }
void xcoreImageText16(uint8_t *request, uint32_t length) { imageText(request, length, 2); }
// ===== end of drawing and text requests =====
