// The common frame of extension requests, replies and errors.
#include "xext/extrequest.h"

#include <algorithm>

#include "proxy/main.h"
#include "proxy/streams.h"
#include "proxy/xcore.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproto.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xext/ext.h"

namespace {

constexpr uint8_t kBadLength = 16;

// The table each major's rows came from (a major holds one extension at a time; a reset
// gives the keys back to the defaults, which never look here).
ExtRequestTable tablesByMajor[256];

}  // namespace

void extWriteRows(ExtensionRecord *record, const ExtRequestTable &table) {
  uint8_t major = record->majorOpcode;
  if (major < 128) return;
  tablesByMajor[major] = table;
  for (size_t k = 0; k < table.count; k++) {
    const ExtRequestRow &row = table.rows[k];
    ReplyHandler reply = row.replyKind == ExtReplyKind::NoReply ? nullptr : extReply;
    extAddRequestRow(record, row.minor, extRequest, reply, row.name);
  }
}

const char *extInitSimple(ExtensionRecord *record, const char *name, const ExtRequestTable &table,
                          ExtensionRecord **slot, ExtensionReset reset) {
  if (const char *error = extRegister(record, name, 0, 0)) return error;
  extWriteRows(record, table);
  record->reset = reset;
  *slot = record;
  return nullptr;
}

const ExtRequestRow *extFindRow(uint8_t major, uint8_t minor) {
  const ExtRequestTable &table = tablesByMajor[major];
  for (size_t k = 0; k < table.count; k++)
    if (table.rows[k].minor == minor) return &table.rows[k];
  return nullptr;
}

void extRequest(uint8_t *request, uint32_t length) {
  // A length field of 0 without BIG-REQUESTS: the cutter hands over the bare header.
  if (length < 4) {
    xprotoSendError(kBadLength, length, request, 4, nullptr);
    return;
  }
  const ExtRequestRow *row = extFindRow(request[0], request[1]);
  if (!row) {
    xcoreUnsupportedRequest(request, length);
    return;
  }
  // The size comes before any swap: a list that is not whole items is refused as it came.
  if (row->itemSize && length >= row->length && (length - row->length) % row->itemSize != 0) {
    xprotoSendError(kBadLength, length, request, length, nullptr);
    return;
  }
  // A value list is one word per bit of its mask, the mask read as the client wrote it.
  if (row->maskAt && length >= row->length && row->maskAt + 4 <= row->length) {
    ClientConnection *client = xproxyCurrentClient;
    uint32_t mask = wireGet32(request + row->maskAt, client && client->reader.swapped);
    if (uint64_t(length) != uint64_t(row->length) + 4 * uint64_t(__builtin_popcount(mask))) {
      xprotoSendError(kBadLength, length, request, length, nullptr);
      return;
    }
  }
  // Exact rows are swapped over their fixed size only; variable rows over the whole request.
  XcoreRequestShape shape{row->requestLayout, row->length, row->itemSize ? XcoreShape::List : XcoreShape::Fixed, 0,
                          0};
  if (!xcoreFrameEnter(request, length, shape)) return;
  if (row->served != ExtServed::Forward) {
    if (row->handler) row->handler(request, length, nullptr);
    return;
  }
  uint8_t *copy = xcoreFrameForwardOnce(request, length);
  if (row->handler) row->handler(request, length, copy);
}

DisplayConnection *extEnterMessage(uint8_t *message) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  ClientConnection *client = xproxyCurrentClient;
  if (!connection || !client) return nullptr;
  xproxyMapReplySequence(connection, wireGet16(message + 2));
  wirePut16(message + 2, uint16_t(client->replySequence));
  return connection;
}

void extWriteReply(uint8_t *reply, uint32_t length, WireLayout layout) { xcoreFrameWriteReply(reply, length, layout); }

void extReply(uint8_t *reply, uint32_t length) {
  DisplayConnection *connection = xproxyCurrentDisplayConnection;
  uint32_t key = connection ? connection->replyKey : 0;
  const ExtRequestRow *row = extFindRow(uint8_t(key), uint8_t(key >> 8));
  if (!row || length < 32) {
    xcoreUnsupportedReply(reply, length);
    return;
  }
  switch (row->replyKind) {
    case ExtReplyKind::NoReply: xcoreUnexpectedReply(reply, length); return;
    case ExtReplyKind::Own:
      if (row->reply) row->reply(reply, length);
      return;
    case ExtReplyKind::Plain: break;
    case ExtReplyKind::Version: {
      // The client always sees the proxy's version, whatever the real server speaks.
      uint16_t version = proxyState.extensions[uint8_t(key)].version;
      wirePut16(reply + 8, uint16_t(version / 64));
      wirePut16(reply + 10, uint16_t(version % 64));
      break;
    }
    case ExtReplyKind::IdList: {
      // Only the ids that are there: the count may claim more than the reply holds.
      uint64_t present = (uint64_t(length) - 32) / 4;
      uint64_t count = std::min<uint64_t>(wireGet32(reply + 8), present);
      for (uint64_t k = 0; k < count; k++) {
        uint8_t *at = reply + 32 + 4 * k;
        wirePut32(at, mainServerToProxyXid(wireGet32(at), connection->display));
      }
      break;
    }
  }
  extWriteReply(reply, length, row->replyLayout);
}

void extSendLocalReply(const uint8_t *request, uint8_t *reply, uint32_t length, WireLayout layout) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  wirePut16(reply + 2, uint16_t(client->sequence));
  mainSendReply(request[0], request[1], reply, length, layout, client);
}

void extPrintError(uint8_t *error) {
  const char *name = proxyState.errorNames[error[1]];
  xcoreForwardIdError(error, name ? name : "extension error");
}
