// The core event handlers (codes 2..34): the real server sends an event on a client's raw
// connection once per head copy of a window; each handler maps the sequence number back,
// decides whether the client gets the event at all, translates ids, positions and times into
// the client's view of the meta screens, keeps the proxy's grab and freeze record in step with
// the input the real server delivered, and writes the event in order.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/windowcrossing.h"
#include "proxy/windowplace.h"
#include "proxy/xcore.h"
#include "proxy/xcorepassive.h"
#include "proxy/xcoreshift.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xclient/region.h"

namespace {

enum : uint8_t {
  kKeyPress = 2,
  kKeyRelease = 3,
  kButtonPress = 4,
  kButtonRelease = 5,
  kMotionNotify = 6,
  kEnterNotify = 7,
  kLeaveNotify = 8,
  kFocusIn = 9,
  kFocusOut = 10,
  kExpose = 12,
  kGraphicsExpose = 13,
  kNoExpose = 14,
  kColormapNotify = 32,
};

constexpr uint8_t kSentEvent = 0x80;
constexpr uintptr_t kCrossingDeliver = 0x80000000u;
constexpr uint8_t kCopyAreaTag = 62;
constexpr uint16_t kAnyModifier = 0x8000;
constexpr uint16_t kButtonStateBits = 0x1f00;
constexpr uint32_t kButtonReleaseMask = 0x8;
constexpr uint32_t kOwnerGrabButtonMask = 0x1000000;
constexpr uint16_t kImplicitGrabMask = 0x7ffc;

// Freeze modes of the grab record: 1 thawed by SyncPointer/SyncKeyboard, 2 thawed by SyncBoth,
// 5 frozen again by the next event of a synchronous grab.
constexpr uint8_t kThawedOne = 1;
constexpr uint8_t kThawedBoth = 2;
constexpr uint8_t kFrozenAgain = 5;

WireLayout layoutOf(uint8_t code) { return xcoreEventRows[code - 2].layout; }

int16_t getS16(const uint8_t *p) { return int16_t(wireGet16(p)); }

// The connection and client the server input reader is handling; NULL when either is missing.
struct Source {
  DisplayConnection *connection;
  ClientConnection *client;
  ServerDisplay *display;
};

// Steps 1 and 2 of every handler: the client's sequence into the event; a sent event goes out
// as it is. False when the handler has nothing more to do.
bool enterFrame(uint8_t *event, Source *source) {
  source->connection = xproxyCurrentDisplayConnection;
  source->client = xproxyCurrentClient;
  if (!source->connection || !source->client) return false;
  source->display = source->connection->display;
  xproxyMapReplySequence(source->connection, wireGet16(event + 2));
  wirePut16(event + 2, source->client->replySequence);
  if (event[0] & kSentEvent) {
    uint8_t code = event[0] & 0x7f;
    // A sent crossing event carries the deliver bit, or a pending block would drop it.
    uintptr_t flag = code == kEnterNotify || code == kLeaveNotify ? kCrossingDeliver : 0;
    mainSendEventToClient(event, layoutOf(code), flag);
    return false;
  }
  return true;
}

uint32_t mapId(uint32_t id, Head *head) { return mainHeadXidToProxy(0, id, head); }

// The head copy that speaks for a structure event: the first head of the meta screen (the
// primary one for ColormapNotify). NULL: the event is dropped.
Head *primaryCopy(uint32_t serverId, const Source &source, bool primaryHead) {
  Head *head = mainHeadOfServerXid(serverId, source.display);
  if (!head || !head->metaScreen) return nullptr;
  Head *speaker = primaryHead && head->metaScreen->primaryHead ? head->metaScreen->primaryHead : head->metaScreen->heads;
  return head == speaker ? head : nullptr;
}

uint32_t totalHeads() {
  uint32_t n = 0;
  for (MetaScreen *ms = xscreenList; ms; ms = ms->next) n += ms->headCount;
  return n;
}

// The client's block of the sequence; NULL when none is pending.
DeferredOutput *findBlock(ClientConnection *client, uint16_t sequence) {
  for (DeferredOutput *b = client->deferred; b; b = b->next)
    if (uint16_t(b->sequence) == sequence) return b;
  return nullptr;
}

DeferredOutput *findOrMakeBlock(ClientConnection *client, uint16_t sequence) {
  if (DeferredOutput *b = findBlock(client, sequence)) return b;
  return mainInsertDeferredOutput(client, sequence);
}

// Unlinks a message from one of a block's lists (NULL-terminated through next, circular
// through prev) and frees it; it carries no region.
void removeMessage(DeferredMessage **list, DeferredMessage *message) {
  DeferredMessage *first = *list;
  if (message == first) {
    *list = message->next;
    if (message->next) message->next->prev = first->prev;
  } else {
    message->prev->next = message->next;
    if (message->next)
      message->next->prev = message->prev;
    else
      first->prev = message->prev;
  }
  free(message);
}

// ----- Device events -----

struct DeviceView {
  Head *head;
  int32_t metaX, metaY;
  int clamped;
  bool oneScreen;          // root and event window on one meta screen
  bool serverSameScreen;   // as the real server reported it
};

// Steps 1 and 2 of the device translation (shared with the crossing events): the head under
// the position, root position into meta coordinates, the three windows mapped through that
// head, the time recorded. False: no head.
bool mapDevice(uint8_t *event, const Source &source, bool crossing, DeviceView *view) {
  *view = {};
  Head *head = nullptr;
  Display *display = source.display ? source.display->display : nullptr;
  if (!mainQueryPointer(display, wireGet32(event + 8), getS16(event + 20), getS16(event + 22), &head,
                        &view->metaX, &view->metaY, &view->clamped) ||
      !head || !head->metaScreen)
    return false;
  view->head = head;
  wirePut16(event + 20, uint16_t(view->metaX));
  wirePut16(event + 22, uint16_t(view->metaY));
  wirePut32(event + 8, mapId(wireGet32(event + 8), head));
  uint32_t window = mapId(wireGet32(event + 12), head);
  wirePut32(event + 12, window);
  wirePut32(event + 16, mapId(wireGet32(event + 16), head));
  mainSetLastTime(wireGet32(event + 4));
  view->oneScreen = windowLookupScreen(window) == head->metaScreen;
  view->serverSameScreen = crossing ? (event[31] & 0x02) != 0 : event[30] != 0;
  return true;
}

// The event position relative to the event window as the proxy places it.
void setEventPosition(uint8_t *event, const DeviceView &view) {
  int32_t x = 0, y = 0;
  windowPosition(wireGet32(event + 12), &x, &y);
  // In 64 bits: a window far off the screen must not overflow the difference.
  wirePut16(event + 24, uint16_t(int64_t(view.metaX) - x));
  wirePut16(event + 26, uint16_t(int64_t(view.metaY) - y));
}

// Whether the event window's copy on the head lies elsewhere than the client's window: the real
// server's position inside it is then the copy's, not the client's.
bool eventWindowApart(const uint8_t *event, const Head *head) {
  XcoreCopyShift shift;
  return xcoreCopyShiftOf(wireGet32(event + 12), head, &shift);
}

void clearOtherScreen(uint8_t *event) {
  wirePut32(event + 16, 0);
  wirePut16(event + 24, 0);
  wirePut16(event + 26, 0);
}

// The grab record's freeze of a thawed device brought back by this client's next event of the
// device: thawed by SyncPointer or SyncKeyboard that device again, by SyncBoth both.
void refreeze(ClientConnection *client, bool pointer) {
  ClientConnection *owner = pointer ? proxyState.pointerGrab.client : proxyState.keyboardGrab.client;
  uint8_t mode = (pointer ? proxyState.pointerFreeze : proxyState.keyboardFreeze).mode;
  if (owner != client || (mode != kThawedOne && mode != kThawedBoth)) return;
  bool both = mode == kThawedBoth;
  if (pointer || both) windowSetPointerFreeze(kWindowPointer, client, kFrozenAgain);
  if (!pointer || both) windowSetKeyboardFreeze(kWindowKeyboard, client, kFrozenAgain);
}
void refreezePointer(ClientConnection *client) { refreeze(client, true); }
void refreezeKeyboard(ClientConnection *client) { refreeze(client, false); }

// The passive grab the real server activated: the client's button (or key) grabs on the event
// window and its ancestors whose modifiers match the state's modifier bits (the real server
// leaves the group bits out) and whose detail matches; the outermost one wins, as in the real
// server.
PassiveGrab *findPassiveGrab(ClientConnection *client, uint32_t eventWindow, bool key, uint8_t detail,
                             uint16_t state) {
  PassiveGrab *found = nullptr;
  uint16_t modifiers = state & 0xff;
  auto *w = static_cast<WindowRecord *>(resourceLookupWindow(eventWindow));
  for (; w; w = w->parent) {
    for (PassiveGrab *g = client->passiveGrabs; g; g = g->next) {
      if ((g->cursor == kPassiveGrabKeyMarker) != key || g->window != w->id) continue;
      if (g->modifiers != kAnyModifier && g->modifiers != modifiers) continue;
      if (g->detail != 0 && g->detail != detail) continue;
      found = g;  // an ancestor's match replaces the inner one
      break;
    }
  }
  return found;
}

void ungrabPointerOnServer(const Source &source) {
  core11GUngrabPointer(source.connection);
  if (const char *failure = xproxyFlushDisplayConnection(source.connection)) LOG(logChannelXhint, "%s", failure);
}

void ungrabKeyboardOnServer(const Source &source) {
  core11GUngrabKeyboard(source.connection);
  if (const char *failure = xproxyFlushDisplayConnection(source.connection)) LOG(logChannelXhint, "%s", failure);
}

// ButtonPress: refreeze under an active grab, else the passive grab it activated, else an
// implicit grab on the event window. False: drop the event.
bool pointerGrabOnPress(uint8_t *event, const Source &source, const DeviceView &view) {
  ClientConnection *client = source.client;
  if (proxyState.pointerGrab.client) {
    refreezePointer(client);
    return true;
  }
  uint32_t window = wireGet32(event + 12);
  uint32_t time = wireGet32(event + 4);
  PassiveGrab *entry = findPassiveGrab(client, window, false, event[1], wireGet16(event + 28));
  if (!entry) {
    uint32_t mask = windowClientEventMask(window);
    windowGrabPointer(kWindowPointer, client, window, 0, (mask & kOwnerGrabButtonMask) ? 1 : 0,
                      uint16_t(mask & kImplicitGrabMask), 1, 1, nullptr, time, 1);
    return true;
  }
  CursorRecord *cursor = entry->cursor == kPassiveGrabKeyMarker ? nullptr : entry->cursor;
  if (!windowGrabPointer(kWindowPointer, client, entry->window, entry->confineTo, entry->ownerEvents,
                         entry->eventMask, entry->pointerMode, entry->keyboardMode, cursor, time, 1)) {
    LOG(logChannelXhint, "Fix consequence of GrabButton with confineTo None");
    ungrabPointerOnServer(source);
    return false;
  }
  WindowRecord *confine = proxyState.pointerGrab.confineTo;
  if (confine && confine->id != entry->window) {
    // Keep the pointer inside the confine-to window's region (as one screen has it): onto the
    // head it reaches when the pointer's head has none of it.
    int32_t x = int32_t(std::clamp<int64_t>(view.metaX, INT32_MIN, INT32_MAX));
    int32_t y = int32_t(std::clamp<int64_t>(view.metaY, INT32_MIN, INT32_MAX));
    mainConfinePoint(confine, nullptr, &x, &y);
    MetaScreen *screen = view.head->metaScreen;
    Head *there = mainHeadAt(screen, x, y);
    if (there && there != proxyState.pointerHead)
      mainPointerTrack(kWindowPointer, client, screen, x, y, 0);
    else
      miscForwardGrabPointer(proxyState.pointerHead ? proxyState.pointerHead : view.head, 1);
  }
  return true;
}

// ButtonRelease: the end of this client's passive or implicit grab when the released button was
// the last one held, else the refreeze.
void pointerGrabOnRelease(uint8_t *event, const Source &source) {
  ClientConnection *client = source.client;
  auto &g = proxyState.pointerGrab;
  if (g.client == client && g.passive) {
    uint8_t button = event[1];
    uint16_t held = wireGet16(event + 28) & kButtonStateBits;
    // Buttons 1 to 5 have a state bit; for any other the grab ends when no core button is held.
    bool last = button >= 1 && button <= 5 ? held == uint16_t(0x100u << (button - 1)) : held == 0;
    if (last) {
      bool onServer = g.realServer;
      if (windowUngrabPointer(kWindowPointer, client, wireGet32(event + 4)) && onServer) ungrabPointerOnServer(source);
      return;
    }
  }
  refreezePointer(client);
}

void keyboardGrabOnPress(uint8_t *event, const Source &source) {
  ClientConnection *client = source.client;
  if (!proxyState.keyboardGrab.client) {
    PassiveGrab *entry = findPassiveGrab(client, wireGet32(event + 12), true, event[1], wireGet16(event + 28));
    if (entry)
      windowGrabKeyboard(kWindowKeyboard, client, entry->window, entry->ownerEvents, entry->pointerMode,
                         entry->keyboardMode, event[1], wireGet32(event + 4), 1);
  }
  refreezeKeyboard(client);
}

void keyboardGrabOnRelease(uint8_t *event, const Source &source) {
  ClientConnection *client = source.client;
  auto &g = proxyState.keyboardGrab;
  if (g.client == client && g.passive && g.key == event[1]) {
    bool onServer = g.realServer;
    if (windowUngrabKeyboard(kWindowKeyboard, client, wireGet32(event + 4)) && onServer) ungrabKeyboardOnServer(source);
    return;
  }
  refreezeKeyboard(client);
}

// Device translation steps 3 and 4; false: drop. A MotionNotify that the real server reports
// not on the same screen while root and window lie on one meta screen is dropped too (the
// pointer is on another head's real screen than this copy of the window).
bool translateDevice(uint8_t *event, const Source &source, DeviceView *view) {
  if (!mapDevice(event, source, false, view)) return false;
  if (view->oneScreen) {
    if (event[0] == kMotionNotify && !view->serverSameScreen) return false;
    if ((event[0] == kKeyPress || event[0] == kButtonPress) && view->clamped) return false;
    if (!view->serverSameScreen) {
      event[30] = 1;
      setEventPosition(event, *view);
    } else if (eventWindowApart(event, view->head)) {
      setEventPosition(event, *view);
    }
  } else {
    event[30] = 0;
    clearOtherScreen(event);
  }
  return true;
}

void deviceEvent(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  uint8_t code = event[0];
  DeviceView view;
  if (!translateDevice(event, source, &view)) return;
  bool deliver = true;
  switch (code) {
    case kKeyPress:
      keyboardGrabOnPress(event, source);
      break;
    case kKeyRelease:
      keyboardGrabOnRelease(event, source);
      break;
    case kButtonPress:
      deliver = pointerGrabOnPress(event, source, view);
      break;
    case kButtonRelease: {
      // Judged before the release ends the grab: the copies select releases for the proxy's
      // own bookkeeping, a client that did not ask for them does not get them.
      const auto &g = proxyState.pointerGrab;
      uint32_t window = wireGet32(event + 12);
      deliver = (windowClientEventMask(window) & kButtonReleaseMask) ||
                (g.client == source.client && (g.eventMask & kButtonReleaseMask));
      pointerGrabOnRelease(event, source);
      break;
    }
    default:
      break;
  }
  if (deliver) mainSendEventToClient(event, layoutOf(code), 0);
}

// ----- Crossing events -----

bool crossingPassesMask(const uint8_t *event) {
  uint32_t bit = event[0] == kEnterNotify ? 0x10 : 0x20;
  uint32_t window = wireGet32(event + 12);
  uint32_t own = windowClientEventMask(window);
  if (event[30] == 0) return own & bit;
  const auto &g = proxyState.pointerGrab;
  if (!g.client) return true;
  if (g.window == window && (g.eventMask & bit)) return true;
  return g.ownerEvents && (own & bit);
}

void crossingEvent(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  uint32_t realWindow = wireGet32(event + 12);
  uint32_t realRoot = wireGet32(event + 8);
  if (!xcoreTranslateCrossingEvent(event, source.display)) return;
  // The real server's own report of a change of head: the proxy sent the meta screen's crossing.
  if (windowCrossingReportedByServer(event, realRoot, source.display, source.client)) return;
  bool pass = crossingPassesMask(event);
  ClientConnection *client = source.client;
  uint16_t sequence = wireGet16(event + 2);
  WireLayout layout = layoutOf(event[0]);
  if (totalHeads() > 1) {
    DeferredOutput *block = findBlock(client, sequence);
    if (block) {
      uint8_t opposite = event[0] == kEnterNotify ? kLeaveNotify : kEnterNotify;
      for (DeferredMessage *m = block->others; m; m = m->next) {
        const uint8_t *p = m->data();
        if (m->length < 32 || p[0] != opposite || wireGet32(p + 8) != wireGet32(event + 8) ||
            wireGet32(p + 12) != wireGet32(event + 12) || p[30] != event[30] ||
            (m->flag & ~kCrossingDeliver) == realWindow || (m->flag & ~kCrossingDeliver) == 0)
          continue;
        // The pointer went from one head's copy of the window to another's (a crossing the
        // proxy made itself, without a copy, pairs with none).
        removeMessage(&block->others, m);
        return;
      }
    } else if (!mainInsertDeferredOutput(client, sequence)) {
      return;
    }
    mainSendEventToClient(event, layout, realWindow | (pass ? kCrossingDeliver : 0));
    return;
  }
  if (pass) mainSendEventToClient(event, layout, kCrossingDeliver);
}

// ----- Focus events -----

void focusEvent(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  uint8_t detail = event[1];
  uint32_t window = wireGet32(event + 4);
  Head *head = nullptr;
  if (detail == 6 || detail == 7) {
    // PointerRoot and None: the event window is a real root.
    Head *rootHead = source.display ? mainFindHeadByRoot(source.display, window) : nullptr;
    if (!rootHead || !rootHead->metaScreen) return;
    Head *pointer = proxyState.pointerHead;
    head = pointer && pointer->metaScreen == rootHead->metaScreen ? pointer : rootHead->metaScreen->heads;
    // The real server reports the switch on every real root; on a meta screen one root speaks,
    // that of the head holding the pointer (or of the first head).
    if (head != rootHead) return;
  } else {
    head = mainHeadOfServerXid(window, source.display);
  }
  if (!head || !head->metaScreen) return;
  uint32_t mapped = mapId(window, head);
  wirePut32(event + 4, mapped);
  if (windowFocusReportedByServer(event, source.client)) return;
  ClientConnection *client = source.client;
  uint16_t sequence = wireGet16(event + 2);
  MetaScreen *screen = head->metaScreen;
  if (screen->headCount > 1) {
    if (event[0] == kFocusIn) {
      if (DeferredOutput *block = findBlock(client, sequence)) {
        for (DeferredMessage *m = block->others; m; m = m->next) {
          const uint8_t *p = m->data();
          // The same transition (detail and mode) of the window's copy on another head: the
          // focus went from one head's copy to the other's.
          if (m->length < 32 || p[0] != kFocusOut || wireGet32(p + 4) != mapped || p[1] != event[1] ||
              p[8] != event[8] || m->flag == head->idIndex)
            continue;
          Head *other = nullptr;
          for (Head *h = screen->heads; h; h = h->next)
            if (h->idIndex == m->flag) other = h;
          if (!other) continue;
          removeMessage(&block->others, m);
          return;
        }
      }
    } else if (!findOrMakeBlock(client, sequence)) {
      return;
    }
  }
  mainSendEventToClient(event, layoutOf(event[0]), head->idIndex);
}

void keymapNotify(uint8_t *event) {
  if (!xproxyCurrentClient) return;
  mainSendEventToClient(event, layoutOf(11), 0);
}

// ----- Exposures -----

// The head of the drawable's copy and the drawable mapped back.
Head *mapDrawable(uint8_t *event, const Source &source) {
  uint32_t id = wireGet32(event + 4);
  Head *head = mainHeadOfServerXid(id, source.display);
  wirePut32(event + 4, head ? mapId(id, head) : mainServerToProxyXid(id, source.display));
  return head;
}

MetaScreen *screenOf(Head *head, uint32_t id) { return head ? head->metaScreen : resourceMetaScreenOf(id); }

// The rectangle of an Expose or GraphicsExpose from a copy placed apart, in the client's
// coordinates of the drawable (already mapped back at 4).
void shiftExposureBack(uint8_t *event, const Head *head) {
  XcoreCopyShift shift;
  if (!head || !xcoreCopyShiftOf(wireGet32(event + 4), head, &shift)) return;
  uint16_t x = wireGet16(event + 8), y = wireGet16(event + 10), width = wireGet16(event + 12),
           height = wireGet16(event + 14);
  xcoreShiftEventBox(shift, &x, &y, &width, &height);
  wirePut16(event + 8, x);
  wirePut16(event + 10, y);
  wirePut16(event + 12, width);
  wirePut16(event + 14, height);
}

// Adds the event's rectangle to the pending exposure's region (made from its own rectangle on
// first use).
void absorb(DeferredMessage *pending, const uint8_t *event) {
  auto *region = reinterpret_cast<Region *>(pending->flag);
  const uint8_t *p = pending->data();
  if (!region) {
    region = regionCreateRect(getS16(p + 8), getS16(p + 10), wireGet16(p + 12), wireGet16(p + 14));
    if (!region) return;
    pending->flag = reinterpret_cast<uintptr_t>(region);
  }
  if (const char *failure = regionUnionWithRect(region, region, getS16(event + 8), getS16(event + 10), wireGet16(event + 12),
                                            wireGet16(event + 14)))
    LOG(logChannelXhint, "%s", failure);
}

void exposeEvent(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  Head *head = mapDrawable(event, source);
  shiftExposureBack(event, head);
  uint32_t window = wireGet32(event + 4);
  MetaScreen *screen = screenOf(head, window);
  WireLayout layout = layoutOf(kExpose);
  if (!screen || screen->headCount <= 1) {
    mainSendEventToClient(event, layout, 0);
    return;
  }
  DeferredOutput *block = findOrMakeBlock(source.client, wireGet16(event + 2));
  for (DeferredMessage *m = block ? block->exposures : nullptr; m; m = m->next) {
    const uint8_t *p = m->data();
    if (m->length >= 32 && p[0] == kExpose && wireGet32(p + 4) == window) {
      absorb(m, event);
      return;
    }
  }
  mainSendEventToClient(event, layout, 0);
}

void graphicsExposure(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  uint8_t code = event[0];
  Head *head = mapDrawable(event, source);
  if (code == kGraphicsExpose) shiftExposureBack(event, head);
  uint32_t drawable = wireGet32(event + 4);
  MetaScreen *screen = screenOf(head, drawable);
  WireLayout layout = layoutOf(code);
  if (!screen || screen->headCount <= 1) {
    mainSendEventToClient(event, layout, 0);
    return;
  }
  if (xproxyTakeReplyCallbackData(source.connection, kCopyAreaTag)) {
    // The copy is answered by the first head alone.
    if (head == screen->heads) mainSendEventToClient(event, layout, 0);
    return;
  }
  DeferredOutput *block = findBlock(source.client, wireGet16(event + 2));
  for (DeferredMessage *m = block ? block->exposures : nullptr; m; m = m->next) {
    uint8_t *p = m->data();
    if (m->length < 32 || (p[0] != kGraphicsExpose && p[0] != kNoExpose) || wireGet32(p + 4) != drawable) continue;
    if (code == kNoExpose) return;  // another head's answer is pending already
    if (p[0] == kNoExpose) {
      LOG(logChannelXhint, "Replacing NoExpose event for %s...", xscreenClientName(source.client));
      memcpy(p, event, 32);
      m->layout = layout;
      m->flag = 0;
    } else {
      absorb(m, event);
    }
    return;
  }
  mainSendEventToClient(event, layout, 0);
}

void visibilityNotify(uint8_t *event) {
  Source source;
  // The proxy computes visibility from its own window tree: only sent ones pass.
  enterFrame(event, &source);
}

// ----- Structure and other events -----

// Offsets of the reference window and the ids to map, per structure event code 16..28.
struct StructureRow {
  uint8_t reference;
  uint8_t ids[3];  // 0 ends
};
constexpr StructureRow kStructureRows[] = {
    {8, {4, 8, 0}},    // 16 CreateNotify: parent, window
    {8, {4, 8, 0}},    // 17 DestroyNotify: event, window
    {4, {4, 8, 0}},    // 18 UnmapNotify
    {4, {4, 8, 0}},    // 19 MapNotify
    {8, {4, 8, 0}},    // 20 MapRequest: parent, window
    {4, {4, 8, 12}},   // 21 ReparentNotify: event, window, parent
    {4, {4, 8, 12}},   // 22 ConfigureNotify: event, window, above-sibling
    {8, {4, 8, 12}},   // 23 ConfigureRequest: parent, window, sibling
    {4, {4, 8, 0}},    // 24 GravityNotify
    {4, {4, 0, 0}},    // 25 ResizeRequest: window
    {4, {4, 8, 12}},   // 26 CirculateNotify
    {4, {4, 8, 12}},   // 27 CirculateRequest
    {4, {4, 0, 0}},    // 28 PropertyNotify: window (atom and time left)
};

// Where the structure events that carry a window's place (ids mapped already) hold it: the
// window, its x and y relative to the parent, its width and height (0: none), its border (0: none).
struct PlaceRow {
  uint8_t code, window, x, width, border;
};
constexpr PlaceRow kPlaceRows[] = {
    {16, 8, 12, 16, 20},  // CreateNotify
    {21, 8, 16, 0, 0},    // ReparentNotify
    {22, 8, 16, 20, 24},  // ConfigureNotify
    {24, 8, 12, 0, 0},    // GravityNotify
};

// A window whose copy on the speaking head was placed apart is reported with the client's place.
void placeBack(uint8_t *event, const Head *head) {
  for (const PlaceRow &row : kPlaceRows) {
    if (row.code != event[0]) continue;
    auto *w = static_cast<const WindowRecord *>(resourceLookupByType(wireGet32(event + row.window), kResourceWindow));
    if (!w || !w->parent || !windowPlacedApart(w, head)) return;
    wirePut16(event + row.x, uint16_t(int16_t(w->originX - w->borderWidth)));
    wirePut16(event + row.x + 2, uint16_t(int16_t(w->originY - w->borderWidth)));
    if (row.width) {
      wirePut16(event + row.width, w->width);
      wirePut16(event + row.width + 2, w->height);
    }
    if (row.border) wirePut16(event + row.border, w->borderWidth);
  }
}

void structureEvent(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  uint8_t code = event[0];
  const StructureRow &row = kStructureRows[code - 16];
  Head *head = primaryCopy(wireGet32(event + row.reference), source, false);
  if (!head) return;
  for (uint8_t at : row.ids)
    if (at) wirePut32(event + at, mapId(wireGet32(event + at), head));
  if (code == 28) mainSetLastTime(wireGet32(event + 12));
  placeBack(event, head);
  if (code == 23 && (wireGet16(event + 26) & 0x3)) windowKeepRequestVisible(event);
  mainSendEventToClient(event, layoutOf(code), 0);
}

void colormapNotify(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  Head *head = primaryCopy(wireGet32(event + 4), source, true);
  if (!head) return;
  wirePut32(event + 4, mapId(wireGet32(event + 4), head));
  wirePut32(event + 8, mapId(wireGet32(event + 8), head));
  mainSendEventToClient(event, layoutOf(kColormapNotify), 0);
}

// SelectionClear (owner at 8), SelectionRequest (owner 8, requestor 12), SelectionNotify
// (requestor 8): ids mapped, time recorded.
void selectionEvent(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  uint8_t code = event[0];
  mainSetLastTime(wireGet32(event + 4));
  wirePut32(event + 8, mainServerToProxyXid(wireGet32(event + 8), source.display));
  if (code == 30) wirePut32(event + 12, mainServerToProxyXid(wireGet32(event + 12), source.display));
  mainSendEventToClient(event, layoutOf(code), 0);
}

void clientMessage(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  mainSendEventToClient(event, layoutOf(33), 0);
}

void mappingNotify(uint8_t *event) {
  Source source;
  if (!enterFrame(event, &source)) return;
  if (!source.client->transport) return;  // a retained client's record
  mainSendEventToClient(event, layoutOf(34), 0);
}

}  // namespace

int xcoreTranslateDeviceEvent(uint8_t *event, Head **head) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  Source source{connection, xproxyCurrentClient, connection ? connection->display : nullptr};
  DeviceView view;
  if (!translateDevice(event, source, &view)) return 0;
  if (head) *head = view.head;
  return 1;
}

int xcoreTranslateCrossingEvent(uint8_t *event, ServerDisplay *display) {
  Source source{xproxyCurrentDisplayConnection, xproxyCurrentClient, display};
  DeviceView view;
  if (!mapDevice(event, source, true, &view)) return 0;
  if (view.oneScreen) {
    if (!view.serverSameScreen) return 0;
    if (event[0] == kLeaveNotify && view.clamped) return 0;
    if (eventWindowApart(event, view.head)) setEventPosition(event, view);
  } else {
    event[31] &= uint8_t(~0x02);
    clearOtherScreen(event);
  }
  return 1;
}

void xcoreKeyPress(uint8_t *event) { deviceEvent(event); }
void xcoreKeyRelease(uint8_t *event) { deviceEvent(event); }
void xcoreButtonPress(uint8_t *event) { deviceEvent(event); }
void xcoreButtonRelease(uint8_t *event) { deviceEvent(event); }
void xcoreMotionNotify(uint8_t *event) { deviceEvent(event); }
void xcoreEnterNotify(uint8_t *event) { crossingEvent(event); }
void xcoreLeaveNotify(uint8_t *event) { crossingEvent(event); }
void xcoreFocusIn(uint8_t *event) { focusEvent(event); }
void xcoreFocusOut(uint8_t *event) { focusEvent(event); }
void xcoreKeymapNotify(uint8_t *event) { keymapNotify(event); }
void xcoreExpose(uint8_t *event) { exposeEvent(event); }
void xcoreGraphicsExpose(uint8_t *event) { graphicsExposure(event); }
void xcoreNoExpose(uint8_t *event) { graphicsExposure(event); }
void xcoreVisibilityNotify(uint8_t *event) { visibilityNotify(event); }
void xcoreStructureEvent(uint8_t *event) { structureEvent(event); }
void xcoreColormapNotify(uint8_t *event) { colormapNotify(event); }
void xcoreSelectionEvent(uint8_t *event) { selectionEvent(event); }
void xcoreClientMessage(uint8_t *event) { clientMessage(event); }
void xcoreMappingNotify(uint8_t *event) { mappingNotify(event); }
