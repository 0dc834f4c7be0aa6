// Window queries: GetWindowAttributes, GetGeometry and QueryTree are forwarded once, to the
// first head of the window's meta screen, and their replies are made to describe the meta
// screen: its root for the head's windows, the meta visuals and depths, the client's ids.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/park.h"
#include "proxy/xproto.h"
#include "proxy/connections.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/windowplace.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xext/glxdirect.h"

namespace {

constexpr uint8_t kGetWindowAttributes = 3, kGetGeometry = 14, kQueryTree = 15;

// What the replies need of their requests.
struct AttributesRecord {
  uint8_t backingStore, bitGravity, windowGravity;
  uint32_t yourEventMask, allEventMasks;
  Head *head;
};
struct GeometryRecord {
  uint32_t drawable;
  Head *head;
};
struct TreeRecord {
  Head *head;
  uint32_t window;
};

template <typename Record>
Record *takeRecord(uint8_t tag) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  return connection ? reinterpret_cast<Record *>(xproxyTakeReplyCallback(connection, tag)) : nullptr;
}
ServerDisplay *replyDisplay() {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  return connection ? connection->display : nullptr;
}

// The depth a head's server reports for a drawable of the meta visual: the base depth when the
// head emulates the visual, else the visual's own.
int reportedDepth(const VisualRecord *visual, const Head *head) {
  const VisualRecord *own = visual && head ? xproxyHeadVisual(head, visual) : nullptr;
  if (!own) return -1;
  return own->baseVisualId ? own->baseDepth : own->depth;
}

// Forwards a one-drawable request with the drawable's id on the chosen head and queues its
// record; 0 when the copy could not be made (BadAlloc sent, record freed).
int forwardWithRecord(uint8_t *request, uint32_t length, uint32_t serverId, uint8_t tag, void *record) {
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) {
    free(record);
    return 0;
  }
  wirePut32(copy + 4, serverId);
  xcoreFramePushRecord(tag, record);
  return 1;
}

}  // namespace

void xcoreGetWindowAttributes(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameResolve(id, kXcoreWantWindow, 3, request, length)) return;
  auto *record = static_cast<AttributesRecord *>(calloc(1, sizeof(AttributesRecord)));
  if (!record) {
    xprotoSendError(11, 24, request, length, nullptr);
    return;
  }
  Head *head = xcoreFrameFirstHeadOf(id);
  record->head = head;
  ClientConnection *client = xproxyCurrentClient;
  auto *window = static_cast<WindowRecord *>(resourceLookupByType(id, kResourceWindow));
  if (window) {
    record->backingStore = window->backingStore;
    record->bitGravity = window->bitGravity;
    record->windowGravity = window->windowGravity;
    record->allEventMasks = windowAllEventMasks(window);
    for (const EventSelection *s = window->selections; s; s = s->next)
      if (s->client == client) record->yourEventMask = s->mask;
  } else {
    // A head's own root stands for the meta root without a record of its own: its server's
    // answer is kept.
    free(record);
    record = nullptr;
  }
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) {
    free(record);
    return;
  }
  wirePut32(copy + 4, resourceServerId(id, kResourceWindow, head));
  if (record) xcoreFramePushRecord(kGetWindowAttributes, record);
}

void xcoreGetWindowAttributesReply(uint8_t *reply, uint32_t length) {
  auto *record = takeRecord<AttributesRecord>(kGetWindowAttributes);
  if (record) {
    reply[1] = record->backingStore;
    reply[14] = record->bitGravity;
    reply[15] = record->windowGravity;
    // The masks lie past the first 32 bytes: only in a reply that holds them.
    if (length >= 40) {
      wirePut32(reply + 32, record->allEventMasks);
      wirePut32(reply + 36, record->yourEventMask);
    }
    wirePut32(reply + 8, xproxyServerVisualToProxy(wireGet32(reply + 8), replyDisplay(), record->head));
    wirePut32(reply + 28, mainHeadXidToProxy(kResourceColormap, wireGet32(reply + 28), record->head));
    free(record);
  } else {
    wirePut32(reply + 8, xproxyServerVisualToProxy(wireGet32(reply + 8), replyDisplay(), nullptr));
    wirePut32(reply + 28, mainServerToProxyXid(wireGet32(reply + 28), replyDisplay()));
  }
  xcoreFrameWriteReply(reply, length, "bbsiisbbiibbbbiiis");
}

void xcoreGetGeometry(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t drawable = wireGet32(request + 4);
  // An id in a client's range that names nothing (never created, or freed with its client)
  // is no drawable: on the real server the same number may name another client's window.
  uint32_t slot = resourceSlotOf(drawable);
  if (slot != 0 && slot < kResourceClientSlots && !resourceLookupAny(drawable))
    return xprotoSendError(9, drawable, request, length, nullptr);
  auto *record = static_cast<GeometryRecord *>(calloc(1, sizeof(GeometryRecord)));
  if (!record) {
    xprotoSendError(11, 0, request, length, nullptr);
    return;
  }
  Head *head = xcoreFrameFirstHeadOf(drawable);
  *record = GeometryRecord{drawable, head};
  forwardWithRecord(request, length, xproxyServerDrawable(drawable, head), kGetGeometry, record);
}

void xcoreGetGeometryReply(uint8_t *reply, uint32_t length) {
  auto *record = takeRecord<GeometryRecord>(kGetGeometry);
  if (!record) {
    logProblem("UNE", kXcoreSource, __LINE__);
  } else if (Head *head = record->head; head && head->metaScreen) {
    MetaScreen *screen = head->metaScreen;
    const VisualRecord *visual = resourceVisualOfDrawable(record->drawable);
    // An emulated visual is reported by the server with its base depth.
    if (visual && reportedDepth(visual, head) == reply[1]) reply[1] = visual->depth;
    wirePut32(reply + 8, screen->root);
    if (record->drawable == screen->root) memset(reply + 12, 0, 4);  // x and y
    // A copy placed apart on the head answers with its own place: the client's is the tree's.
    auto *window = static_cast<const WindowRecord *>(resourceLookupByType(record->drawable, kResourceWindow));
    if (window && window->parent && windowPlacedApart(window, head)) {
      wirePut16(reply + 12, uint16_t(int16_t(window->originX - window->borderWidth)));
      wirePut16(reply + 14, uint16_t(int16_t(window->originY - window->borderWidth)));
      wirePut16(reply + 16, window->width);
      wirePut16(reply + 18, window->height);
    }
  }
  free(record);
  xcoreFrameWriteReply(reply, length, "bbsiissssssii");
}

void xcoreQueryTree(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t window = wireGet32(request + 4);
  auto *record = static_cast<TreeRecord *>(calloc(1, sizeof(TreeRecord)));
  if (!record) {
    xprotoSendError(11, 0, request, length, nullptr);
    return;
  }
  Head *head = xcoreFrameFirstHeadOf(window);
  *record = TreeRecord{head, window};
  forwardWithRecord(request, length, resourceServerId(window, kResourceWindow, head), kQueryTree, record);
}

void xcoreQueryTreeReply(uint8_t *reply, uint32_t length) {
  auto *record = takeRecord<TreeRecord>(kQueryTree);
  ServerDisplay *display = replyDisplay();
  uint32_t root = wireGet32(reply + 8), parent = wireGet32(reply + 12);
  // The children count is bounded by the words the reply holds.
  uint32_t children = uint32_t(reply[16] | reply[17] << 8);
  if (children > (length - 32) / 4) children = (length - 32) / 4;
  MetaScreen *screen = record && record->head ? record->head->metaScreen : nullptr;
  if (screen) {
    wirePut32(reply + 8, screen->root);
    if (record->window == screen->root)
      parent = 0;
    else if (parent == root)
      parent = screen->root;
    else
      parent = mainHeadXidToProxy(kResourceWindow, parent, record->head);
  } else {
    wirePut32(reply + 8, mainServerToProxyXid(root, display));
    parent = mainServerToProxyXid(parent, display);
  }
  wirePut32(reply + 12, parent);
  for (uint32_t i = 0; i < children; i++)
    wirePut32(reply + 32 + 4 * i, mainServerToProxyXid(wireGet32(reply + 32 + 4 * i), display));
  free(record);
  xcoreFrameWriteReply(reply, length, "bbsiiissI");
}

// ===== window requests =====
// CreateWindow, ChangeWindowAttributes, the destroy, map, unmap and circulate requests,
// ChangeSaveSet, ReparentWindow and ConfigureWindow: each applied to the proxy's tree and sent
// once per head of the window's meta screen.
namespace {

constexpr uint8_t kBadValue = 2, kBadWindow = 3, kBadMatch = 8, kBadAlloc = 11;
constexpr uint32_t kWindowValueMaskAll = 0x7fff;
enum : uint32_t {
  kCWBackPixmap = 0, kCWBackPixel, kCWBorderPixmap, kCWBorderPixel, kCWBitGravity, kCWWinGravity,
  kCWBackingStore, kCWBackingPlanes, kCWBackingPixel, kCWOverrideRedirect, kCWSaveUnder, kCWEventMask,
  kCWDontPropagate, kCWColormap, kCWCursor, kCWValueCount
};

// The values of a window attribute list spread by bit (unset bits 0).
struct WindowValues {
  uint32_t mask;
  uint32_t byBit[kCWValueCount];
};
WindowValues spreadWindowValues(uint32_t mask, const uint8_t *list) {
  WindowValues v{mask & kWindowValueMaskAll, {}};
  for (uint32_t bit = 0, n = 0; bit < kCWValueCount; bit++)
    if (v.mask & (1u << bit)) v.byBit[bit] = wireGet32(list + 4 * n++);
  return v;
}

// What a per-head copy of CreateWindow or ChangeWindowAttributes needs.
struct AttributesArgument {
  WindowRecord *window;
  WindowValues values;
  bool create;
  const uint8_t *request;  // CreateWindow's geometry and class
};

// The attribute values as the head takes them; *freePixmap gets a shifted background copy
// made for this head (0 when none).
uint32_t headAttributes(const AttributesArgument &a, Head *head, XSetWindowAttributes *out, uint32_t *freePixmap) {
  const WindowRecord *window = a.window;
  const uint32_t *v = a.values.byBit;
  uint32_t mask = a.values.mask;
  *out = XSetWindowAttributes{};
  *freePixmap = 0;
  if (mask & (1u << kCWBackPixmap)) {
    uint32_t pixmap = v[kCWBackPixmap];
    if (pixmap > 1) {
      int created = 0;
      pixmap = xproxyShiftedBackgroundPixmap(pixmap, window->id, head, &created);
      if (created) *freePixmap = pixmap;
    }
    out->background_pixmap = pixmap;
  }
  out->background_pixel = xproxyPixelToServer(v[kCWBackPixel], window->visual, head);
  out->border_pixmap = v[kCWBorderPixmap] ? resourceServerId(v[kCWBorderPixmap], kResourcePixmap, head) : 0;
  out->border_pixel = xproxyPixelToServer(v[kCWBorderPixel], window->visual, head);
  out->bit_gravity = int(v[kCWBitGravity]);
  if ((mask & (1u << kCWBitGravity)) && xcoreWorkaround(kWorkaroundForgetBitGravity)) out->bit_gravity = 0;
  out->win_gravity = int(v[kCWWinGravity]);
  out->backing_store = int(v[kCWBackingStore]);
  out->backing_planes = xproxyPixelToServer2(v[kCWBackingPlanes], window->visual, head);
  out->backing_pixel = xproxyPixelToServer(v[kCWBackingPixel], window->visual, head);
  out->override_redirect = int(v[kCWOverrideRedirect]);
  out->save_under = int(v[kCWSaveUnder]);
  out->do_not_propagate_mask = long(v[kCWDontPropagate]);
  out->colormap = v[kCWColormap] ? resourceServerId(v[kCWColormap], kResourceColormap, head) : 0;
  if (mask & (1u << kCWCursor)) {
    uint32_t cursor = v[kCWCursor];
    if (cursor)
      out->cursor = resourceServerId(cursor, kResourceCursor, head);
    else if (!window->parent && !a.create)
      out->cursor = head->cursor;  // the meta root shows the head's own cursor, not none
  }
  // The event mask is the client's selection as the head needs it; CreateWindow always sends
  // it when it selects something.
  if (a.create || (mask & (1u << kCWEventMask))) {
    uint32_t events = xproxyWindowEventMask(xproxyCurrentClient, window->id, v[kCWEventMask], head);
    out->event_mask = long(events);
    if (events) mask |= 1u << kCWEventMask;
    else if (a.create) mask &= ~(1u << kCWEventMask);
  }
  return mask;
}

int attributesCopy(Head *head, DisplayConnection *connection, const uint8_t *, uint32_t, void *argument) {
  auto *a = static_cast<AttributesArgument *>(argument);
  WindowRecord *window = a->window;
  XSetWindowAttributes values;
  uint32_t freePixmap = 0;
  uint32_t mask = headAttributes(*a, head, &values, &freePixmap);
  const RequestSink *sink = &connection->reader.sink;
  int ok;
  if (a->create) {
    const uint8_t *r = a->request;
    uint8_t depth = r[1];
    uint32_t visual = 0;
    if (window->windowClass == 1) {
      const VisualRecord *own = xproxyHeadVisual(head, window->visual);
      if (own) depth = uint8_t(own->baseVisualId ? own->baseDepth : own->depth);
      visual = window->visual ? xproxyVisualIdToServer(window->visual->visualId, head) : 0;
    } else if (wireGet32(r + 28)) {
      visual = xproxyVisualIdToServer(window->visual ? window->visual->visualId : 0, head);
    }
    // The copy's place on the head: the client's, unless the real server's range moves it apart.
    int16_t x = int16_t(wireGet16(r + 12)), y = int16_t(wireGet16(r + 14));
    uint16_t width = wireGet16(r + 16), height = wireGet16(r + 18);
    WindowCopy placed{};
    if (windowCopyOnHead(window, head, &placed) && placed.apart) {
      x = int16_t(placed.x.offset), y = int16_t(placed.y.offset);
      width = uint16_t(placed.x.size), height = uint16_t(placed.y.size);
    }
    windowMarkPlacedApart(window, head, placed.apart);
    ok = xprotoEncodeCreateWindow(sink, resourceServerId(window->id, kResourceScreenResource, head),
                                  resourceServerId(wireGet32(r + 8), kResourceWindow, head), x, y, width, height,
                                  wireGet16(r + 20), depth, window->windowClass, visual, mask, &values);
  } else {
    ok = xprotoEncodeChangeWindowAttributes(sink, resourceServerId(window->id, kResourceWindow, head), mask, &values);
  }
  if (freePixmap) xprotoEncodeFreePixmap(sink, freePixmap);
  return ok;
}

const XcoreIdField kWindowAt4[] = {{4, kResourceWindow}, {0, 0}};
const XcoreIdField kRealWindowAt4[] = {{4, kResourceRealRoot}, {0, 0}};
const XcoreIdField kWindowAt4And8[] = {{4, kResourceWindow}, {8, kResourceWindow}, {0, 0}};

// Stores the given values into the record (both CreateWindow and ChangeWindowAttributes):
// gravities and backing store only when in range, so that no out-of-range value is ever used
// as an index; the real server answers BadValue for them.
void applyWindowValues(WindowRecord *window, const WindowValues &values, bool create) {
  const uint32_t mask = values.mask;
  const uint32_t *v = values.byBit;
  if (mask & (1u << kCWBackPixmap)) windowSetBackgroundPixmap(window, v[kCWBackPixmap]);
  if (mask & (1u << kCWBackPixel)) windowSetBackgroundPixel(window);
  if ((mask & (1u << kCWBitGravity)) && v[kCWBitGravity] < 11) window->bitGravity = uint8_t(v[kCWBitGravity]);
  if ((mask & (1u << kCWWinGravity)) && v[kCWWinGravity] < 11) window->windowGravity = uint8_t(v[kCWWinGravity]);
  if ((mask & (1u << kCWBackingStore)) && v[kCWBackingStore] < 3) window->backingStore = uint8_t(v[kCWBackingStore]);
  if (mask & (1u << kCWOverrideRedirect)) window->overrideRedirect = v[kCWOverrideRedirect] ? 1 : 0;
  if (create)
    windowApplyCreateAttributes(window, mask & (1u << kCWEventMask) ? v[kCWEventMask] : 0);
  else if (mask & (1u << kCWEventMask))
    windowChangeAttributes(window, v[kCWEventMask]);
  if (window->windowClass == 2)
    window->colormap = 0;
  else if (mask & (1u << kCWColormap))
    window->colormap = v[kCWColormap] ? v[kCWColormap] : (window->parent ? window->parent->colormap : 0);
  if (mask & (1u << kCWCursor)) windowSetCursor(window, v[kCWCursor]);
}

// The window record of an id that xcoreFrameResolve accepted; NULL for a head's own root,
// which stands for the meta root without a record.
WindowRecord *windowOf(uint32_t id) { return static_cast<WindowRecord *>(resourceLookupByType(id, kResourceWindow)); }

// The window of an id that xcoreFrameResolve has just looked up: the client's cache holds its
// record then (NULL for a head's own root).
WindowRecord *resolvedWindow(uint32_t id) {
  ClientConnection *client = xproxyCurrentClient;
  if (client && client->cachedType == kResourceWindow) return static_cast<WindowRecord *>(client->cachedRecord);
  return windowOf(id);
}

// Whether a grab with a freeze is in force: the proxy's head windows then stop selecting input
// while a viewable window changes under the pointer.
bool freezeBracketNeeded(const WindowRecord *window) {
  return window && window->viewable &&
         ((proxyState.pointerGrab.client && proxyState.pointerFreeze.client) ||
          (proxyState.keyboardGrab.client && proxyState.keyboardFreeze.client));
}

// The one-window requests that change a window on every head, then in the tree (`bracket`:
// under a freeze the heads stop reporting LeaveWindow around the copies).
struct OneWindowKind {
  bool refuseRoot;
  const XcoreIdField *fields;
  void (*tree)(WindowRecord *);
  bool bracket;
};

// The copies and the tree, the freeze bracket synchronising `syncing`'s connections (none: the
// bracket only flushes).
void oneWindowCopies(uint8_t *request, uint32_t length, const OneWindowKind &kind, WindowRecord *window,
                     ClientConnection *syncing) {
  bool frozen = kind.bracket && freezeBracketNeeded(window);
  if (frozen) mainSelectInputOnHeads(syncing, 0);
  int sent = xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kind.fields));
  if (frozen) mainSelectInputOnHeads(syncing, 0x20);
  if (sent) kind.tree(window);
}

// Looks the request's window up (again after a park: another client may have destroyed it); NULL
// when the request ends here (its error or refusal sent).
WindowRecord *oneWindowTarget(uint8_t *request, uint32_t length, const OneWindowKind &kind) {
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameResolve(id, kXcoreWantWindow, kBadWindow, request, length)) return nullptr;
  WindowRecord *window = resolvedWindow(id);
  if (!window || !window->parent) {
    if (kind.refuseRoot) {
      xcoreFrameRefuse(kXcoreNoEffectRoot, request);
      return nullptr;
    }
    if (!window) return nullptr;  // a head's own root: its children are the meta root's
  }
  return window;
}

const OneWindowKind *oneWindowKindOf(uint8_t opcode);

// The rest of a bracketed request once the client's earlier requests reached the server: the
// bracket's own waits are then short. A park that gave up synchronises nobody again.
void oneWindowSynced(uint8_t *request, uint32_t length, const char *failure) {
  if (failure) LOG(logChannelProblem, "%s", failure);
  const OneWindowKind *kind = oneWindowKindOf(request[0]);
  WindowRecord *window = kind ? oneWindowTarget(request, length, *kind) : nullptr;
  if (window) oneWindowCopies(request, length, *kind, window, failure ? nullptr : xproxyCurrentClient);
}

void oneWindowRequest(uint8_t *request, uint32_t length, const OneWindowKind &kind) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  WindowRecord *window = oneWindowTarget(request, length, kind);
  if (!window) return;
  // Under a freeze the bracket waits for the client's requests to reach the server: the client
  // waits for that parked (one the server holds back holds only itself), and goes on from there.
  ClientConnection *client = xproxyCurrentClient;
  if (kind.bracket && freezeBracketNeeded(window) && client && client->displayCount && mainServerDisplays &&
      mainServerDisplays->display)
    return xproxyParkClient(client, nullptr, request, length, oneWindowSynced);
  oneWindowCopies(request, length, kind, window, client);
}

}  // namespace

void xcoreCreateWindow(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiissssssI", 32, XcoreShape::ValueList, 28, 4};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4), parentId = wireGet32(request + 8), visualId = wireGet32(request + 24);
  uint32_t mask = wireGet32(request + 28);
  if (mask > kWindowValueMaskAll) return xprotoSendError(kBadValue, mask, request, length, "invalid value mask");
  if (!xcoreFrameResolve(parentId, kXcoreWantWindow, kBadWindow, request, length)) return;
  if (!xcoreFrameNewId(id, request, length)) return;
  WindowRecord *parent = windowOf(parentId);
  if (!parent) {
    // A head's own root stands for its meta screen's root.
    MetaScreen *screen = resourceMetaScreenOf(parentId);
    parent = screen ? windowOf(screen->root) : nullptr;
    if (!parent) return xprotoSendError(kBadWindow, parentId, request, length, nullptr);
  }
  VisualRecord *visual = nullptr;
  if (visualId) {
    visual = xscreenFindVisual(parent->screen, visualId);
    if (!visual) return xprotoSendError(kBadValue, visualId, request, length, "invalid visual");
  }
  WindowRecord *window = windowCreate(id, parent, int16_t(wireGet16(request + 12)), int16_t(wireGet16(request + 14)),
                                      wireGet16(request + 16), wireGet16(request + 18), wireGet16(request + 20),
                                      wireGet16(request + 22), request[1]);
  // The client must not believe in a window that does not exist.
  if (!window) return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  if (visual) window->visual = visual;
  WindowValues values = spreadWindowValues(mask, request + 32);
  if (!(mask & (1u << kCWWinGravity))) window->windowGravity = 1;
  applyWindowValues(window, values, true);
  xproxyCurrentClient->cachedScreen = parent->screen;
  AttributesArgument argument{window, values, true, request};
  xcoreFramePerHead(request, length, id, attributesCopy, &argument);
}

void xcoreChangeWindowAttributes(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsI", 12, XcoreShape::ValueList, 8, 4};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4), mask = wireGet32(request + 8);
  if (mask > kWindowValueMaskAll) return xprotoSendError(kBadValue, mask, request, length, "invalid value mask");
  if (!xcoreFrameResolve(id, kXcoreWantWindow, kBadWindow, request, length)) return;
  WindowRecord *window = resolvedWindow(id);
  if (!window) {
    MetaScreen *screen = resourceMetaScreenOf(id);
    window = screen ? windowOf(screen->root) : nullptr;
    if (!window) return xprotoSendError(kBadWindow, id, request, length, nullptr);
  }
  WindowValues values = spreadWindowValues(mask, request + 12);
  AttributesArgument argument{window, values, false, request};
  if (!xcoreFramePerHead(request, length, 0, attributesCopy, &argument)) return;
  applyWindowValues(window, values, false);
}

namespace {
// A head that renders GL inside the proxy hears of its windows being mapped and unmapped.
void flushGlHeads(WindowRecord *window) {
  for (Head *head = window->screen ? window->screen->heads : nullptr; head; head = head->next)
    if (head->glLibrary) glxdirectFlushForDrawable(head, resourceServerId(window->id, kResourceWindow, head));
}

const OneWindowKind kDestroyWindow{true, kRealWindowAt4, [](WindowRecord *w) { resourceFree(w->id, 0); }, true};
const OneWindowKind kDestroySubwindows{false, kWindowAt4, windowDestroySubwindows, true};
const OneWindowKind kMapWindow{true, kRealWindowAt4,
                               [](WindowRecord *w) {
                                 flushGlHeads(w);
                                 windowMap(w);
                               },
                               false};
const OneWindowKind kMapSubwindows{false, kWindowAt4, windowMapSubwindows, false};
const OneWindowKind kUnmapWindow{true, kRealWindowAt4,
                                 [](WindowRecord *w) {
                                   flushGlHeads(w);
                                   windowUnmap(w, 0);
                                 },
                                 true};
const OneWindowKind kUnmapSubwindows{false, kWindowAt4, windowUnmapSubwindows, true};

const OneWindowKind *oneWindowKindOf(uint8_t opcode) {
  switch (opcode) {
    case 4: return &kDestroyWindow;
    case 5: return &kDestroySubwindows;
    case 8: return &kMapWindow;
    case 9: return &kMapSubwindows;
    case 10: return &kUnmapWindow;
    case 11: return &kUnmapSubwindows;
    default: return nullptr;
  }
}
}  // namespace

void xcoreDestroyWindow(uint8_t *request, uint32_t length) { oneWindowRequest(request, length, kDestroyWindow); }
void xcoreDestroySubwindows(uint8_t *request, uint32_t length) { oneWindowRequest(request, length, kDestroySubwindows); }
void xcoreMapWindow(uint8_t *request, uint32_t length) { oneWindowRequest(request, length, kMapWindow); }
void xcoreMapSubwindows(uint8_t *request, uint32_t length) { oneWindowRequest(request, length, kMapSubwindows); }
void xcoreUnmapWindow(uint8_t *request, uint32_t length) { oneWindowRequest(request, length, kUnmapWindow); }
void xcoreUnmapSubwindows(uint8_t *request, uint32_t length) { oneWindowRequest(request, length, kUnmapSubwindows); }

namespace {
// The frame of a one-window request whose data byte is a mode of 0 or 1 (BadValue else); 0
// when it stops there. *window: the record (NULL for a head's own root).
int enterModeRequest(uint8_t *request, uint32_t length, WindowRecord **window) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return 0;
  uint32_t id = wireGet32(request + 4);
  if (request[1] >= 2) {
    xprotoSendError(kBadValue, request[1], request, length, nullptr);
    return 0;
  }
  if (!xcoreFrameResolve(id, kXcoreWantWindow, kBadWindow, request, length)) return 0;
  *window = resolvedWindow(id);
  return 1;
}
}  // namespace

void xcoreChangeSaveSet(uint8_t *request, uint32_t length) {
  WindowRecord *window = nullptr;
  if (!enterModeRequest(request, length, &window)) return;
  uint32_t id = wireGet32(request + 4);
  if (!window || !window->parent || window->owner == xproxyCurrentClient)
    return xprotoSendError(kBadMatch, id, request, length, nullptr);
  if (windowChangeSaveSet(xproxyCurrentClient, window, request[1]))
    return xprotoSendError(kBadAlloc, 0, request, length, nullptr);
  xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kWindowAt4));
}

void xcoreReparentWindow(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiiss", 16, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4), parentId = wireGet32(request + 8);
  if (!xcoreFrameResolve(id, kXcoreWantWindow, kBadWindow, request, length)) return;
  WindowRecord *window = resolvedWindow(id);
  WindowRecord *parent = windowOf(parentId);
  if (!parent) {
    MetaScreen *screen = resourceMetaScreenOf(parentId);
    if (resourceLookupByType(parentId, kResourceHeadRoot) && screen) parent = windowOf(screen->root);
    if (!parent) return xprotoSendError(kBadWindow, parentId, request, length, nullptr);
  }
  if (!window || !window->parent) return xprotoSendError(kBadMatch, id, request, length, nullptr);
  int error = windowReparent(window, parent, int16_t(wireGet16(request + 12)), int16_t(wireGet16(request + 14)),
                             xproxyCurrentClient);
  if (error) return xprotoSendError(uint8_t(error), id, request, length, nullptr);
  // Each copy goes where the head places it in its new parent; its size and its children's
  // places follow.
  auto reparentCopy = [](Head *head, DisplayConnection *connection, const uint8_t *r, uint32_t n, void *argument) {
    uint8_t *copy = xcoreFrameCopyForHead(r, n, connection, head, kWindowAt4And8);
    if (!copy) return 0;
    WindowCopy placed{};
    if (windowCopyOnHead(static_cast<WindowRecord *>(argument), head, &placed) && placed.apart) {
      wirePut16(copy + 12, uint16_t(int16_t(placed.x.offset)));
      wirePut16(copy + 14, uint16_t(int16_t(placed.y.offset)));
    }
    return 1;
  };
  if (xcoreFramePerHead(request, length, 0, reparentCopy, window))
    windowPlaceCopies(window, nullptr, xproxyCurrentClient, 0);
}

namespace {

struct ConfigureArgument {
  uint32_t window;
  uint16_t mask;
  uint32_t values[7];
  WindowRecord *record;
  bool place;  // the tree took the geometry: the copies go where the heads place them
  WindowKnownCopies placed;  // the copies placed per head, for the placing of the children
};
int configureCopy(Head *head, DisplayConnection *connection, const uint8_t *, uint32_t, void *argument) {
  auto *a = static_cast<ConfigureArgument *>(argument);
  uint32_t values[7];
  uint16_t mask = a->mask;
  memcpy(values, a->values, sizeof values);
  WindowCopy placed{};
  bool known = a->place && windowCopyOnHead(a->record, head, &placed);
  if (known && (placed.apart || windowPlacedApart(a->record, head))) {
    // x, y, width and height as the head places the copy, the other values as asked.
    uint32_t all[7] = {uint32_t(placed.x.offset), uint32_t(placed.y.offset), placed.x.size, placed.y.size};
    int n = 4, from = __builtin_popcount(mask & 0xf);
    for (uint16_t bit = 0x10; bit <= 0x40; bit = uint16_t(bit << 1))
      if (mask & bit) all[n++] = a->values[from++];
    mask |= 0xf;
    memcpy(values, all, sizeof values);
  }
  if (a->place) {
    windowMarkPlacedApart(a->record, head, placed.apart);
    if (known && a->placed.count < WindowKnownCopies::kMax) {
      a->placed.heads[a->placed.count] = head;
      a->placed.copies[a->placed.count++] = placed;
    }
  }
  if (mask & 0x20) {
    int sibling = __builtin_popcount(mask & 0x1f);
    values[sibling] = resourceServerId(values[sibling], kResourceWindow, head);
  }
  return xprotoEncodeConfigureWindow(&connection->reader.sink, resourceServerId(a->window, kResourceRealRoot, head),
                                     mask, values);
}

// A geometry round trip: once the real server has the new geometry, the selection block
// takes it over.
void queueGeometryUpdate(WindowRecord *window) {
  ClientConnection *client = xproxyCurrentClient;
  DisplayConnection *connection = client && client->displayCount > 0 ? client->displays[0] : nullptr;
  if (!connection) return;
  auto *update = static_cast<WindowGeometryUpdate *>(calloc(1, sizeof(WindowGeometryUpdate)));
  if (!update) return;
  // The block keeps the absolute position of the inside, as windowPosition reads it.
  auto clamp16 = [](int32_t v) { return int16_t(std::clamp<int32_t>(v, INT16_MIN, INT16_MAX)); };
  *update = {window->id, clamp16(window->x), clamp16(window->y), int16_t(window->width), int16_t(window->height),
             int16_t(window->borderWidth)};
  if (!xproxySendNoOpRequest(connection, windowSetServerGeometry, reinterpret_cast<uintptr_t>(update),
                             windowFreeGeometryUpdate))
    free(update);
}

// Whether the bit-gravity workaround refreshes the window after a ConfigureWindow of that mask.
bool refreshesBitGravity(const WindowRecord *window, uint16_t mask) {
  return xcoreWorkaround(kWorkaroundRefreshBitGravity) && (mask & 0xc) && window->windowClass == 1 &&
         window->width && window->height;
}


// The rest of ConfigureWindow once the client's request has reached the heads: the bit-gravity
// refresh (exposures of the whole window on each head) and the pointer following a confining
// window, both looked at again (the window may be gone meanwhile).
void configureWindowSynced(uint8_t *request, uint32_t, const char *failure) {
  if (failure) {
    LOG(logChannelProblem, "ConfigureWindow's exposures and pointer move are left out: %s", failure);
    return;
  }
  uint32_t id = wireGet32(request + 4);
  auto *window = static_cast<WindowRecord *>(resourceLookupWindow(id));
  if (window && refreshesBitGravity(window, wireGet16(request + 8)))
    for (Head *head = window->screen ? window->screen->heads : nullptr; head; head = head->next) {
      if (!head->display) continue;
      XRectangle r{0, 0, window->width, window->height};
      miscForceExposures(head->display, resourceServerId(id, kResourceWindow, head), &r, 1);
      xproxySyncXlib(head->display, "ConfigureWindow");
    }
  mainKeepPointerConfined(xproxyCurrentClient);
}

}  // namespace

void xcoreConfigureWindow(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsissI", 12, XcoreShape::ValueList, 8, 2};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  uint16_t mask = wireGet16(request + 8);
  if (mask > 0x7f) return xprotoSendError(kBadValue, mask, request, length, "invalid value mask");
  if (!xcoreFrameResolve(id, kXcoreWantWindow, kBadWindow, request, length)) return;
  WindowRecord *window = resolvedWindow(id);
  if (!window || !window->parent) return xcoreFrameRefuse(kXcoreNoEffectRoot, request);
  ConfigureArgument argument{id, mask, {}, window, false, {}};
  int n = __builtin_popcount(mask);
  for (int i = 0; i < n; i++) argument.values[i] = wireGet32(request + 12 + 4 * i);
  // A request redirected to the window manager reaches it as the client asked; any other change
  // of geometry is the tree's, and the heads place the copies.
  argument.place = (mask & 0x1f) && (window->overrideRedirect || !windowRedirectedByOther(window->parent, xproxyCurrentClient));
  int error = windowConfigure(window, mask, argument.values, xproxyCurrentClient);
  // An error of the tree goes to the client and nothing is forwarded.
  if (error) return xprotoSendError(uint8_t(error), id, request, length, nullptr);
  if ((mask & 0x1f) && (window->selections || window->parent->selections)) queueGeometryUpdate(window);
  if (mask & 0x40) {
    uint32_t &mode = argument.values[n - 1];
    if (mode >= 2 && mode <= 4) {
      // The proxy's tree decided the outcome: the heads get it as a plain mode.
      int plain = window->parent->firstChild == window ? 0 : window->parent->lastChild == window ? 1 : -1;
      if (plain >= 0) {
        mode = uint32_t(plain);
        if (mask & 0x20) {
          int sibling = __builtin_popcount(mask & 0x1f);
          memmove(argument.values + sibling, argument.values + sibling + 1, sizeof(uint32_t) * (n - 1 - sibling));
          argument.mask = uint16_t(mask & ~0x20);
        }
      }
    }
  }
  if (!xcoreFramePerHead(request, length, 0, configureCopy, &argument)) return;
  if (argument.place) windowPlaceCopies(window, nullptr, xproxyCurrentClient, 1, &argument.placed);
  windowValidateGrabs();
  // The bit-gravity refresh, and a confining window whose region left the pointer head's area
  // (the pointer follows it onto the head it reaches), wait until the request has reached the
  // heads: the client waits parked.
  if (refreshesBitGravity(window, mask) || mainConfinementLost()) {
    if (xproxyCurrentClient)
      xproxyParkClient(xproxyCurrentClient, nullptr, request, length, configureWindowSynced);
    else
      configureWindowSynced(request, length, nullptr);
  }
}

void xcoreCirculateWindow(uint8_t *request, uint32_t length) {
  WindowRecord *window = nullptr;
  if (!enterModeRequest(request, length, &window) || !window) return;
  if (!xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kWindowAt4))) return;
  windowCirculate(window, request[1]);
}
// ===== end of window requests =====
