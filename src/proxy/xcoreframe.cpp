// The shared frame of the core request handlers.
#include "proxy/xcoreframe.h"

#include <cstdlib>
#include <cstring>

#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xclient/region.h"
#include "xext/byteswap.h"

uint32_t xproxyCullingHeadCount;

namespace {

uint32_t read(const uint8_t *p, uint32_t bytes) {
  uint32_t v = 0;
  memcpy(&v, p, bytes);  // the request is in the proxy's byte order once entered
  return v;
}

void sendBadAlloc(const uint8_t *request, uint32_t length) { xprotoSendError(11, 0, request, length, nullptr); }

}  // namespace

int xcoreFrameEnter(uint8_t *request, uint32_t length, const XcoreRequestShape &shape) {
  ClientConnection *client = xproxyCurrentClient;
  if (client && client->reader.swapped && shape.layout) {
    // A fixed-length request is swapped over its fixed part only, and never past the bytes
    // that arrived: a short one must not turn bytes of the next request around.
    uint32_t end = shape.shape == XcoreShape::Fixed && shape.fixedLength < length ? shape.fixedLength : length;
    byteswapByFormat(shape.layout, request, request + end);
  }
  bool fits = false;
  switch (shape.shape) {
    case XcoreShape::Fixed: fits = length == shape.fixedLength; break;
    case XcoreShape::ValueList:
      if (length >= shape.fixedLength && uint32_t(shape.maskOffset) + shape.maskBytes <= shape.fixedLength) {
        uint32_t mask = read(request + shape.maskOffset, shape.maskBytes);
        fits = uint64_t(length) == uint64_t(shape.fixedLength) + 4 * uint64_t(__builtin_popcount(mask));
      }
      break;
    case XcoreShape::List: fits = length >= shape.fixedLength && length % 4 == 0; break;
  }
  if (fits) return 1;
  xprotoSendError(16, length, request, length, nullptr);
  return 0;
}

int xcoreFrameResolve(uint32_t id, uint32_t wanted, uint8_t errorCode, const uint8_t *request, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  resourceCacheDrawable(client, id);
  uint32_t type = client ? client->cachedType : 0;
  if (type && type < 32 && (wanted & (1u << type))) return 1;
  xprotoSendError(errorCode, id, request, length, nullptr);
  return 0;
}

int xcoreFrameNewId(uint32_t id, const uint8_t *request, uint32_t length) {
  if (!resourceIdNotNew(id)) return 1;
  xprotoSendError(14, id, request, length, nullptr);
  return 0;
}

uint8_t *xcoreFrameForwardOnce(const uint8_t *request, uint32_t length) {
  ClientConnection *client = xproxyCurrentClient;
  DisplayConnection *connection = client && client->displayCount ? client->displays[0] : nullptr;
  uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
  if (!copy) sendBadAlloc(request, length);
  return copy;
}

Head *xcoreFrameChooseHead(XcoreHeadChoice choice) {
  ClientConnection *client = xproxyCurrentClient;
  MetaScreen *screen = client && client->cachedScreen ? client->cachedScreen : xscreenList;
  if (!screen) return nullptr;
  switch (choice) {
    case XcoreHeadChoice::FirstOfResource: return screen->heads;
    case XcoreHeadChoice::FontHead: {
      Head *first = xscreenList ? xscreenList->heads : nullptr;
      return first && first->fontHead ? first->fontHead : first;
    }
    case XcoreHeadChoice::Primary: return screen->primaryHead ? screen->primaryHead : screen->heads;
    case XcoreHeadChoice::Pointer: {
      Head *pointer = proxyState.pointerHead;
      return pointer && pointer->metaScreen == screen ? pointer : screen->heads;
    }
  }
  return screen->heads;
}

int xcoreFramePerHead(const uint8_t *request, uint32_t length, uint32_t newId, XcoreCopyBuilder build,
                      void *argument) {
  ClientConnection *client = xproxyCurrentClient;
  MetaScreen *screen = client && client->cachedScreen ? client->cachedScreen : xscreenList;
  DisplayConnection *connection = client && client->displayCount ? client->displays[0] : nullptr;
  if (!screen || !connection) {
    sendBadAlloc(request, length);
    return 0;
  }
  for (Head *head = screen->heads; head; head = head->next) {
    if (xcoreFrameHeadCulled(head)) continue;
    if (!build(head, connection, request, length, argument)) {
      sendBadAlloc(request, length);
      return 0;
    }
    if (newId) xproxyPushReplyCallback(connection, kReplyTagDestroyOnError, newId, nullptr);
  }
  return 1;
}

uint8_t *xcoreFrameCopyForHead(const uint8_t *request, uint32_t length, DisplayConnection *connection, Head *head,
                               const XcoreIdField *fields) {
  uint8_t *copy = xproxySendRequest(request, length, connection);
  if (!copy) return nullptr;
  // The writer hands back the copy so that byte 4 on is the body, in either form.
  for (const XcoreIdField *f = fields; f && f->kind; f++) {
    if (uint32_t(f->offset) + 4 > length || f->offset < 4) continue;
    uint8_t *at = copy + f->offset;
    uint32_t id;
    memcpy(&id, at, 4);
    // Drawables (kind window) go through xproxyServerDrawable: back-buffer names of emulating
    // heads become image buffers.
    id = f->kind == kResourceWindow ? xproxyServerDrawable(id, head) : resourceServerId(id, f->kind, head);
    memcpy(at, &id, 4);
  }
  return copy;
}

int xcoreFrameHeadCulled(const Head *head) {
  if (!xproxyCullingHeadCount || !head || !head->culling) return 0;
  ClientConnection *client = xproxyCurrentClient;
  if (!client || !client->requestRegion || !client->requestRegionActive) return 0;
  return regionContainsRect(head->rect.x, head->rect.y, head->rect.width, head->rect.height,
                            client->requestRegion) == 0;
}

void xcoreFrameReplySequence(uint8_t *reply) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  uint16_t sequence = client->replySequence;
  memcpy(reply + 2, &sequence, 2);
}

void xcoreFrameMapWindowBack(uint8_t *reply, uint32_t offset) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ServerDisplay *display = connection ? connection->display : nullptr;
  wirePut32(reply + offset, mainServerToProxyXid(wireGet32(reply + offset), display));
}

void xcoreFrameWriteReply(uint8_t *reply, uint32_t length, WireLayout layout) {
  xcoreFrameReplySequence(reply);
  mainWriteToClient(reply, length, layout);
}

void xcoreFrameRefuse(const char *format, const uint8_t *request) {
  LOG(logChannelXhint, format, xprotoRequestLabel(request), xscreenClientName(xproxyCurrentClient));
}

int xcoreWorkaround(uint32_t bit) { return (configRecord.workarounds & bit) != 0; }

// ===== forwarded queries =====
void xcoreFrameReplyError(ClientConnection *client, uint8_t major, uint8_t code, uint32_t badValue) {
  if (!client) return;
  const uint8_t request[4] = {major, 0, 1, 0};
  core11GSendError(code, badValue, request, sizeof request, uint16_t(client->replySequence), nullptr, client);
}

int xcoreFramePlainCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length,
                        void *fields) {
  return xcoreFrameCopyForHead(request, length, connection, head, static_cast<const XcoreIdField *>(fields)) != nullptr;
}

DisplayConnection *xcoreFrameConnection() {
  ClientConnection *client = xproxyCurrentClient;
  return client && client->displayCount ? client->displays[0] : nullptr;
}

Head *xcoreFrameFirstHeadOf(uint32_t id) {
  MetaScreen *screen = resourceMetaScreenOfId(id);
  return screen ? screen->heads : nullptr;
}

int xcoreFrameCheckLength(const uint8_t *request, uint32_t length, uint64_t expected) {
  if (expected == length) return 1;
  xprotoSendError(16, length, request, length, nullptr);
  return 0;
}

uint8_t *xcoreFrameForwardToHead(const uint8_t *request, uint32_t length, Head *head, const XcoreIdField *fields) {
  DisplayConnection *connection = xcoreFrameConnection();
  uint8_t *copy = connection ? xcoreFrameCopyForHead(request, length, connection, head, fields) : nullptr;
  if (!copy) sendBadAlloc(request, length);
  return copy;
}

int xcoreFramePushRecord(uint8_t tag, void *record) {
  DisplayConnection *connection = xcoreFrameConnection();
  if (!connection) {
    free(record);
    return 0;
  }
  xproxyPushReplyCallback(connection, tag, reinterpret_cast<uintptr_t>(record), xcoreFrameFreeRecord);
  return 1;
}

void xcoreFrameFreeRecord(uintptr_t record) { free(reinterpret_cast<void *>(record)); }
// ===== end of forwarded queries =====
