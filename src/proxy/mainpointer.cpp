// Pointer state: which head holds the pointer, moving the pointer between heads, queries of
// the real pointer and the pointer poll's answers.
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <xcb/xproto.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/windowcrossing.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/orders.h"
#include "support/rect.h"
#include "support/strtemp.h"
#include "xclient/region.h"
#include "xclient/xrclibinput.h"
#include "xclient/xtarget.h"

namespace {

constexpr int kCorePointer = 256;

uint32_t shownWidth(const Head *h) { return h->visible.width ? h->visible.width : h->rect.width; }
uint32_t shownHeight(const Head *h) { return h->visible.height ? h->visible.height : h->rect.height; }
// The head's visible rectangle inside its meta screen.
Rect shownRect(const Head *h) { return Rect{h->rect.x, h->rect.y, shownWidth(h), shownHeight(h)}; }
bool holds(const Rect &r, int32_t x, int32_t y) {
  return int64_t(x) >= r.x && int64_t(x) < int64_t(r.x) + r.width && int64_t(y) >= r.y &&
         int64_t(y) < int64_t(r.y) + r.height;
}
// A rectangle shrunk by one pixel on every side (never below one pixel).
Rect shrunk(const Rect &r) {
  Rect s = r;
  if (s.width > 2) s.x += 1, s.width -= 2;
  if (s.height > 2) s.y += 1, s.height -= 2;
  return s;
}
bool displayOpen(const Head *h) { return h && h->display; }

void logFlushFailure(LogChannel *channel, const char *failure) {
  if (failure) LOG(channel, "%s", failure);
}
void flushConnection(DisplayConnection *connection) {
  if (connection) logFlushFailure(logChannelXhint, xproxyFlushDisplayConnection(connection));
}
void syncClient(ClientConnection *client, LogChannel *channel) {
  if (client) logFlushFailure(channel, xproxySyncClient(client));
}

// Whether a pointer grab confines the pointer on the meta screen.
bool confinedOn(const MetaScreen *screen) {
  const auto &g = proxyState.pointerGrab;
  return g.client && g.confineTo && g.confineTo->screen == screen;
}

// The region that the confine-to window gives the pointer as one screen of the meta screen's
// size has it (its outside as its parent and its shapes clip it, within the meta screen), within
// the head's shown rectangle when given: false when that is empty.
bool confinementRegion(const WindowRecord *confine, const Head *head, Region *out) {
  if (!confine || !confine->screen || !confine->borderSize) return false;
  Rect r = head ? shownRect(head)
                : Rect{0, 0, std::max<uint32_t>(1, confine->screen->width), std::max<uint32_t>(1, confine->screen->height)};
  if (const char *failure = regionIntersectRect(out, confine->borderSize, r.x, r.y, r.width, r.height)) {
    LOG(logChannelProblem, "%s", failure);
    return false;
  }
  return pixman_region_not_empty(out);
}

// The point moved into a non-empty region as the real server confines a pointer: into the
// region's extents, then (a shaped window) to the nearest point of its boxes when that is
// outside.
void clampIntoRegion(Region *region, int32_t *x, int32_t *y) {
  const pixman_box16_t *e = pixman_region_extents(region);
  int32_t cx = std::clamp<int32_t>(*x, e->x1, std::max<int32_t>(e->x1, e->x2 - 1));
  int32_t cy = std::clamp<int32_t>(*y, e->y1, std::max<int32_t>(e->y1, e->y2 - 1));
  *x = cx, *y = cy;
  if (regionContainsPoint(cx, cy, region)) return;
  int count = 0;
  const pixman_box16_t *boxes = pixman_region_rectangles(region, &count);
  int64_t best = INT64_MAX;
  for (int i = 0; i < count; i++) {
    int32_t px = std::clamp<int32_t>(cx, boxes[i].x1, std::max<int32_t>(boxes[i].x1, boxes[i].x2 - 1));
    int32_t py = std::clamp<int32_t>(cy, boxes[i].y1, std::max<int32_t>(boxes[i].y1, boxes[i].y2 - 1));
    int64_t dx = int64_t(px) - cx, dy = int64_t(py) - cy;
    if (dx * dx + dy * dy < best) best = dx * dx + dy * dy, *x = px, *y = py;
  }
}

const char *grabSuffix(bool on, const char *text) { return on ? text : ""; }

// A polled real position (x, y on the head's real root). While a pointer grab holds the
// pointer, the real server may carry it onto another of its screens by itself; the real grab
// still sits on the previous head's copy of the grab window there, which gets that screen's
// motion as not-same-screen and drops it. Such a crossing is corrected: when the position lies
// on the meta screen part that the new head shows, the pointer is tracked there, and with it
// the grab. Only an active grab is carried so: under a button's grab (implicit or passive) the
// real server holds its own grab, and its crossing events lead. Everything else is followed as
// usual.
void followPolledPosition(Head *previous, Head *head, int32_t x, int32_t y, unsigned modifiers) {
  bool grabbed = proxyState.pointerGrab.client != nullptr;
  if (grabbed && !proxyState.pointerGrab.passive && previous && head && previous != head && displayOpen(previous) && head->metaScreen &&
      previous->metaScreen == head->metaScreen && previous->serverDisplay == head->serverDisplay &&
      previous->root != head->root) {
    int32_t metaX = x, metaY = y;
    xproxyHeadToRootXY(&metaX, &metaY, head);
    if (holds(head->logical, x, y) && holds(shownRect(head), metaX, metaY)) {
      logStep("Pointer crossed to %s at %d,%d under a grab ...", head->name, int(metaX), int(metaY));
      mainPointerTrack(kCorePointer, nullptr, head->metaScreen, metaX, metaY, 1);
      return;
    }
  }
  mainPointerFollow(previous, head, x, y, modifiers, grabbed);
}

// Steps 12 to 15 of a crossing: the warp onto the target (through the warping client's
// connection, else the proxy's own), the pointer grab issued again there and frozen devices
// thawed, LeaveWindow reported again. `client` made the move (NULL: the proxy); `warper` is the
// client whose connection carries the warp: the mover, or the grabbing client under a confining
// grab (its grab sequence and the warp then reach the real server in order on one connection).
void finishCrossing(int device, ClientConnection *client, ClientConnection *warper, Head *target, int32_t x, int32_t y) {
  const auto &pg = proxyState.pointerGrab;
  // 12. The warp itself.
  mainWarpPointerOnHead(device, warper, target, x, y);
  // 13. A grabbed pointer: the grab goes with it, now confined on the target (the real pointer is
  // there), and frozen devices are released there. The grab follows the warp: on the same
  // connection when the grabbing client carries the warp, else after a round trip on the
  // proxy's connection that warped (never on another client's).
  DisplayConnection *grabConnection = pg.client ? miscConnectionForHead(pg.client, target) : nullptr;
  if (grabConnection) {
    if (!warper && target->display) xproxySyncXlib(target->display, "a pointer warp");
    bool pointerFrozen = proxyState.pointerFreeze.client != nullptr;
    bool keyboardFrozen = proxyState.keyboardFreeze.client != nullptr;
    LOG(logChannelXhint, "GrabPointer on %s: owner-events=%d", target->name, int(pg.ownerEvents));
    miscForwardGrabPointer(target, 1);
    if (pointerFrozen || keyboardFrozen) {
      // The modes that thaw what the grab's freeze mode holds (AsyncPointer, AsyncKeyboard, AsyncBoth).
      uint8_t mode = pointerFrozen && keyboardFrozen ? 6 : pointerFrozen ? 0 : 3;
      if (uint8_t *request = xproxyBeginRequest(grabConnection, 35, mode, 8)) memset(request + 4, 0, 4);
      flushConnection(grabConnection);
    }
  }
  // 15.
  mainSelectInputOnHeads(client, 0x20);
  if (!client && mainServerDisplays && mainServerDisplays->display)
    xproxySyncXlib(mainServerDisplays->display, "a pointer warp");
}

// Warps of other movers written on the grabbing client's connection whose round trip behind
// them has not come back: the real pointer is not where the proxy has it until then, and the
// pointer poll does not follow it (it is about to move). Nobody waits for them: the mover goes
// on at once. Counted up when written; each round trip's release (answered, or dropped with its
// connection) counts down.
uint32_t carriedWarps;

void onCarriedWarpReleased(uintptr_t) {
  if (carriedWarps) carriedWarps--;
}

// A warp for another mover went out on the grabbing client's connection: the round trip behind
// it, waited for by nobody, and the connection flushed (nothing of the mover's pass does).
void noteCarriedWarp(ClientConnection *warper, Head *target) {
  DisplayConnection *connection = miscConnectionForHead(warper, target);
  if (!connection) return;
  if (xproxySendNoOpRequest(connection, xproxyNoOpNothing, 0, onCarriedWarpReleased)) carriedWarps++;
  flushConnection(connection);
}

}  // namespace

int mainSetPointerHead(int, Head *head, int32_t x, int32_t y, int force) {
  int changed = head != proxyState.pointerHead;
  if (!changed && !force && proxyState.pointerX == x && proxyState.pointerY == y) return 0;
  proxyState.pointerHead = head;
  proxyState.pointerX = x;
  proxyState.pointerY = y;
  return changed;
}

uint32_t mainServerIdOnPointerHead(uint32_t id) {
  Head *head = proxyState.pointerHead;
  if (!head || id <= 1) return id;
  if (head->metaScreen && id == head->metaScreen->root) return uint32_t(head->innerWindow ? head->innerWindow : head->root);
  return resourceServerId(id, kResourceWindow, head);
}

int mainQueryPointer(Display *display, Window root, int32_t x, int32_t y, Head **head, int32_t *metaX, int32_t *metaY,
                     int *clamped) {
  if (head) *head = nullptr;
  if (clamped) *clamped = 0;
  // The head of that display and root whose logical rectangle, widened by its border, is nearest.
  Head *best = nullptr;
  int64_t bestDistance = INT64_MAX;
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next) {
      if (h->display != display || h->root != root) continue;
      int64_t b = h->border;
      Rect wide{int32_t(std::max<int64_t>(INT32_MIN, h->logical.x - b)), int32_t(std::max<int64_t>(INT32_MIN, h->logical.y - b)),
                uint32_t(std::min<int64_t>(UINT32_MAX, h->logical.width + 2 * b)),
                uint32_t(std::min<int64_t>(UINT32_MAX, h->logical.height + 2 * b))};
      int64_t distance = rectDistance(wide, x, y);
      if (distance < bestDistance) bestDistance = distance, best = h;
    }
  if (!best) return 0;
  if (head) *head = best;
  int32_t mx = x, my = y;
  if ((configRecord.workarounds & kWorkaroundFixPointerCoordinates) && !holds(best->logical, x, y)) {
    xproxyHeadToRootXY(&mx, &my, best);
    *metaX = mx, *metaY = my;
    return 0;
  }
  xproxyHeadToRootXY(&mx, &my, best);
  Rect shown = shownRect(best);
  if (!holds(shown, mx, my)) {
    rectClampPoint(&mx, &my, shown);
    if (clamped) *clamped = 1;
  }
  *metaX = mx, *metaY = my;
  return 1;
}

bool mainQueryRealPointer(Display *display, Window window, const char *what, MainRealPointer *pointer) {
  *pointer = {};
  if (!display) return false;
  // Xlib's requests go out first: the answer then also covers them, as after a round trip.
  XFlush(display);
  xcb_connection_t *connection = XGetXCBConnection(display);
  xcb_query_pointer_cookie_t cookie = xcb_query_pointer(connection, xcb_window_t(window));
  void *reply = nullptr;
  if (const char *failure = xtargetReplyWithin(display, cookie.sequence, xproxySyncWaitLimitMs, "QueryPointer", &reply)) {
    LOG(logChannelProblem, "The pointer query on the proxy's own connection for %s failed: %s", what, failure);
    return false;
  }
  const auto *answer = static_cast<const xcb_query_pointer_reply_t *>(reply);
  *pointer = MainRealPointer{answer->root, answer->root_x, answer->root_y, answer->mask};
  free(reply);
  return true;
}

Head *mainQueryPointerOnHead(Display *display, Head *head, int32_t *x, int32_t *y, unsigned *mask) {
  if (!display || !head) return nullptr;
  MainRealPointer pointer;
  if (!mainQueryRealPointer(display, head->root, "a pointer query", &pointer) || !pointer.root) return nullptr;
  if (mask) *mask = pointer.mask;
  Head *found = nullptr;
  int clamped = 0;
  if (!mainQueryPointer(display, pointer.root, pointer.rootX, pointer.rootY, &found, x, y, &clamped)) return nullptr;
  return found;
}

void mainWarpPointerOnHead(int device, ClientConnection *client, Head *head, int32_t x, int32_t y) {
  if (!head) return;
  mainRootToHeadXY(&x, &y, head);
  x = std::clamp<int32_t>(x, 0, int32_t(std::max<uint32_t>(1, head->realWidth) - 1));
  y = std::clamp<int32_t>(y, 0, int32_t(std::max<uint32_t>(1, head->realHeight) - 1));
  if (DisplayConnection *connection = client ? miscConnectionForHead(client, head) : nullptr) {
    core11GWarpPointer(connection, uint32_t(head->root), int16_t(x), int16_t(y));
    return;
  }
  if (!head->display) return;
  // The remote-control library moves the core pointer with a warp onto the screen's root; when
  // it cannot attach to the display the warp is made directly.
  if (xrcMovePointer(head->display, unsigned(device), head->screen, x, y, 0))
    XWarpPointer(head->display, None, head->root, 0, 0, 0, 0, x, y);
}

void mainSelectInputOnHeads(ClientConnection *client, long mask) {
  syncClient(client, logChannelProblem);
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next)
      if (h->display && h->middleWindow) XSelectInput(h->display, h->middleWindow, mask);
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next) {
    if (!d->display) continue;
    if (client)
      xproxySyncXlib(d->display, "the input selection of the heads");
    else
      XFlush(d->display);
  }
}

Head *mainNearestHead(Head *head) {
  if (!head) return nullptr;
  Head *best = head;
  uint32_t bestResult = UINT32_MAX;
  int32_t bestX = 0, bestY = 0;
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next) {
      if (!h->display) continue;
      uint32_t result = xpointerCross(&head->pointerArea, &h->pointerArea);
      // -1 and -2 (the own head without a way out) do not take part.
      if (int32_t(result) < 0) continue;
      if (result < bestResult) bestResult = result, best = h, bestX = h->pointerArea.destinationX, bestY = h->pointerArea.destinationY;
    }
  if (best != head) best->pointerArea.destinationX = bestX, best->pointerArea.destinationY = bestY;
  return best;
}

void mainPointerTrack(int device, ClientConnection *client, MetaScreen *screen, int32_t x, int32_t y, int) {
  if (!screen) return;
  // 1. Connections that broke are handled before the pointer moves on.
  if (!client)
    for (ClientConnection *c = xproxyClients; c; c = c->next)
      if (const char *error = xscreenBrokenConnection(c)) LOG(logChannelProblem, "%s", error);
  // 2. The previous head counts only with an open display; the point stays on the meta screen.
  Head *previous = displayOpen(proxyState.pointerHead) ? proxyState.pointerHead : nullptr;
  Rect whole{0, 0, std::max<uint32_t>(1, screen->width), std::max<uint32_t>(1, screen->height)};
  rectClampPoint(&x, &y, whole);
  // A confining grab: into its region, as one screen of the meta screen's size confines it; the
  // target is then a head that the region reaches.
  const auto &pg = proxyState.pointerGrab;
  bool confined = confinedOn(screen);
  if (confined) mainConfinePoint(pg.confineTo, nullptr, &x, &y);
  // Under a confining grab of another client the warp goes through the grabbing client's
  // connection, in order with the grab it moves (confining a copy on another real screen than the
  // pointer's would leave the real server spinning); the mover waits for none of it.
  ClientConnection *warper = confined && pg.client ? pg.client : client;
  // 3. The last head showing the point; else a panning head brought over it; else the nearest.
  Head *target = nullptr;
  for (Head *h = screen->heads; h; h = h->next)
    if (displayOpen(h) && holds(shownRect(h), x, y)) target = h;
  if (!target) {
    Head *nearestPanning = nullptr;
    int64_t best = INT64_MAX;
    for (Head *h = screen->heads; h; h = h->next)
      if (displayOpen(h) && (h->panX || h->panY) && rectDistance(shownRect(h), x, y) < best)
        best = rectDistance(shownRect(h), x, y), nearestPanning = h;
    if (nearestPanning) {
      xproxyPanHead(nearestPanning, x, y, client, 1);
      if (holds(shownRect(nearestPanning), x, y)) target = nearestPanning;
    }
  }
  if (!target) {
    int64_t best = INT64_MAX;
    for (Head *h = screen->heads; h; h = h->next)
      if (displayOpen(h) && rectDistance(shownRect(h), x, y) < best) best = rectDistance(shownRect(h), x, y), target = h;
  }
  if (!target) {
    LOG_UNE();
    return;
  }
  // 4. Into the target's visible rectangle (and what the confinement has of it).
  rectClampPoint(&x, &y, confined ? shrunk(shownRect(target)) : shownRect(target));
  if (confined) mainConfinePoint(pg.confineTo, target, &x, &y);
  // 5. Same head: a plain warp. With no carried warp outstanding the real pointer and the real
  // confinement are on that head already: the mover's own connection keeps its order.
  if (target == previous) {
    if (!carriedWarps) warper = client;
    mainWarpPointerOnHead(device, warper, target, x, y);
    if (!warper) XFlush(target->display);
    if (warper != client) noteCarriedWarp(warper, target);
    mainSetPointerHead(device, target, x, y, 1);
    return;
  }
  // 6. A crossing: the heads stop reporting LeaveWindow meanwhile.
  mainSelectInputOnHeads(client, 0);
  const auto &kg = proxyState.keyboardGrab;
  bool pointerGrabbed = pg.client != nullptr, keyboardGrabbed = kg.client != nullptr;
  bool pointerFrozen = proxyState.pointerFreeze.client != nullptr;
  bool keyboardFrozen = proxyState.keyboardFreeze.client != nullptr;
  bool carryGrabs = !previous || previous->metaScreen == screen;
  bool pointerCarried = pointerGrabbed && carryGrabs && proxyState.pointerFreeze.mode != 5;
  bool keyboardCarried = keyboardGrabbed && carryGrabs && proxyState.keyboardFreeze.mode != 5;
  // Within the meta screen the clients get the crossing events of the window tree from the
  // window under the real pointer's position to the one under the new position, before the real
  // server reports its change of screen in its own terms (dropped: windowcrossing.h). The one
  // warp onto the target gives the motion; a second one would report a motion twice.
  if (previous && previous->metaScreen == screen) {
    int32_t oldX = proxyState.pointerX, oldY = proxyState.pointerY, queriedX = oldX, queriedY = oldY;
    unsigned state = 0;
    Head *under = mainQueryPointerOnHead(previous->display, previous, &queriedX, &queriedY, &state);
    if (under && under->metaScreen == screen) oldX = queriedX, oldY = queriedY;
    windowCrossHeads(screen, previous, oldX, oldY, target, x, y, uint16_t(state), pointerCarried, keyboardCarried);
  }
  // 7.
  logStep("Pointer warped to %s at %d,%d from %s by %s%s%s%s%s", target->name, int(x), int(y),
          previous ? previous->name : "(none)", xscreenClientName(client), grabSuffix(pointerGrabbed, ", pointer grabbed"),
          grabSuffix(pointerFrozen, ", pointer frozen"), grabSuffix(keyboardGrabbed, ", keyboard grabbed"),
          grabSuffix(keyboardFrozen, ", keyboard frozen"));
  // 8. The pointer grab is issued again on the target; a confining one without its confinement
  // until the warp has brought the real pointer onto the target (step 13).
  if (pointerCarried) {
    LOG(logChannelXhint, "GrabPointer on %s: owner-events=%d cursor=0x%x", target->name, int(pg.ownerEvents),
        pg.cursor ? unsigned(pg.cursor->id) : 0u);
    miscForwardGrabPointer(target, 0);
  }
  // 9. The focus follows onto the target.
  proxyState.focusHead = target;
  uint32_t focus = proxyState.focusWindow;
  proxyState.pointerHead = target;  // the focus id is translated for the target
  uint32_t serverFocus = mainServerIdOnPointerHead(focus);
  ClientConnection *focusClient = keyboardGrabbed ? kg.client : client;
  DisplayConnection *focusConnection = focusClient ? miscConnectionForHead(focusClient, target) : nullptr;
  if (focusConnection) {
    core11GSetInputFocus(focusConnection, proxyState.focusRevertTo, serverFocus);
    flushConnection(focusConnection);
  } else if (target->display) {
    XSetInputFocus(target->display, serverFocus, proxyState.focusRevertTo, CurrentTime);
    XFlush(target->display);
  }
  // 10. The keyboard grab follows.
  if (keyboardCarried) {
    logStep("Warp with active keyboard grab");
    miscForwardGrabKeyboard(target, 1);
  }
  mainSetPointerHead(device, target, x, y, 1);
  // 12 to 15. Nothing waits for the grabbing or keyboard-grabbing client's connection: what
  // went out on it is taken in its order there, whenever the real server reads it.
  finishCrossing(device, client, warper, target, x, y);
  if (warper != client) noteCarriedWarp(warper, target);
}

void mainConfinePoint(const WindowRecord *confine, const Head *head, int32_t *x, int32_t *y) {
  Region *region = regionCreate();
  if (!region) return LOG_OUT_OF_MEMORY();
  if (confinementRegion(confine, head, region)) clampIntoRegion(region, x, y);
  regionDestroy(region);
}

bool mainConfinementReaches(const WindowRecord *confine, const Head *head) {
  Region *region = regionCreate();
  if (!region) return LOG_OUT_OF_MEMORY(), false;
  bool reaches = confinementRegion(confine, head, region);
  regionDestroy(region);
  return reaches;
}

bool mainConfinementHolds(const WindowRecord *confine, int32_t x, int32_t y) {
  return confine && confine->borderSize && regionContainsPoint(x, y, confine->borderSize);
}

bool mainConfinementLost() {
  const auto &g = proxyState.pointerGrab;
  WindowRecord *confine = g.client ? g.confineTo : nullptr;
  Head *head = proxyState.pointerHead;
  if (!confine || !confine->screen || !confine->realized || !head) return false;
  if (head->metaScreen == confine->screen && mainConfinementReaches(confine, head)) return false;
  return mainConfinementReaches(confine, nullptr);
}

void mainKeepPointerConfined(ClientConnection *client) {
  if (!mainConfinementLost()) return;
  WindowRecord *confine = proxyState.pointerGrab.confineTo;
  bool sameScreen = proxyState.pointerHead->metaScreen == confine->screen;
  int32_t x = sameScreen ? proxyState.pointerX : 0, y = sameScreen ? proxyState.pointerY : 0;
  logStep("Pointer kept in the confine-to window 0x%x", confine->id);
  mainPointerTrack(kCorePointer, client, confine->screen, x, y, 0);
}

void mainPointerFollow(Head *, Head *head, int32_t x, int32_t y, unsigned modifiers, int grabbed) {
  if (!head || !head->metaScreen) return;
  // 1. The recorded position, on the head.
  int32_t clampedX = x, clampedY = y;
  rectClampPoint(&clampedX, &clampedY, head->logical);
  int32_t metaX = clampedX, metaY = clampedY;
  xproxyHeadToRootXY(&metaX, &metaY, head);
  mainSetPointerHead(kCorePointer, head, metaX, metaY, 0);
  // 2. Without a grab the middle windows' LeaveWindow events drive crossings.
  if (!grabbed && !proxyState.pointerGrab.client) return;
  bool confined = confinedOn(head->metaScreen);
  // 3. A confined pointer on the edge goes just outside.
  if (confined) {
    int64_t right = int64_t(head->logical.x) + head->logical.width - 1, bottom = int64_t(head->logical.y) + head->logical.height - 1;
    if (x == head->logical.x || y == head->logical.y || x == right || y == bottom) rectClampOutside(&x, &y, head->logical);
  }
  // 4. Inside: nothing to follow.
  if (holds(head->logical, x, y)) {
    proxyState.pointerFollowing = 0;
    return;
  }
  // 5. The head the pointer left for.
  xpointerSetHeadPosition(&head->pointerArea, head->display, head->screen, x - head->logical.x, y - head->logical.y);
  Head *chosen = mainNearestHead(head);
  int32_t targetX = x, targetY = y;
  if (chosen != head && chosen->metaScreen != head->metaScreen && confined) chosen = head;
  if (chosen != head) {
    int px = 0, py = 0;
    xpointerToPixels(&chosen->pointerArea, chosen->display, chosen->screen, &px, &py);
    targetX = px + chosen->logical.x, targetY = py + chosen->logical.y;
    rectClampOutside(&targetX, &targetY, chosen->logical);
    rectClampPoint(&targetX, &targetY, chosen->logical);
  }
  xproxyHeadToRootXY(&targetX, &targetY, chosen);
  MetaScreen *screen = chosen->metaScreen;
  // 6. Still the pointer head: past the meta screen, or panning.
  if (chosen == proxyState.pointerHead && !chosen->staticDisplay && screen) {
    Rect whole{0, 0, std::max<uint32_t>(1, screen->width), std::max<uint32_t>(1, screen->height)};
    if (!holds(whole, targetX, targetY)) {
      proxyState.pointerFollowing = 0;
      mainPointerTrack(kCorePointer, nullptr, screen, targetX, targetY, 1);
      return;
    }
    unsigned wanted = chosen->followPointerModifiers;
    if ((modifiers & wanted) == wanted && (chosen->panX || chosen->panY)) {
      // The first step of a following only marks it; the pan waits for the next poll (a pause
      // that stalls no client).
      if (!proxyState.pointerFollowing) {
        proxyState.pointerFollowing = 1;
        return;
      }
      int32_t qx = 0, qy = 0;
      Head *under = chosen->display ? mainQueryPointerOnHead(chosen->display, chosen, &qx, &qy) : nullptr;
      if (under == chosen) {
        int32_t realX = qx, realY = qy;
        mainRootToHeadXY(&realX, &realY, chosen);
        if (realX > chosen->logical.x && realY > chosen->logical.y &&
            int64_t(realX) < int64_t(chosen->logical.x) + chosen->logical.width - 1 &&
            int64_t(realY) < int64_t(chosen->logical.y) + chosen->logical.height - 1) {
          proxyState.pointerFollowing = 0;
          mainPointerTrack(kCorePointer, nullptr, screen, qx, qy, 0);
          return;
        }
      }
      xproxyPanHead(chosen, targetX, targetY, nullptr, 1);
      return;
    }
  }
  // 7.
  proxyState.pointerFollowing = 0;
  if (screen) mainPointerTrack(kCorePointer, nullptr, screen, targetX, targetY, 1);
}

void mainQueryPointerReply(uint8_t *reply, uintptr_t argument) {
  auto *connection = reinterpret_cast<DisplayConnection *>(argument);
  if (xproxyPointerPollDepth()) xproxyPointerPollReplyHandled = 1;
  if (!reply || carriedWarps) return;  // a carried warp is about to move the pointer
  uint32_t root = 0, window = 0;
  int16_t rootX = 0, rootY = 0, windowX = 0, windowY = 0;
  uint16_t mask = 0;
  memcpy(&root, reply + 8, 4);
  memcpy(&window, reply + 12, 4);
  memcpy(&rootX, reply + 16, 2);
  memcpy(&rootY, reply + 18, 2);
  memcpy(&windowX, reply + 20, 2);
  memcpy(&windowY, reply + 22, 2);
  memcpy(&mask, reply + 24, 2);
  ServerDisplay *serverDisplay = connection ? connection->display : nullptr;
  Display *display = serverDisplay ? serverDisplay->display : nullptr;
  Head *head = serverDisplay ? mainFindHeadByRoot(serverDisplay, root) : nullptr;
  if (!head) {
    LOG(logChannelXhint, "Ignoring query pointer reply (unknown root 0x%x) from %s", root,
        serverDisplay && serverDisplay->name ? serverDisplay->name : "(none)");
    return;
  }
  int32_t x = reply[1] ? rootX : windowX, y = reply[1] ? rootY : windowY;
  if (!reply[1]) x = rootX, y = rootY;  // another screen: only the root position means anything
  Head *previous = proxyState.pointerHead;
  Head *found = nullptr;
  int32_t metaX = 0, metaY = 0;
  int clamped = 0;
  (void)mainQueryPointer(display, root, x, y, &found, &metaX, &metaY, &clamped);
  if (!found) found = head;
  if (found != previous && display) {
    // Another head: the answer may have left the real server before the proxy moved the
    // pointer to the pointer head itself. The real pointer is asked again, and its present place
    // is followed (a stale answer would carry the pointer back).
    MainRealPointer now;
    if (!mainQueryRealPointer(display, head->root, "the pointer poll", &now)) return;
    Head *there = now.root ? mainFindHeadByRoot(serverDisplay, now.root) : nullptr;
    if (!there) return;
    x = now.rootX, y = now.rootY, mask = uint16_t(now.mask), found = nullptr;
    (void)mainQueryPointer(display, now.root, x, y, &found, &metaX, &metaY, &clamped);
    if (!found) found = there;
  }
  followPolledPosition(previous, found, x, y, mask);
}

bool xproxyPointerQueryWaits(const ClientConnection *client) {
  return !xproxyPointerPollInterval() && mainServerDisplays && mainServerDisplays->display && client &&
         client->displayCount;
}

const char *xproxyQueryPointerPosition(Head **head, int32_t *x, int32_t *y) {
  if (!xproxyPointerPollInterval() && mainServerDisplays && mainServerDisplays->display) {
    Display *display = mainServerDisplays->display;
    // A server that does not answer in time leaves the proxy's own idea of the pointer.
    MainRealPointer pointer;
    mainQueryRealPointer(display, DefaultRootWindow(display), "a pointer query", &pointer);
    if (Head *found = pointer.root ? mainFindHeadByRoot(mainServerDisplays, pointer.root) : nullptr) {
      int32_t mx = pointer.rootX, my = pointer.rootY;
      xproxyHeadToRootXY(&mx, &my, found);
      *head = found, *x = mx, *y = my;
      return nullptr;
    }
  }
  *head = proxyState.pointerHead;
  *x = proxyState.pointerX;
  *y = proxyState.pointerY;
  return nullptr;
}

// ===== pointer poll =====
// One poll step (called by the poll timer in xproxypoll.cpp): a QueryPointer through a set-up
// client's connection when one is ready (its answer comes back to mainQueryPointerReply), else
// the real pointer asked of the pointer head's display directly.
void mainPollPointerOnce() {
  Head *head = proxyState.pointerHead;
  if (!head || !head->display || carriedWarps) return;
  for (ClientConnection *c = xproxyClients; c; c = c->next) {
    if (!c->displayCount || !c->displays || !c->displays[0]) continue;
    DisplayConnection *connection = miscConnectionForHead(c, head);
    if (!connection || !connection->setupDone) continue;
    core11GQueryPointer(connection, uint32_t(head->root));
    xproxyPushReplyCallback(connection, kReplyTagPointerPoll, reinterpret_cast<uintptr_t>(connection), nullptr);
    flushConnection(connection);
    return;
  }
  MainRealPointer pointer;
  if (!mainQueryRealPointer(head->display, head->root, "the pointer poll", &pointer) || !pointer.root) return;
  Head *found = mainFindHeadByRoot(head->serverDisplay, pointer.root);
  if (!found) return;
  followPolledPosition(head, found, pointer.rootX, pointer.rootY, pointer.mask);
}
// ===== end of pointer poll =====

void mainFlushConnectionLogged(DisplayConnection *connection) { flushConnection(connection); }
void mainSyncClientLogged(ClientConnection *client) { syncClient(client, logChannelWarning); }

void mainFlushHeadRegions() {
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next) {
      if (!h->exposures) continue;
      if (h->display && h->innerWindow) {
        long count = 0;
        XRectangle *rects = regionGetRects(h->exposures, &count);
        if (rects) miscForceExposures(h->display, h->innerWindow, rects, int(std::min<long>(count, INT32_MAX)));
        free(rects);
        XFlush(h->display);
      }
      regionResetRect(h->exposures, 0, 0, 0, 0);
    }
}
