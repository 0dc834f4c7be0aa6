// Pointer and focus queries: TranslateCoordinates goes to the head under the point it asks
// about, GetInputFocus to the real server as it came; their replies name windows the way the
// client knows them.
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"

#include <algorithm>

namespace {

// Maps the window id at the offset of the reply back to the client's id.
void mapWindowBack(uint8_t *reply, uint32_t offset) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ServerDisplay *display = connection ? connection->display : nullptr;
  wirePut32(reply + offset, mainServerToProxyXid(wireGet32(reply + offset), display));
}

// The head a TranslateCoordinates goes to: for a known source window the first head of its
// meta screen that holds the point (the window's position plus the offsets), else that meta
// screen's first head; without a source window the first head of the destination's meta
// screen, or of the source id's.
Head *translateHead(uint32_t source, uint32_t destination, int16_t x, int16_t y) {
  auto *window = static_cast<WindowRecord *>(resourceLookupByType(source, kResourceWindow));
  if (window && window->screen) {
    int64_t px = int64_t(window->x) + x, py = int64_t(window->y) + y;
    for (Head *head = window->screen->heads; head; head = head->next)
      if (px >= head->rect.x && px < int64_t(head->rect.x) + head->rect.width && py >= head->rect.y &&
          py < int64_t(head->rect.y) + head->rect.height)
        return head;
    return window->screen->heads;
  }
  MetaScreen *screen = resourceMetaScreenOf(destination);
  if (!screen) screen = resourceMetaScreenOfId(source);
  return screen ? screen->heads : nullptr;
}

}  // namespace

void xcoreTranslateCoordinates(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiss", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {8, kResourceWindow}, {0, 0}};
  Head *head = translateHead(wireGet32(request + 4), wireGet32(request + 8), int16_t(wireGet16(request + 12)),
                             int16_t(wireGet16(request + 14)));
  xcoreFrameForwardToHead(request, length, head, fields);
}

void xcoreTranslateCoordinatesReply(uint8_t *reply, uint32_t length) {
  mapWindowBack(reply, 8);
  xcoreFrameWriteReply(reply, length, "bbsiiss");
}

void xcoreGetInputFocus(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  xcoreFrameForwardOnce(request, length);
}

void xcoreGetInputFocusReply(uint8_t *reply, uint32_t length) {
  mapWindowBack(reply, 8);
  xcoreFrameWriteReply(reply, length, "bbsii");
}

// ===== pointer requests =====
#include "proxy/korvanparser.h"
#include "support/logging.h"

#include <X11/Xlib.h>

namespace {

constexpr uint8_t kTagQueryPointer = 38;
constexpr uint8_t kBadWindow = 3;
constexpr int kCorePointerDevice = 256;

WindowRecord *windowOf(uint32_t id) { return static_cast<WindowRecord *>(resourceLookupWindow(id)); }

}  // namespace

void xcoreQueryPointer(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameResolve(id, kXcoreWantWindow, kBadWindow, request, length)) return;
  WindowRecord *window = windowOf(id);
  Head *head = proxyState.pointerHead;
  bool onPointerScreen = head && window && window->screen == head->metaScreen;
  if (!head) head = xcoreFrameFirstHeadOf(id);
  if (!head) return;
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) return;
  // A window of another meta screen is asked about through the pointer head's own root.
  wirePut32(copy + 4, onPointerScreen ? resourceServerId(id, kResourceWindow, head) : uint32_t(head->root));
  if (DisplayConnection *connection = xcoreFrameConnection())
    xproxyPushReplyCallback(connection, kTagQueryPointer, id, nullptr);
}

void xcoreQueryPointerReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  // The pointer poll's own query: its answer moves the pointer state and reaches no client.
  if (connection && xproxyTakeReplyCallback(connection, kReplyTagPointerPoll)) {
    mainQueryPointerReply(reply, reinterpret_cast<uintptr_t>(connection));
    return;
  }
  uint32_t windowId = connection ? uint32_t(xproxyTakeReplyCallback(connection, kTagQueryPointer)) : 0;
  ServerDisplay *serverDisplay = connection ? connection->display : nullptr;
  Display *display = serverDisplay ? serverDisplay->display : nullptr;
  mapWindowBack(reply, 12);
  uint32_t root = wireGet32(reply + 8);
  int32_t rootX = int16_t(wireGet16(reply + 16)), rootY = int16_t(wireGet16(reply + 18));
  Head *head = nullptr;
  int32_t metaX = rootX, metaY = rootY;
  int clamped = 0;
  if (!mainQueryPointer(display, root, rootX, rootY, &head, &metaX, &metaY, &clamped) &&
      xcoreWorkaround(kWorkaroundFixPointerCoordinates)) {
    LOG(logChannelXhint, "Server pointer bugfix or out of view window");
    head = nullptr;
    Head *asked = serverDisplay ? mainFindHeadByRoot(serverDisplay, root) : nullptr;
    Window realRoot = 0, child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    if (asked && display && XQueryPointer(display, asked->root, &realRoot, &child, &x, &y, &wx, &wy, &mask))
      head = mainFindHeadByRoot(serverDisplay, realRoot);
    if (head && head->metaScreen) {
      metaX = x, metaY = y;
      xproxyHeadToRootXY(&metaX, &metaY, head);
      metaX = std::clamp<int32_t>(metaX, 0, int32_t(std::max(1u, head->metaScreen->width)) - 1);
      metaY = std::clamp<int32_t>(metaY, 0, int32_t(std::max(1u, head->metaScreen->height)) - 1);
    } else {
      LOG_UNE();
    }
  }
  if (head && head->metaScreen) {
    WindowRecord *window = windowOf(windowId);
    if (window && window->screen != head->metaScreen) {
      reply[1] = 0;
      wirePut16(reply + 20, 0);
      wirePut16(reply + 22, 0);
    } else if (window && !reply[1]) {
      int32_t wx = 0, wy = 0;
      reply[1] = 1;
      if (windowPosition(windowId, &wx, &wy)) {
        wirePut16(reply + 20, uint16_t(int16_t(std::clamp<int64_t>(int64_t(metaX) - wx, INT16_MIN, INT16_MAX))));
        wirePut16(reply + 22, uint16_t(int16_t(std::clamp<int64_t>(int64_t(metaY) - wy, INT16_MIN, INT16_MAX))));
      }
    }
    wirePut32(reply + 8, head->metaScreen->root);
  } else {
    wirePut32(reply + 8, mainServerToProxyXid(root, serverDisplay));
  }
  wirePut16(reply + 16, uint16_t(int16_t(std::clamp<int32_t>(metaX, INT16_MIN, INT16_MAX))));
  wirePut16(reply + 18, uint16_t(int16_t(std::clamp<int32_t>(metaY, INT16_MIN, INT16_MAX))));
  xcoreFrameWriteReply(reply, length, "bbsiiisssss");
}

void xcoreWarpPointer(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiS", 24, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  ClientConnection *client = xproxyCurrentClient;
  uint32_t sourceId = wireGet32(request + 4), destinationId = wireGet32(request + 8);
  int32_t sourceX = int16_t(wireGet16(request + 12)), sourceY = int16_t(wireGet16(request + 14));
  uint32_t sourceWidth = wireGet16(request + 16), sourceHeight = wireGet16(request + 18);
  int32_t destinationX = int16_t(wireGet16(request + 20)), destinationY = int16_t(wireGet16(request + 22));
  WindowRecord *source = nullptr;
  if (sourceId) {
    if (!xcoreFrameResolve(sourceId, kXcoreWantWindow, kBadWindow, request, length)) return;
    source = windowOf(sourceId);
  }
  Head *head = nullptr;
  int32_t x = 0, y = 0;
  if (const char *error = xproxyQueryPointerPosition(client, &head, &x, &y)) {
    LOG(logChannelProblem, "%s", error);
    return;
  }
  if (!head || !head->metaScreen) return;
  if (source) {
    // Width and height 0 reach to the window's far edge, as the protocol has it.
    int64_t left = int64_t(source->x) + sourceX, top = int64_t(source->y) + sourceY;
    int64_t width = sourceWidth ? int64_t(sourceWidth) : int64_t(source->width) - sourceX;
    int64_t height = sourceHeight ? int64_t(sourceHeight) : int64_t(source->height) - sourceY;
    if (source->screen != head->metaScreen || x < left || y < top || x >= left + width || y >= top + height) {
      xcoreFrameRefuse(kXcoreNoEffect, request);
      return;
    }
  }
  MetaScreen *screen = head->metaScreen;
  int64_t targetX = int64_t(x) + destinationX, targetY = int64_t(y) + destinationY;
  if (destinationId) {
    if (!xcoreFrameResolve(destinationId, kXcoreWantWindow, kBadWindow, request, length)) return;
    WindowRecord *destination = windowOf(destinationId);
    if (!destination || !destination->screen) return;
    screen = destination->screen;
    targetX = int64_t(destination->x) + destinationX;
    targetY = int64_t(destination->y) + destinationY;
  }
  mainPointerTrack(kCorePointerDevice, client, screen, int32_t(std::clamp<int64_t>(targetX, INT32_MIN, INT32_MAX)),
                   int32_t(std::clamp<int64_t>(targetY, INT32_MIN, INT32_MAX)), 0);
}
// ===== end of pointer requests =====
