// Cutting the protocol streams: a client's connection setup and requests, a real server's setup
// reply, replies, events and errors; and the X errors sent to the current client.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"
#include "support/buffer.h"

// ===== Request cutting and server input =====================================================

// Client input. Called with the current client set; consumes every byte it has handled and
// leaves an incomplete unit (or a refused big request still arriving) in place. NULL keeps
// the client; a text closes it with that reason. Every request counts in the client's
// sequence number before its handler runs. A completed setup returns at once: the requests
// behind it wait until the real servers have answered it.
const char *xprotoProcessInput(ProtocolReader *reader, Buffer *input);

// Server input: cuts the connection's input into the setup reply, replies, events and errors
// and calls their handlers (called with the connection and its owner current). A unit that no
// input can hold closes the owner as a broken connection.
void xprotoProcessServerInput(DisplayConnection *connection);

// The authorization and host-access check of a connection setup; tests replace it.
using XprotoAccessCheck = const char *(*)(ClientConnection *client, uint16_t nameLength, const char *name,
                                          uint16_t dataLength, const uint8_t *data);
extern XprotoAccessCheck xprotoAccessCheck;
// The handler of the real server's setup reply; tests replace it.
extern ReplyHandler xprotoSetupReplyHandler;
// Until the setup replies are translated: the connection takes id base and mask, the owner's
// count of pending setups falls, and with the last one the owner is set up.
void xcoreServerSetupReply(uint8_t *reply, uint32_t length);

// X errors to the current client under its current sequence number.
void xprotoSendError(uint8_t code, uint32_t badValue, const uint8_t *request, uint32_t requestLength,
                     const char *detail);
// The same with the extension's first error code (by the request's major opcode) + number.
void xprotoSendExtensionError(uint8_t number, uint32_t badValue, const uint8_t *request, uint32_t requestLength,
                              const char *detail);
// ===== end of request cutting and server input ==============================================
