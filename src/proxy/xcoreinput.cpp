// QueryBestSize, the extension queries and GetKeyboardMapping. The extension queries still go
// to the real server (so that their replies keep their place among the others), but what the
// client learns is the proxy's own extension list.
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "proxy/access.h"
#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xdisplay.h"
#include "proxy/xmain.h"
#include "proxy/xproto.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xclient/xtarget.h"
#include "xext/ext.h"

namespace {

constexpr uint8_t kQueryBestSize = 97, kQueryExtension = 98, kListExtensions = 99, kGetKeyboardMapping = 101;

// What a QueryBestSize reply needs of its request.
struct BestSizeRecord {
  uint8_t shapeClass;
  uint32_t drawable;
  uint16_t width, height;
};

// A size the head answered in its real pixels as the meta screen's (the inverse of the zoom
// that xmainScalePoint applies).
uint32_t fromHead(uint32_t size, double zoom) { return zoom > 0 ? uint32_t(size / zoom) : size; }

// The largest cursor every head of the meta screen can show, not above the asked size where
// the heads allow it (the servers' own rule) and never above the meta screen's size. 0 when a
// head's server cannot be asked.
int bestCursorSize(MetaScreen *screen, uint16_t askedWidth, uint16_t askedHeight, uint32_t *width,
                   uint32_t *height) {
  *width = screen->width;
  *height = screen->height;
  for (Head *head = screen->heads; head; head = head->next) {
    if (!head->display) return 0;
    // The asked size in the head's real pixels, at most the 16 bits a request carries.
    int32_t headWidth = askedWidth, headHeight = askedHeight;
    xmainScalePoint(&headWidth, &headHeight, head);
    auto cookie = xcb_query_best_size(XGetXCBConnection(head->display), XCB_QUERY_SHAPE_OF_LARGEST_CURSOR,
                                      uint32_t(head->root), uint16_t(std::clamp(headWidth, 0, 0xffff)),
                                      uint16_t(std::clamp(headHeight, 0, 0xffff)));
    bool stalled = false;
    auto *answer = static_cast<xcb_query_best_size_reply_t *>(
        xdisplayWaitReply(head->display, cookie.sequence, "QueryBestSize", &stalled, false));
    if (!answer) return 0;
    unsigned answerWidth = answer->width, answerHeight = answer->height;
    free(answer);
    // The head answers in its real pixels; the client counts the meta screen's.
    uint32_t w = fromHead(answerWidth, head->zoomX), h = fromHead(answerHeight, head->zoomY);
    if (w < *width) *width = w;
    if (h < *height) *height = h;
  }
  return 1;
}

}  // namespace

void xcoreQueryBestSize(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsiss", 12, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t drawable = wireGet32(request + 4);
  auto *record = static_cast<BestSizeRecord *>(calloc(1, sizeof(BestSizeRecord)));
  if (!record) {
    xprotoSendError(11, 0, request, length, nullptr);
    return;
  }
  *record = BestSizeRecord{request[1], drawable, wireGet16(request + 8), wireGet16(request + 10)};
  Head *head = xcoreFrameFirstHeadOf(drawable);
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) {
    free(record);
    return;
  }
  wirePut32(copy + 4, xproxyServerDrawable(drawable, head));
  xcoreFramePushRecord(kQueryBestSize, record);
}

void xcoreQueryBestSizeReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  auto *record = connection ? reinterpret_cast<BestSizeRecord *>(xproxyTakeReplyCallback(connection, kQueryBestSize))
                            : nullptr;
  if (!record) logProblem("UNE", kXcoreSource, __LINE__);
  if (record && record->shapeClass == CursorShape) {
    ResourceType type = resourceLookupIdType(record->drawable, nullptr);
    MetaScreen *screen = type == kResourceWindow || type == kResourceHeadRoot || type == kResourcePixmap
                             ? resourceMetaScreenOf(record->drawable)
                             : nullptr;
    uint32_t width, height;
    if (screen && bestCursorSize(screen, record->width, record->height, &width, &height)) {
      wirePut16(reply + 8, uint16_t(width > 0xffff ? 0xffff : width));
      wirePut16(reply + 10, uint16_t(height > 0xffff ? 0xffff : height));
    }
  }
  free(record);
  xcoreFrameWriteReply(reply, length, "bbsiss");
}

void xcoreQueryExtension(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbss", 8, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t nameLength = wireGet16(request + 4);
  if (!xcoreFrameCheckLength(request, length, 8 + ((uint64_t(nameLength) + 3) & ~3ull))) return;
  // The exact name (case counts) among the extensions the proxy offers.
  ExtensionRecord *record = extFindByNameLen(request + 8, nameLength);
  if (!xcoreFrameForwardOnce(request, length)) return;
  if (record) xproxyPushReplyCallback(xcoreFrameConnection(), kQueryExtension, reinterpret_cast<uintptr_t>(record),
                                      nullptr);
}

void xcoreQueryExtensionReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  auto *record =
      connection ? reinterpret_cast<ExtensionRecord *>(xproxyTakeReplyCallback(connection, kQueryExtension)) : nullptr;
  // Whatever the real server said: present with the proxy's codes, or absent with zeros.
  reply[8] = record ? 1 : 0;
  reply[9] = record ? record->majorOpcode : 0;
  reply[10] = record ? record->firstEvent : 0;
  reply[11] = record ? record->firstError : 0;
  xcoreFrameWriteReply(reply, length, "bbsibbbbiiiii");
}

void xcoreListExtensions(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  xcoreFrameForwardOnce(request, length);
}

void xcoreListExtensionsReply(uint8_t *, uint32_t) {
  // Every major from 128 on may hold a name of up to 255 bytes behind its length byte.
  uint8_t names[128 * 256];
  uint32_t used = 0;
  unsigned count = extListNames(names, sizeof names, &used);
  if (!core11GListExtensionsReply(xproxyCurrentClient, uint8_t(count), names, used)) xcoreFrameReplyError(xproxyCurrentClient, kListExtensions, 11, 0);
}

void xcoreGetKeyboardMapping(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  if (!xcoreFrameForwardOnce(request, length)) return;
  // First keycode and count; bit 16 keeps the argument from being 0.
  uintptr_t asked = uintptr_t(1) << 16 | uintptr_t(request[5]) << 8 | request[4];
  xproxyPushReplyCallback(xcoreFrameConnection(), kGetKeyboardMapping, asked, nullptr);
}

void xcoreGetKeyboardMappingReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uintptr_t asked = connection ? xproxyTakeReplyCallback(connection, kGetKeyboardMapping) : 0;
  uint8_t perKeycode = reply[1];
  if (!asked || !perKeycode) {
    xcoreFrameWriteReply(reply, length, "bbsI");
    return;
  }
  uint32_t rowsAsked = (asked >> 8) & 0xff;
  uint32_t rowsGiven = (length - 32) / (4 * uint32_t(perKeycode));
  // The reply's data is word-aligned in the input buffer.
  const auto *keysyms = reinterpret_cast<const uint32_t *>(reply + 32);
  ClientConnection *client = xproxyCurrentClient;
  if (!client || !core11GGetKeyboardMappingReply(client, client->replySequence, keysyms, perKeycode,
                                                 rowsGiven, rowsAsked))
    xcoreFrameReplyError(xproxyCurrentClient, kGetKeyboardMapping, 11, 0);
}

// ===== keyboard, pointer, screen saver and access =====
namespace {

constexpr uint8_t kListHosts = 110;

uint64_t pad4(uint64_t n) { return (n + 3) & ~uint64_t(3); }

// A request forwarded as it is: the shape checked, then one copy on the client's first
// display connection.
void forwardPlain(uint8_t *request, uint32_t length, const XcoreRequestShape &shape) {
  if (!xcoreFrameEnter(request, length, shape)) return;
  xcoreFrameForwardOnce(request, length);
}

// A request whose length follows from a count inside it: the fixed part checked by the frame,
// then the exact length.
bool enterCounted(uint8_t *request, uint32_t length, const XcoreRequestShape &shape, uint64_t (*expected)(const uint8_t *)) {
  if (!xcoreFrameEnter(request, length, shape)) return false;
  return xcoreFrameCheckLength(request, length, expected(request)) != 0;
}

// The client as the host access code sees it: its access record with its connection, whose
// peer address decides whether the client is local.
AccessClient *accessOf(ClientConnection *client) {
  client->access.transport = client->transport;
  return &client->access;
}

}  // namespace

void xcoreChangeKeyboardMapping(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsbbsI", 8, XcoreShape::List, 0, 0};
  if (!enterCounted(request, length, shape, [](const uint8_t *r) { return 8 + 4 * uint64_t(r[1]) * r[5]; })) return;
  unsigned first = request[4], count = request[1];
  LOG(logChannelStep, "Keyboard mapping (%u..%u) changed by %s", first, count ? first + count - 1 : first,
      xscreenClientName(xproxyCurrentClient));
  xcoreFrameForwardOnce(request, length);
}

void xcoreChangeKeyboardControl(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbsI", 8, XcoreShape::ValueList, 4, 4});
}
void xcoreGetKeyboardControl(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbs", 4, XcoreShape::Fixed, 0, 0});
}
void xcoreGetKeyboardControlReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsiibbsss"); }
void xcoreBell(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbs", 4, XcoreShape::Fixed, 0, 0});
}
void xcoreChangePointerControl(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbssss", 12, XcoreShape::Fixed, 0, 0});
}
void xcoreGetPointerControl(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbs", 4, XcoreShape::Fixed, 0, 0});
}
void xcoreGetPointerControlReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsisss"); }
void xcoreSetScreenSaver(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbsssbbs", 12, XcoreShape::Fixed, 0, 0});
}
void xcoreGetScreenSaver(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbs", 4, XcoreShape::Fixed, 0, 0});
}
void xcoreGetScreenSaverReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsiss"); }
void xcoreForceScreenSaver(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbs", 4, XcoreShape::Fixed, 0, 0});
}

void xcoreRotateProperties(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsissI", 12, XcoreShape::List, 0, 0};
  if (!enterCounted(request, length, shape, [](const uint8_t *r) { return 12 + 4 * uint64_t(wireGet16(r + 8)); }))
    return;
  uint32_t window = wireGet32(request + 4);
  if (!xcoreFrameResolve(window, kXcoreWantWindow, 3, request, length)) return;
  static const XcoreIdField fields[] = {{4, kResourceWindow}, {0, 0}};
  xcoreFrameForwardToHead(request, length, xcoreFrameFirstHeadOf(window), fields);
}

void xcoreSetPointerMapping(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::List, 0, 0};
  if (!enterCounted(request, length, shape, [](const uint8_t *r) { return 4 + pad4(r[1]); })) return;
  xcoreFrameForwardOnce(request, length);
}
void xcoreGetPointerMapping(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbs", 4, XcoreShape::Fixed, 0, 0});
}
void xcoreSetModifierMapping(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::List, 0, 0};
  if (!enterCounted(request, length, shape, [](const uint8_t *r) { return 4 + 8 * uint64_t(r[1]); })) return;
  xcoreFrameForwardOnce(request, length);
}
void xcoreGetModifierMapping(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbs", 4, XcoreShape::Fixed, 0, 0});
}
// Replies that go on as they came, with the client's sequence.
void xcoreMappingReply(uint8_t *reply, uint32_t length) { xcoreFrameWriteReply(reply, length, "bbsi"); }

void xcoreChangeHosts(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsbbs", 8, XcoreShape::List, 0, 0};
  if (!enterCounted(request, length, shape, [](const uint8_t *r) { return 8 + pad4(wireGet16(r + 6)); })) return;
  ClientConnection *client = xproxyCurrentClient;
  uint8_t mode = request[1];
  int family = request[4];
  int addressLength = wireGet16(request + 6);
  if (mode > 1) return xprotoSendError(2, mode, request, length, nullptr);
  AccessClient *access = accessOf(client);
  access->errorValue = 0;
  int result = mode == 0 ? accessAddHost(access, family, addressLength, request + 8)
                         : accessRemoveHost(access, family, addressLength, request + 8);
  // The access code names the bad value of a BadValue (the address length of a bad address).
  if (result) xprotoSendError(uint8_t(result), result == 2 ? client->access.errorValue : 0, request, length, nullptr);
}

void xcoreListHosts(uint8_t *request, uint32_t length) {
  forwardPlain(request, length, XcoreRequestShape{"bbs", 4, XcoreShape::Fixed, 0, 0});
}

void xcoreListHostsReply(uint8_t *reply, uint32_t length) {
  uint8_t *entries = nullptr;
  int count = 0, bytes = 0, enabled = 0;
  if (accessListHosts(&entries, &count, &bytes, &enabled) != 0) {
    logProblem("UNE", kXcoreSource, __LINE__);
    xcoreFrameWriteReply(reply, length, "H-34");
    return;
  }
  // The entries' lengths are in this machine's order; the reply's layout puts them in the client's.
  ClientConnection *client = xproxyCurrentClient;
  if (!client || !core11GListHostsReply(client, client->replySequence, uint8_t(enabled), uint16_t(count), entries,
                                        uint32_t(bytes)))
    xcoreFrameReplyError(xproxyCurrentClient, kListHosts, 11, 0);
  free(entries);
}

void xcoreSetAccessControl(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint8_t mode = request[1];
  if (mode > 1) return xprotoSendError(2, mode, request, length, "invalid mode");
  if (accessSetEnabled(accessOf(xproxyCurrentClient), mode)) xprotoSendError(10, 0, request, length, nullptr);
}

void xcoreSetCloseDownMode(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbs", 4, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint8_t mode = request[1];
  if (mode > 2) return xprotoSendError(2, mode, request, length, "invalid mode");
  // Read when the client closes: a retaining mode keeps its resources after the socket goes.
  xproxyCurrentClient->closeDownMode = mode;
}

void xcoreKillClient(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbsi", 8, XcoreShape::Fixed, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t id = wireGet32(request + 4);
  ClientConnection *client = xproxyCurrentClient;
  if (id == 0) {  // AllTemporary
    for (ClientConnection *c = xproxyClients, *next; c; c = next) {
      next = c->next;
      if (c != client && c->retained && c->fd < 0 && c->closeDownMode == kResourceRetainTemporary) {
        c->closeDownMode = 0;
        xproxyCloseClient(c, "KillClient", 0);
      }
    }
    // (The resources' end may call the GL library: not while a call of it runs outside the loop.)
    miscAfterOutside([] { resourceKillTemporaryClients(); });
    return;
  }
  uint32_t slot = resourceSlotOf(id);
  // The proxy's own ids (meta roots, default colormaps, visuals) are never freed by a client,
  // as an X server answers for its own resources.
  if (slot == 0 || slot >= kResourceClientSlots || !resourceLookupAny(id))
    return xprotoSendError(2, id, request, length, nullptr);
  ClientConnection *owner = xproxyClientByIndex(slot);
  if (!owner) {  // a slot whose client is gone (retained resources): freed with no client current
    miscAfterOutside([slot] {
      CurrentScope none(nullptr);
      resourceFreeAllOfClient(slot);
    });
  } else if (owner == client) {
    xprotoCloseWithReason(&client->reader, "client killed");
  } else {
    owner->closeDownMode = 0;
    xproxyCloseClient(owner, "KillClient", 0);
  }
}
// ===== end of keyboard, pointer, screen saver and access =====
