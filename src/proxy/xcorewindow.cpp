// Window queries: GetWindowAttributes, GetGeometry and QueryTree are forwarded once, to the
// first head of the window's meta screen, and their replies are made to describe the meta
// screen: its root for the head's windows, the meta visuals and depths, the client's ids.
#include <cstdlib>
#include <cstring>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"

namespace {

constexpr uint8_t kGetWindowAttributes = 3, kGetGeometry = 14, kQueryTree = 15;

uint32_t word(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);  // in the proxy's byte order once entered
  return v;
}
void putWord(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }

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
  putWord(copy + 4, serverId);
  xcoreFramePushRecord(tag, record);
  return 1;
}

}  // namespace

void xcoreGetWindowAttributes(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = word(request + 4);
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
  putWord(copy + 4, resourceServerId(id, kResourceWindow, head));
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
      putWord(reply + 32, record->allEventMasks);
      putWord(reply + 36, record->yourEventMask);
    }
    putWord(reply + 8, xproxyServerVisualToProxy(word(reply + 8), replyDisplay(), record->head));
    putWord(reply + 28, mainHeadXidToProxy(kResourceColormap, word(reply + 28), record->head));
    free(record);
  } else {
    putWord(reply + 8, xproxyServerVisualToProxy(word(reply + 8), replyDisplay(), nullptr));
    putWord(reply + 28, mainServerToProxyXid(word(reply + 28), replyDisplay()));
  }
  xcoreFrameWriteReply(reply, length, "bbsiisbbiibbbbiiis");
}

void xcoreGetGeometry(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t drawable = word(request + 4);
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
    putWord(reply + 8, screen->root);
    if (record->drawable == screen->root) memset(reply + 12, 0, 4);  // x and y
  }
  free(record);
  xcoreFrameWriteReply(reply, length, "bbsiissssssii");
}

void xcoreQueryTree(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t window = word(request + 4);
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
  uint32_t root = word(reply + 8), parent = word(reply + 12);
  // The children count is bounded by the words the reply holds.
  uint32_t children = uint32_t(reply[16] | reply[17] << 8);
  if (children > (length - 32) / 4) children = (length - 32) / 4;
  MetaScreen *screen = record && record->head ? record->head->metaScreen : nullptr;
  if (screen) {
    putWord(reply + 8, screen->root);
    if (record->window == screen->root)
      parent = 0;
    else if (parent == root)
      parent = screen->root;
    else
      parent = mainHeadXidToProxy(kResourceWindow, parent, record->head);
  } else {
    putWord(reply + 8, mainServerToProxyXid(root, display));
    parent = mainServerToProxyXid(parent, display);
  }
  putWord(reply + 12, parent);
  for (uint32_t i = 0; i < children; i++)
    putWord(reply + 32 + 4 * i, mainServerToProxyXid(word(reply + 32 + 4 * i), display));
  free(record);
  xcoreFrameWriteReply(reply, length, "bbsiiissI");
}
