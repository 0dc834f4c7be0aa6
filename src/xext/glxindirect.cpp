// GLX towards real servers: id translation, the requests the proxy writes itself and its
// short replies.
#include "xext/glxindirect.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/circlist.h"
#include "support/datapack.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xclient/glxsupport.h"
#include "xclient/xutil.h"
#include "xext/glxrecords.h"
#include "xext/glxswap.h"

// Last: it defines min and max as macros.
#include <X11/Xlibint.h>

namespace {

constexpr uint8_t kMinorMakeCurrent = 5;
constexpr uint8_t kMinorCreateGlxPixmap = 13;
constexpr uint8_t kMinorDestroyContext = 4;
constexpr uint8_t kMinorDestroyGlxPixmap = 15;
constexpr uint8_t kMinorDestroyPbuffer = 28;
constexpr uint8_t kBadAlloc = 11;
constexpr uint8_t kMinorRender = 1, kMinorRenderLarge = 2;
constexpr uint64_t kLargePiece = 262124;  // a piece's request is then 262140 bytes, 0x3fffc

uint8_t glxMajor() { return proxyState.ext.glxMajor; }

bool lumora(const Head *head) { return head && head->glLibrary; }

uint32_t slotOf(const Head *head) { return head->idIndex < kGlxHeadSlots ? head->idIndex : 0; }

// The body (byte 4 on) of a new request; NULL when no room can be had.
uint8_t *begin(const RequestSink *sink, uint8_t minor, uint32_t length) {
  if (!sink || !sink->begin) return nullptr;
  uint8_t *request = sink->begin(sink->context, glxMajor(), minor, length);
  return request ? request + 4 : nullptr;
}

// One 8-byte request naming an id, written the way Xlib writes its own.
void xlibDestroy(ServerDisplay *server, uint8_t minor, uint32_t serverId) {
  Display *display = server ? server->display : nullptr;
  if (!display || !glxMajor()) return;
  LockDisplay(display);
  unsigned char *request = xutilBeginRequest(display, glxMajor(), minor, 8);
  uint32_t id = serverId;
  memcpy(request + 4, &id, 4);
  UnlockDisplay(display);
  if (display->synchandler) (*display->synchandler)(display);
}

}  // namespace

// ===== id translation =====
uint32_t glxindirectRealContext(uint32_t contextId, Head *head) {
  if (lumora(head)) {
    if (auto *context = static_cast<GlxContextRecord *>(resourceLookupByType(contextId, kResourceGlxContext)))
      return context->directContexts[slotOf(head)];
  }
  return resourceServerId(contextId, kResourceGlxContext, head);
}

uint32_t glxindirectRealDrawable(uint32_t drawableId, Head *head) {
  if (lumora(head)) {
    if (auto *pbuffer = static_cast<GlxPbufferRecord *>(resourceLookupByType(drawableId, kResourceGlxPbuffer)))
      return pbuffer->direct[slotOf(head)];
    if (auto *pixmap = static_cast<GlxDrawableRecord *>(resourceLookupByType(drawableId, kResourceGlxDrawable)))
      return pixmap->direct[slotOf(head)];
  }
  return xproxyServerDrawable(drawableId, head);
}

uint32_t glxindirectRealVisual(uint32_t visualId, Head *head) {
  MetaScreen *screen = head ? head->metaScreen : nullptr;
  if (visualId == 0 || !screen) return visualId;
  // A later entry wins over an earlier one of the same id.
  for (uint32_t k = screen->visualCount; k-- > 0;) {
    const VisualRecord &visual = screen->visuals[k];
    bool byVisual = visual.visualId == visualId;
    if (!byVisual && visual.glFbConfigId != visualId) continue;
    const VisualRecord *own = mainHeadVisual(&visual, head);
    if (!own) return visualId;
    return byVisual ? own->visualId : own->glFbConfigId;
  }
  return visualId;
}
// ===== end of id translation =====

// ===== requests through a sink =====
void glxindirectMakeCurrent(const RequestSink *sink, uint32_t drawable, uint32_t context, uint32_t oldTag) {
  uint8_t *body = begin(sink, kMinorMakeCurrent, 16);
  if (!body) return;
  wirePut32(body, drawable);
  wirePut32(body + 4, context);
  wirePut32(body + 8, oldTag);
}

int glxindirectCreateGlxPixmap(const RequestSink *sink, uint32_t glxPixmap, uint32_t screen, uint32_t visual,
                               uint32_t pixmap) {
  uint8_t *body = begin(sink, kMinorCreateGlxPixmap, 20);
  if (!body) {
    LOG_OUT_OF_MEMORY();
    return 0;
  }
  wirePut32(body, screen);
  wirePut32(body + 4, visual);
  wirePut32(body + 8, pixmap);
  wirePut32(body + 12, glxPixmap);
  return 1;
}

void glxindirectQueueDestroyGlxPixmap(const RequestSink *sink, uint32_t glxPixmap) {
  if (uint8_t *body = begin(sink, kMinorDestroyGlxPixmap, 8)) wirePut32(body, glxPixmap);
}

int glxindirectRenderLarge(const RequestSink *sink, uint32_t serverTag, const uint8_t *data, uint64_t length, int mode) {
  auto pad4 = [](uint64_t n) { return (n + 3) & ~uint64_t(3); };
  if (mode == -1) {
    if (8 + pad4(length) > UINT32_MAX) return 0;
    uint8_t *body = begin(sink, kMinorRender, uint32_t(8 + pad4(length)));
    if (!body) return 0;
    wirePut32(body, serverTag);
    if (length) memcpy(body + 4, data, length);
    memset(body + 4 + length, 0, pad4(length) - length);
    return 1;
  }
  uint64_t first = glxsupportLargeRenderSize(data, length);
  uint64_t rest = length - first;
  uint64_t total = 1 + (rest + kLargePiece - 1) / kLargePiece;
  if (total > 0xffff) return 0;
  uint64_t at = 0;
  for (uint64_t number = 1; number <= total; number++) {
    uint64_t count = number == 1 ? first : (length - at < kLargePiece ? length - at : kLargePiece);
    uint8_t *body = begin(sink, kMinorRenderLarge, uint32_t(16 + pad4(count)));
    if (!body) return 0;
    wirePut32(body, serverTag);
    wirePut16(body + 4, uint16_t(number));
    wirePut16(body + 6, uint16_t(total));
    wirePut32(body + 8, uint32_t(count));
    if (count) memcpy(body + 12, data + at, count);
    memset(body + 12 + count, 0, pad4(count) - count);
    at += count;
  }
  return 1;
}
// ===== end of requests through a sink =====

// ===== render-stream swappers =====
namespace {
void reverse16(uint8_t *p) { std::swap(p[0], p[1]); }
void reverse32(uint8_t *p) {
  std::swap(p[0], p[3]);
  std::swap(p[1], p[2]);
}
}  // namespace

// Every walk moves on by a length at least its header's size and never past the bytes given,
// so a zero or oversized length ends it.
void glxindirectSwapRender16(uint8_t *first, uint8_t *end, int direction) {
  if (!first || !end) return;
  int swapped = direction > 0;
  uint8_t *p = first;
  while (end - p >= 4) {
    uint32_t length = wireGet16(p, swapped), opcode = wireGet16(p + 2, swapped);
    bool whole = length >= 4 && length <= uint64_t(end - p);
    if (swapped) reverse16(p), reverse16(p + 2);
    if (whole) glxSwapRenderCommand(opcode, p + 4, p + length, direction);
    if (!swapped) reverse16(p), reverse16(p + 2);
    if (!whole) return;
    p += length;
  }
}

void glxindirectSwapRender(uint8_t *stream, uint64_t bytes, int direction) {
  if (!stream) return;
  int swapped = direction > 0;
  uint8_t *p = stream;
  uint64_t rest = bytes;
  while (rest >= 8) {
    uint64_t length = wireGet32(p, swapped);
    uint32_t opcode = wireGet32(p + 4, swapped);
    if (swapped) reverse32(p), reverse32(p + 4);
    if (length >= 8) glxSwapRenderCommand(opcode, p + 8, p + (length < rest ? length : rest), direction);
    if (!swapped) reverse32(p), reverse32(p + 4);
    if (length < 8 || length >= rest) return;
    p += length;
    rest -= length;
  }
}
// ===== end of render-stream swappers =====

// ===== requests into an Xlib display =====
void glxindirectDestroyContext(ServerDisplay *display, uint32_t serverId) {
  xlibDestroy(display, kMinorDestroyContext, serverId);
}
void glxindirectDestroyGlxPixmap(ServerDisplay *display, uint32_t serverId) {
  xlibDestroy(display, kMinorDestroyGlxPixmap, serverId);
}
void glxindirectDestroyPbuffer(ServerDisplay *display, uint32_t serverId) {
  xlibDestroy(display, kMinorDestroyPbuffer, serverId);
}
// ===== end of requests into an Xlib display =====

// ===== replies =====
void glxindirectReplyShort(uint32_t value, ClientConnection *client) {
  if (!client) return;
  auto *reply = static_cast<uint8_t *>(scratchAlloc(32));
  if (!reply) {
    const uint8_t request[4] = {glxMajor(), kMinorMakeCurrent, 1, 0};
    CurrentScope scope(client);
    xprotoSendError(kBadAlloc, 32, request, sizeof request, nullptr);
    return;
  }
  memset(reply, 0, 32);
  wirePut16(reply + 2, uint16_t(client->sequence));
  wirePut32(reply + 8, value);
  mainSendReply(glxMajor(), kMinorMakeCurrent, reply, 32, "bbsii", client);
  scratchFree(reply);
}

void glxindirectReplyConfigs(const uint32_t *properties, uint32_t configs, uint32_t pairs, ClientConnection *client) {
  if (!client) return;
  constexpr uint8_t kMinorGetFbConfigs = 21;
  uint64_t words = uint64_t(configs) * pairs * 2;
  uint64_t size = 32 + words * 4;
  auto *reply = size <= 0xFFFFFFFFu ? static_cast<uint8_t *>(scratchAlloc(size_t(size))) : nullptr;
  if (!reply) {
    const uint8_t request[4] = {glxMajor(), kMinorGetFbConfigs, 2, 0};
    CurrentScope scope(client);
    xprotoSendError(kBadAlloc, uint32_t(size), request, sizeof request, nullptr);
    return;
  }
  memset(reply, 0, 32);
  wirePut16(reply + 2, uint16_t(client->sequence));
  wirePut32(reply + 8, configs);
  wirePut32(reply + 12, pairs);
  if (words) memcpy(reply + 32, properties, size_t(words) * 4);
  mainSendReply(glxMajor(), kMinorGetFbConfigs, reply, uint32_t(size), "bbsI", client);
  scratchFree(reply);
}

namespace {

constexpr uint8_t kMinorVendorPrivateWithReply = 17, kMinorGenTextures = 145, kMinorBlock = 175;

uint64_t pad4(uint64_t n) { return (n + 3) & ~uint64_t(3); }

// A zeroed block for a reply of size bytes (32 and the data padded to 4) with the client's
// sequence at byte 2; NULL after BadAlloc (bad value: the size, saturated to 32 bits) when no
// block can be had or the size is beyond a reply's length word.
uint8_t *replyBlock(ClientConnection *client, uint8_t minor, uint64_t size) {
  uint8_t *reply = size <= 0xFFFFFFFFu ? static_cast<uint8_t *>(scratchAlloc(size_t(size))) : nullptr;
  if (!reply) {
    const uint8_t request[4] = {glxMajor(), minor, 0, 0};
    CurrentScope scope(client);
    xprotoSendError(kBadAlloc, size <= 0xFFFFFFFFu ? uint32_t(size) : 0xFFFFFFFFu, request, sizeof request, nullptr);
    return nullptr;
  }
  memset(reply, 0, size_t(size));
  wirePut16(reply + 2, uint16_t(client->sequence));
  return reply;
}

void sendBlock(ClientConnection *client, uint8_t minor, uint8_t *reply, uint64_t size, WireLayout layout) {
  mainSendReply(glxMajor(), minor, reply, uint32_t(size), layout, client);
  scratchFree(reply);
}

// Item k of values (native order) at p in the proxy's byte order; an unknown size is copied as
// it stands. NULL values give zeros.
void putItem(uint8_t *p, const void *values, uint64_t k, uint32_t itemSize) {
  if (!values) return;
  const uint8_t *item = static_cast<const uint8_t *>(values) + k * itemSize;
  switch (itemSize) {
    case 2: {
      uint16_t v;
      memcpy(&v, item, 2);
      wirePut16(p, v);
      break;
    }
    case 4: {
      uint32_t v;
      memcpy(&v, item, 4);
      wirePut32(p, v);
      break;
    }
    case 8: {
      uint64_t v;
      memcpy(&v, item, 8);
      wirePut32(p, uint32_t(v));
      wirePut32(p + 4, uint32_t(v >> 32));
      break;
    }
    default:
      memcpy(p, item, itemSize);
  }
}

// The layout of a reply whose data are items of itemSize bytes; another size is reported.
WireLayout valuesLayout(uint32_t itemSize) {
  switch (itemSize) {
    case 1: return "bbsiii";
    case 2: return "bbsiiiS";
    case 4: return "bbsI";
    case 8: return "bbsiiiL";
    default: LOG_UNE(); return "bbsiii";
  }
}

// The value's first 32 bits as a number: a 1- or 2-byte item widened, an 8-byte item's low word,
// an item of another size its first (up to four) bytes as they stand.
uint32_t firstWord(const void *values, uint32_t itemSize) {
  if (!values) return 0;
  const auto *item = static_cast<const uint8_t *>(values);
  if (itemSize == 1) return *item;
  if (itemSize == 2) {
    uint16_t v;
    memcpy(&v, item, 2);
    return v;
  }
  if (itemSize == 4 || itemSize == 8) {
    uint32_t v;
    if (itemSize == 8) {
      uint64_t w;
      memcpy(&w, item, 8);
      v = uint32_t(w);
    } else {
      memcpy(&v, item, 4);
    }
    return v;
  }
  uint8_t raw[4] = {};
  memcpy(raw, item, itemSize < 4 ? itemSize : 4);
  return wireGet32(raw);
}

// The n items from byte 32, or (inline) one item at byte 16 with its first word at byte 8.
// An inline item must fit the header's last 16 bytes.
void sendValues(const void *values, uint32_t n, uint32_t itemSize, bool withReturn, uint32_t returnWord,
                ClientConnection *client, uint8_t minor) {
  if (!client) return;
  WireLayout layout = valuesLayout(itemSize);
  bool inlineItem = !withReturn && n == 1 && itemSize <= 16;
  uint64_t bytes = uint64_t(n) * itemSize;
  uint64_t size = 32 + (inlineItem ? 0 : pad4(bytes));
  uint8_t *reply = replyBlock(client, minor, size);
  if (!reply) return;
  wirePut32(reply + 12, n);
  if (withReturn) wirePut32(reply + 8, returnWord);
  if (inlineItem) {
    wirePut32(reply + 8, firstWord(values, itemSize));
    putItem(reply + 16, values, 0, itemSize);
  } else {
    for (uint64_t k = 0; k < n; k++) putItem(reply + 32 + k * itemSize, values, k, itemSize);
  }
  sendBlock(client, minor, reply, size, layout);
}

// minor 17 to the current client: n at byte 8, then the words (none, or A and B at 12 and 16),
// the n bytes from byte 32.
void sendData(uint32_t n, bool withWords, uint32_t wordA, uint32_t wordB, const uint8_t *data) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  uint64_t size = 32 + pad4(n);
  uint8_t *reply = replyBlock(client, kMinorVendorPrivateWithReply, size);
  if (!reply) return;
  wirePut32(reply + 8, n);
  if (withWords) {
    wirePut32(reply + 12, wordA);
    wirePut32(reply + 16, wordB);
  }
  if (n && data) memcpy(reply + 32, data, n);
  sendBlock(client, kMinorVendorPrivateWithReply, reply, size, "bbsiiii");
}

}  // namespace

void glxindirectReplyString(const char *string, ClientConnection *client, uint8_t minor) {
  if (!client) return;
  uint64_t n = string ? uint64_t(strlen(string)) + 1 : 0;
  uint64_t size = 32 + pad4(n);
  uint8_t *reply = replyBlock(client, minor, size);
  if (!reply) return;
  wirePut32(reply + 12, uint32_t(n));
  if (n) memcpy(reply + 32, string, size_t(n));
  sendBlock(client, minor, reply, size, "bbsiii");
}

void glxindirectReplyBytes(const uint8_t *bytes, uint32_t n, ClientConnection *client, uint8_t minor) {
  if (!client) return;
  uint64_t size = 32 + (n ? pad4(uint64_t(n) + 1) : 0);
  uint8_t *reply = replyBlock(client, minor, size);
  if (!reply) return;
  wirePut32(reply + 12, n);
  if (n && bytes) memcpy(reply + 32, bytes, n);  // the NUL after them is the block's zero
  sendBlock(client, minor, reply, size, "bbsiii");
}

void glxindirectReplyId(uint32_t value, ClientConnection *client, uint8_t minor) {
  if (!client) return;
  uint8_t *reply = replyBlock(client, minor, 32);
  if (!reply) return;
  wirePut32(reply + 12, 1);
  wirePut32(reply + 16, value);
  sendBlock(client, minor, reply, 32, "bbsI");
}

void glxindirectReplyInt(uint32_t value, ClientConnection *client, uint8_t minor) {
  if (!client) return;
  uint8_t *reply = replyBlock(client, minor, 32);
  if (!reply) return;
  wirePut32(reply + 8, value);
  wirePut32(reply + 12, 1);
  wirePut32(reply + 16, value);
  sendBlock(client, minor, reply, 32, "bbsI");
}

void glxindirectReplyValues(const void *values, uint32_t n, uint32_t itemSize, ClientConnection *client,
                            uint8_t minor) {
  sendValues(values, n, itemSize, false, 0, client, minor);
}

void glxindirectReplyValuesEx(const void *values, uint32_t n, uint32_t itemSize, uint32_t returnWord,
                              ClientConnection *client, uint8_t minor) {
  sendValues(values, n, itemSize, true, returnWord, client, minor);
}

void glxindirectReplyPair(uint32_t first, uint32_t second, uint32_t n, ClientConnection *client, uint8_t minor) {
  if (!client) return;
  uint8_t *reply = replyBlock(client, minor, 32);
  if (!reply) return;
  wirePut32(reply + 12, n);
  wirePut32(reply + 16, first);
  wirePut32(reply + 20, second);
  sendBlock(client, minor, reply, 32, "bbsiiiL");
}

void glxindirectReplyList(const uint32_t *values, uint32_t count, Head *head) {
  ClientConnection *client = xproxyCurrentClient;
  MetaScreen *screen = head ? head->metaScreen : nullptr;
  if (!client || !screen) return;
  Head *replyHead = screen->glxHead ? screen->glxHead : screen->heads;
  if (head != replyHead) return;
  uint64_t size = 32 + uint64_t(count) * 4;
  uint8_t *reply = replyBlock(client, kMinorGenTextures, size);
  if (!reply) return;
  if (values)
    for (uint64_t k = 0; k < count; k++) wirePut32(reply + 32 + 4 * k, values[k]);
  sendBlock(client, kMinorGenTextures, reply, size, "bbsI");
}

void glxindirectReplyBlock(const uint8_t *data, uint32_t n, uint32_t wordA, uint32_t wordB,
                           ClientConnection *client) {
  if (!client) return;
  uint64_t size = 32 + pad4(n);
  uint8_t *reply = replyBlock(client, kMinorBlock, size);
  if (!reply) return;
  wirePut32(reply + 12, n);
  wirePut32(reply + 16, wordA);
  wirePut32(reply + 20, wordB);
  if (n && data) memcpy(reply + 32, data, n);
  sendBlock(client, kMinorBlock, reply, size, "bbsiiiiiii");
}

void glxindirectReplyData1(uint32_t n, uint32_t wordA, uint32_t wordB, const uint8_t *data) {
  sendData(n, true, wordA, wordB, data);
}
void glxindirectReplyData2(uint32_t n, uint32_t wordA, uint32_t wordB, const uint8_t *data) {
  sendData(n, true, wordA, wordB, data);
}
void glxindirectReplyData3(uint32_t n, const uint8_t *data) { sendData(n, false, 0, 0, data); }
void glxindirectReplyData4(uint32_t n, const uint8_t *data) { sendData(n, false, 0, 0, data); }
// ===== end of replies =====

// ===== id lists =====
void glxindirectUnlink(GlxShaderEntry **list, GlxShaderEntry *entry) {
  if (!list || !entry) return;
  circListUnlink(list, entry);
  free(entry);
}
// ===== end of id lists =====
