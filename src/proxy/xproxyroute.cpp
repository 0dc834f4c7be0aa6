// Routing helpers of the request handlers: drawables and event masks for a head, background
// tiles cut for a head, forced exposures and the raw request writer.
#include <X11/Xlib.h>

#include <algorithm>
#include <cstring>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/window.h"
#include "proxy/resourcetable.h"
#include "proxy/clientconnection.h"
#include "xclient/region.h"
#include "xext/doublebuf.h"

namespace {
constexpr uint32_t kEnterLeave = 0x30;
constexpr uint32_t kButtonPress = 0x4;
constexpr uint32_t kButtonRelease = 0x8;
constexpr uint32_t kFocusChange = 0x200000;

bool isMetaRoot(uint32_t window) {
  for (MetaScreen *m = xscreenList; m; m = m->next)
    if (m->root && m->root == window) return true;
  return false;
}

// x mod m in 0..m-1 for any sign of x (m > 0).
uint32_t wrap(int64_t x, uint32_t m) { return uint32_t(((x % m) + m) % m); }
}  // namespace

uint32_t xproxyServerDrawable(uint32_t id, Head *head) {
  // A back-buffer name on a head that emulates DOUBLE-BUFFER draws into the image buffer its
  // next swap shows.
  if (head && head->serverDisplay && head->serverDisplay->emulateDoubleBuffer)
    if (uint32_t buffer = doublebufEmulatedDrawable(id)) id = buffer;
  return resourceServerId(id, kResourceWindow, head);
}

uint8_t xproxyColormapAllocMode(uint8_t alloc, const VisualRecord *visual, const Head *head) {
  if (alloc) return alloc;
  const VisualRecord *own = visual && head ? xproxyHeadVisual(head, visual) : nullptr;
  return own && own->baseVisualId ? 1 : 0;
}

uint32_t xproxyWindowEventMask(ClientConnection *client, uint32_t window, uint32_t mask, Head *head) {
  if (mask & kEnterLeave) mask |= kEnterLeave;
  if (mask & kButtonPress) mask |= kButtonRelease;
  if ((mask & kFocusChange) && head && isMetaRoot(window)) {
    if (client && client->displayCount && client->displays[0])
      xprotoEncodeSetEventMask(&client->displays[0]->reader.sink, uint32_t(head->root), kFocusChange);
    mask &= ~kFocusChange;
  }
  return mask;
}

uint32_t xproxyServerEventMask(uint32_t mask) { return mask & kEnterLeave ? mask | 0x38 : mask | 0x8; }

int xprotoTilePixmap(const RequestSink *sink, uint32_t source, uint32_t destination, uint32_t gc, uint32_t tileWidth,
                     uint32_t tileHeight, int32_t x, int32_t y, uint32_t width, uint32_t height, int32_t originX,
                     int32_t originY) {
  if (!tileWidth || !tileHeight) return 1;
  int64_t right = int64_t(x) + width, bottom = int64_t(y) + height;
  for (int64_t row = y; row < bottom;) {
    uint32_t tileY = wrap(row - originY, tileHeight);
    uint32_t rows = uint32_t(std::min<int64_t>(tileHeight - tileY, bottom - row));
    for (int64_t column = x; column < right;) {
      uint32_t tileX = wrap(column - originX, tileWidth);
      uint32_t columns = uint32_t(std::min<int64_t>(tileWidth - tileX, right - column));
      if (!xprotoEncodeCopyArea(sink, source, destination, gc, int16_t(tileX), int16_t(tileY), uint16_t(columns),
                                uint16_t(rows), int16_t(column), int16_t(row)))
        return 0;
      column += columns;
    }
    row += rows;
  }
  return 1;
}

uint32_t xproxyShiftedBackgroundPixmap(uint32_t pixmap, uint32_t, Head *head, int *created) {
  if (created) *created = 0;
  if (pixmap <= 1 || !head) return pixmap;
  uint32_t serverId = resourceServerId(pixmap, kResourcePixmap, head);
  PixmapRecord *tile = resourceLookupPixmap(pixmap);
  ClientConnection *client = xproxyCurrentClient;
  if (!head->staticDisplay || !tile || !client || !client->displayCount) return serverId;
  uint32_t width = head->visible.width ? head->visible.width : head->rect.width;
  uint32_t height = head->visible.height ? head->visible.height : head->rect.height;
  if (tile->width <= width && tile->height <= height) return serverId;
  uint32_t id = resourceNewServerSideId(client);
  if (!id) return serverId;
  uint32_t cut = resourceServerId(id, kResourceScreenResource, head);
  const RequestSink *sink = &client->displays[0]->reader.sink;
  uint32_t gc = uint32_t(XGContextFromGC(DefaultGC(head->display, head->screen)));
  if (!xprotoEncodeCreatePixmap(sink, cut, uint32_t(head->root), uint16_t(width), uint16_t(height),
                                uint8_t(tile->depth)) ||
      !xprotoTilePixmap(sink, serverId, cut, gc, tile->width, tile->height, 0, 0, width, height,
                        -head->rect.x, -head->rect.y)) {
    resourceFreeServerSideId(id);
    return 0;
  }
  if (created) *created = 1;
  return cut;
}

void miscForceExposures(Display *display, unsigned long parent, const XRectangle *rectangles, int n) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.backing_store = NotUseful;
  attributes.save_under = False;
  for (int i = 0; i < n; i++) {
    const XRectangle &r = rectangles[i];
    if (!r.width || !r.height) continue;
    Window child = XCreateWindow(display, parent, r.x, r.y, r.width, r.height, 0, CopyFromParent, InputOutput,
                                 CopyFromParent, CWOverrideRedirect | CWBackingStore | CWSaveUnder, &attributes);
    XMapWindow(display, child);
    XDestroyWindow(display, child);
  }
}

int miscWriteServerRequest(DisplayConnection *connection, const uint8_t *request, uint32_t length) {
  if (!connection || length < 4 || !xproxySendRequest(request, length, connection)) {
    xprotoSendError(11, 0, request, length, nullptr);
    return 0;
  }
  return 1;
}

// ===== request regions =====
namespace {
Region *freshRequestRegion(ClientConnection *client) {
  if (!client->requestRegion) client->requestRegion = regionCreate();
  if (client->requestRegion) regionResetRect(client->requestRegion, 0, 0, 0, 0);
  return client->requestRegion;
}
}  // namespace

const void *xproxyCurrentRequestArea(XproxyRequestArea *area) {
  ClientConnection *client = xproxyCurrentClient;
  *area = XproxyRequestArea{};
  if (!client || !client->cachedRecord) return nullptr;
  switch (client->cachedType) {
    case kResourceWindow: {
      auto *window = static_cast<const WindowRecord *>(client->cachedRecord);
      *area = XproxyRequestArea{window->x, window->y, window->width, window->height, 1};
      return window;
    }
    case kResourceHeadRoot: {
      const MetaScreen *screen = static_cast<const Head *>(client->cachedRecord)->metaScreen;
      if (!screen) return nullptr;
      *area = XproxyRequestArea{0, 0, screen->width, screen->height, 1};
      return client->cachedRecord;
    }
    case kResourcePixmap: {
      auto *pixmap = static_cast<const PixmapRecord *>(client->cachedRecord);
      *area = XproxyRequestArea{0, 0, pixmap->width, pixmap->height, 0};
      return pixmap;
    }
    default: return nullptr;
  }
}

Region *xproxyBeginRequestRegion(XproxyRequestArea *area) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return nullptr;
  client->requestRegionActive = 0;
  if (!xproxyCurrentRequestArea(area) || !area->isWindow) return nullptr;
  return freshRequestRegion(client);
}

void xproxyAddRequestBox(const XproxyRequestArea &area, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || !client->requestRegion) return;
  x0 = std::max<int64_t>(x0, 0);
  y0 = std::max<int64_t>(y0, 0);
  x1 = std::min<int64_t>(x1, area.width);
  y1 = std::min<int64_t>(y1, area.height);
  if (x1 <= x0 || y1 <= y0) return;
  regionUnionRect(client->requestRegion, int32_t(area.x + x0), int32_t(area.y + y0), uint32_t(x1 - x0),
                  uint32_t(y1 - y0));
}

void xproxyEndRequestRegion() {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || !client->requestRegion) return;
  // Without memory the region stays as it was: culling then stays off for this request.
  client->requestRegionActive = regionValidate(client->requestRegion) == nullptr;
}

void xproxyClearRequestRegion() {
  if (xproxyCurrentClient) xproxyCurrentClient->requestRegionActive = 0;
}

Region *xproxySetRequestRegion(int64_t x, int64_t y, int64_t width, int64_t height) {
  XproxyRequestArea area;
  Region *region = xproxyBeginRequestRegion(&area);
  if (!region) return nullptr;
  xproxyAddRequestBox(area, x, y, x + width, y + height);
  xproxyEndRequestRegion();
  return region;
}

Region *xproxySetRequestRegionWhole() {
  XproxyRequestArea area;
  Region *region = xproxyBeginRequestRegion(&area);
  if (!region) return nullptr;
  xproxyAddRequestBox(area, 0, 0, area.width, area.height);
  xproxyEndRequestRegion();
  return region;
}
// ===== end of request regions =====
