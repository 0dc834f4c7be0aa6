// Pointer and focus queries: TranslateCoordinates goes to the head under the point it asks
// about, GetInputFocus to the real server as it came; their replies name windows the way the
// client knows them.
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/park.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xcoreshift.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

constexpr uint8_t kTagTranslateCoordinates = 40;

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
  // Copies placed apart on the head: the point is asked in the source's copy, the answer comes
  // in the destination's copy and is moved back (also by the source's shift where the point
  // could not be moved into 16 bits).
  XcoreCopyShift source, destination;
  int fromApart = xcoreCopyShiftOf(wireGet32(request + 4), head, &source);
  int intoApart = xcoreCopyShiftOf(wireGet32(request + 8), head, &destination);
  int64_t x = int16_t(wireGet16(request + 12)) + source.dx, y = int16_t(wireGet16(request + 14)) + source.dy;
  bool moved = fromApart && xcoreFits16(x) && xcoreFits16(y);
  uint8_t *copy = xcoreFrameForwardToHead(request, length, head, fields);
  if (!copy || !(fromApart || intoApart)) return;
  if (moved) {
    wirePut16(copy + 12, uint16_t(x));
    wirePut16(copy + 14, uint16_t(y));
  }
  int64_t backX = (moved ? 0 : source.dx) - destination.dx, backY = (moved ? 0 : source.dy) - destination.dy;
  if (!backX && !backY) return;
  DisplayConnection *connection = xcoreFrameConnection();
  // Both moves in one word; the low bit set so that the word is never 0.
  uint64_t word = uint64_t(uint32_t(int32_t(std::clamp<int64_t>(backX, INT32_MIN / 2, INT32_MAX / 2)))) << 32 |
                  uint32_t(int32_t(std::clamp<int64_t>(backY, INT32_MIN / 2, INT32_MAX / 2)) * 2 + 1);
  if (connection) xproxyPushReplyCallback(connection, kTagTranslateCoordinates, uintptr_t(word), nullptr);
}

void xcoreTranslateCoordinatesReply(uint8_t *reply, uint32_t length) {
  xcoreFrameMapWindowBack(reply, 8);
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uint64_t word = connection ? xproxyTakeReplyCallback(connection, kTagTranslateCoordinates) : 0;
  if (word && length >= 16) {
    int64_t backX = int32_t(uint32_t(word >> 32)), backY = int32_t(uint32_t(word)) >> 1;
    wirePut16(reply + 12, uint16_t(int16_t(wireGet16(reply + 12)) + backX));
    wirePut16(reply + 14, uint16_t(int16_t(wireGet16(reply + 14)) + backY));
  }
  xcoreFrameWriteReply(reply, length, "bbsiiss");
}

void xcoreGetInputFocus(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  xcoreFrameForwardOnce(request, length);
}

void xcoreGetInputFocusReply(uint8_t *reply, uint32_t length) {
  xcoreFrameMapWindowBack(reply, 8);
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
  xcoreFrameMapWindowBack(reply, 12);
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
    MainRealPointer real{};
    if (asked && display && mainQueryRealPointer(display, asked->root, "QueryPointer", &real) && real.root)
      head = mainFindHeadByRoot(serverDisplay, real.root);
    if (head && head->metaScreen) {
      metaX = real.rootX, metaY = real.rootY;
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
    } else if (XcoreCopyShift shift; window && xcoreCopyShiftOf(windowId, head, &shift)) {
      // The real server answered from the inside of a copy placed apart: moved back as a
      // window in place would answer (16 bits, as the real server keeps them).
      wirePut16(reply + 20, uint16_t(int64_t(int16_t(wireGet16(reply + 20))) - shift.dx));
      wirePut16(reply + 22, uint16_t(int64_t(int16_t(wireGet16(reply + 22))) - shift.dy));
    }
    wirePut32(reply + 8, head->metaScreen->root);
  } else {
    wirePut32(reply + 8, mainServerToProxyXid(root, serverDisplay));
  }
  wirePut16(reply + 16, uint16_t(int16_t(std::clamp<int32_t>(metaX, INT16_MIN, INT16_MAX))));
  wirePut16(reply + 18, uint16_t(int16_t(std::clamp<int32_t>(metaY, INT16_MIN, INT16_MAX))));
  xcoreFrameWriteReply(reply, length, "bbsiiisssss");
}

namespace {
void warpPointerSynced(uint8_t *request, uint32_t length, const char *failure);
}  // namespace

void xcoreWarpPointer(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiS", 24, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t sourceId = wireGet32(request + 4);
  if (sourceId && !xcoreFrameResolve(sourceId, kXcoreWantWindow, kBadWindow, request, length)) return;
  // The pointer is asked of the server, and a crossing made, once the client's requests have
  // reached it: the client waits for that parked, while the others are served.
  ClientConnection *client = xproxyCurrentClient;
  if (client->displayCount && mainServerDisplays && mainServerDisplays->display)
    return xproxyParkClient(client, nullptr, request, length, warpPointerSynced);
  warpPointerSynced(request, length, nullptr);
}

namespace {
void warpPointerSynced(uint8_t *request, uint32_t length, const char *failure) {
  if (failure) {
    LOG(logChannelProblem, "%s", failure);
    return;
  }
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
  if (const char *error = xproxyQueryPointerPosition(&head, &x, &y)) {
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
  // Another client's grab that the warp carries holds this client in nothing.
  mainPointerTrack(kCorePointerDevice, client, screen, int32_t(std::clamp<int64_t>(targetX, INT32_MIN, INT32_MAX)),
                   int32_t(std::clamp<int64_t>(targetY, INT32_MIN, INT32_MAX)), 0);
}
}  // namespace
// ===== end of pointer requests =====

// ===== passive grabs, server grab, freezes and focus =====
#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/xcorepassive.h"
#include "proxy/xproto.h"
#include "support/rect.h"

namespace {

constexpr uint8_t kBadValue = 2, kBadCursor = 6, kBadMatch = 8;
constexpr uint16_t kAnyModifier = 0x8000;

// Modifiers are AnyModifier or a mask of the eight modifier bits.
bool modifiersValid(uint16_t modifiers) { return modifiers == kAnyModifier || (modifiers & 0xff00) == 0; }

// The client's passive grabs of the window that a (un)grab of detail and modifiers replaces:
// the same detail (or any, 0, in the request) and the same modifiers (or AnyModifier in it).
void freeMatchingGrabs(ClientConnection *client, uint32_t window, uint8_t detail, uint16_t modifiers, bool keys) {
  PassiveGrab *first = client->passiveGrabs;
  if (!first) return;
  std::vector<PassiveGrab *> doomed;
  PassiveGrab *entry = first;
  do {
    bool isKey = entry->cursor == kPassiveGrabKeyMarker;
    if (isKey == keys && entry->window == window && (detail == 0 || entry->detail == detail) &&
        (modifiers == kAnyModifier || entry->modifiers == modifiers))
      doomed.push_back(entry);
    entry = entry->next;
  } while (entry && entry != first);
  for (PassiveGrab *g : doomed) xcoreFreeGrab(g, client);
}

// The client's grabs that the new one replaces are freed and the new one appended.
bool replacePassiveGrab(ClientConnection *client, const PassiveGrab &values) {
  freeMatchingGrabs(client, values.window, values.detail, values.modifiers, values.cursor == kPassiveGrabKeyMarker);
  return xcoreAddGrab(client, values) != nullptr;
}

struct PerHeadCopy {
  const XcoreIdField *fields;
  int eventMaskAt;  // 0: none
};
int copyForHead(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *argument) {
  auto *how = static_cast<PerHeadCopy *>(argument);
  uint8_t *copy = xcoreFrameCopyForHead(request, length, connection, head, how->fields);
  if (!copy) return 0;
  if (how->eventMaskAt) wirePut16(copy + how->eventMaskAt, uint16_t(xproxyServerEventMask(wireGet16(copy + how->eventMaskAt))));
  return 1;
}

bool keyInRange(uint8_t key) { return key == 0 || (key >= proxyState.minKeycode && key <= proxyState.maxKeycode); }

}  // namespace

void xcoreGrabButton(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsisbbiibbs", 24, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  ClientConnection *client = xproxyCurrentClient;
  uint8_t ownerEvents = request[1], pointerMode = request[10], keyboardMode = request[11], button = request[20];
  uint16_t eventMask = wireGet16(request + 8), modifiers = wireGet16(request + 22);
  uint32_t window = wireGet32(request + 4), confineTo = wireGet32(request + 12), cursorId = wireGet32(request + 16);
  if (pointerMode > 1) return xprotoSendError(kBadValue, pointerMode, request, length, "pointer-mode");
  if (keyboardMode > 1) return xprotoSendError(kBadValue, keyboardMode, request, length, "keyboard-mode");
  if (!modifiersValid(modifiers)) return xprotoSendError(kBadValue, modifiers, request, length, "modifiers");
  if (ownerEvents > 1) return xprotoSendError(kBadValue, ownerEvents, request, length, "owner-events");
  if (eventMask & 0x8003) return xprotoSendError(kBadValue, eventMask, request, length, "event-mask");
  if (!xcoreFrameResolve(window, kXcoreWantWindow, kBadWindow, request, length)) return;
  if (confineTo && !windowOf(confineTo)) return xprotoSendError(kBadWindow, confineTo, request, length, "confine-to");
  CursorRecord *cursor = nullptr;
  if (cursorId) {
    cursor = static_cast<CursorRecord *>(resourceLookupByType(cursorId, ResourceType(kResourceCursor)));
    if (!cursor) return xprotoSendError(kBadCursor, cursorId, request, length, nullptr);
  }
  PassiveGrab values{nullptr, nullptr, window, confineTo, cursor, eventMask, modifiers, ownerEvents, button, pointerMode,
                     keyboardMode};
  if (!replacePassiveGrab(client, values)) return xprotoSendError(11, 0, request, length, nullptr);
  if (cursor) cursor->refCount++;  // the entry's reference
  // A confine-to window other than the grab window cannot be confined to on one head alone.
  if (confineTo && confineTo != window) wirePut32(request + 12, 0);
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {12, kResourceWindow}, {16, kResourceCursor}, {0, 0}};
  PerHeadCopy how{fields, 8};
  xcoreFramePerHead(request, length, 0, copyForHead, &how);
}

void xcoreUngrabButton(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsis", 12, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint16_t modifiers = wireGet16(request + 8);
  uint32_t window = wireGet32(request + 4);
  if (!modifiersValid(modifiers)) return xprotoSendError(kBadValue, modifiers, request, length, "modifiers");
  if (!xcoreFrameResolve(window, kXcoreWantWindow, kBadWindow, request, length)) return;
  freeMatchingGrabs(xproxyCurrentClient, window, request[1], modifiers, false);
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {0, 0}};
  PerHeadCopy how{fields, 0};
  xcoreFramePerHead(request, length, 0, copyForHead, &how);
}

void xcoreGrabKey(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsisbbb", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint8_t ownerEvents = request[1], key = request[10], pointerMode = request[11], keyboardMode = request[12];
  uint16_t modifiers = wireGet16(request + 8);
  uint32_t window = wireGet32(request + 4);
  if (ownerEvents > 1) return xprotoSendError(kBadValue, ownerEvents, request, length, "owner-events");
  if (pointerMode > 1) return xprotoSendError(kBadValue, pointerMode, request, length, "pointer-mode");
  if (keyboardMode > 1) return xprotoSendError(kBadValue, keyboardMode, request, length, "keyboard-mode");
  if (!keyInRange(key)) return xprotoSendError(kBadValue, key, request, length, "invalid key");
  if (!modifiersValid(modifiers)) return xprotoSendError(kBadValue, modifiers, request, length, "modifiers");
  if (!xcoreFrameResolve(window, kXcoreWantWindow, kBadWindow, request, length)) return;
  ClientConnection *client = xproxyCurrentClient;
  PassiveGrab values{nullptr, nullptr, window, 0, kPassiveGrabKeyMarker, 0, modifiers, ownerEvents, key, pointerMode,
                     keyboardMode};
  if (!replacePassiveGrab(client, values)) return xprotoSendError(11, 0, request, length, nullptr);
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {0, 0}};
  PerHeadCopy how{fields, 0};
  xcoreFramePerHead(request, length, 0, copyForHead, &how);
}

void xcoreUngrabKey(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiss", 12, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint16_t modifiers = wireGet16(request + 8);
  uint32_t window = wireGet32(request + 4);
  if (!xcoreFrameResolve(window, kXcoreWantWindow, kBadWindow, request, length)) return;
  if (!keyInRange(request[1])) return xprotoSendError(kBadValue, request[1], request, length, "key");
  if (!modifiersValid(modifiers)) return xprotoSendError(kBadValue, modifiers, request, length, "modifiers");
  freeMatchingGrabs(xproxyCurrentClient, window, request[1], modifiers, true);
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {0, 0}};
  PerHeadCopy how{fields, 0};
  xcoreFramePerHead(request, length, 0, copyForHead, &how);
}

namespace {
// The holder of the emulated server grab while it is still a client.
ClientConnection *serverGrabHolder() {
  ClientConnection *holder = proxyState.serverGrabClient;
  for (ClientConnection *c = xproxyClients; holder && c; c = c->next)
    if (c == holder) return holder;
  proxyState.serverGrabClient = nullptr;
  return nullptr;
}
}  // namespace

void xcoreGrabServer(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  if (serverGrabHolder()) {
    xcoreFrameRefuse("Already grabbed in %s by %s", request);
    return;
  }
  proxyState.serverGrabClient = xproxyCurrentClient;
  miscSuspendOtherClients(xproxyCurrentClient);
  if (xcoreWorkaround(kWorkaroundActiveDrawInWindow)) mainResetHeadRegions();
}

void xcoreUngrabServer(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  if (serverGrabHolder() != xproxyCurrentClient) {
    xcoreFrameRefuse("Not grab client in %s by %s", request);
    return;
  }
  proxyState.serverGrabClient = nullptr;
  miscRescheduleAllClients();
  if (xcoreWorkaround(kWorkaroundActiveDrawInWindow)) mainFlushHeadRegions();
}

int xcoreCheckAllowEventsTime(ClientConnection *client, uint32_t time) {
  if (time == 0) return 1;
  uint32_t now = proxyState.serverTime;
  const char *name = xscreenClientName(client);
  unsigned number = client ? unsigned(client->sequence) : 0;
  if (int32_t(time - now) > 0) {
    LOG(logChannelXhint, "Time too new in AllowEvents #%u (0x%x > 0x%x) by %s", number, time, now, name);
    return 0;
  }
  const auto &pg = proxyState.pointerGrab;
  if (pg.client == client && client && int32_t(time - pg.time) < 0) {
    LOG(logChannelXhint, "Time too old in AllowEvents #%u (0x%x < 0x%x) by %s", number, time, pg.time, name);
    return 0;
  }
  const auto &kg = proxyState.keyboardGrab;
  if (kg.client == client && client && int32_t(time - kg.time) < 0) {
    LOG(logChannelXhint, "Time too old in AllowEvents #%u (0x%x < 0x%x) by %s", number, time, kg.time, name);
    return 0;
  }
  return 1;
}

namespace {
// The freeze bracket: while a frozen grab is in force the heads report no LeaveWindow.
bool frozenGrab() {
  return (proxyState.pointerGrab.client && proxyState.pointerFreeze.client) ||
         (proxyState.keyboardGrab.client && proxyState.keyboardFreeze.client);
}

// The bracket synchronises the client's connections around its request: the client first waits
// parked until its earlier requests have reached the server (a client the server holds back
// holds only itself), and the request goes on from the park.
bool bracketParks(const ClientConnection *client) {
  return frozenGrab() && client->displayCount && mainServerDisplays && mainServerDisplays->display;
}

// The client whose connections the bracket synchronises: none after a park that gave up (the
// server holds its requests back; the bracket then only flushes).
ClientConnection *bracketClient(const char *failure) {
  if (failure) LOG(logChannelProblem, "%s", failure);
  return failure ? nullptr : xproxyCurrentClient;
}

// The freeze bracket around one forwarded copy (`syncing`: see bracketClient).
void forwardInBracket(ClientConnection *syncing, const uint8_t *request, uint32_t length) {
  bool bracket = frozenGrab();
  if (bracket) mainSelectInputOnHeads(syncing, 0);
  xcoreFrameForwardOnce(request, length);
  if (bracket) mainSelectInputOnHeads(syncing, 0x20);
}

void allowEventsSynced(uint8_t *request, uint32_t length, const char *failure);
}  // namespace

void xcoreAllowEvents(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint8_t mode = request[1];
  if (mode >= 8) return xprotoSendError(kBadValue, mode, request, length, nullptr);
  if (bracketParks(xproxyCurrentClient))
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, allowEventsSynced);
  allowEventsSynced(request, length, nullptr);
}

namespace {
void allowEventsSynced(uint8_t *request, uint32_t length, const char *failure) {
  uint8_t mode = request[1];
  static const char *const names[8] = {"AsyncPointer", "SyncPointer", "ReplayPointer", "AsyncKeyboard",
                                       "SyncKeyboard", "ReplayKeyboard", "AsyncBoth", "SyncBoth"};
  ClientConnection *client = xproxyCurrentClient;
  auto &pf = proxyState.pointerFreeze, &kf = proxyState.keyboardFreeze;
  bool holdsPointer = proxyState.pointerGrab.client == client, holdsKeyboard = proxyState.keyboardGrab.client == client;
  bool condition = false;
  switch (mode) {
    case 0: condition = pf.client == client; break;
    case 1: condition = holdsPointer && pf.client == client; break;
    case 2: condition = holdsPointer && pf.client && pf.mode == 5; break;
    case 3: condition = kf.client == client; break;
    case 4: condition = holdsKeyboard && kf.client == client; break;
    case 5: condition = holdsKeyboard && kf.client && kf.mode == 5; break;
    default: condition = pf.client == client && kf.client == client; break;
  }
  uint32_t time = wireGet32(request + 4);
  if (condition) {
    if (!xcoreCheckAllowEventsTime(client, time)) return;
    switch (mode) {
      case 0: windowClearPointerFreeze(); break;
      case 1: windowClearPointerFreeze(), pf.mode = 1; break;
      case 2: windowUngrabPointer(256, client, 0); break;
      case 3: windowClearKeyboardFreeze(); break;
      case 4: windowClearKeyboardFreeze(), kf.mode = 1; break;
      case 5: windowUngrabKeyboard(257, client, 0); break;
      case 6: windowClearPointerFreeze(), windowClearKeyboardFreeze(); break;
      case 7: windowClearPointerFreeze(), windowClearKeyboardFreeze(), pf.mode = 2, kf.mode = 2; break;
    }
    wirePut32(request + 4, 0);
  } else {
    LOG(logChannelXhint, "%s has no effect in %s by %s", names[mode], xprotoRequestLabel(request),
        xscreenClientName(client));
  }
  forwardInBracket(bracketClient(failure), request, length);
}
}  // namespace

void xcoreSetInputFocus(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsii", 12, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  ClientConnection *client = xproxyCurrentClient;
  uint8_t revertTo = request[1];
  uint32_t focus = wireGet32(request + 4), time = wireGet32(request + 8);
  if (revertTo >= 3) return xprotoSendError(kBadValue, revertTo, request, length, "invalid revertTo");
  WindowRecord *window = nullptr;
  if (focus >= 2) {
    if (!xcoreFrameResolve(focus, kXcoreWantWindow, kBadWindow, request, length)) return;
    window = windowOf(focus);
    if (!window || !window->realized) return xprotoSendError(kBadMatch, focus, request, length, "unviewable");
  }
  uint32_t now = proxyState.serverTime;
  if (time && int32_t(time - proxyState.focusTime) < 0) {
    LOG(logChannelXhint, "Time too old in %s (0x%x < 0x%x) by %s", xprotoRequestLabel(request), time,
        proxyState.focusTime, xscreenClientName(client));
    return;
  }
  if (time && int32_t(time - now) > 0) {
    LOG(logChannelXhint, "Time too new in %s (0x%x > 0x%x) by %s", xprotoRequestLabel(request), time, now,
        xscreenClientName(client));
    return;
  }
  proxyState.focusTime = time ? time : now;
  wirePut32(request + 8, 0);
  proxyState.focusWindow = focus;
  proxyState.focusRevertTo = revertTo;
  Head *pointer = proxyState.pointerHead;
  Head *head = pointer;
  if (window && !(pointer && window->screen == pointer->metaScreen)) head = window->screen ? window->screen->heads : pointer;
  proxyState.focusHead = head;
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy || !head) return;
  uint32_t serverFocus = focus;
  if (focus >= 2) {
    if (head == pointer)
      serverFocus = mainServerIdOnPointerHead(focus);
    else
      serverFocus = window->screen && focus == window->screen->root ? uint32_t(head->innerWindow ? head->innerWindow : head->root)
                                                                    : resourceServerId(focus, kResourceWindow, head);
  }
  wirePut32(copy + 4, serverFocus);
}
// ===== end of passive grabs, server grab, freezes and focus =====

// ===== active grabs =====
namespace {

constexpr uint8_t kTagGrabPointer = 26, kTagGrabKeyboard = 31;

// What a GrabPointer or GrabKeyboard asked for, kept until the real server's reply.
struct GrabRecord {
  uint32_t window, confineTo, cursor, time;
  uint16_t eventMask;
  uint8_t ownerEvents, pointerMode, keyboardMode;
};

GrabRecord *newGrabRecord() { return static_cast<GrabRecord *>(calloc(1, sizeof(GrabRecord))); }

// How GrabPointer asks the pointer's place for a confine-to window: without a park (the question
// then asks nothing of the real server), after the client waited parked for its requests to
// reach the server, or not at all (that wait failed).
constexpr int kGrabQueryUnparked = 0, kGrabQuerySynced = 1, kGrabQueryNone = 2;

// The pointer rule: the pointer head when the window lies on its meta screen (or with one meta
// screen, or for a window id of 2 or less), else the first head of the window's meta screen.
Head *pointerRuleHead(uint32_t window) {
  Head *pointer = proxyState.pointerHead;
  if (pointer && (window <= 2 || !xscreenList || !xscreenList->next)) return pointer;
  WindowRecord *w = windowOf(window);
  if (pointer && w && w->screen == pointer->metaScreen) return pointer;
  return w && w->screen ? w->screen->heads : pointer ? pointer : xcoreFrameFirstHeadOf(window);
}

const char *grabStatusText(uint8_t status) {
  switch (status) {
    case 1: return "ALREADY GRABBED";
    case 2: return "INVALID TIME";
    case 3: return "NOT VIEWABLE";
    case 4: return "FROZEN";
    default: return "UNKNOWN MODE";
  }
}

}  // namespace

namespace {
void grabPointer(uint8_t *request, uint32_t length, int query);
void grabPointerSynced(uint8_t *request, uint32_t length, const char *failure) {
  if (failure) LOG(logChannelProblem, "%s", failure);
  grabPointer(request, length, failure ? kGrabQueryNone : kGrabQuerySynced);
}
}  // namespace

void xcoreGrabPointer(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsisbbiii", 24, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  // A confine-to window has the pointer asked of the server, and a crossing made, once the
  // client's requests have reached it: the client waits for that parked, while the others are
  // served.
  ClientConnection *client = xproxyCurrentClient;
  WindowRecord *confine = windowOf(wireGet32(request + 12));
  if (confine && confine->realized && confine->screen && client->displayCount && mainServerDisplays &&
      mainServerDisplays->display)
    return xproxyParkClient(client, nullptr, request, length, grabPointerSynced);
  grabPointer(request, length, kGrabQueryUnparked);
}

namespace {
// query: how the pointer's place is asked for a confine-to window (kGrabQuery...).
void grabPointer(uint8_t *request, uint32_t length, int query) {
  ClientConnection *client = xproxyCurrentClient;
  const char *name = xscreenClientName(client);
  GrabRecord *record = newGrabRecord();
  if (!record) return xprotoSendError(11, 0, request, length, nullptr);
  record->ownerEvents = request[1];
  record->window = wireGet32(request + 4);
  record->eventMask = wireGet16(request + 8);
  record->pointerMode = request[10];
  record->keyboardMode = request[11];
  record->confineTo = wireGet32(request + 12);
  record->cursor = wireGet32(request + 16);
  uint32_t time = wireGet32(request + 20);
  record->time = time ? time : proxyState.serverTime;
  // Checks that only decide whether the proxy moves the pointer itself first.
  bool usable = true;
  WindowRecord *window = windowOf(record->window);
  if (!window || !window->realized) LOG(logChannelXhint, "Invalid grab window 0x%x in GrabPointer", record->window), usable = false;
  if (record->cursor && !resourceLookupByType(record->cursor, ResourceType(kResourceCursor)))
    LOG(logChannelXhint, "Unknown cursor 0x%x in GrabPointer", record->cursor), usable = false;
  if (record->pointerMode > 1) LOG(logChannelXhint, "Invalid pointer mode %d in GrabPointer", record->pointerMode), usable = false;
  if (record->keyboardMode > 1) LOG(logChannelXhint, "Bad keyboard mode %d in GrabPointer", record->keyboardMode), usable = false;
  if (time) {
    uint32_t grabTime = proxyState.pointerGrab.time;
    if (proxyState.pointerGrab.client && int32_t(time - grabTime) < 0) {
      LOG(logChannelXhint, "Time too old in GrabPointer (0x%x < 0x%x) by %s", time, grabTime, name);
      usable = false;
    } else if (int32_t(time - proxyState.serverTime) > 0) {
      LOG(logChannelXhint, "Time too new in GrabPointer (0x%x > 0x%x) by %s", time, proxyState.serverTime, name);
      usable = false;
    } else {
      wirePut32(request + 20, 0);
    }
  }
  WindowRecord *confine = record->confineTo ? windowOf(record->confineTo) : nullptr;
  if (record->confineTo && !confine) LOG(logChannelXhint, "Bad confineTo window 0x%x in GrabPointer", record->confineTo), usable = false;
  Head *head = nullptr;
  if (usable && query != kGrabQueryNone && confine && confine->realized && confine->screen) {
    Head *pointer = nullptr;
    int32_t x = 0, y = 0;
    if (const char *error = xproxyQueryPointerPosition(&pointer, &x, &y)) {
      LOG(logChannelProblem, "%s", error);
    } else {
      if (!pointer || pointer->metaScreen != confine->screen) x = y = 0;
      // Into the window's region as one screen has it: the head it lands on is one the region
      // reaches, and the pointer is put there first (the real server confines the pointer only
      // to a copy on the screen it is on).
      mainConfinePoint(confine, nullptr, &x, &y);
      Head *at = mainHeadAt(confine->screen, x, y);
      auto &g = proxyState.pointerGrab;
      if (at && at != pointer && (!g.client || g.client == client)) {
        // The client's own earlier grab, which this one replaces, does not confine the move.
        WindowRecord *earlier = std::exchange(g.confineTo, nullptr);
        mainPointerTrack(kCorePointerDevice, client, confine->screen, x, y, 0);
        g.confineTo = earlier;
        head = at;
      }
    }
  }
  if (!head) head = pointerRuleHead(record->window);
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {12, kResourceRealRoot}, {16, kResourceCursor}, {0, 0}};
  uint8_t *copy = xcoreFrameForwardToHead(request, length, head, fields);
  if (!copy) {
    free(record);
    return;
  }
  wirePut16(copy + 8, uint16_t(xproxyServerEventMask(record->eventMask)));
  // A copy on another head than the pointer's (a confinement of the client's earlier grab kept
  // the pointer off it), or one whose region does not reach the head, is no confinement the real
  // server can satisfy: the grab goes there without one, and the proxy keeps the pointer in the
  // window's region. (A region empty on every head is left to the real server, which answers
  // such a window as not viewable.)
  if (confine && head && (head != proxyState.pointerHead || !mainConfinementReaches(confine, head)) &&
      mainConfinementReaches(confine, nullptr))
    wirePut32(copy + 12, 0);
  xcoreFramePushRecord(kTagGrabPointer, record);
}
}  // namespace

void xcoreGrabPointerReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  auto *record = connection ? reinterpret_cast<GrabRecord *>(xproxyTakeReplyCallback(connection, kTagGrabPointer)) : nullptr;
  ClientConnection *client = connection ? connection->owner : xproxyCurrentClient;
  if (!record) {
    // A grab the proxy made itself: its failures are logged, nothing goes to a client.
    if (reply[1])
      LOG(logChannelXhint, "%s in internal GrabPointer reply from %s by %s", grabStatusText(reply[1]),
          connection && connection->display && connection->display->name ? connection->display->name : "(none)",
          xscreenClientName(client));
    return;
  }
  if (reply[1] == 0) {
    if (proxyState.pointerGrab.client) windowUngrabPointer(kCorePointerDevice, proxyState.pointerGrab.client, 0);
    auto *cursor = record->cursor ? static_cast<CursorRecord *>(resourceLookupByType(record->cursor, ResourceType(kResourceCursor)))
                                  : nullptr;
    windowGrabPointer(kCorePointerDevice, client, record->window, record->confineTo, record->ownerEvents, record->eventMask,
                      record->pointerMode, record->keyboardMode, cursor, record->time, 0);
  }
  free(record);
  xcoreFrameWriteReply(reply, length, "bbsiiiiiii");
}

namespace {
void ungrabPointerSynced(uint8_t *request, uint32_t length, const char *failure) {
  ClientConnection *client = xproxyCurrentClient;
  uint32_t time = wireGet32(request + 4);
  if (!windowCheckUngrabPointer(kCorePointerDevice, client, time)) return;
  wirePut32(request + 4, 0);
  forwardInBracket(bracketClient(failure), request, length);
  windowUngrabPointer(kCorePointerDevice, client, time);
}

void ungrabKeyboardSynced(uint8_t *request, uint32_t length, const char *failure) {
  ClientConnection *client = xproxyCurrentClient;
  if (!windowCheckUngrabKeyboard(257, client, wireGet32(request + 4))) return;
  forwardInBracket(bracketClient(failure), request, length);
  windowUngrabKeyboard(257, client, 0);
}
}  // namespace

void xcoreUngrabPointer(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  if (bracketParks(xproxyCurrentClient))
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, ungrabPointerSynced);
  ungrabPointerSynced(request, length, nullptr);
}

void xcoreGrabKeyboard(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiibb", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  GrabRecord *record = newGrabRecord();
  if (!record) return xprotoSendError(11, 24, request, length, nullptr);
  record->ownerEvents = request[1];
  record->window = wireGet32(request + 4);
  uint32_t time = wireGet32(request + 8);
  record->time = time ? time : proxyState.serverTime;
  record->pointerMode = request[12];
  record->keyboardMode = request[13];
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {0, 0}};
  if (!xcoreFrameForwardToHead(request, length, pointerRuleHead(record->window), fields)) {
    free(record);
    return;
  }
  xcoreFramePushRecord(kTagGrabKeyboard, record);
}

void xcoreGrabKeyboardReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  auto *record = connection ? reinterpret_cast<GrabRecord *>(xproxyTakeReplyCallback(connection, kTagGrabKeyboard)) : nullptr;
  if (!record) return;  // the proxy's own grab
  ClientConnection *client = connection->owner;
  if (reply[1] == 0) {
    if (proxyState.keyboardGrab.client) windowUngrabKeyboard(257, nullptr, 0);
    windowGrabKeyboard(257, client, record->window, record->ownerEvents, record->pointerMode, record->keyboardMode, 0,
                       record->time, 0);
  }
  free(record);
  xcoreFrameWriteReply(reply, length, "bbsiiiiiii");
}

void xcoreUngrabKeyboard(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  if (bracketParks(xproxyCurrentClient))
    return xproxyParkClient(xproxyCurrentClient, nullptr, request, length, ungrabKeyboardSynced);
  ungrabKeyboardSynced(request, length, nullptr);
}
// ===== end of active grabs =====

// ===== active pointer grab changes, motion history and the keymap =====
void xcoreChangeActivePointerGrab(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiss", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  ClientConnection *client = xproxyCurrentClient;
  uint32_t cursorId = wireGet32(request + 4), time = wireGet32(request + 8);
  uint16_t eventMask = wireGet16(request + 12);
  if (eventMask & 0x8003) return xprotoSendError(kBadValue, eventMask, request, length, "invalid event-mask");
  CursorRecord *cursor = nullptr;
  if (cursorId && !(cursor = static_cast<CursorRecord *>(resourceLookupByType(cursorId, ResourceType(kResourceCursor)))))
    return xprotoSendError(6, cursorId, request, length, nullptr);
  auto &g = proxyState.pointerGrab;
  const char *name = xscreenClientName(client);
  if (!client || g.client != client) {
    xcoreFrameRefuse("Not pointer grab client in %s by %s", request);
    return;
  }
  if (time && int32_t(time - g.time) < 0) {
    LOG(logChannelXhint, "Time too old in ChangeActivePointerGrab (0x%x < 0x%x) by %s", time, g.time, name);
    return;
  }
  if (time && int32_t(time - proxyState.serverTime) > 0) {
    LOG(logChannelXhint, "Time too new in ChangeActivePointerGrab (0x%x > 0x%x) by %s", time, proxyState.serverTime,
        name);
    return;
  }
  // The new cursor's reference is taken before the old one's is given back (they may be one).
  if (cursor) cursor->refCount++;
  if (g.cursor) resourceReleaseCursor(g.cursor);
  g.cursor = cursor;
  g.eventMask = eventMask;
  wirePut32(request + 8, 0);  // CurrentTime
  static const XcoreIdField fields[] = {{4, kResourceCursor}, {0, 0}};
  Head *head = proxyState.pointerHead ? proxyState.pointerHead : xcoreFrameFirstHeadOf(0);
  uint8_t *copy = xcoreFrameForwardToHead(request, length, head, fields);
  if (copy) wirePut16(copy + 12, uint16_t(xproxyServerEventMask(eventMask)));
}

void xcoreGetMotionEvents(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiii", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t window = wireGet32(request + 4);
  if (!xcoreFrameResolve(window, kXcoreWantWindow, kBadWindow, request, length)) return;
  Head *head = pointerRuleHead(window);
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {0, 0}};
  xcoreFrameForwardToHead(request, length, head, fields);
}

void xcoreGetMotionEventsReply(uint8_t *reply, uint32_t length) {
  // The count the server gives is bounded by the events the reply holds.
  uint64_t count = std::min<uint64_t>(wireGet32(reply + 8), length >= 32 ? (length - 32) / 8 : 0);
  for (uint64_t i = 0; i < count; i++) mainSetLastTime(wireGet32(reply + 32 + 8 * i));
  xcoreFrameWriteReply(reply, length, "bbsiiiiiii[iss]");
}

void xcoreQueryKeymap(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  xcoreFrameForwardOnce(request, length);
}

void xcoreQueryKeymapReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsi"); }
// ===== end of active pointer grab changes, motion history and the keymap =====
