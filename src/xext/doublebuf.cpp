// The DOUBLE-BUFFER extension. On a real display that has it, requests go to its own
// DOUBLE-BUFFER with ids translated per head. On a display that emulates it by Multi-Buffering,
// a window's back-buffer names share one pair of image buffers: buffer 0 is the window's own
// image, buffer 1 an id the proxy reserves in the client's range; each swap shows the buffer the
// names drew into, and the names then draw into the other one.
#include "xext/doublebuf.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdbe.h>

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
#include "proxy/xdisplay.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "support/circlist.h"
#include "support/logging.h"
#include "support/numbers.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/extrequest.h"
#include "xext/multibuf.h"
#include "xext/windowbuffers.h"

void *(*doublebufReplyAllocate)(size_t bytes) = malloc;

namespace {

constexpr uint8_t kBadValue = 2, kBadWindow = 3, kBadMatch = 8, kBadDrawable = 9, kBadAlloc = 11,
                  kBadIDChoice = 14, kBadLength = 16;
constexpr uint8_t kDbeBadBuffer = 0;  // the extension's first error
constexpr uint8_t kMinorAllocate = 1, kMinorSwap = 3;
constexpr uint8_t kLastSwapAction = 3;  // Undefined, Background, Untouched, Copied

// Every back-buffer name, oldest first.
DbeBackBuffer *backBuffers = nullptr;
uint32_t nextSerial = 0;

bool emulates(const Head *head) { return head && head->serverDisplay && head->serverDisplay->emulateDoubleBuffer; }

// The head whose display decides for requests that name no window.
Head *firstHead() { return xscreenList ? xscreenList->heads : nullptr; }

bool screenEmulates(const MetaScreen *screen) {
  for (Head *h = screen ? screen->heads : nullptr; h; h = h->next)
    if (emulates(h)) return true;
  return false;
}

DbeBackBuffer *lookupName(uint32_t id) {
  return static_cast<DbeBackBuffer *>(resourceLookupByType(id, kResourceDbeBuffer));
}

DbeBackBuffer *firstOfWindow(const WindowRecord *window, const DbeBackBuffer *except = nullptr) {
  for (DbeBackBuffer *b = backBuffers; b; b = b->next)
    if (b->window == window && b != except) return b;
  return nullptr;
}

// A reserved id (a type-13 record without a value) given back.
void releaseReserve(uint32_t id) {
  if (!id) return;
  ResourceRecord *r = resourceLookupAny(id);
  if (r && r->type == kResourceDbeBuffer && !r->value) resourceFree(id, 0);
}

void freeRoutine(uint32_t, void *value) { doublebufFreeBuffer(static_cast<DbeBackBuffer *>(value)); }
MetaScreen *screenOfName(void *value) {
  auto *b = static_cast<DbeBackBuffer *>(value);
  return b && b->window ? b->window->screen : nullptr;
}
VisualRecord *visualOfName(void *value) {
  auto *b = static_cast<DbeBackBuffer *>(value);
  return b && b->window ? b->window->visual : nullptr;
}
// After a real server refused a name: the name freed on a head that has it.
void destroyOnServer(void *, Head *head, uint32_t serverId) {
  if (head && head->display && !emulates(head)) XdbeDeallocateBackBufferName(head->display, serverId);
}

DisplayConnection *clientConnection() { return xcoreFrameConnection(); }

// ----- Emulated allocation: the pair's answer ----------------------------------------------

struct PairCheck {
  DisplayConnection *connection;
  uint32_t nameId;
  uint32_t serial;
  uint8_t major;
  uint8_t made;  // the head answered with both buffers
};

void pairAnswered(uint8_t *reply, uintptr_t argument) {
  auto *check = reinterpret_cast<PairCheck *>(argument);
  if (wireGet16(reply + 8) >= 2) check->made = 1;
}

// A head that made fewer than two buffers (or answered with an error): the name would draw
// nowhere. The client gets BadAlloc at the allocation's sequence, the pair goes where it was
// made, and the window's names are freed.
void pairFailed(const PairCheck &check) {
  DbeBackBuffer *name = lookupName(check.nameId);
  if (!name || name->serial != check.serial) return;
  ClientConnection *client = check.connection->owner;
  WindowRecord *window = name->window;
  const uint8_t request[4] = {check.major, kMinorAllocate, 4, 0};
  if (client) core11GSendError(kBadAlloc, 0, request, 16, client->replySequence, nullptr, client);
  for (Head *h = window && window->screen ? window->screen->heads : nullptr; h; h = h->next)
    if (emulates(h)) multibufDestroyImageBuffers(check.connection, resourceServerId(window->id, kResourceWindow, h));
  while (DbeBackBuffer *b = firstOfWindow(window)) {
    resourceFree(b->backBufferId, 0);
    if (firstOfWindow(window) == b) doublebufFreeBuffer(b);
  }
}

void pairReleased(uintptr_t argument) {
  auto *check = reinterpret_cast<PairCheck *>(argument);
  // A discard at the connection's close is no answer of the head.
  if (!check->made && xproxyCurrentDisplayConnection == check->connection) pairFailed(*check);
  free(check);
}

// ----- Requests ----------------------------------------------------------------------------

void getVersion(uint8_t *request, uint32_t length, uint8_t *) {
  if (!emulates(firstHead())) {
    xcoreFrameForwardOnce(request, length);
    return;
  }
  uint16_t version = proxyState.extensions[request[0]].version;
  uint8_t reply[32] = {};
  reply[8] = uint8_t(version / 64);
  reply[9] = uint8_t(version % 64);
  extSendLocalReply(request, reply, sizeof reply, "bbsibb");
}

void allocateBackBufferName(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t windowId = wireGet32(request + 4), nameId = wireGet32(request + 8);
  uint8_t action = request[12];
  ClientConnection *client = xproxyCurrentClient;
  if (!xcoreFrameResolve(windowId, 1u << kResourceWindow, kBadWindow, request, length)) return;
  auto *window = static_cast<WindowRecord *>(client->cachedRecord);
  if (action > kLastSwapAction) {
    xprotoSendError(kBadValue, action, request, length, nullptr);
    return;
  }
  if (!xcoreFrameNewId(nameId, request, length)) return;
  bool emulated = screenEmulates(window->screen);
  // Multi-Buffering has no buffers for these; DOUBLE-BUFFER refuses them alike.
  if (emulated && (window->windowClass == 2 || !window->visual || !window->visual->doubleBuffered)) {
    xprotoSendError(kBadMatch, windowId, request, length, nullptr);
    return;
  }
  auto *name = static_cast<DbeBackBuffer *>(calloc(1, sizeof(DbeBackBuffer)));
  if (!name) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  name->window = window;
  name->backBufferId = nameId;
  name->swapAction = action;
  name->serial = ++nextSerial;
  DbeBackBuffer *sibling = emulated ? firstOfWindow(window) : nullptr;
  if (sibling) {
    // The window's pair exists: this name shares it and its toggle.
    name->pairFirst = sibling->pairFirst;
    name->pairSecond = sibling->pairSecond;
    name->toggle = sibling->toggle;
  } else if (emulated) {
    name->secondId = resourceNewServerSideId(client);
    if (!name->secondId || !resourceAdd(name->secondId, kResourceDbeBuffer, nullptr)) {
      free(name);
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
    name->pairFirst = nameId;
    name->pairSecond = name->secondId;
  }
  circListPushBack(&backBuffers, name);
  if (!resourceAdd(nameId, kResourceDbeBuffer, name)) {  // the free routine took the record
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  if (sibling) return;
  DisplayConnection *connection = clientConnection();
  for (Head *head = window->screen ? window->screen->heads : nullptr; head; head = head->next) {
    bool written;
    if (emulates(head)) {
      auto *check = static_cast<PairCheck *>(calloc(1, sizeof(PairCheck)));
      written = check != nullptr;
      if (check) {
        *check = PairCheck{connection, nameId, name->serial, request[0], 0};
        written = multibufCreateImageBuffers(connection, resourceServerId(windowId, kResourceWindow, head), action, 0,
                                             resourceServerId(name->pairFirst, kResourceMbufBuffer, head),
                                             resourceServerId(name->pairSecond, kResourceMbufBuffer, head),
                                             pairAnswered, reinterpret_cast<uintptr_t>(check), pairReleased);
      }
    } else {
      uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
      written = copy != nullptr;
      if (copy) {
        wirePut32(copy + 4, resourceServerId(windowId, kResourceWindow, head));
        wirePut32(copy + 8, resourceServerId(nameId, kResourceDbeBuffer, head));
        xproxyPushReplyCallback(connection, kReplyTagDestroyOnError, nameId, nullptr);
      }
    }
    if (!written) {
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
  }
}

void deallocateBackBufferName(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t nameId = wireGet32(request + 4);
  DbeBackBuffer *name = lookupName(nameId);
  if (!name) {
    xprotoSendExtensionError(kDbeBadBuffer, nameId, request, length, nullptr);
    return;
  }
  WindowRecord *window = name->window;
  bool last = !firstOfWindow(window, name);
  DisplayConnection *connection = clientConnection();
  for (Head *head = window && window->screen ? window->screen->heads : nullptr; head; head = head->next) {
    bool written = true;
    if (emulates(head)) {
      if (last) written = multibufDestroyImageBuffers(connection, resourceServerId(window->id, kResourceWindow, head));
    } else {
      uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
      written = copy != nullptr;
      if (copy) wirePut32(copy + 4, resourceServerId(nameId, kResourceDbeBuffer, head));
    }
    if (!written) {
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
  }
  bool holdsPair = !last && name->pairFirst == nameId;
  resourceFree(nameId, 0);
  // The id still names buffer 0 of the pair on the servers: it stays taken until the pair goes.
  if (holdsPair) resourceAdd(nameId, kResourceDbeBuffer, nullptr);
}

void swapBuffers(uint8_t *request, uint32_t length, uint8_t *) {
  uint64_t count = wireGet32(request + 4);
  if (8 + 8 * count != length) {
    xprotoSendError(kBadLength, length, request, length, nullptr);
    return;
  }
  for (uint64_t k = 0; k < count; k++) {
    uint8_t action = request[8 + 8 * k + 4];
    if (action > kLastSwapAction) {
      xprotoSendError(kBadValue, action, request, length, nullptr);
      return;
    }
  }
  DisplayConnection *connection = clientConnection();
  for (uint64_t k = 0; k < count; k++) {
    const uint8_t *info = request + 8 + 8 * k;
    uint32_t windowId = wireGet32(info);
    uint8_t action = info[4];
    auto *window = static_cast<WindowRecord *>(resourceLookupByType(windowId, kResourceWindow));
    DbeBackBuffer *name = window ? firstOfWindow(window) : nullptr;
    if (!name) {
      xprotoSendError(kBadWindow, windowId, request, length, nullptr);
      return;
    }
    for (Head *head = window->screen ? window->screen->heads : nullptr; head; head = head->next) {
      bool written;
      if (emulates(head)) {
        if (action != name->swapAction)
          LOG(logChannelXhint, "Swap action changed from %u to %u", unsigned(name->swapAction), unsigned(action));
        uint32_t shown = name->toggle ? name->pairFirst : name->pairSecond;
        written = multibufDisplayImageBuffers(connection, 0, 0, resourceServerId(shown, kResourceMbufBuffer, head));
      } else {
        uint8_t *at = connection ? xproxyBeginRequest(connection, request[0], kMinorSwap, 16) : nullptr;
        written = at != nullptr;
        if (at) {
          wirePut32(at + 4, 1);
          wirePut32(at + 8, resourceServerId(windowId, kResourceWindow, head));
          at[12] = action;
          at[13] = at[14] = at[15] = 0;
        }
      }
      if (!written) {
        xprotoSendError(kBadAlloc, 0, request, length, nullptr);
        return;
      }
    }
    uint8_t toggle = uint8_t(name->toggle ^ 1);
    for (DbeBackBuffer *b = backBuffers; b; b = b->next)
      if (b->window == window) b->toggle = toggle;
  }
}

void idiom(uint8_t *request, uint32_t length, uint8_t *) {
  if (!emulates(firstHead())) xcoreFrameForwardOnce(request, length);
}

void getVisualInfo(uint8_t *request, uint32_t length, uint8_t *) {
  uint64_t count = wireGet32(request + 4);
  if (8 + 4 * count != length) {
    xprotoSendError(kBadLength, length, request, length, nullptr);
    return;
  }
  ClientConnection *client = xproxyCurrentClient;
  std::vector<MetaScreen *> screens;
  try {
    if (count == 0) {
      for (MetaScreen *ms = xscreenList; ms; ms = ms->next) screens.push_back(ms);
    } else {
      screens.reserve(count);
      for (uint64_t k = 0; k < count; k++) {
        uint32_t drawable = wireGet32(request + 8 + 4 * k);
        if (!xcoreFrameResolve(drawable, kXcoreWantDrawable, kBadDrawable, request, length)) return;
        screens.push_back(client->cachedScreen);
      }
    }
  } catch (const std::bad_alloc &) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  uint64_t size = 32;
  for (MetaScreen *ms : screens) {
    size += 4;
    for (uint32_t v = 0; ms && v < ms->visualCount; v++) size += ms->visuals[v].doubleBuffered ? 8 : 0;
  }
  auto *reply = size <= UINT32_MAX ? static_cast<uint8_t *>(doublebufReplyAllocate(size_t(size))) : nullptr;
  if (!reply) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return;
  }
  memset(reply, 0, size_t(size));
  bool swapped = client->reader.swapped;
  auto put32 = [swapped](uint8_t *at, uint32_t value) { wirePut32(at, swapped ? __builtin_bswap32(value) : value); };
  wirePut32(reply + 8, uint32_t(screens.size()));
  uint8_t *at = reply + 32;
  for (MetaScreen *ms : screens) {
    uint8_t *countAt = at;
    at += 4;
    uint32_t listed = 0;
    for (uint32_t v = 0; ms && v < ms->visualCount; v++) {
      const VisualRecord &visual = ms->visuals[v];
      if (!visual.doubleBuffered) continue;
      put32(at, visual.visualId);
      at[4] = visual.depth;
      at[5] = visual.doubleBufferPerformance;
      at += 8;
      listed++;
    }
    put32(countAt, listed);
  }
  extSendLocalReply(request, reply, uint32_t(size), "bbsii");
  free(reply);
}

void getBackBufferAttributes(uint8_t *request, uint32_t length, uint8_t *) {
  uint32_t nameId = wireGet32(request + 4);
  if (!emulates(firstHead())) {
    const XcoreIdField fields[] = {{4, kResourceDbeBuffer}, {0, 0}};
    xcoreFrameForwardToHead(request, length, xcoreFrameFirstHeadOf(nameId), fields);
    return;
  }
  DbeBackBuffer *name = lookupName(nameId);
  uint8_t reply[32] = {};
  wirePut32(reply + 8, name && name->window ? name->window->id : 0);
  extSendLocalReply(request, reply, sizeof reply, "bbsii");
}

// ----- Replies -----------------------------------------------------------------------------

void versionReply(uint8_t *reply, uint32_t length) {
  uint16_t version = proxyState.extensions[uint8_t(xproxyCurrentDisplayConnection->replyKey)].version;
  reply[8] = uint8_t(version / 64);
  reply[9] = uint8_t(version % 64);
  extWriteReply(reply, length, "bbsibb");
}

void attributesReply(uint8_t *reply, uint32_t length) {
  xcoreFrameMapWindowBack(reply, 8);
  extWriteReply(reply, length, "bbsii");
}

constexpr ExtRequestRow kRows[] = {
    {0, "DbeGetVersion", 8, 0, "bbsbbs", ExtServed::Local, getVersion, "bbsibb", ExtReplyKind::Own, versionReply},
    {1, "DbeAllocateBackBufferName", 16, 0, "bbsii", ExtServed::Local, allocateBackBufferName, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {2, "DbeDeallocateBackBufferName", 8, 0, "bbsi", ExtServed::Local, deallocateBackBufferName, nullptr,
     ExtReplyKind::NoReply, nullptr},
    {3, "DbeSwapBuffers", 8, 8, "bbsi[ibbs]", ExtServed::Local, swapBuffers, nullptr, ExtReplyKind::NoReply, nullptr},
    {4, "DbeBeginIdiom", 4, 0, "bbs", ExtServed::Local, idiom, nullptr, ExtReplyKind::NoReply, nullptr},
    {5, "DbeEndIdiom", 4, 0, "bbs", ExtServed::Local, idiom, nullptr, ExtReplyKind::NoReply, nullptr},
    {6, "DbeGetVisualInfo", 8, 4, "bbsI", ExtServed::Local, getVisualInfo, "bbsii", ExtReplyKind::Plain, nullptr},
    {7, "DbeGetBackBufferAttributes", 8, 0, "bbsi", ExtServed::Local, getBackBufferAttributes, "bbsii",
     ExtReplyKind::Own, attributesReply},
};

void doublebufReset() { proxyState.ext.doublebuf = nullptr; }

}  // namespace

const ExtRequestTable doublebufTable{kRows, sizeof kRows / sizeof kRows[0]};

const char *doublebufRegister(ExtensionRecord *record) {
  if (const char *error = extRegister(record, "DOUBLE-BUFFER", 0, 1)) return error;
  extWriteRows(record, doublebufTable);
  if (const char *error = extAddErrorRow(record, extPrintError, "DbeBadBuffer")) return error;
  resourceTypeRoutines[kResourceDbeBuffer].free = freeRoutine;
  resourceTypeRoutines[kResourceDbeBuffer].destroyOnServer = destroyOnServer;
  resourceTypeRoutines[kResourceDbeBuffer].metaScreenOf = screenOfName;
  resourceTypeRoutines[kResourceDbeBuffer].visualOf = visualOfName;
  record->reset = doublebufReset;
  proxyState.ext.doublebuf = record;
  return nullptr;
}

const char *doublebufInit(ExtensionRecord *record) {
  // Neither a real DOUBLE-BUFFER nor an emulation could serve a single request.
  if (!mainServerDisplays) return "no real display";
  for (ServerDisplay *display = mainServerDisplays; display; display = display->next) {
    int mbufMajor = display->display && display->emulateDoubleBuffer ? xdisplayMultiBufferingOpcode(display->display) : 0;
    if (mbufMajor) {
      logStep("Emulating DOUBLE-BUFFER by Multi-Buffering on %s...", display->name);
      if (!proxyState.ext.multibufMajor) proxyState.ext.multibufMajor = uint8_t(mbufMajor);
      continue;
    }
    display->emulateDoubleBuffer = 0;
    int major = 0, minor = 0;
    if (!display->display || !xdisplayQueryDbe(display->display, &major, &minor))
      return strTempPrintf("Display %s does not support extension %s", display->name, "DOUBLE-BUFFER");
    uint16_t version = uint16_t(major * 64 + minor);
    if (version < record->version) record->version = version;
  }
  return doublebufRegister(record);
}

void doublebufFreeBuffer(DbeBackBuffer *name) {
  if (!name) return;
  circListUnlink(&backBuffers, name);
  // The last name of the window takes the pair's reserved ids with it.
  if (!firstOfWindow(name->window)) {
    if (name->pairFirst != name->backBufferId) releaseReserve(name->pairFirst);
    releaseReserve(name->pairSecond);
  }
  free(name);
}

uint32_t doublebufEmulatedDrawable(uint32_t id) {
  DbeBackBuffer *name = lookupName(id);
  if (!name || !name->pairSecond) return 0;
  return name->toggle ? name->pairFirst : name->pairSecond;
}

size_t doublebufBufferCount() {
  size_t n = 0;
  for (DbeBackBuffer *b = backBuffers; b; b = b->next) n++;
  return n;
}

void doublebufFreeWindowBuffers(WindowRecord *window) {
  if (!window) return;
  while (DbeBackBuffer *name = firstOfWindow(window)) {
    resourceFree(name->backBufferId, 0);
    if (firstOfWindow(window) == name) doublebufFreeBuffer(name);
  }
}
