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
#include "proxy/window.h"
#include "proxy/windowplace.h"
#include "xclient/region.h"

// The round trip of the display connections (defined with them).
uint32_t xproxySendNoOpRequest(DisplayConnection *connection, NoOpReplyFn fn, uintptr_t argument,
                               NoOpReleaseFn release);

#define MAIN_OUT_OF_MEMORY() OUT_OF_MEMORY_TEXT_AT("Proxy/main")

int (*mainDrawableIsPixmap)(ClientConnection *client, uint32_t drawable);
MainNoOpSender mainNoOpSender = xproxySendNoOpRequest;

namespace {

// Blocks given back, linked by next, and how many; the number given to the last block taken.
// The pool keeps at most kDeferredPoolKeep blocks: a burst of blocks (a client far ahead of
// its round trips) gives the rest back to the allocator, not to a pool that lives for good.
DeferredOutput *freeBlocks;
uint32_t freeBlockCount;
uint32_t lastBlockNumber;
constexpr uint32_t kDeferredPoolKeep = 64;

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
    freeBlockCount--;
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
  if (freeBlockCount >= kDeferredPoolKeep) {
    free(block);
    return;
  }
  block->next = freeBlocks;
  freeBlocks = block;
  freeBlockCount++;
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
void mainArmDeferredOutput(ClientConnection *client, DeferredOutput *block) {
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
void mainFlushDeferredOutput(ClientConnection *client, DeferredOutput *block) {
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
    mainFlushDeferredOutput(client, first);
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
void mainAppendDeferredOutput(ClientConnection *client, DeferredOutput *block, const uint8_t *message,
                              uint32_t length, WireLayout layout, uintptr_t flag) {
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

// The blocks are kept in sequence order (insertBlock): the search from the newest ends at the
// first older block, so a client with many blocks waiting costs no walk over all of them.
DeferredOutput *findOrMakeBlock(ClientConnection *client, uint32_t sequence) {
  if (DeferredOutput *head = client->deferred) {
    DeferredOutput *block = head->prev;
    for (;;) {
      int diff = serialDiff(block->sequence, sequence);
      if (diff == 0) return block;
      if (diff < 0 || block == head) break;
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
      mainAppendDeferredOutput(client, block, message, length, layout, flag);
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

void mainWriteInSequence(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client,
                         uintptr_t flag) {
  if (!client || !client->transport || !message || length < 4) return;
  if (DeferredOutput *block = findOrMakeBlock(client, get16(message + 2)))
    mainAppendDeferredOutput(client, block, message, length, layout, flag);
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
  mainAppendDeferredOutput(client, block, message, 32, layout, 0);
}

DeferredOutput *mainInsertDeferredOutput(ClientConnection *client, uint32_t sequence) {
  if (!client) return nullptr;
  DeferredOutput *block = takeBlock(sequence);
  if (!block) return nullptr;
  insertBlock(client, block);
  mainArmDeferredOutput(client, block);
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
  freeBlockCount = 0;
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
  // The proxy's own connection is carried out while another client of the real server holds
  // it grabbed: the copies it makes for its clients on other heads never wait for that grab.
  params.openFlags = kXtargetOpenImpervious;
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
  int buttons = xrcPointerButtonCount(xlib, kXrcMouse);
  if (buttons < 0)
    return fail(kOpenHeadConnection, strTempPrintf("Display %s did not answer the pointer mapping", display->name));
  display->pointerButtonCount = uint16_t(buttons);
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
  xcoreForgetGlyphShapes();  // (drawn by this display, and its colours)
  xcoreForgetStaticColours();
  // The reader goes before its descriptor does (the loop's wait keeps descriptors registered).
  ordersCancel(display->readOrder);
  display->readOrder = nullptr;
  xtargetCloseDisplay(display->display);
  display->display = nullptr;
  display->markerWindow = 0;
  display->probeOut = display->probeBack = 0;
  display->bigRequestsAsked = 0;
  // Only an opening that reached the end was counted and has a reader.
  if (display->countedOpen) {
    display->countedOpen = 0;
    if (--openDisplayCount == 0) {
      ordersCancel(drainOrder);
      drainOrder = nullptr;
    }
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
    return refuse(kOpenHeadConfiguration, strTempPrintf("No screen #%d on %s", screen, withoutLocalHost(display->displayName)));
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

// ===== head geometry (helpers of the head-change log) =====
namespace {

constexpr uint32_t kHeadPointerBits = 0x3c030;  // offsets, absolute place, visible size

bool headHasWindows(const Head *h) { return h->outerWindow != 0; }

uint32_t visibleWidth(const Head *h) { return h->visible.width ? h->visible.width : h->rect.width; }
uint32_t visibleHeight(const Head *h) { return h->visible.height ? h->visible.height : h->rect.height; }

// Puts the pointer at a meta position: on the head of the meta screen showing it (else the
// nearest head with a Display; never `leaving`), clamped into that head, and warps the real
// pointer there. Grabs are not considered: this serves head changes only.
void repositionPointer(MetaScreen *screen, int32_t x, int32_t y, const Head *leaving) {
  Head *target = nullptr;
  int64_t best = INT64_MAX;
  for (Head *h = screen->heads; h; h = h->next) {
    if (!h->display || h == leaving) continue;
    Rect shown{h->rect.x, h->rect.y, visibleWidth(h), visibleHeight(h)};
    int64_t distance = rectDistance(shown, x, y);
    if (distance < best) best = distance, target = h;
  }
  if (!target) return;
  Rect shown{target->rect.x, target->rect.y, visibleWidth(target), visibleHeight(target)};
  rectClampPoint(&x, &y, shown);
  proxyState.pointerHead = target;
  proxyState.pointerX = x;
  proxyState.pointerY = y;
  int32_t realX = x, realY = y;
  mainRootToHeadXY(&realX, &realY, target);
  XWarpPointer(target->display, None, target->root, 0, 0, 0, 0, realX, realY);
  XFlush(target->display);
}

}  // namespace
// ===== end of head geometry (helpers of the head-change log) =====

// The head change is logged; once the heads have windows, a change that can move the pointer's
// head away from under it puts the pointer back on its meta screen. Then the meta screen's
// size follows its heads.
void mainLogHeadChange(Head *head, int kind, uint32_t mask) {
  const char *client = xscreenClientName(xproxyCurrentClient);
  const char *where = rectGeometryText(head->rect);
  if (kind == 1)
    logStep("%s created by %s (%s, %ux%u mm) ...", head->name, client, where, head->widthMM, head->heightMM);
  else if (kind == 2)
    logStep("%s removed by %s (%s) ...", head->name, client, where);
  else
    logStep("%s changed by %s (%s, mask 0x%x) ...", head->name, client, where, mask);
  // Before the windows exist (start-up) there is nothing to move the pointer onto: the root
  // windows' creation settles the pointer head.
  if (head != proxyState.pointerHead && headHasWindows(head) && (kind == 1 || kind == 2 || (mask & kHeadPointerBits))) {
    MetaScreen *screen = proxyState.pointerHead ? proxyState.pointerHead->metaScreen : head->metaScreen;
    if (screen) {
      logStep("Pointer repositioned to screen %d +%d+%d...", int(screen->index), int(proxyState.pointerX),
              int(proxyState.pointerY));
      proxyState.pointerHead = nullptr;
      // A removed head may still be listed: it is left out by hand; otherwise the pointer
      // tracking puts the pointer back (grabs and focus follow it).
      if (kind == 2)
        repositionPointer(screen, proxyState.pointerX, proxyState.pointerY, head);
      else
        mainPointerTrack(256, nullptr, screen, proxyState.pointerX, proxyState.pointerY, 0);
    }
  }
  if (head->metaScreen) xscreenRecomputeSize(head->metaScreen);
}

void mainUpdateHeadTransform(Head *head) {
  double x = head->metaScreen ? head->metaScreen->xMM : 0, y = head->metaScreen ? head->metaScreen->yMM : 0;
  head->pointerArea.wrapX = head->wrapX;
  head->pointerArea.wrapY = head->wrapY;
  xpointerSetHeadRect(&head->pointerArea, head->display, head->screen, x + xscreenHeadMmX(head),
                      y + xscreenHeadMmY(head), head->widthMM, head->heightMM);
}

// ===== end of real display and configured screens =====


// ===== Server id translation =====
namespace {

// The client bits of an id on the display (the bits outside the real resource-id mask).
uint32_t clientBitsOf(uint32_t id, const ServerDisplay *display) {
  return id & ~mainRealIdMask(display->display);
}

// Whether the id lies in the range of the proxy's own Xlib connection on the display.
bool isOwnXlibId(uint32_t id, const ServerDisplay *display) {
  // (private3 of the public view is the connection's resource base)
  return display->display && clientBitsOf(id, display) == uint32_t(reinterpret_cast<_XPrivDisplay>(display->display)->private3);
}

}  // namespace

uint32_t mainServerToProxyXid(uint32_t id, ServerDisplay *display) {
  if (id <= 1 || !display) return id;
  if (isOwnXlibId(id, display)) {
    Head *h = findHead([&](Head *x) {
      return x->serverDisplay == display && x->metaScreen &&
             (id == x->innerWindow || id == x->shadowColormap || id == x->outerWindow || id == x->middleWindow);
    });
    if (!h) return id;
    if (id == h->innerWindow) return h->metaScreen->root;
    if (id == h->shadowColormap) return h->metaScreen->defaultColormap;
    return 0;  // the outer and middle windows are nothing a client knows
  }
  if (Head *h = findHead([&](Head *x) { return x->serverDisplay == display && x->metaScreen && id == x->root; }))
    return h->metaScreen->root;
  if (Head *h = findHead(
          [&](Head *x) { return x->serverDisplay == display && x->metaScreen && id == x->defaultColormap; }))
    return h->metaScreen->defaultColormap;
  return resourceServerToClientId(id, display);
}

uint32_t mainHeadXidToProxy(uint32_t kind, uint32_t id, Head *head) {
  if (id <= 1 || !head) return id;
  MetaScreen *screen = head->metaScreen;
  if (kind == 4) {
    if (screen && head->visualMap)
      for (uint32_t i = 0; i < screen->visualCount; i++)
        if (head->visualMap[i] && head->visualMap[i]->visualId == id) return screen->visuals[i].visualId;
    return id;
  }
  if (screen && (id == head->root || id == head->innerWindow)) return screen->root;
  if (screen && (id == head->defaultColormap || (head->shadowColormap && id == head->shadowColormap)))
    return screen->defaultColormap;
  return mainServerToProxyXid(id, head->serverDisplay);
}

Head *mainHeadOfServerXid(uint32_t id, ServerDisplay *display) {
  if (!display || id <= 1) return nullptr;
  if (isOwnXlibId(id, display))
    return findHead([&](Head *x) {
      return x->serverDisplay == display && (id == x->innerWindow || id == x->outerWindow ||
                                              id == x->middleWindow || id == x->shadowColormap);
    });
  if (clientBitsOf(id, display) && display->display) {
    // An id the proxy gave a client's resource carries the head's number inside its display.
    uint32_t clientId = 0;
    if (!resourceServerToClientIdOf(id, display, &clientId)) return nullptr;
    uint32_t number = display->lowestBit < 32 ? (id & display->headBitsMask) >> display->lowestBit : 0;
    return findHead([&](Head *x) { return x->serverDisplay == display && x->displayNumber == number; });
  }
  return findHead([&](Head *x) { return x->serverDisplay == display && id == x->root; });
}
// ===== end of server id translation =====

// ===== head geometry =====
#include <cmath>

namespace {

// Result bits of a head change (see mainMoveResizeHead).
enum : uint32_t {
  kHeadChangeName = 0x1,
  kHeadChangeDirection = 0x4,
  kHeadChangeReference = 0x8,
  kHeadChangeOffsetX = 0x10,
  kHeadChangeOffsetY = 0x20,
  kHeadChangeFollowX = 0x40,
  kHeadChangeFollowY = 0x80,
  kHeadChangeFollowMode = 0x100,
  kHeadChangePhysicalX = 0x200,
  kHeadChangePhysicalY = 0x400,
  kHeadChangePhysicalWidth = 0x800,
  kHeadChangePhysicalHeight = 0x1000,
  kHeadChangeBorder = 0x2000,
  kHeadChangeAbsoluteX = 0x4000,
  kHeadChangeAbsoluteY = 0x8000,
  kHeadChangeVisibleWidth = 0x10000,
  kHeadChangeVisibleHeight = 0x20000,
  kHeadChangeTags = 0x80000,
  kHeadChangeKeyboardMap = 0x100000,
  kHeadChangeWrapX = 0x2000000,
  kHeadChangeWrapY = 0x4000000,
  kHeadChangeZoom = 0x10000000,
};
// What moves the head inside its meta screen, and what resizes it.
constexpr uint32_t kHeadMoved = kHeadChangeOffsetX | kHeadChangeOffsetY | kHeadChangeAbsoluteX | kHeadChangeAbsoluteY;
constexpr uint32_t kHeadResized = kHeadChangePhysicalX | kHeadChangePhysicalY | kHeadChangePhysicalWidth |
                                  kHeadChangePhysicalHeight | kHeadChangeBorder | kHeadChangeVisibleWidth |
                                  kHeadChangeVisibleHeight;
constexpr uint32_t kLastHeadDirection = 5;

int32_t saturate32(int64_t value) { return int32_t(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX)); }

// The client's first display connection, through which a client's head change reaches the
// real server in order with its other requests; NULL: through the proxy's Xlib connection.
DisplayConnection *changeConnection(ClientConnection *client) {
  return client && client->displayCount && client->displays ? client->displays[0] : nullptr;
}

// A ConfigureWindow of x, y (and width, height unless moveOnly) through the connection.
void configureThrough(DisplayConnection *connection, Window window, int32_t x, int32_t y, uint32_t width,
                      uint32_t height, bool moveOnly) {
  const uint32_t values[4] = {uint32_t(x), uint32_t(y), width, height};
  xprotoEncodeConfigureWindow(&connection->reader.sink, uint32_t(window), moveOnly ? 0x3 : 0xf, values);
}


// One axis of the head's part of its real screen (steps "physical x/width" and "physical
// y/height"): origin and size from the given values, bounded by the real screen.
struct AxisPart {
  int64_t origin, size;
};
AxisPart physicalAxis(int64_t origin, int64_t size, int64_t real, int64_t border, bool originGiven, int32_t givenOrigin,
                      bool sizeGiven, int32_t givenSize, bool borderGiven) {
  if (originGiven) {
    origin = givenOrigin;
    // At least one pixel of the part stays on the real screen, inside the border.
    int64_t low = borderGiven ? 0 : border, high = borderGiven ? real - 1 : real - border - 1;
    origin = std::min(std::max(origin, low), std::max(low, high));
  }
  if (sizeGiven) size = givenSize == 0 ? real - 2 * border : givenSize < 0 ? real - origin + givenSize : int64_t(givenSize);
  int64_t extra = borderGiven ? 0 : border;
  if (origin + size + extra > real) size = real - origin - extra;
  return AxisPart{origin, std::max<int64_t>(1, size)};
}

// The head whose client-side root window is id.
Head *headOfClientRoot(uint32_t id) { return findHead([&](Head *h) { return h->clientRoot == id; }); }

// The placement of one axis against the reference (axis 0: x). Directions before, after and
// level with the reference on that axis.
int64_t placedAgainst(const Head *head, const Head *reference, int axis, int32_t offset) {
  uint32_t d = head->direction;
  bool before = axis == 0 ? (d == kKorvanDirectionWest || d == kKorvanDirectionNorthWest || d == kKorvanDirectionSouthWest)
                          : (d == kKorvanDirectionNorth || d == kKorvanDirectionNorthWest || d == kKorvanDirectionNorthEast);
  bool after = axis == 0 ? (d == kKorvanDirectionEast || d == kKorvanDirectionNorthEast || d == kKorvanDirectionSouthEast)
                         : (d == kKorvanDirectionSouth || d == kKorvanDirectionSouthWest || d == kKorvanDirectionSouthEast);
  int64_t base = axis == 0 ? reference->rect.x : reference->rect.y;
  if (before) base -= axis == 0 ? visibleWidth(head) : visibleHeight(head);
  if (after) base += axis == 0 ? visibleWidth(reference) : visibleHeight(reference);
  return base + offset;
}

// A position inside a meta screen of fixed size on that axis: pulled into its extent.
int64_t clipToMetaScreen(const Head *head, int axis, int64_t position) {
  const MetaScreen *s = head->metaScreen;
  int32_t word = s ? (axis == 0 ? s->widthWord : s->heightWord) : 0;
  if (word <= 0) return position;  // the meta screen follows its heads
  int64_t size = axis == 0 ? visibleWidth(head) : visibleHeight(head);
  int64_t clipped = position;
  if (clipped + size > word) clipped = word - size;
  if (clipped < 0) clipped = 0;
  if (clipped != position) {
    if (axis == 0)
      logStep("Clipped logical x to %d...", int(clipped));
    else
      logStep("Clipped logical y to %d...", int(clipped));
  }
  return clipped;
}

// Tags of steps "tags": applied in order, each refusal ends the call.
const char *applyHeadTags(Head *head, uint32_t wanted, uint32_t *changed) {
  uint32_t current = mainHeadTags(head);
  MetaScreen *s = head->metaScreen;
  auto refuse = [&](const char *tag, const char *why) {
    return strTempPrintf("Can't change tag '%s' on %s: %s", tag, head->name, why);
  };
  if ((wanted & kHeadTagGlx) && !(current & kHeadTagGlx) && s) s->glxHead = head, *changed |= kHeadChangeTags;
  bool optimized = (wanted & kHeadTagOptimizedDraw) != 0;
  if (optimized != (head->optimizedDraw != 0)) {
    head->optimizedDraw = head->culling = optimized;
    if (optimized)
      xproxyCullingHeadCount++;
    else if (xproxyCullingHeadCount)
      xproxyCullingHeadCount--;
    *changed |= kHeadChangeTags;
  }
  if ((wanted & kHeadTagColor) && !(current & kHeadTagColor) && s) {
    if (!head->display) return refuse("color", "no X-server");
    if (headHasWindows(head)) return refuse("color", "not at runtime");
    s->primaryHead = head;
    *changed |= kHeadChangeTags;
  }
  bool staticDisplay = (wanted & kHeadTagStaticDisplay) != 0;
  if (staticDisplay != (head->staticDisplay != 0)) {
    if (headHasWindows(head)) return refuse("staticDisplay", "not at runtime");
    head->staticDisplay = staticDisplay;
    *changed |= kHeadChangeTags;
  }
  return nullptr;
}

}  // namespace

namespace {
const char *applyHeadChange(ClientConnection *client, Head *head, uint32_t mask, const ScreenConfig *values);
}  // namespace

// A refused change leaves the head, its meta screen's tagged heads and the culling count as
// they were before the call: the settings are applied in order, so a late refusal would
// otherwise leave the earlier ones (name, direction, placement) half applied.
const char *mainMoveResizeHead(ClientConnection *client, Head *head, uint32_t mask, const ScreenConfig *values) {
  if (!head || !values) return nullptr;
  Head saved = *head;
  MetaScreen *screen = head->metaScreen;
  Head *savedGlx = screen ? screen->glxHead : nullptr, *savedPrimary = screen ? screen->primaryHead : nullptr;
  uint32_t savedCulling = xproxyCullingHeadCount;
  const char *error = applyHeadChange(client, head, mask, values);
  if (error) {
    *head = saved;
    if (screen) screen->glxHead = savedGlx, screen->primaryHead = savedPrimary;
    xproxyCullingHeadCount = savedCulling;
  }
  return error;
}

namespace {
const char *applyHeadChange(ClientConnection *client, Head *head, uint32_t mask, const ScreenConfig *values) {
  uint32_t changed = 0;
  const char *name = head->name;
  // 1. Name.
  if ((mask & kHeadChangeName) && values->name && strncmp(head->name, values->name, sizeof head->name - 1) != 0) {
    snprintf(head->name, sizeof head->name, "%s", values->name);
    changed |= kHeadChangeName;
  }
  // 2. Direction; offsets not given count as 0 once a direction is set.
  bool placeX = (mask & kHeadChangeOffsetX) != 0, placeY = (mask & kHeadChangeOffsetY) != 0;
  if ((mask & kHeadChangeDirection) && head->direction != values->direction) {
    uint32_t direction = values->direction;
    if (direction > kLastHeadDirection) return strTempPrintf("Invalid direction %d for screen %s", int(direction), name);
    if (direction != 0 && !(mask & kHeadChangeReference))
      return strTempPrintf("Specified direction %d for screen %s but no relativeTo screen given", int(direction), name);
    head->direction = direction;
    if (direction == 0) head->reference = nullptr;
    placeX = placeY = true;
    changed |= kHeadChangeDirection;
  }
  int32_t offsetX = (mask & kHeadChangeOffsetX) ? values->offsetX : 0;
  int32_t offsetY = (mask & kHeadChangeOffsetY) ? values->offsetY : 0;
  // 3. Reference, by the client-side root id of its head.
  if ((mask & kHeadChangeReference) && head->direction != 0) {
    Head *reference = nullptr;
    if (values->referenceRoot == 0) {
      head->direction = 0;
    } else {
      reference = headOfClientRoot(values->referenceRoot);
      if (!reference) return strTempPrintf("Invalid relativeTo xid 0x%x for %s", values->referenceRoot, name);
      if (reference == head) return strTempPrintf("Cyclic relative positioning for %s", name);
    }
    if (reference != head->reference) changed |= kHeadChangeReference;
    head->reference = reference;
  }
  // 4. Border.
  bool borderGiven = (mask & kHeadChangeBorder) != 0;
  if (borderGiven && mainHeadBorderWidth(head, values->borderWidth)) changed |= kHeadChangeBorder;
  // 5, 6. The head's part of its real screen.
  for (int axis = 0; axis < 2; axis++) {
    uint32_t originBit = axis == 0 ? kHeadChangePhysicalX : kHeadChangePhysicalY;
    uint32_t sizeBit = axis == 0 ? kHeadChangePhysicalWidth : kHeadChangePhysicalHeight;
    if (!(mask & (originBit | sizeBit))) continue;
    int32_t &origin = axis == 0 ? head->logical.x : head->logical.y;
    uint32_t &size = axis == 0 ? head->logical.width : head->logical.height;
    AxisPart part = axis == 0 ? physicalAxis(origin, size, head->realWidth, head->border, mask & originBit,
                                             values->physicalX, mask & sizeBit, values->physicalWidth, borderGiven)
                              : physicalAxis(origin, size, head->realHeight, head->border, mask & originBit,
                                             values->physicalY, mask & sizeBit, values->physicalHeight, borderGiven);
    part.size = std::min<int64_t>(part.size, UINT32_MAX);
    if (part.origin == origin && uint32_t(part.size) == size) continue;
    if (head->staticDisplay && !xscreenNoClients())
      return strTempPrintf(axis == 0 ? "Can't move or resize screen %s: with tag StaticDisplay set"
                                     : "Can't move or resize screen '%s' with tag StaticDisplay set",
                           name);
    if (part.origin != origin) changed |= originBit;
    if (uint32_t(part.size) != size) {
      changed |= sizeBit | (axis == 0 ? kHeadChangeVisibleWidth : kHeadChangeVisibleHeight);
      (axis == 0 ? head->rect.width : head->rect.height) = uint32_t(part.size);
      (axis == 0 ? head->visible.width : head->visible.height) = uint32_t(part.size);
    }
    origin = saturate32(part.origin);
    size = uint32_t(part.size);
  }
  // 7, 8. The head's place inside its meta screen.
  for (int axis = 0; axis < 2; axis++) {
    uint32_t absoluteBit = axis == 0 ? kHeadChangeAbsoluteX : kHeadChangeAbsoluteY;
    uint32_t offsetBit = axis == 0 ? kHeadChangeOffsetX : kHeadChangeOffsetY;
    bool place = axis == 0 ? placeX : placeY;
    int64_t position;
    uint32_t bit;
    if (mask & absoluteBit) {
      position = axis == 0 ? values->absoluteX : values->absoluteY;
      bit = absoluteBit;
    } else if (place && head->direction != 0 && head->reference) {
      position = placedAgainst(head, head->reference, axis, axis == 0 ? offsetX : offsetY);
      bit = offsetBit;
    } else {
      continue;
    }
    position = saturate32(clipToMetaScreen(head, axis, position));
    int32_t &stored = axis == 0 ? head->rect.x : head->rect.y;
    if (stored != position) {
      stored = int32_t(position);
      (axis == 0 ? head->visible.x : head->visible.y) = int32_t(position);
      changed |= bit;
    }
  }
  // 9. Zoom.
  if ((mask & kHeadChangeZoom) && (head->zoomX != values->zoomX || head->zoomY != values->zoomY)) {
    if (head->metaScreen && !xscreenNoClients())
      return strTempPrintf("Can't change pointer scaling of %s at runtime", name);
    if (!(values->zoomX > 0) || !(values->zoomY > 0) || !std::isfinite(values->zoomX) || !std::isfinite(values->zoomY))
      return strTempPrintf("Invalid pointer scaling factor on %s", name);
    head->zoomX = values->zoomX;
    head->zoomY = values->zoomY;
    changed |= kHeadChangeZoom;
  }
  // 10. Wrapping.
  if ((mask & kHeadChangeWrapX) && head->wrapX != values->wrapX) head->wrapX = values->wrapX, changed |= kHeadChangeWrapX;
  if ((mask & kHeadChangeWrapY) && head->wrapY != values->wrapY) head->wrapY = values->wrapY, changed |= kHeadChangeWrapY;
  // 11. Tags.
  if (mask & kHeadChangeTags)
    if (const char *error = applyHeadTags(head, values->tags, &changed)) return error;
  // 12. Keyboard map of the head's display.
  if ((mask & kHeadChangeKeyboardMap) && head->serverDisplay) {
    ServerDisplay *display = head->serverDisplay;
    const char *file = values->keyboardMap ? values->keyboardMap : "";
    // A map is a file of the configuration directory named by its plain name: a path, or a
    // name that climbs out ("..."), is refused before anything changes.
    if (strchr(file, '/') || strncmp(file, "..", 2) == 0)
      return strTempPrintf("Invalid keyboard map '%s' for screen %s", file, name);
    char *copy = strdup(file);
    if (!copy) return MAIN_OUT_OF_MEMORY();
    free(display->keyboardMapFile);
    display->keyboardMapFile = copy;
    changed |= kHeadChangeKeyboardMap;
    if (*copy && xscreenNoClients())
      if (const char *error = applyKeyboardMap(display)) return error;
  }
  // 13. Pointer following.
  if ((mask & kHeadChangeFollowX) && head->followPointerX != values->followPointerX)
    head->followPointerX = values->followPointerX, changed |= kHeadChangeFollowX;
  if ((mask & kHeadChangeFollowY) && head->followPointerY != values->followPointerY)
    head->followPointerY = values->followPointerY, changed |= kHeadChangeFollowY;
  if (mask & kHeadChangeFollowMode) {
    uint16_t modifiers = uint16_t(values->followPointer & 0xff);
    uint8_t jump = (values->followPointer & kFollowPointerJump) ? 1 : 0;
    if (head->followPointerModifiers != modifiers || head->followPointerJump != jump) changed |= kHeadChangeFollowMode;
    head->followPointerModifiers = modifiers;
    head->followPointerJump = jump;
  }
  // 14. Completion.
  if (!(changed & (kHeadMoved | kHeadResized | kHeadChangeDirection | kHeadChangeReference))) {
    if (changed) mainLogHeadChange(head, 0, changed);
    return nullptr;
  }
  // The pointer's meta position is kept across the move when it is on this head's display.
  bool keepPointer = false;
  int32_t keptX = proxyState.pointerX, keptY = proxyState.pointerY;
  MetaScreen *keptScreen = nullptr;
  if (headHasWindows(head) && head->display && proxyState.pointerHead && proxyState.pointerHead->display == head->display) {
    int32_t x = 0, y = 0;
    Head *under = mainQueryPointerOnHead(head->display, proxyState.pointerHead, &x, &y);
    if (under) keepPointer = true, keptX = x, keptY = y, keptScreen = under->metaScreen;
  }
  if (headHasWindows(head) && head->display) {
    if (changed & kHeadMoved) mainMoveHeadWindows(head, client, 1);
    if (changed & kHeadResized) {
      int64_t border = head->border;
      int32_t outerX = saturate32(head->logical.x - border), outerY = saturate32(head->logical.y - border);
      uint32_t outerWidth = uint32_t(std::min<int64_t>(UINT32_MAX, head->logical.width + 2 * border));
      uint32_t outerHeight = uint32_t(std::min<int64_t>(UINT32_MAX, head->logical.height + 2 * border));
      uint32_t width = std::max(1u, head->logical.width), height = std::max(1u, head->logical.height);
      if (DisplayConnection *connection = changeConnection(client)) {
        configureThrough(connection, head->outerWindow, outerX, outerY, outerWidth, outerHeight, false);
        configureThrough(connection, head->middleWindow, int32_t(border), int32_t(border), width, height, false);
      } else {
        XMoveResizeWindow(head->display, head->outerWindow, outerX, outerY, outerWidth, outerHeight);
        XMoveResizeWindow(head->display, head->middleWindow, int(border), int(border), width, height);
      }
    }
    if (DisplayConnection *connection = changeConnection(client)) {
      mainFlushConnectionLogged(connection);
    } else {
      XFlush(head->display);
    }
    if (keepPointer && keptScreen == head->metaScreen && mainHeadAt(keptScreen, keptX, keptY) == head) {
      mainPointerTrack(256, client, keptScreen, keptX, keptY, 0);
      mainSyncClientLogged(client);
      int32_t x = 0, y = 0;
      if (Head *under = mainQueryPointerOnHead(head->display, proxyState.pointerHead ? proxyState.pointerHead : head, &x, &y))
        mainSetPointerHead(256, under, x, y, 0);
    }
  }
  // The shown parts of the meta screen changed: windows are kept on them.
  windowKeepVisible(head->metaScreen);
  mainUpdateHeadTransform(head);
  mainLogHeadChange(head, 0, changed);
  return nullptr;
}
}  // namespace

uint32_t mainHeadTags(const Head *head) {
  if (!head) return 0;
  uint32_t tags = 0;
  const MetaScreen *s = head->metaScreen;
  if (s && s->primaryHead == head) tags |= kHeadTagColor;
  if (s && s->glxHead == head) tags |= kHeadTagGlx;
  if (s && s == xscreenFirst() && s->heads == head) tags |= kHeadTagFirst | kHeadTagFirstToo;
  if (head->optimizedDraw) tags |= kHeadTagOptimizedDraw;
  if (head->staticDisplay) tags |= kHeadTagStaticDisplay;
  return tags;
}

void mainRootToHeadXY(int32_t *x, int32_t *y, const Head *head) {
  *x = saturate32(int64_t(*x) - head->rect.x + head->logical.x);
  *y = saturate32(int64_t(*y) - head->rect.y + head->logical.y);
}

void xproxyHeadToRootXY(int32_t *x, int32_t *y, const Head *head) {
  *x = saturate32(int64_t(*x) + head->rect.x - head->logical.x);
  *y = saturate32(int64_t(*y) + head->rect.y - head->logical.y);
}

Head *mainHeadAt(MetaScreen *metaScreen, int32_t x, int32_t y) {
  if (!metaScreen) return nullptr;
  for (Head *h = metaScreen->heads; h; h = h->next)
    if (int64_t(x) >= h->rect.x && int64_t(x) < int64_t(h->rect.x) + visibleWidth(h) && int64_t(y) >= h->rect.y &&
        int64_t(y) < int64_t(h->rect.y) + visibleHeight(h))
      return h;
  return nullptr;
}

uint32_t mainSetLastTime(uint32_t time) {
  // Serial comparison: a time up to 2^31 ms behind the stored one is older.
  if (time != 0 && (proxyState.serverTime == 0 || int32_t(time - proxyState.serverTime) >= 0))
    proxyState.serverTime = time;
  return time;
}
void mainMoveHeadWindows(Head *head, ClientConnection *client, int moveOnly) {
  if (head->innerWindow && head->display) {
    int64_t x = -int64_t(head->rect.x), y = -int64_t(head->rect.y);
    MetaScreen *screen = head->metaScreen;
    uint32_t width = screen ? std::max(1u, screen->width) : 1, height = screen ? std::max(1u, screen->height) : 1;
    if (DisplayConnection *connection = changeConnection(client)) {
      configureThrough(connection, head->innerWindow, saturate32(x), saturate32(y), width, height, moveOnly);
    } else if (moveOnly) {
      XMoveWindow(head->display, head->innerWindow, saturate32(x), saturate32(y));
    } else {
      XMoveResizeWindow(head->display, head->innerWindow, saturate32(x), saturate32(y), width, height);
    }
    // The copies of the windows move with the inner window: those the move takes out of the
    // real server's range, or back into it, are placed again.
    if (screen) windowPlaceCopies(static_cast<WindowRecord *>(resourceLookupWindow(screen->root)), head, client, 1);
  }
  mainUpdateHeadTransform(head);
}
// ===== end of head geometry =====
