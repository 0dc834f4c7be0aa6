// The SYNC extension. Every request goes once to the client's first display connection, with
// the counter and alarm ids it carries translated for the first head of the first meta screen;
// replies, events and errors bring the client's ids back.
#include "xext/sync.h"

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/extrequest.h"

namespace {

constexpr uint8_t kBadAlloc = 11;
constexpr uint32_t kConditionBytes = 28;  // an Await condition: counter, type, value, test, threshold
constexpr uint32_t kAlarmCounterBit = 1;  // CreateAlarm / ChangeAlarm: the counter is the first value

// Counters and alarms live on the first head of the first meta screen; their records name the
// first meta screen, so that the id translation keeps to that head.
MetaScreen *syncScreen() { return xscreenList; }
Head *syncHead() { return xscreenList ? xscreenList->heads : nullptr; }
uint32_t serverId(uint32_t id) { return resourceServerId(id, kResourceScreenResource, syncHead()); }
void translateAt(uint8_t *copy, const uint8_t *request, uint32_t offset) {
  wirePut32(copy + offset, serverId(wireGet32(request + offset)));
}

// ----- Requests ----------------------------------------------------------------------------

// SetCounter, ChangeCounter, QueryCounter, QueryAlarm, Set/GetPriority: the id at byte 4.
void idAt4(uint8_t *request, uint32_t, uint8_t *copy) {
  if (copy) translateAt(copy, request, 4);
}

// A new counter or alarm: the id must be new to the client; the record is made before the copy
// is written and taken back when the copy cannot be made. The copy, or NULL (answered).
uint8_t *forwardNew(uint8_t *request, uint32_t length) {
  uint32_t id = wireGet32(request + 4);
  if (!xcoreFrameNewId(id, request, length)) return nullptr;
  if (!resourceAdd(id, kResourceScreenResource, syncScreen())) {
    xprotoSendError(kBadAlloc, 0, request, length, nullptr);
    return nullptr;
  }
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (!copy) {
    resourceFree(id, 0);
    return nullptr;
  }
  translateAt(copy, request, 4);
  return copy;
}

void createCounter(uint8_t *request, uint32_t length, uint8_t *) { forwardNew(request, length); }

// The alarm's value list names its counter first (bit 0 of the mask): that id crosses
// translated too, when the list holds it.
void translateAlarmCounter(uint8_t *request, uint32_t length, uint8_t *copy) {
  if (length >= 16 && (wireGet32(request + 8) & kAlarmCounterBit)) translateAt(copy, request, 12);
}

void createAlarm(uint8_t *request, uint32_t length, uint8_t *) {
  if (uint8_t *copy = forwardNew(request, length)) translateAlarmCounter(request, length, copy);
}

void changeAlarm(uint8_t *request, uint32_t length, uint8_t *copy) {
  if (!copy) return;
  translateAt(copy, request, 4);
  translateAlarmCounter(request, length, copy);
}

// Await: every condition starts with its counter (the row admits whole conditions only).
void await(uint8_t *request, uint32_t length, uint8_t *copy) {
  if (!copy) return;
  for (uint32_t at = 4; at + kConditionBytes <= length; at += kConditionBytes) translateAt(copy, request, at);
}

// DestroyCounter and DestroyAlarm: the client's record goes with the object. Only a counter or
// alarm record: a window's id given here stays the window's (the server answers SyncBadCounter).
void destroyObject(uint8_t *request, uint32_t, uint8_t *copy) {
  if (!copy) return;
  uint32_t id = wireGet32(request + 4);
  translateAt(copy, request, 4);
  void *value = nullptr;
  if (resourceLookupIdType(id, &value) == kResourceScreenResource) resourceFree(id, 0);
}

// ----- Replies -----------------------------------------------------------------------------

ClientConnection *replyClient() {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  return connection ? connection->owner : nullptr;
}

void initializeReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uint16_t version = proxyState.extensions[uint8_t(connection->replyKey)].version;
  reply[8] = uint8_t(version / 64);
  reply[9] = uint8_t(version % 64);
  extWriteReply(reply, length, "bbsi");
}

// ListSystemCounters: entries of 14 bytes and the name, each padded to 4 bytes. For a client of
// the other byte order every entry's counter, resolution and name length are swapped here,
// walking by the name lengths as far as the reply holds whole entries.
void listSystemCountersReply(uint8_t *reply, uint32_t length) {
  ClientConnection *client = replyClient();
  if (client && client->reader.swapped) {
    uint64_t count = wireGet32(reply + 8);
    uint64_t at = 32;
    for (uint64_t k = 0; k < count && at + 14 <= length; k++) {
      uint8_t *entry = reply + at;
      uint64_t size = (14 + uint64_t(wireGet16(entry + 12)) + 3) & ~uint64_t(3);
      if (at + size > length) break;
      for (uint32_t word = 0; word < 12; word += 4) wirePut32(entry + word, __builtin_bswap32(wireGet32(entry + word)));
      wirePut16(entry + 12, __builtin_bswap16(wireGet16(entry + 12)));
      at += size;
    }
  }
  extWriteReply(reply, length, "bbsii");
}

// QueryAlarm: the counter in the client's id.
void queryAlarmReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  wirePut32(reply + 8, mainServerToProxyXid(wireGet32(reply + 8), connection->display));
  extWriteReply(reply, length, "bbsiiiiiiii");
}

// ----- Events ------------------------------------------------------------------------------

// CounterNotify and AlarmNotify: the client's sequence; unless another client sent it, the id
// at byte 4 in the client's terms and the time stamp recorded.
void syncEvent(uint8_t *event, WireLayout layout) {
  DisplayConnection *connection = extEnterMessage(event);
  if (!connection) return;
  if (!(event[0] & 0x80)) {
    wirePut32(event + 4, mainServerToProxyXid(wireGet32(event + 4), connection->display));
    mainSetLastTime(wireGet32(event + 24));
  }
  mainSendEventToClient(event, layout, 0);
}

void counterNotify(uint8_t *event) { syncEvent(event, "bbsiiiiiis"); }
void alarmNotify(uint8_t *event) { syncEvent(event, "bbsiiiiii"); }

constexpr ExtRequestRow kRows[] = {
    {0, "SyncInitialize", 8, 0, "bbs", ExtServed::Forward, nullptr, "bbsi", ExtReplyKind::Own, initializeReply},
    {1, "SyncListSystemCounters", 4, 0, "bbs", ExtServed::Forward, nullptr, "bbsii", ExtReplyKind::Own,
     listSystemCountersReply},
    {2, "SyncCreateCounter", 16, 0, "bbsiii", ExtServed::Local, createCounter, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {3, "SyncSetCounter", 16, 0, "bbsiii", ExtServed::Forward, idAt4, nullptr, ExtReplyKind::NoReply, nullptr},
    {4, "SyncChangeCounter", 16, 0, "bbsiii", ExtServed::Forward, idAt4, nullptr, ExtReplyKind::NoReply, nullptr},
    {5, "SyncQueryCounter", 8, 0, "bbsi", ExtServed::Forward, idAt4, "bbsiii", ExtReplyKind::Plain, nullptr},
    {6, "SyncDestroyCounter", 8, 0, "bbsi", ExtServed::Forward, destroyObject, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {7, "SyncAwait", 4, kConditionBytes, "bbsI", ExtServed::Forward, await, nullptr, ExtReplyKind::NoReply, nullptr},
    {8, "SyncCreateAlarm", 12, 4, "bbsI", ExtServed::Local, createAlarm, nullptr, ExtReplyKind::NoReply, nullptr},
    {9, "SyncChangeAlarm", 12, 4, "bbsI", ExtServed::Forward, changeAlarm, nullptr, ExtReplyKind::NoReply, nullptr},
    {10, "SyncQueryAlarm", 8, 0, "bbsi", ExtServed::Forward, idAt4, "bbsiiiiiiii", ExtReplyKind::Own,
     queryAlarmReply},
    {11, "SyncDestroyAlarm", 8, 0, "bbsi", ExtServed::Forward, destroyObject, nullptr, ExtReplyKind::NoReply,
     nullptr},
    {12, "SyncSetPriority", 12, 0, "bbsii", ExtServed::Forward, idAt4, nullptr, ExtReplyKind::NoReply, nullptr},
    {13, "SyncGetPriority", 8, 0, "bbsi", ExtServed::Forward, idAt4, "bbsii", ExtReplyKind::Plain, nullptr},
};

void syncReset() { proxyState.ext.sync = nullptr; }

}  // namespace

const char *syncSetup(ExtensionRecord *record) {
  if (const char *error = extRegister(record, "SYNC", 2, 2)) return error;
  extWriteRows(record, ExtRequestTable{kRows, sizeof kRows / sizeof kRows[0]});
  if (const char *error = extAddEventRow(record, counterNotify, "bbsiiiiiis")) return error;
  if (const char *error = extAddEventRow(record, alarmNotify, "bbsiiiiii")) return error;
  if (const char *error = extAddErrorRow(record, extPrintError, "SyncBadCounter")) return error;
  if (const char *error = extAddErrorRow(record, extPrintError, "SyncBadAlarm")) return error;
  record->reset = syncReset;
  proxyState.ext.sync = record;
  return nullptr;
}
