// The real displays and the ordered output to clients.
#include "proxy/main.h"

#include "proxy/resource.h"

// ===== Ordered output to clients =====
#include <cstdlib>
#include <cstring>

#include "proxy/korvanparser.h"
#include "proxy/misc.h"
#include "proxy/xcore.h"
#include "support/logging.h"
#include "support/strings.h"
#include "xclient/region.h"

// The round trip of the display connections (defined with them).
uint32_t xproxySendNoOpRequest(DisplayConnection *connection, NoOpReplyFn fn, uintptr_t argument,
                               NoOpReleaseFn release);

#define MAIN_OUT_OF_MEMORY() OUT_OF_MEMORY_TEXT_AT("Proxy/main")

int (*mainDrawableIsPixmap)(ClientConnection *client, uint32_t drawable);
MainNoOpSender mainNoOpSender = xproxySendNoOpRequest;

namespace {

// Blocks given back, linked by next; and the number given to the last block taken.
DeferredOutput *freeBlocks;
uint32_t lastBlockNumber;

constexpr uint8_t kEventExpose = 12;
constexpr uint8_t kEventGraphicsExpose = 13;
constexpr uint8_t kEventNoExpose = 14;
constexpr uint8_t kEventVisibility = 15;
constexpr uint8_t kEventEnter = 7;
constexpr uint8_t kEventLeave = 8;
constexpr uint8_t kEventFocusIn = 9;
constexpr uint8_t kEventKeymap = 11;
constexpr uint8_t kEventGeneric = 35;
constexpr uintptr_t kDeliverCrossing = 0x80000000u;

uint16_t get16(const uint8_t *p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return v;
}
void put16(uint8_t *p, uint16_t v) { memcpy(p, &v, 2); }
uint32_t get32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// 16-bit serial comparison: negative when a is before b.
int serialDiff(uint32_t a, uint32_t b) { return int16_t(uint16_t(a - b)); }

WireLayout exposeLayout() { return xcoreEventRows[kEventExpose - 2].layout; }
WireLayout noExposeLayout() { return xcoreEventRows[kEventNoExpose - 2].layout; }

// Lists of messages: circular through prev (the head's prev is the tail), NULL-terminated
// through next.
void listAppend(DeferredMessage **list, DeferredMessage *message) {
  message->next = nullptr;
  if (!*list) {
    message->prev = message;
    *list = message;
    return;
  }
  DeferredMessage *tail = (*list)->prev;
  tail->next = message;
  message->prev = tail;
  (*list)->prev = message;
}

DeferredMessage *listTakeFirst(DeferredMessage **list) {
  DeferredMessage *first = *list;
  if (!first) return nullptr;
  DeferredMessage *rest = first->next;
  if (rest) rest->prev = first->prev;
  *list = rest;
  return first;
}

bool isExposeWithRegion(const DeferredMessage *message) {
  uint8_t type = message->data()[0];
  return message->length >= 32 && (type == kEventExpose || type == kEventGraphicsExpose);
}

void freeMessage(DeferredMessage *message) {
  if (isExposeWithRegion(message) && message->flag) regionDestroy(reinterpret_cast<Region *>(message->flag));
  free(message);
}

void freeList(DeferredMessage **list) {
  while (DeferredMessage *message = listTakeFirst(list)) freeMessage(message);
}

void freeBlockMessages(DeferredOutput *block) {
  freeList(&block->structureEvents);
  freeList(&block->visibilityEvents);
  freeList(&block->exposures);
  freeList(&block->others);
}

DeferredOutput *takeBlock(uint32_t sequence) {
  DeferredOutput *block = freeBlocks;
  if (block) {
    freeBlocks = block->next;
  } else {
    block = static_cast<DeferredOutput *>(malloc(sizeof(DeferredOutput)));
    if (!block) {
      logProblem(MAIN_OUT_OF_MEMORY(), "Proxy/main", __LINE__);
      return nullptr;
    }
  }
  memset(block, 0, sizeof *block);
  block->sequence = sequence;
  block->blockNumber = ++lastBlockNumber;
  return block;
}

void unlinkBlock(ClientConnection *client, DeferredOutput *block) {
  DeferredOutput *head = client->deferred;
  if (block == head) {
    client->deferred = block->next;
    if (block->next) block->next->prev = block->prev;
  } else {
    block->prev->next = block->next;
    if (block->next)
      block->next->prev = block->prev;
    else
      head->prev = block->prev;
  }
  block->next = block->prev = nullptr;
}

void giveBack(DeferredOutput *block) {
  block->next = freeBlocks;
  freeBlocks = block;
}

// Inserts after the last block whose sequence is not after the block's (equal sequences keep
// their insertion order).
void insertBlock(ClientConnection *client, DeferredOutput *block) {
  DeferredOutput *head = client->deferred;
  if (!head) {
    block->next = nullptr;
    block->prev = block;
    client->deferred = block;
    return;
  }
  DeferredOutput *after = head->prev;
  while (serialDiff(after->sequence, block->sequence) > 0) {
    if (after == head) {  // every block is after it: new head
      block->next = head;
      block->prev = head->prev;
      head->prev = block;
      client->deferred = block;
      return;
    }
    after = after->prev;
  }
  block->next = after->next;
  block->prev = after;
  after->next = block;
  if (block->next)
    block->next->prev = block;
  else
    head->prev = block;
}

void noRelease(uintptr_t) {}

// Sends a NoOp round trip on every open display of the client; closed displays and NoOps that
// cannot be written count down at once.
void armBlock(ClientConnection *client, DeferredOutput *block) {
  uint32_t count = client->displayCount < 255 ? client->displayCount : 255;
  block->waitCounter = uint8_t(count);
  for (uint32_t i = 0; i < count; i++) {
    DisplayConnection *connection = client->displays ? client->displays[i] : nullptr;
    bool open = connection && connection->transport && (!connection->display || connection->display->display);
    uint32_t sequence = 0;
    if (open) sequence = mainNoOpSender(connection, mainReleaseDeferredOutput, block->blockNumber, noRelease);
    if (sequence == 0) {
      block->waitCounter--;
      continue;
    }
    uint32_t index = connection->display ? connection->display->index : i;
    if (index < kDeferredMaxDisplays) block->roundTrip[index] = uint16_t(sequence);
  }
}

void writeMessage(ClientConnection *client, const uint8_t *data, uint32_t length, WireLayout layout) {
  if (client->transport) miscWriteClientMessage(data, length, layout, client);
}

// One 32-byte event per rectangle of the region, with the rectangle at bytes 8-15 and the count
// (descending to 0) at countOffset.
void writePerRectangle(ClientConnection *client, const uint8_t *event, WireLayout layout, uint8_t type,
                       uint32_t countOffset, const XRectangle *rectangles, long n) {
  for (long i = 0; i < n; i++) {
    uint8_t copy[32];
    memcpy(copy, event, 32);
    copy[0] = type;
    if (type == kEventExpose && event[0] == kEventGraphicsExpose) memset(copy + 16, 0, 16);
    put16(copy + 8, uint16_t(rectangles[i].x));
    put16(copy + 10, uint16_t(rectangles[i].y));
    put16(copy + 12, rectangles[i].width);
    put16(copy + 14, rectangles[i].height);
    uint32_t left = uint32_t(n - 1 - i);
    put16(copy + countOffset, uint16_t(left > 0xffff ? 0xffff : left));
    writeMessage(client, copy, 32, layout);
  }
}

// The workaround steps for copy-area exposures: Expose before, GraphicsExpose unless replaced,
// Expose after.
void writeGraphicsExposures(ClientConnection *client, const DeferredMessage *message, const XRectangle *rectangles,
                            long n) {
  uint32_t bits = configRecord.workarounds;
  const uint8_t *event = message->data();
  if (bits & (kWorkaroundExposeBeforeGraphicsExpose | kWorkaroundExposeInsteadOfGraphicsExpose))
    writePerRectangle(client, event, exposeLayout(), kEventExpose, 16, rectangles, n);
  if (!(bits & kWorkaroundExposeInsteadOfGraphicsExpose))
    writePerRectangle(client, event, message->layout, kEventGraphicsExpose, 18, rectangles, n);
  if (bits & kWorkaroundExposeAfterGraphicsExpose)
    writePerRectangle(client, event, exposeLayout(), kEventExpose, 16, rectangles, n);
}

void writeExposure(ClientConnection *client, DeferredMessage *message) {
  const uint8_t *event = message->data();
  uint8_t type = event[0];
  auto *region = isExposeWithRegion(message) ? reinterpret_cast<Region *>(message->flag) : nullptr;
  if (type == kEventExpose && region) {
    long n = 0;
    XRectangle *rectangles = regionGetRects(region, &n);
    writePerRectangle(client, event, message->layout, kEventExpose, 16, rectangles, n);
    free(rectangles);
  } else if (type == kEventGraphicsExpose && region) {
    long n = 0;
    XRectangle *rectangles = regionGetRects(region, &n);
    if (n == 0) {
      uint8_t noExpose[32] = {};
      noExpose[0] = kEventNoExpose;
      memcpy(noExpose + 2, event + 2, 6);        // sequence, drawable
      memcpy(noExpose + 8, event + 16, 2);       // minor opcode
      noExpose[10] = event[20];                  // major opcode
      writeMessage(client, noExpose, 32, noExposeLayout());
    } else {
      writeGraphicsExposures(client, message, rectangles, n);
    }
    free(rectangles);
  } else if (type == kEventGraphicsExpose && message->length >= 32 && mainDrawableIsPixmap &&
             !mainDrawableIsPixmap(client, get32(event + 4))) {
    // The single event keeps its own count; its Expose form is the same event as type 12.
    uint32_t bits = configRecord.workarounds;
    uint8_t expose[32];
    memcpy(expose, event, 32);
    expose[0] = kEventExpose;
    memcpy(expose + 16, event + 18, 2);
    memset(expose + 18, 0, 14);
    if (bits & (kWorkaroundExposeBeforeGraphicsExpose | kWorkaroundExposeInsteadOfGraphicsExpose))
      writeMessage(client, expose, 32, exposeLayout());
    if (!(bits & kWorkaroundExposeInsteadOfGraphicsExpose)) writeMessage(client, event, 32, message->layout);
    if (bits & kWorkaroundExposeAfterGraphicsExpose) writeMessage(client, expose, 32, exposeLayout());
  } else {
    writeMessage(client, event, message->length, message->layout);
  }
}

void writeOther(ClientConnection *client, const DeferredMessage *message) {
  const uint8_t *data = message->data();
  uint8_t type = data[0];
  if ((type == kEventEnter || type == kEventLeave) && !(message->flag & kDeliverCrossing)) return;
  if (type == kEventKeymap && client->lastEventType != kEventEnter && client->lastEventType != kEventFocusIn) return;
  writeMessage(client, data, message->length, message->layout);
}

// Writes one block in its fixed order, frees its messages and gives it back to the pool.
void flushBlock(ClientConnection *client, DeferredOutput *block) {
  while (DeferredMessage *message = listTakeFirst(&block->structureEvents)) {
    writeMessage(client, message->data(), message->length, message->layout);
    freeMessage(message);
  }
  while (DeferredMessage *message = listTakeFirst(&block->visibilityEvents)) {
    writeMessage(client, message->data(), message->length, message->layout);
    freeMessage(message);
  }
  while (DeferredMessage *message = listTakeFirst(&block->exposures)) {
    writeExposure(client, message);
    freeMessage(message);
  }
  while (DeferredMessage *message = listTakeFirst(&block->others)) {
    writeOther(client, message);
    freeMessage(message);
  }
  unlinkBlock(client, block);
  giveBack(block);
}

// Writes every block up to and including this one, oldest first.
void releaseUpTo(ClientConnection *client, DeferredOutput *block) {
  while (client->deferred) {
    DeferredOutput *first = client->deferred;
    flushBlock(client, first);
    if (first == block) break;
  }
}

bool isInList(ClientConnection *client, DeferredOutput *block) {
  for (DeferredOutput *b = client->deferred; b; b = b->next)
    if (b == block) return true;
  return false;
}

// Files the message into the block by its first byte as it stands; a block already at zero
// (all its displays closed or unreachable) is written at once.
void appendMessage(ClientConnection *client, DeferredOutput *block, const uint8_t *message, uint32_t length,
                   WireLayout layout, uintptr_t flag) {
  uint8_t type = message[0];
  if (type == 0) {
    if (block->errorSeen) return;
    block->errorSeen = 1;
  }
  auto *copy = static_cast<DeferredMessage *>(malloc(sizeof(DeferredMessage) + length));
  if (!copy) {
    logProblem(MAIN_OUT_OF_MEMORY(), "Proxy/main", __LINE__);
    if (length >= 32 && (type == kEventExpose || type == kEventGraphicsExpose) && flag)
      regionDestroy(reinterpret_cast<Region *>(flag));
    return;
  }
  copy->length = length;
  copy->layout = layout;
  copy->flag = flag;
  memcpy(copy->data(), message, length);
  if (type == kEventExpose || type == kEventGraphicsExpose || type == kEventNoExpose)
    listAppend(&block->exposures, copy);
  else if (type == kEventVisibility)
    listAppend(&block->visibilityEvents, copy);
  else if (type >= 16 && type <= 27)
    listAppend(&block->structureEvents, copy);
  else
    listAppend(&block->others, copy);
  if (block->waitCounter == 0 && isInList(client, block)) releaseUpTo(client, block);
}

DeferredOutput *findOrMakeBlock(ClientConnection *client, uint32_t sequence) {
  if (DeferredOutput *head = client->deferred) {
    DeferredOutput *block = head->prev;
    for (;;) {
      if (uint16_t(block->sequence) == uint16_t(sequence)) return block;
      if (block == head) break;
      block = block->prev;
    }
  }
  return mainInsertDeferredOutput(client, sequence);
}

bool mustWait(const ClientConnection *client, uint32_t sequence) {
  return client->deferred && serialDiff(client->deferred->sequence, sequence) < 1;
}

void deferOrWrite(ClientConnection *client, uint32_t sequence, const uint8_t *message, uint32_t length,
                  WireLayout layout, uintptr_t flag) {
  if (mustWait(client, sequence)) {
    if (DeferredOutput *block = findOrMakeBlock(client, sequence))
      appendMessage(client, block, message, length, layout, flag);
    else if (flag && length >= 32 && (message[0] == kEventExpose || message[0] == kEventGraphicsExpose))
      regionDestroy(reinterpret_cast<Region *>(flag));
    return;
  }
  if (message[0] == kEventKeymap && client->lastEventType != kEventEnter && client->lastEventType != kEventFocusIn)
    return;
  miscWriteClientMessage(message, length, layout, client);
}

// The length of a reply or event: 32, or 32 + 4 x its length word for a reply and a GenericEvent.
uint32_t messageLength(const uint8_t *message) {
  if (message[0] == 1 || (message[0] & 0x7f) == kEventGeneric) return 32 + 4 * get32(message + 4);
  return 32;
}

}  // namespace

void mainWriteInSequence(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client) {
  if (!client || !client->transport || !message || length < 4) return;
  if (DeferredOutput *block = findOrMakeBlock(client, get16(message + 2)))
    appendMessage(client, block, message, length, layout, 0);
}

void mainWriteToClient(const uint8_t *data, uint32_t length, WireLayout layout) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || !client->transport || !data || length == 0) return;
  deferOrWrite(client, client->replySequence, data, length, layout, 0);
}

void mainSendReply(uint8_t, uint8_t, uint8_t *reply, uint32_t length, WireLayout layout, ClientConnection *client) {
  if (!reply || length < 32) return;
  reply[0] = 1;
  uint32_t words = (length - 32) / 4;
  memcpy(reply + 4, &words, 4);
  mainWriteInSequence(reply, length, layout, client);
}

void mainSendToClient(const uint8_t *message, WireLayout layout, ClientConnection *client) {
  if (!client || !client->transport || !message) return;
  uint64_t length = messageLength(message);
  if (length > 0xffffffffu - sizeof(DeferredMessage)) return;
  mainWriteInSequence(message, uint32_t(length), layout, client);
}

void mainSendEventToClient(const uint8_t *event, WireLayout layout, uintptr_t flag) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || !client->transport || !event) {
    if (flag && event && (event[0] == kEventExpose || event[0] == kEventGraphicsExpose))
      regionDestroy(reinterpret_cast<Region *>(flag));
    return;
  }
  uint8_t type = event[0] & 0x7f;
  uint32_t kind = type == kEventGeneric ? get32(event + 8) : type;
  uint16_t sequence;
  if (kind == kEventKeymap) {
    sequence = client->lastEventSequence;
  } else {
    sequence = get16(event + 2);
    client->lastEventSequence = sequence;
  }
  uint64_t length = messageLength(event);
  if (length > 0xffffffffu - sizeof(DeferredMessage)) return;
  if (mustWait(client, sequence)) {
    deferOrWrite(client, sequence, event, uint32_t(length), layout, flag);
    return;
  }
  if (flag && (event[0] == kEventExpose || event[0] == kEventGraphicsExpose))
    regionDestroy(reinterpret_cast<Region *>(flag));
  if (kind == kEventKeymap && client->lastEventType != kEventEnter && client->lastEventType != kEventFocusIn) return;
  miscWriteClientMessage(event, uint32_t(length), layout, client);
}

void mainQueueEventForClient(const uint8_t *message, WireLayout layout) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || !client->transport || !message) return;
  DeferredOutput *block = findOrMakeBlock(client, client->replySequence);
  if (!block) {
    LOG_UNE();
    return;
  }
  appendMessage(client, block, message, 32, layout, 0);
}

DeferredOutput *mainInsertDeferredOutput(ClientConnection *client, uint32_t sequence) {
  if (!client) return nullptr;
  DeferredOutput *block = takeBlock(sequence);
  if (!block) return nullptr;
  insertBlock(client, block);
  armBlock(client, block);
  return block;
}

void mainFreeDeferredOutputs(ClientConnection *client) {
  if (!client) return;
  while (DeferredOutput *block = client->deferred) {
    freeBlockMessages(block);
    unlinkBlock(client, block);
    giveBack(block);
  }
}

void mainReleaseDeferredOutput(uint8_t *, uintptr_t blockNumber) {
  ClientConnection *client = xproxyCurrentDisplayConnection ? xproxyCurrentDisplayConnection->owner : nullptr;
  DeferredOutput *block = nullptr;
  auto findIn = [&](ClientConnection *c) {
    for (DeferredOutput *b = c ? c->deferred : nullptr; b; b = b->next)
      if (b->blockNumber == blockNumber) return b;
    return static_cast<DeferredOutput *>(nullptr);
  };
  block = findIn(client);
  if (!block && (block = findIn(xproxyCurrentClient))) client = xproxyCurrentClient;
  if (!block) {
    // The round trip may be answered on a connection whose owner is not current: the block
    // numbers are unique across clients.
    for (ClientConnection *c = xproxyClients; c && !block; c = c->next) {
      block = findIn(c);
      if (block) client = c;
    }
  }
  if (!block) return;
  if (block->waitCounter > 0) block->waitCounter--;
  if (block->waitCounter == 0) releaseUpTo(client, block);
}

void mainFreeDeferredPool() {
  while (DeferredOutput *block = freeBlocks) {
    freeBlocks = block->next;
    free(block);
  }
}
// ===== end of ordered output to clients =====

// ===== Real display and configured screens =====
#include <algorithm>
#include <string>
#include <vector>

#include "proxy/files.h"
#include "proxy/head.h"
#include "proxy/xdisplay.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/host.h"
#include "support/numbers.h"
#include "support/orders.h"
#include "support/process.h"
#include "support/rect.h"
#include "support/strtemp.h"
#include "xclient/ximage.h"
#include "xclient/xrclib.h"
#include "xclient/xrclibkeys.h"
#include "xclient/xtarget.h"

namespace {

uint32_t openDisplayCount;  // real displays whose Xlib connection is open and counted
Order *drainOrder;          // the idle order draining the Xlib queues while one is open
XImage processImageTemplate;  // the template of the last real display opened

constexpr uint16_t kProxyProtocolMajor = 11;
constexpr uint32_t kStartMaxRequestBytes = 0x3fffc;
constexpr uint32_t kStartKeycodeLimit = 248;
constexpr uint8_t kStartPointerButtons = 32;
constexpr int32_t kMaxBorder = 32767;

// Every head of every meta screen.
template <typename Fn>
Head *findHead(Fn matches) {
  for (MetaScreen *m = xscreenFirst(); m; m = m->next)
    for (Head *h = m->heads; h; h = h->next)
      if (matches(h)) return h;
  return nullptr;
}

ServerDisplay *findServerDisplay(const char *displayName) {
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next)
    if (strcmp(d->displayName, displayName) == 0) return d;
  return nullptr;
}

// The name without a leading "localhost:" or "unix:" host (":1" stays).
const char *withoutLocalHost(const char *name) {
  for (const char *prefix : {"localhost:", "unix:"}) {
    size_t n = strlen(prefix);
    if (strncmp(name, prefix, n) == 0) return name + n - 1;
  }
  return name;
}

void freeRecord(ServerDisplay *display) {
  free(display->keyboardMapFile);
  free(display->name);
  free(display);
}

// Runs the keyboard-mapping tool for the display: (tool, "-display", name, file) by fork and
// exec, so that a map file named by a client never reaches a shell. NULL, or the error.
const char *applyKeyboardMap(ServerDisplay *display) {
  logStep("Setting keyboard mapping...");
  char tool[kFilesPathSize], file[kFilesPathSize];
  if (const char *error = filesResolvePath("xxmodmap", kFilesBin, tool)) return error;
  if (const char *error = filesResolvePath(display->keyboardMapFile, kFilesEtc, file)) return error;
  const char *argv[] = {tool, "-display", display->name, file};
  pid_t pid = processSpawn(4, argv);
  if (pid <= 0) return strTempPrintf("system(%s -display %s %s) failed", tool, display->name, file);
  if (const char *error = processWait(pid)) LOG(logChannelWarning, "%s", error);
  return nullptr;
}

}  // namespace

void mainSetStartLimits() {
  proxyState.protocolMajor = kProxyProtocolMajor;
  proxyState.protocolMinor = 0;
  proxyState.pointerButtonLimit = kStartPointerButtons;
  proxyState.maxRequestBytes = kStartMaxRequestBytes;
  proxyState.motionBufferSize = 0xffffffffu;
  proxyState.keycodeLimit = kStartKeycodeLimit;
  proxyState.headCount = 0;
  proxyState.maxHeadsPerMetaScreen = 0;
  proxyState.pointerHead = nullptr;
  xprotoBigRequestMaximum = 0xffffffffu;
}

uint32_t mainOpenDisplayCount() { return openDisplayCount; }
Order *mainDrainOrder() { return drainOrder; }

const char *xproxyConnectDisplay(const char *name, uint64_t timeoutMs, Display **display) {
  logStep("Connecting to display %s for %s...", name ? name : "NULL", strDurationMsText(timeoutMs));
  // The screen part (from the last '.' after the last ':') is dropped.
  std::string base = name ? name : "";
  size_t colon = base.rfind(':');
  if (colon != std::string::npos) {
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > colon) base.erase(dot);
  }
  TargetDisplayParams params;
  xtargetDefaultParams(&params);
  params.timeoutMs = uint32_t(std::min<uint64_t>(timeoutMs, UINT32_MAX));
  char *host = nullptr, *authName = nullptr, *authData = nullptr;
  int number = 0, screen = 0, family = 0, authNameLength = 0, authDataLength = 0;
  if (xdisplayParseAddress(base.c_str(), &host, &number, &screen, &family) &&
      xproxyGetServerAuth(host, number, family, &authName, &authNameLength, &authData, &authDataLength)) {
    params.authName = authName;
    params.authNameLength = authNameLength;
    params.authData = authData;
    params.authDataLength = authDataLength;
  }
  free(host);
  const char *error = "Can't open display";
  if (const char *local = xdisplayLocalPart(base.c_str())) {
    params.timeoutMs /= 2;
    params.displayName = local;
    error = xtargetOpenDisplay(&params, logProgramName(), display);
  }
  if (error) {
    params.displayName = base.c_str();
    error = xtargetOpenDisplay(&params, logProgramName(), display);
  }
  std::string kept = error ? error : "";
  free(authName);
  free(authData);
  if (error) return strTempDup(kept.c_str());
  logStep("Connected to X server '%s v%d'", XServerVendor(*display), XVendorRelease(*display));
  return nullptr;
}

const char *mainOpenServerDisplay(ServerDisplay *display, int *status) {
  if (display->display) return nullptr;
  Display *xlib = nullptr;
  if (const char *error = xproxyConnectDisplay(display->name, display->connectTimeout, &xlib)) {
    *status = kOpenHeadConnection;
    return error;
  }
  display->display = xlib;
  display->bigRequestsAsked = 0;
  for (MetaScreen *m = xscreenFirst(); m; m = m->next)
    for (Head *h = m->heads; h; h = h->next)
      if (h->serverDisplay == display) h->display = xlib;
  for (int s = 0; s < ScreenCount(xlib); s++) xdisplayGetDepthGC(xlib, s, DefaultDepth(xlib, s));
  // From here on a failure closes the display again; it was not counted open yet.
  auto fail = [&](int code, const char *error) {
    std::string kept = error;
    mainCloseServerDisplay(display, 1);
    *status = code;
    return strTempDup(kept.c_str());
  };
  if (ximageTemplate(xlib, &display->imageTemplate)) return fail(kOpenHeadCreation, MAIN_OUT_OF_MEMORY());
  if (const char *error = xdpmsSave(xlib, &display->dpms)) return fail(kOpenHeadConnection, error);
  if (display->keyboardMapFile)
    if (const char *error = applyKeyboardMap(display)) return fail(kOpenHeadConnection, error);
  display->pointerButtonCount = uint16_t(std::max(0, xrcPointerButtonCount(xlib, kXrcMouse)));
  display->countedOpen = 1;
  if (openDisplayCount++ == 0) drainOrder = ordersAddIdle(mainDrainXlibQueues, nullptr);
  display->readOrder = ordersAddReader(ConnectionNumber(xlib), mainOnXlibInput, xlib);
  return nullptr;
}

void mainCloseServerDisplay(ServerDisplay *display, int offline) {
  if (!display || !display->display) return;
  logStep("Closing connection to display %s (offline=%d) ...", display->name, offline);
  mainFreeDeferredPool();
  for (MetaScreen *m = xscreenFirst(); m; m = m->next)
    for (Head *h = m->heads; h; h = h->next)
      if (h->display == display->display) h->display = nullptr;
  if (!offline) XFlush(display->display);
  xtargetCloseDisplay(display->display);
  display->display = nullptr;
  display->bigRequestsAsked = 0;
  // Only an opening that reached the end was counted and has a reader.
  if (display->countedOpen) {
    display->countedOpen = 0;
    if (--openDisplayCount == 0) {
      ordersCancel(drainOrder);
      drainOrder = nullptr;
    }
    ordersCancel(display->readOrder);
    display->readOrder = nullptr;
  }
}

void mainDrainXlibQueues(void *) {
  // Each pass empties one queue; a handler that leaves events behind cannot hold the loop.
  for (int pass = 0; pass < 1000; pass++) {
    ServerDisplay *pending = nullptr;
    for (ServerDisplay *d = mainServerDisplays; d && !pending; d = d->next)
      if (d->display && XEventsQueued(d->display, QueuedAlready) > 0) pending = d;
    if (!pending) return;
    xmainHandleDisplayEvents(pending->display, QueuedAlready);
  }
}

void mainOnXlibInput(void *display) { xmainHandleDisplayEvents(static_cast<Display *>(display), QueuedAfterReading); }

void xmainHandleDisplayEvents(Display *display, int mode) {
  // Until the event pump exists every event is dropped.
  for (int count = XEventsQueued(display, mode); count > 0; count--) {
    XEvent event;
    XNextEvent(display, &event);
  }
  if (mainServerDisplays && mainServerDisplays->display) XFlush(mainServerDisplays->display);
}

int mainHeadBorderWidth(Head *head, int32_t configured) {
  int64_t border = configured;
  if (configured == -1) {
    bool plain = true;
    for (ScreenConfig *s = configRecord.screens; s && plain; s = s->next)
      if (s->followPointerX > 0 || s->followPointerY > 0) plain = false;
    for (MetaScreenConfig *m = configRecord.metaScreens; m && plain; m = m->next)
      if (m == configRecord.metaScreens ? m->direction != kKorvanDirectionNone
                                        : m->direction != kKorvanDirectionNone && m->direction != kKorvanDirectionEast)
        plain = false;
    for (ScreenConfig *s = configRecord.screens; s && plain; s = s->next)
      if (s == configRecord.screens ? s->direction != kKorvanDirectionNone : s->direction != kKorvanDirectionEast)
        plain = false;
    border = plain ? 0 : 1;
  }
  border = std::clamp<int64_t>(border, 0, kMaxBorder);
  if (head->realWidth && head->realHeight) {
    int64_t half = std::max(head->realWidth / 2, head->realHeight / 2);
    if (half <= border) border = half;
  }
  int changed = head->border != uint32_t(border);
  head->border = uint32_t(border);
  return changed;
}

Head *mainOpenHead(const char *name, MetaScreen *metaScreen, uint64_t connectTimeout, int32_t borderWidth,
                   uint32_t emulatedVisuals, int *status, const char **error) {
  auto refuse = [&](int code, const char *text) -> Head * {
    *status = code;
    *error = text;
    return nullptr;
  };
  const char *resolved = nullptr;
  if (const char *lookup = xdisplayLookupName(name, &resolved)) return refuse(kOpenHeadConfiguration, lookup);
  char *host = nullptr;
  int number = 0, screen = 0, family = 0;
  if (!resolved || !xdisplayParseAddress(resolved, &host, &number, &screen, &family))
    return refuse(kOpenHeadConfiguration, strTempPrintf("Invalid X display name '%s'", name ? name : "NULL"));
  std::string hostText = host;
  free(host);
  if (number == xproxyDisplayNumber() && hostIsLocal(hostText.c_str()))
    return refuse(kOpenHeadConnection, strTempPrintf("Can't connect to display '%s' (same port used by %s)", name,
                                                     logProgramName()));
  char displayName[256], screenName[256];
  snprintf(displayName, sizeof displayName, "%s:%d", hostText.c_str(), number);
  snprintf(screenName, sizeof screenName, "%s:%d.%d", hostText.c_str(), number, screen);
  if (Head *same = findHead([&](Head *h) { return h->screen == screen && strcmp(h->name, screenName) == 0; }))
    return refuse(kOpenHeadConfiguration,
                  strTempPrintf("Screen '%s' already configured - Make sure each screen is specified just once",
                                same->name));
  ServerDisplay *display = findServerDisplay(displayName);
  if (!display && mainServerDisplays)
    return refuse(kOpenHeadConfiguration,
                  strTempPrintf("%s supports only one X window server - Use Korvan for multiple X window server",
                                logProgramName()));
  if (!display) {
    display = static_cast<ServerDisplay *>(calloc(1, sizeof(ServerDisplay)));
    if (!display || !(display->name = strdup(name))) {
      free(display);
      return refuse(kOpenHeadCreation, MAIN_OUT_OF_MEMORY());
    }
    display->index = mainServerDisplayCount;
    snprintf(display->displayName, sizeof display->displayName, "%s", displayName);
    display->connectTimeout = connectTimeout;
    int openStatus = 0;
    if (const char *openError = mainOpenServerDisplay(display, &openStatus)) {
      std::string kept = openError;
      freeRecord(display);
      return refuse(openStatus, strTempDup(kept.c_str()));
    }
    Display *xlib = display->display;
    if (ProtocolVersion(xlib) != proxyState.protocolMajor || ProtocolRevision(xlib) < proxyState.protocolMinor) {
      proxyState.protocolMajor = uint8_t(ProtocolVersion(xlib));
      proxyState.protocolMinor = uint8_t(ProtocolRevision(xlib));
    }
    if (family == 256 || hostIsLocal(hostText.c_str())) {
      if (const char *shm = xdisplayCheckShm(xlib))
        LOG(logChannelWarning, "Display %s does not support shared memory: %s", display->name, shm);
      else
        display->mitShmUsable = 1;
    }
    uint64_t maxRequest = 4 * uint64_t(XMaxRequestSize(xlib));
    if (maxRequest < proxyState.maxRequestBytes) proxyState.maxRequestBytes = uint32_t(maxRequest);
    // A client may never be allowed a request that the real server refuses.
    uint64_t extended = 4 * uint64_t(XExtendedMaxRequestSize(xlib));
    uint64_t bigMaximum = extended ? extended : proxyState.maxRequestBytes;
    if (bigMaximum < xprotoBigRequestMaximum) xprotoBigRequestMaximum = bigMaximum;
    uint64_t motion = XDisplayMotionBufferSize(xlib);
    if (motion < proxyState.motionBufferSize) proxyState.motionBufferSize = uint32_t(motion);
    if (display->pointerButtonCount < proxyState.pointerButtonLimit)
      proxyState.pointerButtonLimit = uint8_t(display->pointerButtonCount);
    int keycodes = xrcKeycodeCount(xlib, kXrcKeyboard);
    if (keycodes > 0 && uint32_t(keycodes) < proxyState.keycodeLimit) proxyState.keycodeLimit = uint32_t(keycodes);
    processImageTemplate = display->imageTemplate;
    xproxyAddServerDisplay(display);
  }
  Display *xlib = display->display;
  if (!xlib) return refuse(kOpenHeadConnection, strTempPrintf("Display %s is not open", display->name));
  if (screen < 0 || screen >= ScreenCount(xlib))
    return refuse(kOpenHeadConfiguration, strTempPrintf("No screen #%d on %s", screen, withoutLocalHost(display->name)));
  // The resource database keeps one id base per head index.
  if (xproxyFreeHeadIndex() >= kHeadIdTableEntries)
    return refuse(kOpenHeadCreation, strTempPrintf("Can't add %s: at most %u heads are supported", screenName,
                                                   kHeadIdTableEntries));
  Head *head = nullptr;
  if (const char *queryError = xproxyQueryVisuals(screenName, nullptr, xlib, screen, emulatedVisuals, &head))
    return refuse(kOpenHeadCreation, queryError);
  mainHeadBorderWidth(head, borderWidth);
  if (head->display) {
    // Signed 64 bits: twice a large border can exceed the screen.
    int64_t border = head->border;
    head->logical.x = head->logical.y = int32_t(border);
    head->logical.width = uint32_t(std::max<int64_t>(1, int64_t(head->realWidth) - 2 * border));
    head->logical.height = uint32_t(std::max<int64_t>(1, int64_t(head->realHeight) - 2 * border));
    head->rect = Rect{0, 0, head->logical.width, head->logical.height};
    head->visible = head->rect;
  }
  xproxyAttachHeadToDisplay(head, display);
  xproxyAddHeadToMetaScreen(head, metaScreen);
  head->clientRoot = ++proxyXidCounter;
  // ===== head root in the resource tables =====
  if (!resourceAddHeadRoot(head)) LOG_OUT_OF_MEMORY();
  // ===== end of head root in the resource tables =====
  mainLogHeadChange(head, 1, 0);
  logStep("Init head %s (screen=%d xid=0x%x border=%u)...", head->name, int(metaScreen->index), head->clientRoot,
          head->border);
  return head;
}

Display *xproxyXlibDisplay(DisplayConnection *connection) {
  if (connection) return connection->display ? connection->display->display : nullptr;
  return mainServerDisplays ? mainServerDisplays->display : nullptr;
}

Head *mainFindHeadByRoot(ServerDisplay *display, Window root) {
  return findHead([&](Head *h) { return h->serverDisplay == display && h->root == root; });
}

Head *mainFindHeadByScreen(ServerDisplay *display, int screen) {
  return findHead([&](Head *h) { return h->serverDisplay == display && h->screen == screen; });
}

void mainResetHeadRegions() {
  findHead([](Head *h) {
    if (h->exposures) regionResetRect(h->exposures, 0, 0, 0, 0);
    return false;
  });
}

// Until the pointer tracking exists a head change is only logged; then the meta screen's size
// follows its heads.
void mainLogHeadChange(Head *head, int kind, uint32_t mask) {
  const char *client = xscreenClientName(xproxyCurrentClient);
  const char *where = rectGeometryText(head->rect);
  if (kind == 1)
    logStep("%s created by %s (%s, %ux%u mm) ...", head->name, client, where, head->widthMM, head->heightMM);
  else if (kind == 2)
    logStep("%s removed by %s (%s) ...", head->name, client, where);
  else
    logStep("%s changed by %s (%s, mask 0x%x) ...", head->name, client, where, mask);
  if (head->metaScreen) xscreenRecomputeSize(head->metaScreen);
}

void mainUpdateHeadTransform(Head *head) {
  double x = head->metaScreen ? head->metaScreen->xMM : 0, y = head->metaScreen ? head->metaScreen->yMM : 0;
  head->pointerArea.wrapX = head->wrapX;
  head->pointerArea.wrapY = head->wrapY;
  xpointerSetHeadRect(&head->pointerArea, head->display, head->screen, x + xscreenHeadMmX(head),
                      y + xscreenHeadMmY(head), head->widthMM, head->heightMM);
}

// No proxy windows exist yet: only the transform follows the head.
void mainMoveHeadWindows(Head *head, ClientConnection *, int) { mainUpdateHeadTransform(head); }
// ===== end of real display and configured screens =====

// ===== Visuals, id layout, default colormaps and root windows =====
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <bit>
#include <cmath>

#include "proxy/core11g.h"
#include "proxy/window.h"
#include "proxy/xdisplay.h"
#include "proxy/xmain.h"
#include "proxy/xscreen.h"

int mainGlxDisabled = 0;
const char *mainProgramName = "tarvo";

namespace {

constexpr uint32_t kLow29Bits = 0x1fffffff;
constexpr uint32_t kTraceVisuals = 0x8000000;

// The 4 x 4 background pattern and the proxy's X-shaped cursor (least significant bit leftmost).
constexpr unsigned char kPattern[4] = {0x88, 0x22, 0x44, 0x11};
constexpr unsigned char kCursorSource[32] = {0x00, 0x00, 0x0e, 0x70, 0x1e, 0x78, 0x3e, 0x7c, 0x7c, 0x3e, 0xf8,
                                             0x1f, 0xf0, 0x0f, 0xe0, 0x07, 0xe0, 0x07, 0xf0, 0x0f, 0xf8, 0x1f,
                                             0x7c, 0x3e, 0x3e, 0x7c, 0x1e, 0x78, 0x0e, 0x70, 0x00, 0x00};
constexpr unsigned char kCursorMask[32] = {0x0f, 0xf0, 0x1f, 0xf8, 0x3f, 0xfc, 0x7f, 0xfe, 0xfe, 0x7f, 0xfc,
                                           0x3f, 0xf8, 0x1f, 0xf0, 0x0f, 0xf0, 0x0f, 0xf8, 0x1f, 0xfc, 0x3f,
                                           0xfe, 0x7f, 0x7f, 0xfe, 0x3f, 0xfc, 0x1f, 0xf8, 0x0f, 0xf0};
constexpr int kCursorSize = 16, kCursorHotX = 7, kCursorHotY = 9;

uint32_t bitsToNumber(uint32_t count) {  // bits needed to number count things (0 for one)
  uint32_t bits = 0;
  while (count > 1 && (uint64_t(1) << bits) < count) bits++;
  return bits;
}

template <typename Fn>
void forEachHead(Fn fn) {
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next) fn(s, h);
}

int visualIndex(const MetaScreen *screen, const VisualRecord *visual) {
  if (!screen || !visual || visual < screen->visuals || visual >= screen->visuals + screen->visualCount) return -1;
  return int(visual - screen->visuals);
}

// 100 when the candidate's size is smaller than wanted, 5 when larger.
uint32_t sizePenalty(uint32_t wanted, uint32_t candidate) {
  return candidate < wanted ? 100 : candidate > wanted ? 5 : 0;
}

// The GL part of a candidate's score; UINT32_MAX refuses it.
uint32_t glScore(const VisualRecord *w, const VisualRecord *c) {
  if (!w->glVersion) return c->glVersion ? 5 : 0;
  if (!c->glVersion) return xscreenNoClients() ? 500000 : UINT32_MAX;
  if (w->glRgba != c->glRgba || w->glLevel != c->glLevel || w->glStereo != c->glStereo) return UINT32_MAX;
  uint32_t score = w->glDoubleBuffer != c->glDoubleBuffer ? 10 : 0;
  const uint8_t VisualRecord::*colour[] = {&VisualRecord::glRedSize,      &VisualRecord::glGreenSize,
                                           &VisualRecord::glBlueSize,     &VisualRecord::glAlphaSize,
                                           &VisualRecord::glAccumRedSize, &VisualRecord::glAccumGreenSize,
                                           &VisualRecord::glAccumBlueSize, &VisualRecord::glAccumAlphaSize};
  for (auto field : colour) {
    if (c->*field < w->*field) return UINT32_MAX;
    if (c->*field > w->*field) score += 5;
  }
  score += sizePenalty(w->glDepthSize, c->glDepthSize) + sizePenalty(w->glStencilSize, c->glStencilSize) +
           sizePenalty(w->glAuxBuffers, c->glAuxBuffers) + sizePenalty(w->glSamples, c->glSamples) +
           sizePenalty(w->glSampleBuffers, c->glSampleBuffers);
  return score;
}

void clearGl(VisualRecord *v) {
  v->glVersion = 0;
  v->glRgba = 0;
  v->glRedSize = v->glGreenSize = v->glBlueSize = v->glAlphaSize = 0;
  v->glAccumRedSize = v->glAccumGreenSize = v->glAccumBlueSize = v->glAccumAlphaSize = 0;
  v->glDepthSize = v->glStencilSize = 0;
  v->glDoubleBuffer = v->glStereo = v->glAuxBuffers = 0;
}

template <typename T>
void toSmaller(T &wanted, T offered) {
  if (offered < wanted) wanted = offered;
}

void narrowTo(VisualRecord *w, const VisualRecord *c) {
  toSmaller(w->colormapEntries, c->colormapEntries);
  toSmaller(w->bitsPerRgb, c->bitsPerRgb);
  if (w->visualClass >= 4 &&
      std::popcount(c->redMask | c->greenMask | c->blueMask) < std::popcount(w->redMask | w->greenMask | w->blueMask)) {
    w->redMask = c->redMask, w->greenMask = c->greenMask, w->blueMask = c->blueMask;
    w->redShift = c->redShift, w->greenShift = c->greenShift, w->blueShift = c->blueShift;
    w->redBits = c->redBits, w->greenBits = c->greenBits, w->blueBits = c->blueBits;
  }
  if (w->doubleBuffered && c->doubleBuffered) {
    toSmaller(w->doubleBufferPerformance, c->doubleBufferPerformance);
  } else {
    w->doubleBuffered = 0;
    w->doubleBufferPerformance = 0;
  }
  if (!w->glVersion || !c->glVersion) {
    clearGl(w);
    return;
  }
  toSmaller(w->glRedSize, c->glRedSize);
  toSmaller(w->glGreenSize, c->glGreenSize);
  toSmaller(w->glBlueSize, c->glBlueSize);
  toSmaller(w->glAlphaSize, c->glAlphaSize);
  toSmaller(w->glAccumRedSize, c->glAccumRedSize);
  toSmaller(w->glAccumGreenSize, c->glAccumGreenSize);
  toSmaller(w->glAccumBlueSize, c->glAccumBlueSize);
  toSmaller(w->glAccumAlphaSize, c->glAccumAlphaSize);
  toSmaller(w->glDepthSize, c->glDepthSize);
  toSmaller(w->glStencilSize, c->glStencilSize);
  toSmaller(w->glDoubleBuffer, c->glDoubleBuffer);
  toSmaller(w->glStereo, c->glStereo);
  toSmaller(w->glAuxBuffers, c->glAuxBuffers);
}

uint32_t realIdMask(const ServerDisplay *display) {
  return mainRealIdMask(display->display);
}

// Step 5 for one meta screen: the common visuals, the map of each head, the root visual.
const char *adjustMetaVisuals(MetaScreen *screen) {
  Head *primary = screen->primaryHead ? screen->primaryHead : screen->heads;
  if (!primary) return "No visuals left after adjusting - Maybe color tag not set to the screen with the least significant visual bits";
  xvisualFreeArray(screen->visuals, int(screen->visualCount));
  screen->visuals = nullptr;
  screen->visualCount = 0;
  screen->rootVisual = nullptr;
  if (primary->visualCount > 0) {
    screen->visuals = xvisualCopyArray(primary->visuals, primary->visualCount);
    if (!screen->visuals) return OUT_OF_MEMORY_TEXT();
    screen->visualCount = uint32_t(primary->visualCount);
  }
  for (uint32_t i = 0; i < screen->visualCount; i++) screen->visuals[i].screen = uint8_t(screen->index);
  for (Head *h = screen->heads; h; h = h->next) {
    if (!h->display) continue;
    for (uint32_t i = 0; i < screen->visualCount;) {
      VisualRecord *v = &screen->visuals[i];
      if (mainMatchVisual(v, h->visuals, h->visualCount, h, screen->visualCount, 1)) {
        i++;
        continue;
      }
      LOG(logChannelXhint, "No %s at %s", xvisualDescribe(v), xscreenHeadName(h));
      xvisualFreeContents(v);
      memmove(v, v + 1, sizeof(VisualRecord) * (screen->visualCount - i - 1));
      screen->visualCount--;
    }
  }
  if (screen->visualCount == 0)
    return "No visuals left after adjusting - Maybe color tag not set to the screen with the least significant visual bits";
  for (Head *h = screen->heads; h; h = h->next) {
    if (!h->display) continue;
    free(h->visualMap);
    h->visualMap = static_cast<VisualRecord **>(calloc(screen->visualCount, sizeof(VisualRecord *)));
    if (!h->visualMap) return OUT_OF_MEMORY_TEXT();
    for (uint32_t i = 0; i < screen->visualCount; i++) {
      VisualRecord wanted;
      memcpy(&wanted, &screen->visuals[i], sizeof wanted);  // matched without narrowing: a shallow copy
      VisualRecord *match = mainMatchVisual(&wanted, h->visuals, h->visualCount, h, screen->visualCount, 0);
      if (!match)
        return strTempPrintf(
            "Display %s has no visual %s - Make sure the common visuals are specified in your configuration",
            h->name, xvisualDescribe(&screen->visuals[i]));
      h->visualMap[i] = match;
      if (resourceVisualTracing()) LOG(logChannelVerbose, "visual #%u = %s", i, xvisualDescribe(match));
    }
  }
  // The root visual: the lowest score, scanned from the last entry so that equals keep the later.
  uint32_t best = UINT32_MAX;
  for (uint32_t k = screen->visualCount; k-- > 0;) {
    uint32_t score = k == 0 ? 2 : 3;
    VisualRecord *own = primary->visualMap ? primary->visualMap[k] : nullptr;
    if (own && own->isDefault && !own->baseVisualId) {
      score = 0;
    } else {
      for (Head *h = screen->heads; h; h = h->next)
        if (h != primary && h->visualMap && h->visualMap[k] && h->visualMap[k]->isDefault &&
            !h->visualMap[k]->baseVisualId)
          score = 1;
    }
    if (score < best) {
      best = score;
      screen->rootVisual = &screen->visuals[k];
    }
  }
  if (!screen->rootVisual) return "No default visual found";
  // DOUBLE-BUFFER by Multi-Buffering stays off until the extensions come.
  return nullptr;
}

}  // namespace

uint32_t mainDisplayIdMask(uint32_t realMask, uint32_t headCount) {
  uint32_t b = uint32_t(std::popcount(realMask)), h = bitsToNumber(headCount);
  if (h >= b) return 0;
  return uint32_t((uint64_t(1) << (b - h)) - 1);
}

void mainSetIdLayout(ServerDisplay *display, uint32_t realMask, uint32_t proxyMask) {
  uint32_t b = uint32_t(std::popcount(realMask)), g = uint32_t(std::popcount(proxyMask));
  uint32_t lowest = realMask ? uint32_t(std::countr_zero(realMask)) : 0;
  uint32_t extra = b > g ? b - g : 0;
  display->lowestBit = lowest;
  display->headBitsMask = uint32_t(((uint64_t(1) << extra) - 1) << lowest);
  display->idShift = lowest + extra;
  display->freeBitsMask = (kLow29Bits & ~realMask) | display->headBitsMask;
}

VisualRecord *mainMatchVisual(VisualRecord *wanted, VisualRecord *table, int count, Head *, uint32_t, int narrow) {
  if (!wanted || !table) return nullptr;
  VisualRecord *winner = nullptr;
  uint64_t best = UINT64_MAX;
  for (int i = count; i-- > 0;) {
    VisualRecord *c = &table[i];
    if (c->depth != wanted->depth) continue;
    uint32_t distance = xvisualDistance(wanted, c, 0);
    if (distance >= 1000000) continue;
    uint64_t score = distance;
    if (!mainGlxDisabled) {
      uint32_t gl = glScore(wanted, c);
      if (gl == UINT32_MAX) continue;
      score += gl;
    }
    if (score < best) {
      best = score;
      winner = c;
      if (score == 0) break;
    }
  }
  if (winner && narrow) narrowTo(wanted, winner);
  return winner;
}

VisualRecord *mainHeadVisual(const VisualRecord *metaVisual, const Head *head) {
  if (!head || !head->display || !head->visualMap) return nullptr;
  int index = visualIndex(head->metaScreen, metaVisual);
  return index < 0 ? nullptr : head->visualMap[index];
}

const char *mainReplicateSharedColors(Head *head, ColormapShadow *shadow, Colormap colormap) {
  if (!shadow || !head->display) return nullptr;
  std::vector<XColor> readOnly;
  int failed = 0;
  for (uint32_t i = 0; i < shadow->cellCount; i++) {
    const ColormapCell &cell = shadow->cells[i];
    XColor colour{};
    colour.pixel = xproxyPixelToServer(cell.pixel, shadow->visual, head);
    xmainQueryCell(shadow, cell.pixel, &colour);
    colour.pixel = xproxyPixelToServer(cell.pixel, shadow->visual, head);
    colour.flags = DoRed | DoGreen | DoBlue;
    if (cell.readOnly) {
      readOnly.push_back(colour);
      continue;
    }
    unsigned long pixel = colour.pixel, mask = cell.planeMask;
    if (!miscAllocColorCells(head->display, colormap, &pixel, 1, mask ? &mask : nullptr, mask ? 1 : 0)) {
      failed++;
      continue;
    }
    XStoreColor(head->display, colormap, &colour);
  }
  if (!readOnly.empty() && !miscAllocPixels(head->display, colormap, readOnly.data(), int(readOnly.size())))
    failed += int(readOnly.size());
  if (failed) return strTempPrintf("Can't alloc %d shared colors on %s", failed, xscreenHeadName(head));
  return nullptr;
}

const char *mainShareDefaultColors(Head *head, ColormapShadow *shadow) {
  if (!xscreenNoClients()) return nullptr;
  return mainReplicateSharedColors(head, shadow, head->shadowColormap);
}

const char *mainHeadDefaultColormap(Head *head) {
  MetaScreen *screen = head->metaScreen;
  auto *shadow = static_cast<ColormapShadow *>(resourceLookupByType(screen->defaultColormap, kResourceColormap));
  if (!shadow) return "Xid of default colormap not found";
  if (!head->display) return nullptr;
  VisualRecord *match = mainHeadVisual(screen->rootVisual, head);
  const char *reason = nullptr;
  if (!match)
    reason = "sloppy visuals";
  else if (match->baseVisualId)
    reason = "emulation";
  else if (!match->isDefault)
    reason = "visual";
  else if (head->blackPixel != xproxyPixelToServer(screen->blackPixel, screen->rootVisual, head))
    reason = "black pixel";
  else if (head->whitePixel != xproxyPixelToServer(screen->whitePixel, screen->rootVisual, head))
    reason = "white pixel";
  else if (mainReplicateSharedColors(head, shadow, head->defaultColormap))
    reason = "alloc";
  if (!reason) {
    head->shadowColormap = head->defaultColormap;
    LOG(logChannelStep, "%s uses default colormap 0x%x ...", xscreenHeadName(head), unsigned(head->defaultColormap));
    return nullptr;
  }
  LOG(logChannelStep, "Creating default colormap on %s (%s)...", xscreenHeadName(head), reason);
  if (match && match->baseVisualId) {
    return mainCreateEmulatedColormap(head, match, shadow);
  }
  Visual *visual = match ? xvisualXlibVisual(match) : DefaultVisual(head->display, head->screen);
  head->shadowColormap = XCreateColormap(head->display, head->root, visual,
                                         screen->rootVisual->visualClass & 1 ? int(shadow->allocMode) : AllocNone);
  if (head != (screen->primaryHead ? screen->primaryHead : screen->heads))
    return mainShareDefaultColors(head, shadow);
  return mainReplicateSharedColors(head, shadow, head->shadowColormap);
}

const char *mainAdjustVisuals(int afterReset) {
  // 1. Every real display open.
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next) {
    int status = 0;
    if (const char *error = mainOpenServerDisplay(d, &status)) return error;
  }
  // 2. The id layout.
  logStep("Adjusting xid masks...");
  uint32_t proxyMask = 0xffffffffu;
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next)
    proxyMask = std::min(proxyMask, mainDisplayIdMask(realIdMask(d), d->headCount));
  if (mainServerDisplays) {
    for (ServerDisplay *d = mainServerDisplays; d; d = d->next) mainSetIdLayout(d, realIdMask(d), proxyMask);
    proxyState.idMask = proxyMask;
    proxyState.idShift = uint32_t(std::popcount(proxyMask)) + (proxyMask ? uint32_t(std::countr_zero(proxyMask)) : 0);
  }
  if (afterReset && !resourceInitClient(0)) return OUT_OF_MEMORY_TEXT();
  // 3. Pixmap formats of the first real display.
  logStep("Adjusting pixmap formats...");
  if (mainServerDisplays && mainServerDisplays->display) {
    int n = 0;
    XPixmapFormatValues *formats = XListPixmapFormats(mainServerDisplays->display, &n);
    if (!formats) return strTempPrintf("XListPixmapFormats(%s) failed", mainServerDisplays->name);
    proxyState.pixmapFormatCount = uint8_t(std::min(n, 255));
    for (int i = 0; i < proxyState.pixmapFormatCount; i++)
      proxyState.pixmapFormats[i] = {uint8_t(formats[i].depth), uint8_t(formats[i].bits_per_pixel),
                                     uint8_t(formats[i].scanline_pad)};
    XFree(formats);
  }
  // 4. Visual tables of the heads.
  const char *error = nullptr;
  forEachHead([&](MetaScreen *, Head *h) {
    if (error || h->visuals || !h->display) return;
    logStep("Querying visuals of %s...", xscreenHeadName(h));
    error = xvisualBuildHeadVisuals(h->display, h->screen, &h->visuals, &h->visualCount);
  });
  if (error) return error;
  // 5. Each meta screen's visuals.
  logStep("Adjusting visuals...");
  for (MetaScreen *s = xscreenList; s; s = s->next)
    if ((error = adjustMetaVisuals(s))) return error;
  // 6. The visual trace.
  if (resourceVisualTracing()) {
    for (MetaScreen *s = xscreenList; s; s = s->next)
      for (uint32_t i = 0; i < s->visualCount; i++) {
        LOG(logChannelVerbose, "%s%s", xvisualDescribe(&s->visuals[i]), &s->visuals[i] == s->rootVisual ? " [default]" : "");
        for (Head *h = s->heads; h; h = h->next)
          if (h->visualMap && h->visualMap[i])
            LOG(logChannelVerbose, "  %s@%s", xvisualDescribe(h->visualMap[i]), xscreenHeadName(h));
      }
  }
  // 7. Colours.
  for (MetaScreen *s = xscreenList; s; s = s->next) xscreenAdjustColors(s);
  // 8. Keycodes of the first real display.
  if (mainServerDisplays && mainServerDisplays->display) {
    int low = 8, high = 255;
    XDisplayKeycodes(mainServerDisplays->display, &low, &high);
    proxyState.minKeycode = uint8_t(low);
    proxyState.maxKeycode = uint8_t(std::min<uint32_t>(255, uint32_t(low) + proxyState.keycodeLimit - 1));
  }
  // 9. After a reset the heads take their real roots again and new client-side root ids;
  // the proxy's focus starts again as an X server's does.
  if (afterReset) {
    proxyState.focusWindow = 1;  // PointerRoot
    proxyState.focusRevertTo = 0;
    forEachHead([&](MetaScreen *, Head *h) {
      if (error || !h->display) return;
      h->root = RootWindow(h->display, h->screen);
      h->defaultColormap = DefaultColormap(h->display, h->screen);
      h->clientRoot = ++proxyXidCounter;
      if (!resourceAddHeadRoot(h)) error = OUT_OF_MEMORY_TEXT();
    });
    if (error) return error;
  }
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    // 10. Visual ids.
    for (uint32_t i = 0; i < s->visualCount; i++) {
      s->visuals[i].visualId = ++proxyXidCounter;
      if (!resourceAdd(s->visuals[i].visualId, kResourceVisual, s)) return OUT_OF_MEMORY_TEXT();
    }
    s->visualIdsContiguous = xvisualIdsContiguous(s->visuals, int(s->visualCount));
    // 11. The default colormap's id and shadow.
    s->defaultColormap = ++proxyXidCounter;
    if (!resourceCreateColormap(nullptr, s->defaultColormap, s, s->rootVisual, 0)) return OUT_OF_MEMORY_TEXT();
    // 12. Backing store and save-unders.
    s->backingStore = 2;
    s->saveUnders = 1;
    for (Head *h = s->heads; h; h = h->next) {
      if (!h->display) continue;
      Screen *real = ScreenOfDisplay(h->display, h->screen);
      int backing = DoesBackingStore(real);
      if (backing == NotUseful) s->backingStore = 0;
      else if (backing == WhenMapped && s->backingStore == 2) s->backingStore = 1;
      if (!DoesSaveUnders(real)) s->saveUnders = 0;
    }
    // 13. Each head's root visual on its real screen.
    for (Head *h = s->heads; h; h = h->next) {
      VisualRecord *match = mainHeadVisual(s->rootVisual, h);
      if (!match) continue;
      if (match->baseVisualId) {
        h->rootVisualId = match->baseVisualId;
        h->rootDepth = match->baseDepth;
      } else {
        h->rootVisualId = match->visualId;
        h->rootDepth = match->depth;
      }
    }
  }
  // 14. Default colormaps, primary head first.
  logStep("Adjusting default colormaps...");
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    Head *primary = s->primaryHead ? s->primaryHead : s->heads;
    if (primary && (error = mainHeadDefaultColormap(primary))) return error;
    for (Head *h = s->heads; h; h = h->next)
      if (h != primary && (error = mainHeadDefaultColormap(h))) return error;
  }
  return nullptr;
}

namespace {

// A bitmap scaled by the zoom factors (rows of two bytes, least significant bit leftmost).
std::vector<unsigned char> zoomBitmap(const unsigned char *bits, int width, int height, int zoomedWidth,
                                      int zoomedHeight) {
  int stride = (zoomedWidth + 7) / 8;
  std::vector<unsigned char> out(size_t(stride) * zoomedHeight, 0);
  for (int y = 0; y < zoomedHeight; y++)
    for (int x = 0; x < zoomedWidth; x++) {
      int sx = int(int64_t(x) * width / zoomedWidth), sy = int(int64_t(y) * height / zoomedHeight);
      if (bits[sy * ((width + 7) / 8) + sx / 8] & (1 << (sx % 8))) out[size_t(y) * stride + x / 8] |= 1 << (x % 8);
    }
  return out;
}

int zoomed(int size, double zoom) {
  double v = std::floor(size * zoom);
  return v < 1 ? 1 : v > 4096 ? 4096 : int(v);
}

Cursor makeProxyCursor(Head *h) {
  Display *d = h->display;
  int width = kCursorSize, height = kCursorSize, hotX = kCursorHotX, hotY = kCursorHotY;
  std::vector<unsigned char> source(kCursorSource, kCursorSource + 32), mask(kCursorMask, kCursorMask + 32);
  if (h->zoomX != 1.0 || h->zoomY != 1.0) {
    // At least 1 x 1 with the hot spot inside: XCreatePixmapCursor refuses anything else.
    width = zoomed(kCursorSize, h->zoomX > 0 ? h->zoomX : 1.0);
    height = zoomed(kCursorSize, h->zoomY > 0 ? h->zoomY : 1.0);
    hotX = std::min(width - 1, int(kCursorHotX * double(width) / kCursorSize));
    hotY = std::min(height - 1, int(kCursorHotY * double(height) / kCursorSize));
    source = zoomBitmap(kCursorSource, kCursorSize, kCursorSize, width, height);
    mask = zoomBitmap(kCursorMask, kCursorSize, kCursorSize, width, height);
  }
  Pixmap sourcePixmap = XCreateBitmapFromData(d, h->root, reinterpret_cast<char *>(source.data()), width, height);
  Pixmap maskPixmap = XCreateBitmapFromData(d, h->root, reinterpret_cast<char *>(mask.data()), width, height);
  XColor black{}, white{};
  white.red = white.green = white.blue = 0xffff;
  Cursor cursor = XCreatePixmapCursor(d, sourcePixmap, maskPixmap, &black, &white, unsigned(hotX), unsigned(hotY));
  XFreePixmap(d, sourcePixmap);
  XFreePixmap(d, maskPixmap);
  return cursor;
}

Cursor makeInvisibleCursor(Head *h) {
  static const char empty[1] = {0};
  Pixmap bitmap = XCreateBitmapFromData(h->display, h->root, empty, 1, 1);
  XColor black{};
  Cursor cursor = XCreatePixmapCursor(h->display, bitmap, bitmap, &black, &black, 0, 0);
  XFreePixmap(h->display, bitmap);
  return cursor;
}

void copyRootProperties(Head *h) {
  int n = 0;
  Atom *names = XListProperties(h->display, h->root, &n);
  for (int i = 0; i < n; i++) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(h->display, h->root, names[i], 0, 0x1000000, False, AnyPropertyType, &type, &format,
                           &items, &after, &data) == Success &&
        type != None) {
      XChangeProperty(h->display, h->innerWindow, names[i], type, format, PropModeReplace, data, int(items));
    }
    if (data) XFree(data);
  }
  if (names) XFree(names);
}

}  // namespace

const char *mainCreateRootWindows(int check) {
  // 1. Cursors and the outer window of each head.
  forEachHead([&](MetaScreen *, Head *h) {
    if (!h->display) return;
    Display *d = h->display;
    h->cursor = makeProxyCursor(h);
    h->invisibleCursor = makeInvisibleCursor(h);
    XSetWindowAttributes a{};
    a.background_pixel = h->blackPixel;
    a.colormap = h->shadowColormap ? h->shadowColormap : h->defaultColormap;
    a.cursor = h->invisibleCursor;
    Visual *visual = xvisualXlibVisualById(h->rootVisualId);
    int depth = h->rootDepth ? int(h->rootDepth) : CopyFromParent;
    if (!visual || !h->rootVisualId) visual = CopyFromParent;
    h->outerWindow = XCreateWindow(d, h->root, h->logical.x - int(h->border), h->logical.y - int(h->border),
                                   unsigned(std::max<int64_t>(1, h->logical.width + 2 * int64_t(h->border))),
                                   unsigned(std::max<int64_t>(1, h->logical.height + 2 * int64_t(h->border))), 0,
                                   depth, InputOutput, visual, CWBackPixel | CWColormap | CWCursor, &a);
    xvisualSetWindowName(d, h->outerWindow, "Wrong configuration! See the manual of %s.", mainProgramName);
  });
  // 2. The configured sizes.
  if (check) {
    for (MetaScreen *s = xscreenList; s; s = s->next) {
      MetaScreenChange change{};
      change.mask = 0x2 | 0x4;
      change.width = s->widthWord ? s->widthWord : int32_t(s->width);
      change.height = s->heightWord ? s->heightWord : int32_t(s->height);
      if (const char *error = xscreenApplyMetaChange(s, &change)) return error;
    }
  }
  // 3. The pattern, the middle and the inner window.
  const char *error = nullptr;
  forEachHead([&](MetaScreen *s, Head *h) {
    if (error || !h->display) return;
    Display *d = h->display;
    Visual *visual = xvisualXlibVisualById(h->rootVisualId);
    int depth = h->rootDepth ? int(h->rootDepth) : DefaultDepth(d, h->screen);
    if (!visual || !h->rootVisualId) visual = CopyFromParent;
    Colormap colormap = h->shadowColormap ? h->shadowColormap : h->defaultColormap;
    uint32_t foreground = xproxyPixelToServer(s->whitePixel, s->rootVisual, h);
    uint32_t background = xproxyPixelToServer(s->blackPixel, s->rootVisual, h);
    h->backgroundPattern = XCreatePixmapFromBitmapData(d, h->root, const_cast<char *>(reinterpret_cast<const char *>(kPattern)),
                                                       4, 4, foreground, background, unsigned(depth));
    XSetWindowAttributes a{};
    a.background_pixel = h->blackPixel;
    a.event_mask = LeaveWindowMask;
    a.colormap = colormap;
    a.cursor = h->invisibleCursor;
    h->middleWindow = XCreateWindow(d, h->outerWindow, int(h->border), int(h->border),
                                    unsigned(std::max<int64_t>(1, h->logical.width)),
                                    unsigned(std::max<int64_t>(1, h->logical.height)), 0, depth, InputOutput, visual,
                                    CWBackPixel | CWEventMask | CWColormap | CWCursor, &a);
    XSetWindowAttributes b{};
    b.background_pixmap = h->backgroundPattern;
    b.win_gravity = NorthWestGravity;
    b.colormap = colormap;
    b.cursor = h->cursor;
    h->innerWindow = XCreateWindow(d, h->middleWindow, -h->rect.x, -h->rect.y, std::max(1u, s->width),
                                   std::max(1u, s->height), 0, depth, InputOutput, visual,
                                   CWBackPixmap | CWWinGravity | CWColormap | CWCursor, &b);
    h->rootWindow = h->innerWindow;
    copyRootProperties(h);
    XMapWindow(d, h->innerWindow);
    XMapRaised(d, h->middleWindow);
    XMapWindow(d, h->outerWindow);
    logStep("Installing default colormap 0x%x on %s...", unsigned(colormap), xscreenHeadName(h));
    XInstallColormap(d, colormap);
    XWindowAttributes attributes;
    if (!core11GGetWindowAttributes(d, h->innerWindow, &attributes))
      error = strTempPrintf("Can't create root window on '%s' - Make sure the cursor font is available in the font path",
                            xscreenHeadName(h));
  });
  if (error) return error;
  // 4. The server time: a property change on the first head's outer window reports it.
  if (Head *first = xscreenList ? xscreenList->heads : nullptr; first && first->display) {
    Display *d = first->display;
    XSelectInput(d, first->outerWindow, PropertyChangeMask);
    Atom atom = XInternAtom(d, "_TARVO_TIME", False);
    XChangeProperty(d, first->outerWindow, atom, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent event;
    if (XWindowEvent(d, first->outerWindow, PropertyChangeMask, &event), event.type == PropertyNotify)
      proxyState.serverTime = uint32_t(event.xproperty.time);
    XSelectInput(d, first->outerWindow, NoEventMask);
  }
  // 5. The meta screens' roots in the proxy's window tree; 6. their visual properties.
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    if (!windowCreateRoot(++proxyXidCounter, s)) return OUT_OF_MEMORY_TEXT();
  }
  proxyState.pointerHead = xscreenList ? xscreenList->heads : nullptr;
  for (MetaScreen *s = xscreenList; s; s = s->next)
    for (Head *h = s->heads; h; h = h->next)
      if (h->display && (error = xvisualSetProperties(h->display, h->innerWindow, s->visuals, int(s->visualCount))))
        return error;
  // 7. The real pointer decides the pointer head (no grab can exist yet).
  bool pointerFound = false;
  if (mainServerDisplays && mainServerDisplays->display) {
    Display *d = mainServerDisplays->display;
    Window root = None, child = None;
    int rootX = 0, rootY = 0, x = 0, y = 0;
    unsigned mask = 0;
    if (XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rootX, &rootY, &x, &y, &mask)) {
      forEachHead([&](MetaScreen *, Head *h) {
        if (pointerFound || h->serverDisplay != mainServerDisplays || h->root != root) return;
        if (rootX >= h->logical.x && rootY >= h->logical.y && rootX < h->logical.x + int64_t(h->logical.width) &&
            rootY < h->logical.y + int64_t(h->logical.height)) {
          pointerFound = true;
          proxyState.pointerHead = h;
          proxyState.pointerX = int32_t(rootX - h->logical.x + h->rect.x);
          proxyState.pointerY = int32_t(rootY - h->logical.y + h->rect.y);
        }
      });
    }
  }
  // 8. Centres; the pointer goes to the first one when no head holds it.
  for (MetaScreen *s = xscreenList; s; s = s->next) {
    Head *h = s->heads;
    if (!h || !h->display) continue;
    int cx = int(h->logical.x + int64_t(h->visible.width ? h->visible.width : h->logical.width) / 2);
    int cy = int(h->logical.y + int64_t(h->visible.height ? h->visible.height : h->logical.height) / 2);
    if (!pointerFound) {
      XWarpPointer(h->display, None, h->root, 0, 0, 0, 0, cx, cy);
      proxyState.pointerHead = h;
      proxyState.pointerX = cx - h->logical.x + h->rect.x;
      proxyState.pointerY = cy - h->logical.y + h->rect.y;
      pointerFound = true;
    }
    if (cx >= 1 && cy >= 1) xdisplaySetCenterHint(h->display, h->root, cx, cy);
  }
  // 9. The focus of every head, the flush and the display name.
  forEachHead([&](MetaScreen *, Head *h) {
    if (!h->display) return;
    Window focus = proxyState.focusWindow == 1 ? PointerRoot
                   : proxyState.focusWindow == 0 ? None
                                                 : resourceServerId(proxyState.focusWindow, kResourceWindow, h);
    XSetInputFocus(h->display, focus, proxyState.focusRevertTo, CurrentTime);
  });
  for (ServerDisplay *d = mainServerDisplays; d; d = d->next)
    if (d->display) XFlush(d->display);
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  snprintf(proxyState.displayName, sizeof proxyState.displayName, "%s:%u", host, unsigned(xproxyDisplayNumber()));
  return nullptr;
}
// ===== end of visuals, id layout, default colormaps and root windows =====
