// How the proxy serves an extension's requests, replies and errors: each extension describes
// its minor opcodes in a constant table, and one routine writes the table's request rows,
// names and reply handlers. The common request handler then checks and swaps a request by its
// row and serves it (forwarded to the client's first display connection, or by the row's own
// handler); the common reply handler gives the client its sequence number, the proxy's version
// and its own ids.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/xproxy.h"

// How a request is served once it has passed the length check and the swap.
enum class ExtServed : uint8_t {
  Forward,  // copied to the client's first display connection (BadAlloc 0 when no room);
            // a row handler, when given, runs on the copy (NULL: no room, BadAlloc sent)
  PerHead,  // the row handler makes one copy per head
  Local,    // the row handler answers itself
};

// What the common reply handler does to a reply besides its sequence number.
enum class ExtReplyKind : uint8_t {
  NoReply,  // the request has no reply (xcoreUnexpectedReply)
  Plain,    // passed on unchanged
  Version,  // 16-bit major and minor at bytes 8 and 10 become the record's version
  IdList,   // a count at byte 8 and ids from byte 32, mapped back to the client's view
  Own,      // the row's reply handler
};

// A row handler after the frame. For Forward rows, copy is the request's copy in the display
// connection's output (NULL when it could not be made); otherwise copy is NULL.
using ExtRowHandler = void (*)(uint8_t *request, uint32_t length, uint8_t *copy);

struct ExtRequestRow {
  uint8_t minor;
  const char *name;
  uint32_t length;    // the exact length, or the minimum when itemSize is not 0
  uint32_t itemSize;  // 0: exactly `length` bytes; else length + n * itemSize bytes
  WireLayout requestLayout;
  ExtServed served;
  ExtRowHandler handler;
  WireLayout replyLayout;  // NULL when the request has no reply
  ExtReplyKind replyKind;
  ReplyHandler reply;  // ExtReplyKind::Own only
  // Not 0: the offset of a 32-bit value mask in the fixed part; the request is then exactly
  // `length` + 4 bytes per bit of the mask, checked in the client's order before any swap.
  uint32_t maskAt = 0;
};

// The rows of one extension, in minor order.
struct ExtRequestTable {
  const ExtRequestRow *rows;
  size_t count;
};

// Writes every row of the table under the record's major: the common request handler, the
// common reply handler (xcoreUnexpectedReply for rows without a reply) and the name. Minors
// the table does not list keep the defaults.
void extWriteRows(ExtensionRecord *record, const ExtRequestTable &table);
// The init of an extension that keeps only its record: registers it without events and
// errors, writes the rows, stores the reset and the record in its slot. NULL or extRegister's
// text.
const char *extInitSimple(ExtensionRecord *record, const char *name, const ExtRequestTable &table,
                          ExtensionRecord **slot, ExtensionReset reset);

// The row of a request key written by extWriteRows (NULL when none).
const ExtRequestRow *extFindRow(uint8_t major, uint8_t minor);

// The common handlers written by extWriteRows.
void extRequest(uint8_t *request, uint32_t length);
void extReply(uint8_t *reply, uint32_t length);

// The reply steps for row handlers of kind Own: the client's sequence number, and the reply
// written with its layout.
void extWriteReply(uint8_t *reply, uint32_t length, WireLayout layout);
// A reply built locally for the current client (32 bytes and more; byte 0, length word and
// sequence are filled in).
void extSendLocalReply(const uint8_t *request, uint8_t *reply, uint32_t length, WireLayout layout);

// The first step of an extension's event or error handler: the real server's sequence number
// is mapped back and the current client's put in (bytes 2-3). The display connection the
// message came on, or NULL when there is no connection or client to hand it to.
DisplayConnection *extEnterMessage(uint8_t *message);

// The error printer for an extension's errors from the real server: the client's sequence,
// the bad value mapped back to the client's view, a log line with the error's name, and the
// error queued for the client.
void extPrintError(uint8_t *error);
