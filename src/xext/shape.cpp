// SHAPE: shape changes go to every head of the window's meta screen with the ids of that head,
// and the proxy keeps each window's three shapes in its own tree so that the regions it
// computes follow them. Queries go to the primary head; only its ShapeNotify reaches clients.
#include "xext/shape.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/park.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcoreframe.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xclient/region.h"
#include "xclient/xtarget.h"
#include "xclient/xutil.h"
#include "xclient/xutilh.h"
#include "xext/ext.h"
#include "xext/extrequest.h"

namespace {

constexpr const char *kSource = "Xext/shape";
constexpr uint8_t kBadWindow = 3;
constexpr uint8_t kBadAlloc = 11;
constexpr uint8_t kSentEvent = 0x80;

Region **slotOf(WindowRecord *window, int kind) {
  switch (kind) {
    case kShapeBounding: return &window->boundingShape;
    case kShapeClip: return &window->clipShape;
    case kShapeInput: return &window->inputShape;
    default: return nullptr;
  }
}

int16_t offsetAt(const uint8_t *request, uint32_t at) { return int16_t(wireGet16(request + at)); }

// The shape-changing requests act on windows with a parent only: the server leaves a root's
// shapes alone.
WindowRecord *shapeableWindow(uint32_t id) {
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(id));
  return window && window->parent ? window : nullptr;
}

// The rectangles are in the order they claim (the server answers BadMatch and changes nothing
// otherwise); the same test as the server's.
bool inClaimedOrder(const XRectangle *r, long n, int ordering) {
  for (long k = 1; k < n; k++) {
    const XRectangle &p = r[k - 1], &c = r[k];
    switch (ordering) {
      case 0: return true;
      case 1:
        if (c.y < p.y) return false;
        break;
      case 2:
        if (c.y < p.y || (c.y == p.y && c.x < p.x)) return false;
        break;
      case 3:
        if ((c.y != p.y && int32_t(c.y) < int32_t(p.y) + p.height) ||
            (c.y == p.y && (c.height != p.height || int32_t(c.x) < int32_t(p.x) + p.width)))
          return false;
        break;
      default: return false;
    }
  }
  return ordering >= 0 && ordering <= 3;
}

// ----- Per-head copies -----

// One copy of the request on every head of the meta screen, with the ids at the fields
// translated for that head; BadAlloc and 0 at the first copy that gets no room.
int copyOnEveryHead(const uint8_t *request, uint32_t length, MetaScreen *screen, const XcoreIdField *fields) {
  DisplayConnection *connection = xcoreFrameConnection();
  for (Head *head = screen ? screen->heads : nullptr; head; head = head->next) {
    if (!connection || !xcoreFrameCopyForHead(request, length, connection, head, fields)) {
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return 0;
    }
  }
  return 1;
}

// The destination window resolved (BadWindow when it names none) and the copies written.
// 1 when the local update may follow.
int replicate(const uint8_t *request, uint32_t length, const XcoreIdField *fields) {
  if (!xcoreFrameResolve(wireGet32(request + 8), kXcoreWantWindow, kBadWindow, request, length)) return 0;
  ClientConnection *client = xproxyCurrentClient;
  return copyOnEveryHead(request, length, client->cachedScreen, fields);
}

constexpr XcoreIdField kDestination[] = {{8, kResourceWindow}, {0, 0}};
constexpr XcoreIdField kDestinationAndPixmap[] = {{8, kResourceWindow}, {16, kResourcePixmap}, {0, 0}};
constexpr XcoreIdField kDestinationAndSource[] = {{8, kResourceWindow}, {16, kResourceWindow}, {0, 0}};
constexpr XcoreIdField kQueried[] = {{4, kResourceWindow}, {0, 0}};

// ----- Requests -----

void shapeRectangles(uint8_t *request, uint32_t length, uint8_t *) {
  if (!replicate(request, length, kDestination)) return;
  int op = request[4], kind = request[5], ordering = request[6];
  WindowRecord *window = shapeableWindow(wireGet32(request + 8));
  if (!window || op > kShapeInvert || kind > kShapeInput || ordering > 3) return;
  long n = long((length - 16) / 8);
  XRectangle *rectangles = n ? static_cast<XRectangle *>(malloc(size_t(n) * sizeof(XRectangle))) : nullptr;
  if (n && !rectangles) {
    LOG_OUT_OF_MEMORY();
    return;
  }
  for (long k = 0; k < n; k++) {
    const uint8_t *at = request + 16 + 8 * k;
    rectangles[k] = XRectangle{int16_t(wireGet16(at)), int16_t(wireGet16(at + 2)), wireGet16(at + 4),
                               wireGet16(at + 6)};
  }
  Region *source = inClaimedOrder(rectangles, n, ordering) ? regionFromRects(n, rectangles, ordering) : nullptr;
  bool ordered = n == 0 || source;
  free(rectangles);
  if (!ordered) return;  // BadMatch or no memory: the server's shape stays as well
  if (!source) source = regionCreate();
  if (!source) return;
  regionTranslate(source, offsetAt(request, 12), offsetAt(request, 14));
  shapeOperate(window, kind, op, source);
}

void shapeMaskSynced(uint8_t *request, uint32_t length, const char *failure);

void shapeMask(uint8_t *request, uint32_t length, uint8_t *) {
  if (!replicate(request, length, kDestinationAndPixmap)) return;
  int op = request[4], kind = request[5];
  uint32_t id = wireGet32(request + 8), pixmapId = wireGet32(request + 16);
  WindowRecord *window = shapeableWindow(id);
  if (!window || kind > kShapeInput) return;
  if (pixmapId == 0) {
    shapeSet(window, kind, nullptr);  // None removes the shape: the server looks at no operation
    return;
  }
  if (op > kShapeInvert) return;
  // A source the server refuses (no bitmap) changes nothing.
  PixmapRecord *pixmap = resourceLookupPixmap(pixmapId);
  if (!pixmap || pixmap->depth != 1 || pixmap->screen != window->screen) return;
  // Union onto an unshaped kind leaves it unshaped; every other operation leaves it shaped,
  // and the shape is what the primary head's server computed from the bitmap.
  if (op == kShapeUnion && !*slotOf(window, kind)) return;
  MetaScreen *screen = window->screen;
  Head *head = screen ? (screen->primaryHead ? screen->primaryHead : screen->heads) : nullptr;
  DisplayConnection *connection = xcoreFrameConnection();
  if (!head || !connection) return;
  // The shape is read once the server has taken the request: the client waits for that parked,
  // while the others are served.
  xproxyParkClient(xproxyCurrentClient, connection, request, length, shapeMaskSynced);
}

// The read-back of ShapeMask once the client's requests have reached the server; the window is
// looked up again (another client may have destroyed it meanwhile). A wait that gave up keeps
// the local shape as it was.
void shapeMaskSynced(uint8_t *request, uint32_t, const char *failure) {
  if (failure) {
    logProblem(failure, kSource, __LINE__);
    return;
  }
  int op = request[4], kind = request[5];
  uint32_t id = wireGet32(request + 8);
  WindowRecord *window = shapeableWindow(id);
  if (window && op == kShapeUnion && !*slotOf(window, kind)) return;  // (as before the wait)
  MetaScreen *screen = window ? window->screen : nullptr;
  Head *head = screen ? (screen->primaryHead ? screen->primaryHead : screen->heads) : nullptr;
  DisplayConnection *connection = xcoreFrameConnection();
  if (!head || !connection) return;
  XRectangle *rectangles = nullptr;
  int count = 0;
  if (!shapeReadBack(connection, head, resourceServerId(id, kResourceWindow, head), kind, &rectangles, &count))
    return;  // the read failed: the local shape stays as it was
  Region *region = count > 0 ? regionFromRects(count, rectangles, 0) : regionCreate();
  free(rectangles);
  if (!region) {
    LOG_OUT_OF_MEMORY();
    return;
  }
  shapeSet(window, kind, region);
}

void shapeCombine(uint8_t *request, uint32_t length, uint8_t *) {
  if (!replicate(request, length, kDestinationAndSource)) return;
  int op = request[4], kind = request[5], sourceKind = request[6];
  WindowRecord *window = shapeableWindow(wireGet32(request + 8));
  auto *from = static_cast<WindowRecord *>(resourceLookupWindow(wireGet32(request + 16)));
  if (!window || !from || window->screen != from->screen) return;
  if (op > kShapeInvert || kind > kShapeInput || sourceKind > kShapeInput) return;
  Region *source = shapeCurrent(from, sourceKind);
  if (!source) return;
  regionTranslate(source, offsetAt(request, 12), offsetAt(request, 14));
  shapeOperate(window, kind, op, source);
}

void shapeOffset(uint8_t *request, uint32_t length, uint8_t *) {
  if (!replicate(request, length, kDestination)) return;
  int kind = request[4];
  WindowRecord *window = shapeableWindow(wireGet32(request + 8));
  if (!window || kind > kShapeInput) return;
  // An unshaped kind stays unshaped: the server moves only a shape that is there.
  Region *shape = *slotOf(window, kind);
  if (!shape) return;
  regionTranslate(shape, offsetAt(request, 12), offsetAt(request, 14));
  windowSetShape(window);
}

// Queries: once, to the primary head of the meta screen that owns the window.
void query(uint8_t *request, uint32_t length, uint8_t *) {
  MetaScreen *screen = resourceMetaScreenOfId(wireGet32(request + 4));
  Head *head = screen ? (screen->primaryHead ? screen->primaryHead : screen->heads) : nullptr;
  if (!head) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  xcoreFrameForwardToHead(request, length, head, kQueried);
}

// ShapeNotify: the client's sequence; a real one only from the primary head, its window
// mapped back and its time kept.
void shapeNotify(uint8_t *event) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return;
  if (!(event[0] & kSentEvent)) {
    uint32_t window = wireGet32(event + 4);
    Head *head = mainHeadOfServerXid(window, connection->display);
    MetaScreen *screen = head ? head->metaScreen : nullptr;
    Head *primary = screen ? (screen->primaryHead ? screen->primaryHead : screen->heads) : nullptr;
    if (!head || head != primary) return;
    wirePut32(event + 4, mainHeadXidToProxy(0, window, head));
    mainSetLastTime(wireGet32(event + 16));
  }
  mainSendEventToClient(event, "bbsissssi", 0);
}

// ShapeGetRectangles on the proxy's own connection to the head's server, its answer awaited at
// most the sync limit. SHAPE's codes on that connection come from Xlib's record, made when the
// set-up asked every real display for its version.
int readBackThroughXlib(DisplayConnection *, Head *head, uint32_t serverWindow, int kind, XRectangle **rectangles,
                        int *count) {
  *rectangles = nullptr;
  *count = 0;
  Display *display = head->display;
  XExtCodes *codes = display ? xutilHasExtension(display, "SHAPE") : nullptr;
  if (!codes) return 0;
  // The request in the connection's byte order, which is this machine's.
  uint8_t request[12] = {uint8_t(codes->major_opcode), 8};
  uint16_t words = 3;
  memcpy(request + 2, &words, 2);
  memcpy(request + 4, &serverWindow, 4);
  request[8] = uint8_t(kind);
  uint8_t *reply = nullptr;
  // A window the server does not know answers with an error: a failed read, unlike an empty shape.
  if (const char *failure = xtargetRoundTrip(display, request, sizeof request, xproxySyncWaitLimitMs, &reply)) {
    LOG(logChannelProblem, "Reading the shape of window 0x%x on %s failed: %s", unsigned(serverWindow), head->name,
        failure);
    return 0;
  }
  // The rectangles the reply holds, at most as many as its length carries.
  uint32_t length = 0, announced = 0;
  memcpy(&length, reply + 4, 4);
  memcpy(&announced, reply + 8, 4);
  uint64_t n = std::min<uint64_t>(announced, uint64_t(length) * 4 / 8);
  if (n) *rectangles = static_cast<XRectangle *>(malloc(size_t(n) * sizeof(XRectangle)));
  if (n && !*rectangles) {
    free(reply);
    LOG_OUT_OF_MEMORY();
    return 0;
  }
  for (uint64_t k = 0; k < n; k++) {
    const uint8_t *at = reply + 32 + 8 * k;
    XRectangle &r = (*rectangles)[k];
    memcpy(&r.x, at, 2), memcpy(&r.y, at + 2, 2), memcpy(&r.width, at + 4, 2), memcpy(&r.height, at + 6, 2);
  }
  *count = int(n);
  free(reply);
  return 1;
}

constexpr ExtRequestRow kRows[] = {
    {0, "ShapeQueryVersion", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsiss", ExtReplyKind::Version, nullptr},
    {1, "ShapeRectangles", 16, 8, "bbsbbbbiS", ExtServed::PerHead, shapeRectangles, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {2, "ShapeMask", 20, 0, "bbsbbsissi", ExtServed::PerHead, shapeMask, nullptr, ExtReplyKind::NoReply, nullptr},
    {3, "ShapeCombine", 20, 0, "bbsbbbbissi", ExtServed::PerHead, shapeCombine, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {4, "ShapeOffset", 16, 0, "bbsbbsiss", ExtServed::PerHead, shapeOffset, nullptr, ExtReplyKind::NoReply, nullptr},
    {5, "ShapeQueryExtents", 8, 0, "bbsi", ExtServed::Local, query, "bbsibbsssssssssi", ExtReplyKind::Plain, nullptr},
    {6, "ShapeSelectInput", 12, 0, "bbsibbs", ExtServed::Local, query, nullptr, ExtReplyKind::NoReply, nullptr},
    {7, "ShapeInputSelected", 8, 0, "bbsi", ExtServed::Local, query, "bbsi", ExtReplyKind::Plain, nullptr},
    {8, "ShapeGetRectangles", 12, 0, "bbsibbs", ExtServed::Local, query, "bbsiiS", ExtReplyKind::Plain, nullptr},
};

void shapeReset() { proxyState.ext.shape = nullptr; }

}  // namespace

ShapeReadBack shapeReadBack = readBackThroughXlib;

const ExtRequestTable shapeTable{kRows, sizeof kRows / sizeof kRows[0]};

Region *shapeCurrent(const WindowRecord *window, int kind) {
  if (!window || kind < 0 || kind > kShapeInput) return nullptr;
  const Region *own = kind == kShapeBounding ? window->boundingShape
                      : kind == kShapeClip   ? window->clipShape
                                             : window->inputShape;
  if (own) {
    Region *copy = regionCreate();
    if (copy && regionCopy(copy, own)) {
      regionDestroy(copy);
      return nullptr;
    }
    return copy;
  }
  if (kind == kShapeClip) return regionCreateRect(0, 0, window->width, window->height);
  int32_t b = window->borderWidth;
  return regionCreateRect(-b, -b, uint32_t(window->width) + 2u * uint32_t(b),
                          uint32_t(window->height) + 2u * uint32_t(b));
}

void shapeSet(WindowRecord *window, int kind, Region *region) {
  Region **slot = window ? slotOf(window, kind) : nullptr;
  if (!slot) {
    if (window) logProblem("UNE", kSource, __LINE__);
    regionDestroy(region);
    return;
  }
  regionDestroy(*slot);
  *slot = region;
  windowSetShape(window);
}

void shapeOperate(WindowRecord *window, int kind, int op, Region *source) {
  Region **slot = window && window->parent ? slotOf(window, kind) : nullptr;
  if (!slot || !source || op < 0 || op > kShapeInvert) {
    regionDestroy(source);
    return;
  }
  Region *dest = *slot;
  const char *failure = nullptr;
  switch (op) {
    case kShapeSet:
      shapeSet(window, kind, source);
      return;
    case kShapeUnion:
      if (dest) failure = regionUnion(dest, dest, source);
      break;
    case kShapeIntersect:
      if (!dest) {
        shapeSet(window, kind, source);
        return;
      }
      failure = regionIntersect(dest, dest, source);
      break;
    case kShapeSubtract: {
      Region *from = dest ? dest : shapeCurrent(window, kind);
      if (!from) break;
      failure = regionSubtract(from, from, source);
      if (!dest) {
        regionDestroy(source);
        shapeSet(window, kind, from);
        return;
      }
      break;
    }
    case kShapeInvert:
      if (!dest) {
        regionDestroy(source);
        shapeSet(window, kind, regionCreate());
        return;
      }
      failure = regionSubtract(dest, source, dest);
      break;
  }
  if (failure) logProblem(failure, kSource, __LINE__);
  regionDestroy(source);
  windowSetShape(window);
}

const char *shapeSetup(ExtensionRecord *record) {
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next) {
    int major = 0, minor = 0;
    if (!d->display || !XShapeQueryVersion(d->display, &major, &minor))
      return strTempPrintf("Display %s does not support extension %s", d->name ? d->name : "", "SHAPE");
    uint32_t code = uint32_t(major) * 64 + uint32_t(minor);
    if (code < record->version) record->version = uint16_t(code);
  }
  if (const char *error = extRegister(record, "SHAPE", 1, 0)) return error;
  if (const char *error = extAddEventRow(record, shapeNotify, "bbsissssi")) return error;
  extWriteRows(record, shapeTable);
  record->reset = shapeReset;
  proxyState.ext.shape = record;
  return nullptr;
}
