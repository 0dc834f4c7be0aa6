// The proxy's own record of the active pointer and keyboard grabs, the two device freezes and
// the input focus, and what unmapping and reconfiguring windows does to them.
#include <cstring>

#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/windowinternal.h"
#include "proxy/xcore.h"
#include "proxy/xcorepassive.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "xclient/region.h"

namespace {

constexpr uint32_t kGrabPollIntervalMs = 60;

WindowRecord *realizedWindow(uint32_t id) {
  auto *w = static_cast<WindowRecord *>(resourceLookupWindow(id));
  return w && w->realized ? w : nullptr;
}

const char *nameOf(ClientConnection *client) { return xscreenClientName(client); }

// The shared part of the two checks.
int checkUngrab(ClientConnection *owner, uint32_t grabTime, ClientConnection *client, uint32_t time,
                const char *request, bool noGrabMessage) {
  if (owner ? (client && client != owner) : (client != nullptr)) {
    if (owner || noGrabMessage)
      LOG(logChannelXhint, "Not grab client in %s #%u by %s", request, client->sequence, nameOf(client));
    return 0;
  }
  if (time == 0) return 1;
  if (int32_t(time - grabTime) < 0) {
    LOG(logChannelXhint, "Time too old in %s (0x%x < 0x%x) by %s", request, time, grabTime, nameOf(client));
    return 0;
  }
  if (int32_t(time - proxyState.serverTime) > 0) {
    LOG(logChannelXhint, "Time too new in %s (0x%x > 0x%x) by %s", request, time, proxyState.serverTime,
        nameOf(client));
    return 0;
  }
  return 1;
}

// What an ended grab of one device lifts: the freezes of its own device made by a grab of this
// kind (active mode `ownActive`) or thawed (1, 2) or passive (5); of the other device the freeze
// of this kind's active grabs (`otherActive`), and a passive grab's freeze (5) of the owner
// unless the owner also grabs that device.
void liftFreezes(ProxyState::Freeze &own, uint8_t ownActive, ProxyState::Freeze &other, uint8_t otherActive,
                 ClientConnection *owner, ClientConnection *otherGrabOwner) {
  if (own.mode == 1 || own.mode == 2 || own.mode == ownActive || own.mode == 5) own = {nullptr, 0};
  if (other.mode == otherActive || (other.mode == 5 && other.client == owner && otherGrabOwner != owner))
    other = {nullptr, 0};
}

}  // namespace

void windowSetPointerFreeze(int, ClientConnection *client, uint8_t mode) {
  proxyState.pointerFreeze = {client, mode};
}
void windowSetKeyboardFreeze(int, ClientConnection *client, uint8_t mode) {
  proxyState.keyboardFreeze = {client, mode};
}
void windowClearPointerFreeze() { proxyState.pointerFreeze = {nullptr, 0}; }
void windowClearKeyboardFreeze() { proxyState.keyboardFreeze = {nullptr, 0}; }

int windowGrabPointer(int device, ClientConnection *client, uint32_t window, uint32_t confineTo, uint8_t ownerEvents,
                      uint16_t eventMask, uint8_t pointerMode, uint8_t keyboardMode, CursorRecord *cursor,
                      uint32_t time, uint8_t passive) {
  if (!realizedWindow(window)) {
    LOG(logChannelXhint, "Invalid pointer grab window 0x%x by %s", window, nameOf(client));
    return 0;
  }
  WindowRecord *confine = nullptr;
  if (confineTo && !(confine = realizedWindow(confineTo))) {
    LOG(logChannelXhint, "Invalid pointer grab confine-to window 0x%x", confineTo);
    return 0;
  }
  auto &g = proxyState.pointerGrab;
  // A grab that replaces an active one (a client changing its own grab) keeps its one poll
  // interval and gives back the old cursor.
  bool hadGrab = g.client != nullptr;
  if (g.cursor) resourceReleaseCursor(g.cursor);
  if (cursor) cursor->refCount++;
  g = {};
  g.client = client;
  g.confineTo = confine;
  g.cursor = cursor;
  g.window = window;
  g.eventMask = eventMask;
  g.time = time;
  g.ownerEvents = ownerEvents;
  g.passive = passive;
  g.realServer = 0;
  g.pointerMode = pointerMode;
  g.keyboardMode = keyboardMode;
  if (pointerMode == 0)
    windowSetPointerFreeze(device, client, passive ? 5 : 3);
  else if (proxyState.pointerFreeze.client == client)
    windowClearPointerFreeze();
  if (keyboardMode == 0) windowSetKeyboardFreeze(kWindowKeyboard, client, passive ? 5 : 3);
  if (!hadGrab) xproxyPushPointerPoll(device, kGrabPollIntervalMs);
  return 1;
}

int windowCheckUngrabPointer(int, ClientConnection *client, uint32_t time) {
  const auto &g = proxyState.pointerGrab;
  return checkUngrab(g.client, g.time, client, time, "UngrabPointer", false);
}

int windowUngrabPointer(int device, ClientConnection *client, uint32_t time) {
  if (!windowCheckUngrabPointer(device, client, time)) return 0;
  auto &g = proxyState.pointerGrab;
  if (!g.client) return 0;
  xproxyPopPointerPoll();
  liftFreezes(proxyState.pointerFreeze, 3, proxyState.keyboardFreeze, 3, g.client, proxyState.keyboardGrab.client);
  if (g.cursor) resourceReleaseCursor(g.cursor);
  g = {};
  return 1;
}

int windowGrabKeyboard(int, ClientConnection *client, uint32_t window, uint8_t ownerEvents, uint8_t pointerMode,
                       uint8_t keyboardMode, uint8_t key, uint32_t time, uint8_t passive) {
  if (!realizedWindow(window)) {
    LOG(logChannelXhint, "Keyboard grab window no longer valid");
    return 0;
  }
  auto &g = proxyState.keyboardGrab;
  g = {};
  g.client = client;
  g.window = window;
  g.key = key;
  g.time = time;
  g.ownerEvents = ownerEvents;
  g.passive = passive;
  g.pointerMode = pointerMode;
  g.keyboardMode = keyboardMode;
  if (keyboardMode == 0)
    windowSetKeyboardFreeze(kWindowKeyboard, client, passive ? 5 : 4);
  else if (proxyState.keyboardFreeze.client == client)
    windowClearKeyboardFreeze();
  if (pointerMode == 0) windowSetPointerFreeze(kWindowPointer, client, passive ? 5 : 4);
  return 1;
}

int windowCheckUngrabKeyboard(int, ClientConnection *client, uint32_t time) {
  const auto &g = proxyState.keyboardGrab;
  return checkUngrab(g.client, g.time, client, time, "UngrabKeyboard", true);
}

int windowUngrabKeyboard(int device, ClientConnection *client, uint32_t time) {
  if (!windowCheckUngrabKeyboard(device, client, time)) return 0;
  auto &g = proxyState.keyboardGrab;
  if (!g.client) return 0;
  liftFreezes(proxyState.keyboardFreeze, 4, proxyState.pointerFreeze, 4, g.client, proxyState.pointerGrab.client);
  g = {};
  return 1;
}

void windowReleaseClientGrabs(ClientConnection *client) {
  if (proxyState.pointerGrab.client == client) windowUngrabPointer(kWindowPointer, nullptr, 0);
  if (proxyState.keyboardGrab.client == client) windowUngrabKeyboard(kWindowKeyboard, nullptr, 0);
  if (proxyState.pointerFreeze.client == client) windowClearPointerFreeze();
  if (proxyState.keyboardFreeze.client == client) windowClearKeyboardFreeze();
  while (client->passiveGrabs) xcoreFreeGrab(client->passiveGrabs, client);
}

namespace {
// The event mask of the window, 0, on the connection.
void clearServerEventMask(DisplayConnection *connection, uint32_t window) {
  if (connection && window) xprotoEncodeSetEventMask(&connection->reader.sink, window, 0);
}
}  // namespace

void windowReleaseRetainedClient(ClientConnection *client) {
  DisplayConnection *first = client->displayCount > 0 ? client->displays[0] : nullptr;
  // What its connections select on the real roots and on its windows' copies goes, so that the
  // real server sends it nothing more.
  // The windows are found through its own selections, not by walking every tree.
  for (MetaScreen *m = xscreenList; m; m = m->next)
    for (Head *h = m->heads; h; h = h->next) clearServerEventMask(first, uint32_t(h->root));
  for (EventSelection *s = client->eventSelections; s; s = s->clientNext) {
    auto *w = s->inBlock ? nullptr : static_cast<WindowRecord *>(resourceLookupWindow(s->windowId));
    if (!w || !w->screen) continue;
    for (Head *h = w->screen->heads; h; h = h->next)
      clearServerEventMask(first, resourceServerId(w->id, kResourceWindow, h));
  }
  windowDropClientSelections(client);
  xcoreReleaseRetainedSelections(client);
  // Its passive grabs on the real server, on each head of the grab window's meta screen.
  for (PassiveGrab *g = client->passiveGrabs; g; g = g->next) {
    MetaScreen *screen = resourceLookupWindow(g->window) ? resourceMetaScreenOf(g->window) : nullptr;
    if (!screen) {
      LOG_UNE();
      continue;
    }
    for (Head *h = screen->heads; h; h = h->next) {
      DisplayConnection *connection = miscConnectionForHead(client, h);
      if (!connection) continue;
      uint32_t window = resourceServerId(g->window, kResourceWindow, h);
      if (g->cursor == kPassiveGrabKeyMarker)
        core11GUngrabKey(connection, g->detail, window, g->modifiers);
      else
        core11GUngrabButton(connection, g->detail, window, g->modifiers);
    }
  }
  // Active grabs it holds, on the real server and in the proxy.
  bool pointer = proxyState.pointerGrab.client == client, keyboard = proxyState.keyboardGrab.client == client;
  for (uint32_t i = 0; i < client->displayCount; i++) {
    if (pointer) core11GUngrabPointer(client->displays[i]);
    if (keyboard) core11GUngrabKeyboard(client->displays[i]);
  }
  windowReleaseClientGrabs(client);
}

void windowUnmapFocus(WindowRecord *window) {
  LOG(logChannelXhint, "Keyboard focus window 0x%x unmapped by %s", window->id, nameOf(xproxyCurrentClient));
  switch (proxyState.focusRevertTo) {
    case 1: proxyState.focusWindow = 1; break;
    case 0: proxyState.focusWindow = 0; break;
    case 2: {
      WindowRecord *a = window->parent;
      while (a && !a->realized) a = a->parent;
      proxyState.focusWindow = a ? a->id : 0;
      proxyState.focusRevertTo = 0;
      break;
    }
    default: LOG_UNE(); break;
  }
}

void windowUnrealize(WindowRecord *window, int fromConfigure, int quiet) {
  // Tree order: a window before its children, so that a focus reverting to its parent finds
  // the parent already unrealized and goes further up.
  for (WindowRecord *w = window; w;) {
    bool descend = false;
    if (w->realized) {
      w->realized = 0;
      auto by = [] { return nameOf(xproxyCurrentClient); };  // only for a line that is written
      if (proxyState.focusWindow == w->id && w->id > 1) windowUnmapFocus(w);
      auto &pg = proxyState.pointerGrab;
      if (pg.client && pg.window == w->id) {
        if (!quiet) LOG(logChannelXhint, "Pointer grab window 0x%x unmapped by %s", w->id, by());
        windowUngrabPointer(kWindowPointer, pg.client, 0);
      }
      if (pg.client && pg.confineTo == w) {
        if (!quiet) LOG(logChannelXhint, "Pointer grab confineTo 0x%x unmapped by %s", w->id, by());
        windowUngrabPointer(kWindowPointer, pg.client, 0);
      }
      auto &kg = proxyState.keyboardGrab;
      if (kg.client && kg.window == w->id) {
        if (!quiet) LOG(logChannelXhint, "Keyboard grab window 0x%x unmapped by %s", w->id, by());
        windowUngrabKeyboard(kWindowKeyboard, kg.client, 0);
      }
      w->visibility = 3;
      w->viewable = 0;
      // A window that is not viewable has empty clip lists, the subtree's top included
      // (whether or not a validation of its parent follows).
      (void)fromConfigure;
      if (w->clipList) regionResetRect(w->clipList, 0, 0, 0, 0);
      if (w->borderClip) regionResetRect(w->borderClip, 0, 0, 0, 0);
      descend = w->firstChild != nullptr;
    }
    if (descend) {
      w = w->firstChild;
      continue;
    }
    while (w != window && !w->nextSibling) w = w->parent;
    if (w == window) break;
    w = w->nextSibling;
  }
}

void windowUnrealizeTree(WindowRecord *window, int fromConfigure) { windowUnrealize(window, fromConfigure, 0); }

void windowValidateGrabs() {
  auto &pg = proxyState.pointerGrab;
  if (pg.client && (!realizedWindow(pg.window) || (pg.confineTo && !pg.confineTo->realized))) {
    LOG(logChannelXhint, "Pointer grab window no longer valid");
    windowUngrabPointer(kWindowPointer, pg.client, 0);
  }
  auto &kg = proxyState.keyboardGrab;
  if (kg.client && !realizedWindow(kg.window)) {
    LOG(logChannelXhint, "Keyboard grab window no longer valid");
    windowUngrabKeyboard(kWindowKeyboard, kg.client, 0);
  }
}
