// The Multi-Buffering extension. Requests that make, change or show image buffers go to every
// head of the window's meta screen with ids translated per head; queries go to the first head
// and their answers come back in the client's ids. The proxy keeps a record of each buffer so
// that a window's buffers go with the window.
#include "xext/multibuf.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/window.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/circlist.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/extrequest.h"
#include "xext/windowbuffers.h"

namespace {

constexpr uint8_t kBadWindow = 3, kBadMatch = 8, kBadAlloc = 11, kBadIDChoice = 14;
constexpr uint8_t kMinorCreate = 1, kMinorDestroy = 2, kMinorDisplay = 3;
// Reply callback tags: the head a CreateImageBuffers copy went to, and GetBufferInfo's head.
constexpr uint8_t kTagCreate = 1, kTagInfo = 8;

uint32_t buffersAlive = 0;

MultibufBuffer *&windowList(WindowRecord *window) {
  return reinterpret_cast<MultibufBuffer *&>(window->multibufData);
}

Head *primaryOf(const MetaScreen *screen) {
  if (!screen) return nullptr;
  return screen->primaryHead ? screen->primaryHead : screen->heads;
}

void freeRoutine(uint32_t, void *value) { multibufFreeBuffer(static_cast<MultibufBuffer *>(value)); }
MetaScreen *screenOfBuffer(void *value) {
  auto *buffer = static_cast<MultibufBuffer *>(value);
  return buffer && buffer->window ? buffer->window->screen : nullptr;
}
VisualRecord *visualOfBuffer(void *value) {
  auto *buffer = static_cast<MultibufBuffer *>(value);
  return buffer && buffer->window ? buffer->window->visual : nullptr;
}

// ----- Per-head copies ---------------------------------------------------------------------

const XcoreIdField kWindowField[] = {{4, kResourceWindow}, {0, 0}};
const XcoreIdField kBufferField[] = {{4, kResourceMbufBuffer}, {0, 0}};

// CreateImageBuffers on one head: the window and every buffer translated, then the head noted
// for the reply.
int createCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *) {
  uint8_t *copy = xproxySendRequest(request, length, connection);
  if (!copy) return 0;
  wirePut32(copy + 4, resourceServerId(wireGet32(request + 4), kResourceWindow, head));
  for (uint32_t at = 12; at + 4 <= length; at += 4)
    wirePut32(copy + at, resourceServerId(wireGet32(request + at), kResourceMbufBuffer, head));
  xproxyPushReplyCallback(connection, kTagCreate, reinterpret_cast<uintptr_t>(head), nullptr);
  return 1;
}

// DisplayImageBuffers on one head: every buffer id translated.
int displayCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length, void *) {
  uint8_t *copy = xproxySendRequest(request, length, connection);
  if (!copy) return 0;
  for (uint32_t at = 8; at + 4 <= length; at += 4)
    wirePut32(copy + at, resourceServerId(wireGet32(request + at), kResourceMbufBuffer, head));
  return 1;
}

// The meta screen of an id as the current one (no error: the real server judges the id).
void cacheId(uint32_t id) { resourceCacheDrawable(xproxyCurrentClient, id); }

// A buffer id the proxy holds no buffer under (a stranger's, or one gone with its window) has no
// server id on any head: MbufBadBuffer with the client's id, nothing forwarded.
constexpr uint8_t kMbufBadBuffer = 0;  // the extension's first error
bool knownBuffer(uint32_t id, const uint8_t *request, uint32_t length) {
  if (resourceLookupByType(id, kResourceMbufBuffer)) return true;
  xprotoSendExtensionError(kMbufBadBuffer, id, request, length, nullptr);
  return false;
}

// ----- Requests ----------------------------------------------------------------------------

// CreateImageBuffers: every id is checked and every record made before anything changes, so
// that a refused request leaves the old buffers and writes nothing.
void createImageBuffers(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t windowId = wireGet32(request + 4);
  if (!xcoreFrameResolve(windowId, 1u << kResourceWindow, kBadWindow, request, length)) return;
  auto *window = static_cast<WindowRecord *>(xproxyCurrentClient->cachedRecord);
  uint32_t count = (length - 12) / 4;
  std::vector<uint32_t> ids;
  std::vector<MultibufBuffer *> made;
  auto dropMade = [&made]() {
    for (MultibufBuffer *b : made) free(b);
  };
  try {
    ids.reserve(count);
    made.reserve(count);
  } catch (const std::bad_alloc &) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  for (uint32_t k = 0; k < count; k++) {
    uint32_t id = wireGet32(request + 12 + 4 * k);
    // The window's own buffers go first, so their ids may be given again.
    auto *own = static_cast<MultibufBuffer *>(resourceLookupByType(id, kResourceMbufBuffer));
    bool repeated = false;
    for (uint32_t earlier : ids) repeated = repeated || earlier == id;
    if (repeated || (resourceIdNotNew(id) && !(own && own->window == window))) {
      dropMade();
      xprotoSendError(kBadIDChoice, id, request, length, nullptr);
      return;
    }
    auto *buffer = static_cast<MultibufBuffer *>(calloc(1, sizeof(MultibufBuffer)));
    if (!buffer) {
      dropMade();
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
    buffer->bufferId = id;
    buffer->updateAction = request[8];
    buffer->updateHint = request[9];
    ids.push_back(id);
    made.push_back(buffer);
  }
  multibufFreeWindowBuffers(window);
  for (size_t k = 0; k < made.size(); k++) {
    MultibufBuffer *buffer = made[k];
    buffer->window = window;
    circListPushBack(&windowList(window), buffer);
    buffersAlive++;
    if (!resourceAdd(buffer->bufferId, kResourceMbufBuffer, buffer)) {
      // The record went with the failed add; the rest were never listed.
      for (size_t rest = k + 1; rest < made.size(); rest++) free(made[rest]);
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
  }
  xcoreFramePerHead(request, length, 0, createCopy, nullptr);
}

void destroyImageBuffers(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t windowId = wireGet32(request + 4);
  cacheId(windowId);
  ClientConnection *client = xproxyCurrentClient;
  MetaScreen *screen = client->cachedScreen;
  bool isWindow = client->cachedType == kResourceWindow;
  auto *window = isWindow ? static_cast<WindowRecord *>(client->cachedRecord) : nullptr;
  if (screen && screen->heads &&
      !xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kWindowField)))
    return;
  if (window) multibufFreeWindowBuffers(window);
}

void displayImageBuffers(uint8_t *request, uint32_t length, uint8_t *) {
  // Without a buffer there is no meta screen to follow: the server answers the request.
  if (length < 12) {
    xcoreFrameForwardOnce(request, length);
    return;
  }
  for (uint32_t at = 8; at + 4 <= length; at += 4)
    if (!knownBuffer(wireGet32(request + at), request, length)) return;
  cacheId(wireGet32(request + 8));
  xcoreFramePerHead(request, length, 0, displayCopy, nullptr);
}

void perHeadWindow(uint8_t *request, uint32_t length, uint8_t *) {
  cacheId(wireGet32(request + 4));
  xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kWindowField));
}

void perHeadBuffer(uint8_t *request, uint32_t length, uint8_t *) {
  if (!knownBuffer(wireGet32(request + 4), request, length)) return;
  cacheId(wireGet32(request + 4));
  xcoreFramePerHead(request, length, 0, xcoreFramePlainCopy, const_cast<XcoreIdField *>(kBufferField));
}

void firstHeadWindow(uint8_t *request, uint32_t length, uint8_t *) {
  xcoreFrameForwardToHead(request, length, xcoreFrameFirstHeadOf(wireGet32(request + 4)), kWindowField);
}

void firstHeadBuffer(uint8_t *request, uint32_t length, uint8_t *) {
  if (!knownBuffer(wireGet32(request + 4), request, length)) return;
  xcoreFrameForwardToHead(request, length, xcoreFrameFirstHeadOf(wireGet32(request + 4)), kBufferField);
}

void getBufferInfo(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t drawable = wireGet32(request + 4);
  Head *head = xcoreFrameFirstHeadOf(drawable);
  DisplayConnection *connection = xcoreFrameConnection();
  uint8_t *copy = xcoreFrameForwardToHead(request, length, head, nullptr);
  if (!copy) return;
  wirePut32(copy + 4, xproxyServerDrawable(drawable, head));
  xproxyPushReplyCallback(connection, kTagInfo, reinterpret_cast<uintptr_t>(head), nullptr);
}

void createStereoWindow(uint8_t *request, uint32_t length, uint8_t *) {
  xprotoSendError(kBadMatch, 0, request, length, nullptr);
}

// ----- Replies -----------------------------------------------------------------------------

void versionReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uint16_t version = proxyState.extensions[uint8_t(connection->replyKey)].version;
  reply[8] = uint8_t(version / 64);
  reply[9] = uint8_t(version % 64);
  extWriteReply(reply, length, "bbsibbs");
}

// One reply per head comes back; the primary head's speaks for all.
void createReply(uint8_t *reply, uint32_t length) {
  auto *head = reinterpret_cast<Head *>(xproxyTakeReplyCallback(xproxyCurrentDisplayConnection, kTagCreate));
  if (head && head != primaryOf(head->metaScreen)) return;
  extWriteReply(reply, length, "bbsissI");
}

void getMBufferAttributesReply(uint8_t *reply, uint32_t length) {
  ServerDisplay *display = xproxyCurrentDisplayConnection->display;
  for (uint32_t at = 32; at + 4 <= length; at += 4) wirePut32(reply + at, mainServerToProxyXid(wireGet32(reply + at), display));
  extWriteReply(reply, length, "bbsisbbbbsI");
}

void getBufferAttributesReply(uint8_t *reply, uint32_t length) {
  xcoreFrameMapWindowBack(reply, 8);
  extWriteReply(reply, length, "bbsiiisbbiii");
}

// GetBufferInfo: the normal entries in meta-screen visuals (entries without a counterpart
// dropped), no stereo entries (stereo windows are refused), only as many entries as the reply
// holds.
void getBufferInfoReply(uint8_t *reply, uint32_t length) {
  auto *head = reinterpret_cast<Head *>(xproxyTakeReplyCallback(xproxyCurrentDisplayConnection, kTagInfo));
  if (!head) {
    LOG_UNE();
    extWriteReply(reply, length, "bbsI");
    return;
  }
  uint64_t present = (uint64_t(length) - 32) / 8;
  uint64_t listed = wireGet16(reply + 8);
  uint32_t count = uint32_t(listed < present ? listed : present);
  MetaScreen *screen = head->metaScreen;
  uint32_t kept = 0;
  for (uint32_t k = 0; k < count; k++) {
    uint8_t *entry = reply + 32 + 8 * k;
    uint32_t headVisual = wireGet32(entry);
    uint32_t metaVisual = 0;
    for (uint32_t v = 0; screen && head->visualMap && v < screen->visualCount && !metaVisual; v++)
      if (head->visualMap[v] && head->visualMap[v]->visualId == headVisual) metaVisual = screen->visuals[v].visualId;
    if (!metaVisual) continue;
    uint8_t *to = reply + 32 + 8 * kept++;
    memmove(to, entry, 8);
    wirePut32(to, metaVisual);
  }
  wirePut16(reply + 8, uint16_t(kept));
  wirePut16(reply + 10, 0);
  wirePut32(reply + 4, kept * 2);
  extWriteReply(reply, 32 + 8 * kept, "bbsissiiiii[isbb]");
}

// ----- Events ------------------------------------------------------------------------------

// ClobberNotify and UpdateNotify: the primary head's copy speaks for the window's buffers; a
// SendEvent copy goes out as it came.
void bufferEvent(uint8_t *event, WireLayout layout) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return;
  if (!(event[0] & 0x80)) {
    uint32_t serverId = wireGet32(event + 4);
    Head *head = mainHeadOfServerXid(serverId, connection->display);
    if (!head || head != primaryOf(head->metaScreen)) return;
    wirePut32(event + 4, mainServerToProxyXid(serverId, connection->display));
  }
  mainSendEventToClient(event, layout, 0);
}

void clobberNotify(uint8_t *event) { bufferEvent(event, "bbsi"); }
void updateNotify(uint8_t *event) {
  if (!(event[0] & 0x80)) mainSetLastTime(wireGet32(event + 8));
  bufferEvent(event, "bbsii");
}

constexpr ExtRequestRow kRows[] = {
    {0, "MbufGetBufferVersion", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsibbs", ExtReplyKind::Own, versionReply},
    {1, "MbufCreateImageBuffers", 12, 4, "bbsibbsI", ExtServed::Local, createImageBuffers, "bbsissI",
     ExtReplyKind::Own, createReply},
    {2, "MbufDestroyImageBuffers", 8, 0, "bbsi", ExtServed::Local, destroyImageBuffers, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {3, "MbufDisplayImageBuffers", 8, 4, "bbsssI", ExtServed::Local, displayImageBuffers, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {4, "MbufSetMBufferAttributes", 12, 4, "bbsI", ExtServed::Local, perHeadWindow, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {5, "MbufGetMBufferAttributes", 8, 0, "bbsi", ExtServed::Local, firstHeadWindow, "bbsisbbbbsI", ExtReplyKind::Own,
     getMBufferAttributesReply},
    {6, "MbufSetBufferAttributes", 12, 4, "bbsiiI", ExtServed::Local, perHeadBuffer, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {7, "MbufGetBufferAttributes", 8, 0, "bbsi", ExtServed::Local, firstHeadBuffer, "bbsiiisbbiii",
     ExtReplyKind::Own, getBufferAttributesReply},
    {8, "MbufGetBufferInfo", 8, 0, "bbsi", ExtServed::Local, getBufferInfo, "bbsissiiiii[isbb]", ExtReplyKind::Own,
     getBufferInfoReply},
    {9, "MbufCreateStereoWindow", 44, 0, "bbsbbbbiiiissssssii", ExtServed::Local, createStereoWindow, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {10, "MbufClearImageBufferArea", 20, 0, "bbsissss", ExtServed::Local, perHeadBuffer, nullptr,
     ExtReplyKind::NoReply, nullptr},
};

void multibufReset() {
  proxyState.ext.multibuf = nullptr;
  proxyState.ext.multibufMajor = 0;
}

// A request of `length` bytes under the writers' major, or NULL.
uint8_t *beginRequest(DisplayConnection *connection, uint8_t minor, uint32_t length) {
  uint8_t major = proxyState.ext.multibufMajor;
  if (!connection || !major) return nullptr;
  return xproxyBeginRequest(connection, major, minor, length);
}

}  // namespace

const ExtRequestTable multibufTable{kRows, sizeof kRows / sizeof kRows[0]};

const char *multibufSetup(ExtensionRecord *record) {
  if (const char *error = extRegister(record, "Multi-Buffering", 2, 1)) return error;
  extWriteRows(record, multibufTable);
  if (const char *error = extAddEventRow(record, clobberNotify, "bbsi")) return error;
  if (const char *error = extAddEventRow(record, updateNotify, "bbsii")) return error;
  if (const char *error = extAddErrorRow(record, extPrintError, "MbufBadBuffer")) return error;
  resourceTypeRoutines[kResourceMbufBuffer].free = freeRoutine;
  resourceTypeRoutines[kResourceMbufBuffer].metaScreenOf = screenOfBuffer;
  resourceTypeRoutines[kResourceMbufBuffer].visualOf = visualOfBuffer;
  record->reset = multibufReset;
  proxyState.ext.multibuf = record;
  proxyState.ext.multibufMajor = record->majorOpcode;
  return nullptr;
}

int multibufCreateImageBuffers(DisplayConnection *connection, uint32_t window, uint8_t updateAction,
                               uint8_t updateHint, uint32_t buffer1, uint32_t buffer2, NoOpReplyFn fn,
                               uintptr_t argument, NoOpReleaseFn release) {
  uint8_t major = proxyState.ext.multibufMajor;
  if (!connection || !major) {
    if (release) release(argument);
    return 0;
  }
  uint8_t request[20] = {major, kMinorCreate};
  wirePut16(request + 2, 5);
  wirePut32(request + 4, window);
  request[8] = updateAction;
  request[9] = updateHint;
  wirePut32(request + 12, buffer1);
  wirePut32(request + 16, buffer2);
  return xproxySendRoundTrip(connection, request, sizeof request, fn, argument, release) != 0;
}

int multibufDestroyImageBuffers(DisplayConnection *connection, uint32_t window) {
  uint8_t *at = beginRequest(connection, kMinorDestroy, 8);
  if (!at) return 0;
  wirePut32(at + 4, window);
  return 1;
}

int multibufDisplayImageBuffers(DisplayConnection *connection, uint16_t minDelay, uint16_t maxDelay, uint32_t buffer) {
  uint8_t *at = beginRequest(connection, kMinorDisplay, 12);
  if (!at) return 0;
  wirePut16(at + 4, minDelay);
  wirePut16(at + 6, maxDelay);
  wirePut32(at + 8, buffer);
  return 1;
}

void multibufFreeBuffer(MultibufBuffer *buffer) {
  if (!buffer) return;
  if (buffer->window) {
    circListUnlink(&windowList(buffer->window), buffer);
    buffersAlive--;
  }
  free(buffer);
}

uint32_t multibufBufferCount() { return buffersAlive; }

void multibufFreeWindowBuffers(WindowRecord *window) {
  if (!window) return;
  while (MultibufBuffer *first = windowList(window)) {
    resourceFree(first->bufferId, 0);
    // A record the tables no longer hold goes directly.
    if (windowList(window) == first) multibufFreeBuffer(first);
  }
}
