// Window records.
#include "proxy/window.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/xcorepassive.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/circlist.h"
#include "support/host.h"
#include "support/logging.h"
#include "support/orders.h"
#include "xclient/region.h"
#include "xext/glxdirect.h"
#include "xext/windowbuffers.h"
#include "support/strtemp.h"
#include "proxy/windowinternal.h"

namespace {
void destroyRoutine(uint32_t, void *value) { windowDestroy(static_cast<WindowRecord *>(value)); }

// xcorePassiveGrabHolds: a grab counts in the windows it names (clientHolds). A window whose id
// has left the table when the grab goes is being freed: its count goes with it.
void countGrabHolds(PassiveGrab *g, int delta) {
  auto count = [delta](uint32_t id, uint8_t *held) {
    auto *w = id && (delta > 0 || *held) ? static_cast<WindowRecord *>(resourceLookupWindow(id)) : nullptr;
    if (delta > 0) *held = w != nullptr;
    if (!w) return;
    if (delta > 0)
      w->clientHolds++;
    else if (w->clientHolds > 0)
      w->clientHolds--;
  };
  count(g->window, &g->holdsWindow);
  count(g->confineTo, &g->holdsConfineTo);
}

// A record and the storage of its four regions come in one zeroed allocation: a validation
// reads them together, and mapping and unmapping windows then touches fewer cache lines.
constexpr size_t kRegionStoreOffset = (sizeof(WindowRecord) + alignof(Region) - 1) / alignof(Region) * alignof(Region);
constexpr size_t kOwnRegions = 4;

WindowRecord *allocateRecord() {
  return static_cast<WindowRecord *>(calloc(1, kRegionStoreOffset + kOwnRegions * sizeof(Region)));
}

Region *regionStoreOf(WindowRecord *window) {
  return reinterpret_cast<Region *>(reinterpret_cast<char *>(window) + kRegionStoreOffset);
}
}  // namespace

WindowRecord *windowCreateRecord(uint32_t id, MetaScreen *screen, VisualRecord *visual) {
  // Type 1's free routine is the tree's destruction (installed before the first window), and
  // the passive grabs count in the windows they name.
  resourceTypeRoutines[kResourceWindow].free = destroyRoutine;
  xcorePassiveGrabHolds = countGrabHolds;
  WindowRecord *window = allocateRecord();
  if (!window) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  window->id = id;
  window->screen = screen;
  window->visual = visual;
  if (!resourceAdd(id, kResourceWindow, window)) return nullptr;  // freed by its free routine
  return window;
}

void windowFreeRecord(WindowRecord *window) { windowDestroy(window); }

MetaScreen *windowLookupScreen(uint32_t id) {
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(id));
  return window ? window->screen : nullptr;
}

// ===== root windows =====
WindowRecord *windowCreateRoot(uint32_t id, MetaScreen *screen) {
  WindowRecord *window = windowCreateRecord(id, screen, screen->rootVisual);
  if (!window) return nullptr;
  window->windowClass = 1;
  window->depth = screen->rootVisual ? screen->rootVisual->depth : 0;
  window->width = uint16_t(screen->width > 0xffff ? 0xffff : screen->width);
  window->height = uint16_t(screen->height > 0xffff ? 0xffff : screen->height);
  window->colormap = screen->defaultColormap;
  window->mapped = window->realized = window->viewable = 1;
  // ===== window tree (root) =====
  window->windowGravity = 1;
  window->backgroundState = 3;
  if (!windowAttachTreeData(window)) {
    resourceFree(id, 0);
    return nullptr;
  }
  window->visibility = 0;
  regionResetRect(window->windowSize, 0, 0, window->width, window->height);
  regionResetRect(window->borderSize, 0, 0, window->width, window->height);
  regionResetRect(window->borderClip, 0, 0, window->width, window->height);
  regionResetRect(window->clipList, 0, 0, window->width, window->height);
  // ===== end of window tree (root) =====
  screen->root = id;
  return window;
}

uint32_t windowAllEventMasks(const WindowRecord *window) {
  uint32_t mask = 0;
  for (const EventSelection *s = window ? window->selections : nullptr; s; s = s->next) mask |= s->mask;
  return mask;
}
// ===== end of root windows =====


// ===== window tree =====
// Creation, destruction and the blocks of destroyed windows; attributes, selections, the save
// set and the queries. Mapping, geometry and validation are in windowtree.cpp; grabs, freezes
// and focus in windowgrab.cpp.

namespace {

// Blocks of destroyed windows waiting for their time; the first block's previous is the last.
// Each joins at the tail with the same lifetime: the list is in the order of their expiry.
WindowSelectionBlock *pendingBlocks;
// The list's one timer, armed for the first block's expiry while the list holds a block:
// armed by armPendingTimer, cancelled when the list empties; the loop frees it once it fired
// or was cancelled.
Order *pendingTimer;
// Blocks freed since freed heap memory was last given back to the system.
uint32_t blocksFreedSinceTrim;
// A list that drains after at least this many blocks gives the freed memory back: a burst of
// destroyed windows leaves no resident pages behind, a window now and then costs no trim.
constexpr uint32_t kTrimAfterBlocks = 256;

// Entries the close-time drops looked at (windowDropVisits).
uint64_t dropVisits;

// Takes an entry off its window's list and its client's list and frees it.
void unlinkSelection(EventSelection *s) {
  *s->link = s->next;
  if (s->next) s->next->link = s->link;
  if (s->clientLink) {
    *s->clientLink = s->clientNext;
    if (s->clientNext) s->clientNext->clientLink = s->clientLink;
  }
  free(s);
}

void freeSelections(EventSelection **list) {
  while (*list) unlinkSelection(*list);
}

// Sets the client's mask in the list of the window (of a block when inBlock); mask 0 removes
// its entry. 0 when out of memory.
int setSelection(EventSelection **list, ClientConnection *client, uint32_t mask, uint32_t windowId, bool inBlock) {
  for (EventSelection *s = *list; s; s = s->next) {
    if (s->client != client) continue;
    if (mask == 0) return unlinkSelection(s), 1;
    s->mask = mask;
    return 1;
  }
  if (mask == 0) return 1;
  auto *s = static_cast<EventSelection *>(calloc(1, sizeof(EventSelection)));
  if (!s) {
    LOG_OUT_OF_MEMORY();
    return 0;
  }
  s->client = client;
  s->mask = mask;
  s->windowId = windowId;
  s->inBlock = inBlock;
  // Appended: the order of selection is the order of delivery.
  EventSelection **link = list;
  while (*link) link = &(*link)->next;
  *link = s;
  s->link = link;
  if (client) {  // at the front of the client's list: the order there means nothing
    s->clientNext = client->eventSelections;
    if (s->clientNext) s->clientNext->clientLink = &s->clientNext;
    client->eventSelections = s;
    s->clientLink = &client->eventSelections;
  }
  return 1;
}

int setWindowSelection(WindowRecord *window, ClientConnection *client, uint32_t mask) {
  return setSelection(&window->selections, client, mask, window->id, false);
}

int setBlockSelection(WindowSelectionBlock *block, ClientConnection *client, uint32_t mask) {
  return setSelection(&block->entries, client, mask, block->windowId, true);
}

uint32_t maskOf(const EventSelection *list, const ClientConnection *client) {
  for (const EventSelection *s = list; s; s = s->next)
    if (s->client == client) return s->mask;
  return 0;
}

void pendingTimerFired(void *);

// Arms the list's timer for its first block when there is a block and no timer; 0 when the
// timer is needed but cannot be had (out of memory).
int armPendingTimer() {
  if (pendingTimer || !pendingBlocks) return 1;
  uint64_t now = ordersClock();
  // At least 1 ms: a timer of 0 would spin the loop until its clock moves on.
  uint64_t delay = pendingBlocks->expiry > now ? pendingBlocks->expiry - now : 0;
  pendingTimer = ordersAddTimer(delay ? delay : 1, pendingTimerFired, nullptr);
  return pendingTimer != nullptr;
}

// Frees the blocks whose time has come, then waits for the next one. A list that drained after
// a burst gives the freed heap back to the system.
void pendingTimerFired(void *) {
  pendingTimer = nullptr;  // fired: the loop frees the order
  uint64_t now = ordersClock();
  while (pendingBlocks && pendingBlocks->expiry <= now) windowFreeSelectionBlock(pendingBlocks);
  if (!armPendingTimer()) windowFreePendingSelectionBlocks();
  if (pendingBlocks || blocksFreedSinceTrim < kTrimAfterBlocks) return;
  uint32_t freed = blocksFreedSinceTrim;
  blocksFreedSinceTrim = 0;
  hostHeapTrim();
  LOG(logChannelStep, "Event masks of %u destroyed windows freed, heap in use %zu bytes", freed, hostHeapInUse());
}

int16_t clamp16(int64_t v) { return int16_t(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

const char *clientText(ClientConnection *client) { return xscreenClientName(client); }

}  // namespace

int windowAttachTreeData(WindowRecord *window) {
  // The regions live in the record's own allocation (allocateRecord).
  Region *store = regionStoreOf(window);
  Region **own[kOwnRegions] = {&window->clipList, &window->borderClip, &window->windowSize, &window->borderSize};
  for (size_t i = 0; i < kOwnRegions; i++)
    if (!*own[i]) {
      regionInit(&store[i]);
      *own[i] = &store[i];
    }
  if (!window->block) {
    window->block = static_cast<WindowSelectionBlock *>(calloc(1, sizeof(WindowSelectionBlock)));
    if (!window->block) return LOG_OUT_OF_MEMORY(), 0;
    window->block->windowId = window->id;
  }
  return 1;
}

WindowRecord *windowRootOf(const WindowRecord *window) {
  if (!window || !window->screen) return nullptr;
  return static_cast<WindowRecord *>(resourceLookupWindow(window->screen->root));
}

WindowRecord *windowStayOnTopSibling(WindowRecord *) { return nullptr; }

WindowRecord *windowCreate(uint32_t id, WindowRecord *parent, int32_t x, int32_t y, uint16_t width, uint16_t height,
                           uint16_t borderWidth, uint16_t windowClass, uint8_t depth) {
  if (!parent) return nullptr;
  WindowRecord *window = allocateRecord();
  if (!window) {
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  window->id = id;
  window->screen = parent->screen;
  window->visual = parent->visual;
  window->windowClass = windowClass ? windowClass : parent->windowClass;
  window->depth = depth ? depth : (window->windowClass == 1 ? parent->depth : 0);
  window->width = width;
  window->height = height;
  window->borderWidth = borderWidth;
  window->colormap = parent->colormap;
  window->windowGravity = 1;
  window->visibility = 3;
  window->owner = xproxyCurrentClient;
  window->originX = x + borderWidth;
  window->originY = y + borderWidth;
  if (!windowAttachTreeData(window)) {
    windowFreeSelectionBlock(window->block);  // never seen by anybody: no grace period
    window->block = nullptr;
    windowFreeRecordData(window);
    free(window);
    return nullptr;
  }
  resourceTypeRoutines[kResourceWindow].free = destroyRoutine;
  xcorePassiveGrabHolds = countGrabHolds;
  if (!resourceAdd(id, kResourceWindow, window)) return nullptr;  // freed by its free routine
  windowLinkAbove(window, parent, parent->firstChild);
  windowRecomputeSubtree(window);
  WindowSelectionBlock *b = window->block;
  b->x = clamp16(window->x);
  b->y = clamp16(window->y);
  b->width = int16_t(width);
  b->height = int16_t(height);
  b->borderWidth = int16_t(borderWidth);
  return window;
}

void windowApplyCreateAttributes(WindowRecord *window, uint32_t eventMask) {
  if (!window) return;
  ClientConnection *client = xproxyCurrentClient;
  setWindowSelection(window, client, eventMask);
  setBlockSelection(window->block, client, eventMask);
}

void windowFreeRecordData(WindowRecord *window) {
  // Save sets and passive grabs of every client, when any names the window (the close of a client
  // with many windows then costs its windows, not its windows times the clients).
  for (ClientConnection *c = window->clientHolds ? xproxyClients : nullptr; c; c = c->next) {
    // ===== save sets (window) =====
    for (uint32_t i = 0; i < c->saveSetCount;) {
      if (c->saveSet[i] == window) {
        c->saveSet[i] = c->saveSet[--c->saveSetCount];
        window->clientHolds--;
      } else {
        i++;
      }
    }
    // ===== end of save sets (window) =====
    // Passive grabs on the window or confined to it.
    for (PassiveGrab *g = c->passiveGrabs; g;) {
      PassiveGrab *next = g->next;
      if (g->window == window->id || g->confineTo == window->id) xcoreFreeGrab(g, c);
      g = next;
    }
  }
  if (window->backgroundPixmap) resourceFreePixmap(window->backgroundPixmap, 0);
  window->backgroundPixmap = nullptr;
  while (WindowBoundResource *r = window->boundResources) {
    window->boundResources = r->next;
    free(r);
  }
  for (Region **r : {&window->clipList, &window->borderClip, &window->windowSize, &window->borderSize}) {
    regionFini(*r);  // the record's own storage
    *r = nullptr;
  }
  for (Region **r : {&window->clipShape, &window->boundingShape, &window->inputShape}) {
    regionDestroy(*r);
    *r = nullptr;
  }
  if (window->cursor) resourceReleaseCursor(window->cursor);
  window->cursor = nullptr;
  freeSelections(&window->selections);
  doublebufFreeWindowBuffers(window);
  renderFreeWindowPictures(window);
  if (window->multibufData) multibufFreeWindowBuffers(window);
  window->multibufData = nullptr;
  free(window->validation);
  window->validation = nullptr;
  // The block waits 7 s for events the real server still sends for the window (a root goes only
  // at a reset or the exit, when nothing more comes for it).
  bool root = window->screen && window->screen->root == window->id;
  if (root && window->block) {
    windowFreeSelectionBlock(window->block);
    window->block = nullptr;
  }
  if (WindowSelectionBlock *b = window->block) {
    window->block = nullptr;
    b->x = clamp16(window->x);
    b->y = clamp16(window->y);
    b->expiry = ordersClock() + kWindowBlockLifetimeMs;
    circListPushBack(&pendingBlocks, b);
    // Without a timer no block could wait: the block goes at once (the list held only it).
    if (!armPendingTimer()) windowFreeSelectionBlock(b);
  }
}

void windowDestroy(WindowRecord *window) {
  if (!window) return;
  // GL drawn inside the proxy lets go of the window and every window under it before the real
  // server hears of their end.
  for (WindowRecord *w = window; w;) {
    for (Head *head = w->screen ? w->screen->heads : nullptr; head; head = head->next)
      if (head->glLibrary) glxdirectWindowGone(head, resourceServerId(w->id, kResourceWindow, head));
    if (w->firstChild) {
      w = w->firstChild;
      continue;
    }
    while (w != window && !w->nextSibling) w = w->parent;
    w = w == window ? nullptr : w->nextSibling;
  }
  // Unmapped first, quietly but for the focus: its subtree is no longer realized.
  if (window->mapped && window->parent) {
    bool wasViewable = window->viewable;
    window->mapped = 0;
    if (window->realized) windowUnrealize(window, 0, 1);
    if (wasViewable) windowValidateTree(window->parent, window, kWindowValidateUnmap);
  } else if (window->realized) {
    windowUnrealize(window, 0, 1);  // a root at the end of a run
  }
  // The subtree from the deepest windows up, the bottom of each stacking order first.
  WindowRecord *d = window;
  for (;;) {
    while (d->lastChild) d = d->lastChild;
    if (d == window) break;
    WindowRecord *up = d->parent;
    windowUnlink(d);
    // Its own entry leaves its owner's table without this routine running again; the other
    // resources bound to its id are freed with it.
    resourceFree(d->id, kResourceWindow);
    windowFreeRecordData(d);
    free(d);
    d = up;
  }
  if (window->parent) windowUnlink(window);
  windowFreeRecordData(window);
  free(window);
}

WindowSelectionBlock *windowSelectionBlockById(uint32_t id) {
  if (auto *w = static_cast<WindowRecord *>(resourceLookupWindow(id))) return w->block;
  // The newest block of that id (an id may have been reused meanwhile).
  WindowSelectionBlock *found = nullptr;
  for (WindowSelectionBlock *b = pendingBlocks; b; b = b->next)
    if (b->windowId == id) found = b;
  return found;
}

void windowFreeSelectionBlock(WindowSelectionBlock *block) {
  if (!block) return;
  bool listed = block == pendingBlocks || (block->previous && block->previous->next == block);
  if (listed) {
    circListUnlink(&pendingBlocks, block);
    blocksFreedSinceTrim++;
    // A timer left waiting for an earlier block than the first finds nothing due and waits on.
    if (!pendingBlocks) {
      ordersCancel(pendingTimer);
      pendingTimer = nullptr;
    }
  }
  freeSelections(&block->entries);
  free(block);
}

void windowFreePendingSelectionBlocks() {
  while (pendingBlocks) windowFreeSelectionBlock(pendingBlocks);
  ordersCancel(pendingTimer);
  pendingTimer = nullptr;
}

WindowSelectionBlock *windowPendingSelectionBlocks() { return pendingBlocks; }

// ----- Queries -----

WindowRecord *windowNextInTree(WindowRecord *window, WindowRecord *subtreeRoot) {
  if (!window) return nullptr;
  if (window->lastChild) return window->lastChild;
  while (window && window != subtreeRoot) {
    if (window->previousSibling) return window->previousSibling;
    window = window->parent;
  }
  return nullptr;
}

int windowTraverse(WindowRecord *window, int (*function)(WindowRecord *, void *), void *argument) {
  if (!window) return 0;
  int result = 0;
  WindowRecord *w = window;
  while (w) {
    result = function(w, argument);
    if (result == 2) return 2;
    if (result == 1 && w->firstChild) {
      w = w->firstChild;
      continue;
    }
    // Up to the first ancestor with a lower sibling, staying inside the subtree.
    while (w != window && !w->nextSibling) w = w->parent;
    if (w == window) break;
    w = w->nextSibling;
  }
  return result;
}

void windowBorderRegion(const WindowRecord *window, Region *out) {
  if (window->boundingShape) {
    regionCopy(out, window->boundingShape);
    regionTranslate(out, window->x, window->y);
    return;
  }
  WindowBox b = windowOuterBox(window);
  regionResetRect(out, int32_t(std::clamp<int64_t>(b.x1, INT32_MIN, INT32_MAX)),
                  int32_t(std::clamp<int64_t>(b.y1, INT32_MIN, INT32_MAX)), uint32_t(b.x2 - b.x1),
                  uint32_t(b.y2 - b.y1));
}

namespace {
// Whether the point lies in the window's outside (border box, and shape when shaped).
bool outsideContains(const WindowRecord *w, int32_t x, int32_t y) {
  WindowBox b = windowOuterBox(w);
  if (x < b.x1 || x >= b.x2 || y < b.y1 || y >= b.y2) return false;
  // A shaped window's outside as the parent clips it, as the real server finds windows (an
  // input-only one has no regions: its shape itself).
  if (w->boundingShape)
    return (w->viewable ? regionContainsPoint(x, y, w->borderSize)
                        : regionContainsPoint(x - w->x, y - w->y, w->boundingShape)) != 0;
  return true;
}

// Whether the window takes the pointer at the point: mapped with its ancestors (input-only
// windows too), the point in its outside and in its input shape when it has one.
bool inputContains(const WindowRecord *w, int32_t x, int32_t y) {
  return w->realized && outsideContains(w, x, y) &&
         (!w->inputShape || regionContainsPoint(x - w->x, y - w->y, w->inputShape) != 0);
}
}  // namespace

WindowRecord *windowAtPoint(WindowRecord *window, int32_t x, int32_t y, int pointer) {
  WindowRecord *found = window;
  for (WindowRecord *c = window ? window->firstChild : nullptr; c;) {
    if (pointer ? inputContains(c, x, y) : c->viewable && outsideContains(c, x, y)) {
      found = c;
      c = c->firstChild;
    } else {
      c = c->nextSibling;
    }
  }
  return found;
}

int windowRedirectedByOther(const WindowRecord *window, const ClientConnection *client) {
  if (!window) return 0;
  for (const EventSelection *s = window->selections; s; s = s->next)
    if (s->client != client && (s->mask & kWindowSubstructureRedirectMask)) return 1;
  return 0;
}

WindowRecord *windowFindManagedChild(WindowRecord *window) {
  if (!window) return nullptr;
  for (WindowRecord *w = windowNextInTree(window, window); w; w = windowNextInTree(w, window)) {
    if (!w->mapped || w->overrideRedirect || w->owner == window->owner) continue;
    if (w->parent && windowRedirectedByOther(w->parent, w->owner)) return w;
  }
  return nullptr;
}

void windowSetServerGeometry(uint8_t *, uintptr_t update) {
  auto *u = reinterpret_cast<WindowGeometryUpdate *>(update);
  WindowSelectionBlock *b = u ? windowSelectionBlockById(u->windowId) : nullptr;
  if (!b) return;  // destroyed and gone meanwhile
  b->x = u->x;
  b->y = u->y;
  b->width = u->width;
  b->height = u->height;
  b->borderWidth = u->borderWidth;
}

void windowFreeGeometryUpdate(uintptr_t update) { free(reinterpret_cast<void *>(update)); }

uint32_t windowClientEventMask(uint32_t windowId) {
  WindowSelectionBlock *b = windowSelectionBlockById(windowId);
  return b ? maskOf(b->entries, xproxyCurrentClient) : 0;
}

int windowPosition(uint32_t windowId, int32_t *x, int32_t *y) {
  // The live record knows where the window is now, also after an ancestor moved; the block
  // keeps the last position of a destroyed window.
  if (auto *w = static_cast<WindowRecord *>(resourceLookupWindow(windowId))) {
    *x = w->x;
    *y = w->y;
    return 1;
  }
  for (WindowSelectionBlock *b = pendingBlocks; b; b = b->next) {
    if (b->windowId != windowId) continue;
    *x = b->x;
    *y = b->y;
    return 1;
  }
  LOG_UNE();
  *x = *y = 0;
  return 0;
}

uint32_t windowCurrentCursor(int32_t x, int32_t y) {
  const auto &grab = proxyState.pointerGrab;
  if (grab.client && grab.cursor) return grab.cursor->id;
  Head *head = proxyState.pointerHead;
  MetaScreen *screen = head ? head->metaScreen : xscreenList;
  auto *root = screen ? static_cast<WindowRecord *>(resourceLookupWindow(screen->root)) : nullptr;
  if (!root) return 0;
  WindowRecord *w = windowAtPoint(root, x, y);
  if (grab.client) {
    auto *g = static_cast<WindowRecord *>(resourceLookupWindow(grab.window));
    if (g && !outsideContains(g, x, y)) w = g;
  }
  for (; w; w = w->parent)
    if (w->cursor) return w->cursor->id;
  return 0;
}

// ----- Attributes and selections -----

int windowChangeAttributes(WindowRecord *window, uint32_t eventMask) {
  ClientConnection *client = xproxyCurrentClient;
  if (eventMask & kWindowExclusiveMasks) {
    for (EventSelection *s = window->selections; s; s = s->next) {
      if (s->client == client || !(s->mask & eventMask & kWindowExclusiveMasks)) continue;
      LOG(logChannelXhint, "Invalid event-mask 0x%x for window 0x%x in ChangeWindowAttributes #%u by %s", eventMask,
          window->id, client ? client->sequence : 0u, clientText(client));
      return 0;
    }
  }
  uint32_t old = maskOf(window->selections, client);
  if (!setWindowSelection(window, client, eventMask)) return 0;
  DisplayConnection *connection = client && client->displayCount > 0 ? client->displays[0] : nullptr;
  if (((old | eventMask) & kWindowPointerMasks) && connection) {
    // Pointer events that arrive before the real server has the new mask are judged by the old
    // one: the block changes when the round trip completes.
    auto *update = static_cast<WindowMaskUpdate *>(calloc(1, sizeof(WindowMaskUpdate)));
    if (update) {
      *update = {client, window->id, eventMask};
      if (xproxySendNoOpRequest(connection, windowSetClientEventMask, reinterpret_cast<uintptr_t>(update),
                                windowFreeMaskUpdate))
        return 1;
      free(update);  // not sent: the block takes the mask at once
    }
  }
  setBlockSelection(window->block, client, eventMask);
  return 1;
}

void windowSetClientEventMask(uint8_t *, uintptr_t update) {
  auto *u = reinterpret_cast<WindowMaskUpdate *>(update);
  WindowSelectionBlock *b = u ? windowSelectionBlockById(u->windowId) : nullptr;
  if (!b) return;
  setBlockSelection(b, u->client, u->mask);
}

void windowFreeMaskUpdate(uintptr_t update) { free(reinterpret_cast<void *>(update)); }

void windowSetBackgroundPixmap(WindowRecord *window, uint32_t pixmap) {
  PixmapRecord *old = window->backgroundPixmap;
  if (pixmap == 0 || pixmap == 1) {
    window->backgroundPixmap = nullptr;
    window->backgroundState = pixmap == 0 ? 0 : (window->parent ? 1 : 3);
  } else {
    PixmapRecord *p = resourceLookupPixmap(pixmap);
    if (!p || p->screen != window->screen || p->depth != window->depth) {
      LOG(logChannelXhint, "Invalid background pixmap 0x%x for window 0x%x by %s", pixmap, window->id,
          clientText(xproxyCurrentClient));
      return;
    }
    p->refCount++;
    window->backgroundPixmap = p;
    window->backgroundState = 3;
  }
  if (old) resourceFreePixmap(old, 0);
}

void windowSetBackgroundPixel(WindowRecord *window) {
  if (window->backgroundPixmap) resourceFreePixmap(window->backgroundPixmap, 0);
  window->backgroundPixmap = nullptr;
  window->backgroundState = 2;
}

void windowSetCursor(WindowRecord *window, uint32_t cursor) {
  CursorRecord *c = nullptr;
  if (cursor) {
    c = static_cast<CursorRecord *>(resourceLookupByType(cursor, kResourceCursor));
    if (!c) {
      LOG(logChannelXhint, "Unknown cursor 0x%x for window 0x%x by %s", cursor, window->id,
          clientText(xproxyCurrentClient));
      return;
    }
    c->refCount++;
  }
  if (window->cursor) resourceReleaseCursor(window->cursor);
  window->cursor = c;
}

void windowDropClientSelections(ClientConnection *client) {
  // Its own list: the cost is what it selected, however many windows and blocks the proxy holds.
  while (EventSelection *s = client->eventSelections) {
    dropVisits++;
    unlinkSelection(s);
  }
}

uint64_t windowDropVisits() { return dropVisits; }

// ----- The save set -----

int windowChangeSaveSet(ClientConnection *client, WindowRecord *window, int mode) {
  for (uint32_t i = 0; i < client->saveSetCount; i++) {
    if (client->saveSet[i] != window) continue;
    if (mode == 1) {
      memmove(client->saveSet + i, client->saveSet + i + 1, (client->saveSetCount - i - 1) * sizeof(WindowRecord *));
      client->saveSetCount--;
      window->clientHolds--;
    }
    return 0;
  }
  if (mode == 1) return 0;
  if (client->saveSetCount == client->saveSetSize) {
    uint32_t size = client->saveSetSize ? client->saveSetSize * 2 : 4;
    auto *grown = static_cast<WindowRecord **>(realloc(client->saveSet, size * sizeof(WindowRecord *)));
    if (!grown) return 11;
    client->saveSet = grown;
    client->saveSetSize = size;
  }
  client->saveSet[client->saveSetCount++] = window;
  window->clientHolds++;
  return 0;
}

void windowHandleSaveSet(ClientConnection *client) {
  CurrentScope scope(client);
  // Each window is taken off the array before it is handled: the reparent and map below may
  // not see it again.
  while (client->saveSetCount > 0) {
    WindowRecord *w = client->saveSet[--client->saveSetCount];
    w->clientHolds--;
    WindowRecord *ancestor = w->parent;
    while (ancestor && ancestor->owner == client) ancestor = ancestor->parent;
    if (!ancestor) continue;
    if (ancestor != w->parent) {
      int32_t x = w->x - w->borderWidth - ancestor->x;
      int32_t y = w->y - w->borderWidth - ancestor->y;
      windowReparent(w, ancestor, x, y, client);
      if (!w->realized && w->mapped) w->mapped = 0;
    }
    windowMap(w);
  }
  free(client->saveSet);
  client->saveSet = nullptr;
  client->saveSetSize = 0;
}
// ===== end of window tree =====
