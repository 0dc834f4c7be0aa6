// The proxy's grabs repeated on, and lifted from, the real servers; window moves on every head.
#include <X11/Xlib.h>

#include <cstring>

#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/region.h"

DisplayConnection *miscConnectionForHead(ClientConnection *client, const Head *head) {
  if (!client || client->displayCount == 0) return nullptr;
  for (uint32_t i = 0; head && i < client->displayCount; i++)
    if (client->displays[i]->display && client->displays[i]->display == head->serverDisplay)
      return client->displays[i];
  return client->displays[0];
}

namespace {

void flushConnection(DisplayConnection *connection) {
  if (const char *failure = xproxyFlushDisplayConnection(connection)) LOG(logChannelXhint, "%s", failure);
}

// The mode for a real server: synchronous only while the device is frozen for this grab (a
// freeze that another client holds outside a thaw does not carry over).
uint8_t forwardedMode(const ProxyState::Freeze &freeze, ClientConnection *owner) {
  if (!freeze.client) return 1;
  if (freeze.client != owner && freeze.mode != 1 && freeze.mode != 2) return 1;
  return 0;
}

}  // namespace

void miscUngrabPointerOnServer(int flush) {
  ClientConnection *owner = proxyState.pointerGrab.client;
  DisplayConnection *connection = owner && owner->displayCount ? owner->displays[0] : nullptr;
  if (!connection) return;
  core11GUngrabPointer(connection);
  if (flush) flushConnection(connection);
}

void miscUngrabKeyboardOnServer(int flush) {
  ClientConnection *owner = proxyState.keyboardGrab.client;
  DisplayConnection *connection = owner && owner->displayCount ? owner->displays[0] : nullptr;
  if (!connection) return;
  core11GUngrabKeyboard(connection);
  if (flush) flushConnection(connection);
}

void miscForwardGrabPointer(Head *head, int confine) {
  auto &g = proxyState.pointerGrab;
  DisplayConnection *connection = miscConnectionForHead(g.client, head);
  if (!connection || !head) return;
  uint32_t window = resourceServerId(g.window, kResourceWindow, head);
  uint32_t confineTo = 0;
  if (g.confineTo && confine && mainConfinementReaches(g.confineTo, head)) {
    bool root = g.confineTo->screen && g.confineTo->id == g.confineTo->screen->root;
    confineTo = resourceServerId(g.confineTo->id, root ? kResourceRealRoot : kResourceWindow, head);
  }
  // A cursor whose id was freed while the grab kept it has no id on the head: a temporary copy
  // is built there for the grab (an id of the client's range that the proxy takes) and freed
  // right after it; the real server keeps the cursor for the grab.
  uint32_t cursor = 0, temporaryId = 0;
  if (g.cursor && g.cursor->id) {
    cursor = resourceServerId(g.cursor->id, kResourceCursor, head);
  } else if (g.cursor && (temporaryId = resourceNewServerSideId(g.client))) {
    uint32_t serverId = resourceServerId(temporaryId, kResourceScreenResource, head);
    if (mainCreateCursorOnHead(g.cursor, g.client, &connection->reader.sink, serverId, head)) cursor = serverId;
  }
  core11GGrabPointer(connection, g.ownerEvents, window, uint16_t(xproxyServerEventMask(g.eventMask)),
                     forwardedMode(proxyState.pointerFreeze, g.client), forwardedMode(proxyState.keyboardFreeze, g.client),
                     confineTo, cursor);
  if (temporaryId) {
    if (cursor) xprotoEncodeFreeCursor(&connection->reader.sink, cursor);
    resourceFreeServerSideId(temporaryId);
  }
  flushConnection(connection);
  g.realServer = 1;
}

void miscForwardGrabKeyboard(Head *head, int flush) {
  auto &g = proxyState.keyboardGrab;
  DisplayConnection *connection = miscConnectionForHead(g.client, head);
  if (!connection || !head) return;
  core11GGrabKeyboard(connection, g.ownerEvents, resourceServerId(g.window, kResourceWindow, head),
                      forwardedMode(proxyState.pointerFreeze, g.client),
                      forwardedMode(proxyState.keyboardFreeze, g.client));
  if (flush) flushConnection(connection);
  g.realServer = 1;
}

void xproxyMoveWindow(ClientConnection *client, WindowRecord *window, int32_t x, int32_t y) {
  if (!window || !window->parent) return;
  int32_t oldX = window->originX - window->borderWidth, oldY = window->originY - window->borderWidth;
  WindowRecord *managed =
      configRecord.workarounds & kWorkaroundWMIgnoresMoveWindow ? nullptr : windowFindManagedChild(window);
  if (managed) {
    logStep("Let WM move window 0x%x from %d,%d to %d,%d...", window->id, oldX, oldY, x, y);
    if (configRecord.workarounds & kWorkaroundWMIncludesDecoration) {
      x += managed->x - managed->borderWidth - (window->x - window->borderWidth);
      y += managed->y - managed->borderWidth - (window->y - window->borderWidth);
    }
    Head *head = window->screen ? window->screen->heads : nullptr;
    if (head && head->display) {
      XMoveWindow(head->display, resourceServerId(window->id, kResourceWindow, head), x, y);
      XFlush(head->display);
    }
    return;
  }
  logStep("Moving win 0x%x (%ux%u) from %d,%d to %d,%d by %s...", window->id, unsigned(window->width),
          unsigned(window->height), oldX, oldY, x, y, xscreenClientName(client));
  for (Head *head = window->screen ? window->screen->heads : nullptr; head; head = head->next) {
    uint32_t serverId = resourceServerId(window->id, kResourceWindow, head);
    if (DisplayConnection *connection = miscConnectionForHead(window->owner, head)) {
      uint8_t *body = xproxyBeginRequest(connection, 12, 0, 20);
      if (!body) continue;
      body += 4;
      uint16_t mask = 0x3, pad = 0;
      int32_t values[2] = {x, y};
      memcpy(body, &serverId, 4);
      memcpy(body + 4, &mask, 2);
      memcpy(body + 6, &pad, 2);
      memcpy(body + 8, values, 8);
      flushConnection(connection);
    } else if (head->display) {
      XMoveWindow(head->display, serverId, x, y);
      XFlush(head->display);
    }
  }
  windowMove(window, x, y, window, kWindowValidateMove);
}

int mainIsAreaReadable(uint32_t drawable, int32_t x, int32_t y, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) return 0;
  if (PixmapRecord *p = resourceLookupPixmap(drawable))
    return x >= 0 && y >= 0 && int64_t(x) + width <= p->width && int64_t(y) + height <= p->height;
  auto *w = static_cast<WindowRecord *>(resourceLookupWindow(drawable));
  if (!w) return 1;
  if (!w->viewable) return 0;
  // As the X server judges it: inside the window's border box and inside the screen. Other
  // windows covering the area do not matter (their pixels are what the client then reads).
  int64_t b = w->borderWidth;
  if (x < -b || y < -b || int64_t(x) + width > w->width + b || int64_t(y) + height > w->height + b) return 0;
  int64_t rx = int64_t(w->x) + x, ry = int64_t(w->y) + y;
  const MetaScreen *s = w->screen;
  return s && rx >= 0 && ry >= 0 && rx + width <= s->width && ry + height <= s->height;
}
