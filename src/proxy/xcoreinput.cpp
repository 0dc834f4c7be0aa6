// QueryBestSize, the extension queries and GetKeyboardMapping. The extension queries still go
// to the real server (so that their replies keep their place among the others), but what the
// client learns is the proxy's own extension list.
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/xmain.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "xclient/xtarget.h"
#include "xext/ext.h"

namespace {

constexpr uint8_t kQueryBestSize = 97, kQueryExtension = 98, kListExtensions = 99, kGetKeyboardMapping = 101;

uint32_t word(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);  // in the proxy's byte order once entered
  return v;
}
uint16_t half(const uint8_t *p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return v;
}
void putHalf(uint8_t *p, uint16_t v) { memcpy(p, &v, 2); }

// What a QueryBestSize reply needs of its request.
struct BestSizeRecord {
  uint8_t shapeClass;
  uint32_t drawable;
  uint16_t width, height;
};

// A reply the proxy could not build: BadAlloc for the request it answers, in its place.
void replyBadAlloc(uint8_t opcode) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  const uint8_t request[4] = {opcode, 0, 1, 0};
  core11GSendError(11, 0, request, sizeof request, client->replySequence, nullptr, client);
}

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
    unsigned answerWidth = 0, answerHeight = 0;
    Status status;
    int failed;
    {
      XtargetErrorTrap trap(head->display);
      // The asked size in the head's real pixels, at most the 16 bits a request carries.
      int32_t headWidth = askedWidth, headHeight = askedHeight;
      xmainScalePoint(&headWidth, &headHeight, head);
      status = XQueryBestSize(head->display, CursorShape, head->root, unsigned(std::clamp(headWidth, 0, 0xffff)),
                              unsigned(std::clamp(headHeight, 0, 0xffff)), &answerWidth, &answerHeight);
      failed = trap.errorCame();
    }
    if (!status || failed) return 0;
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
  uint32_t drawable = word(request + 4);
  auto *record = static_cast<BestSizeRecord *>(calloc(1, sizeof(BestSizeRecord)));
  if (!record) {
    xprotoSendError(11, 0, request, length, nullptr);
    return;
  }
  *record = BestSizeRecord{request[1], drawable, half(request + 8), half(request + 10)};
  Head *head = xcoreFrameFirstHeadOf(drawable);
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) {
    free(record);
    return;
  }
  uint32_t serverId = xproxyServerDrawable(drawable, head);
  memcpy(copy + 4, &serverId, 4);
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
      putHalf(reply + 8, uint16_t(width > 0xffff ? 0xffff : width));
      putHalf(reply + 10, uint16_t(height > 0xffff ? 0xffff : height));
    }
  }
  free(record);
  xcoreFrameWriteReply(reply, length, "bbsiss");
}

void xcoreQueryExtension(uint8_t *request, uint32_t length) {
  static const XcoreRequestShape shape{"bbss", 8, XcoreShape::List, 0, 0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  uint32_t nameLength = half(request + 4);
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
  if (!core11GListExtensionsReply(xproxyCurrentClient, uint8_t(count), names, used)) replyBadAlloc(kListExtensions);
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
    replyBadAlloc(kGetKeyboardMapping);
}
