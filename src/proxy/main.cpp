// The real displays and the ordered output to clients.
#include "proxy/main.h"

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
