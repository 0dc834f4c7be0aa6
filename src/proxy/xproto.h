// The X protocol streams of the proxy: cutting what clients send into requests, cutting what
// the real servers send into replies, events and errors, and the names and helpers around them.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"
#include "support/buffer.h"

// ===== Request cutting, names and server input ==============================================

// Client input. Called with the current client set; consumes every byte it has handled and
// leaves an incomplete unit (or a refused big request still arriving) in place. NULL keeps
// the client; a text closes it with that reason. Every request counts in the client's
// sequence number before its handler runs.
const char *xprotoProcessInput(ProtocolReader *reader, Buffer *input);
// Stops cutting after the running handler; the first reason given holds (NULL: a pause).
void xprotoCloseWithReason(ProtocolReader *reader, const char *reason);
// The BIG-REQUESTS length in bytes (at least 8) of a request whose length field is 0; 0 when
// fewer than 8 bytes are there or the request runs past `available`.
uint64_t xprotoBigRequestLength(const uint8_t *request, uint32_t available, int swapped);
// The largest big request accepted, in bytes (the real-display code lowers it).
extern uint64_t xprotoBigRequestMaximum;
// How long a peer may take to complete its connection setup.
extern uint64_t xprotoSetupTimeoutMs;
// "Access granted" lines on the note channel.
extern int xprotoTraceAuthorization;
// X errors on the Xerror channel.
extern int xprotoLogXErrors;

// Names for log lines.
const char *xprotoRequestName(unsigned major, unsigned minor);
// "%s%s #%u": "big " for a length field of 0, the name, the current client's sequence; one
// static buffer.
const char *xprotoRequestLabel(const uint8_t *request);
const char *xprotoErrorName(uint8_t code);
// Logs an X error sent to the current client (when X-error logging is on) and counts it.
void xprotoLogXError(const uint8_t *error, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Bytes of an image: lines padded to the scanline pad (bits); 0 for a pad of 0.
uint64_t xprotoImageBytes(uint32_t width, uint32_t height, int format, uint32_t depth, uint32_t planeMask,
                          uint32_t bitsPerPixel, uint32_t scanlinePad);
uint32_t xprotoReadCard32MSB(const uint8_t *p);
void xprotoWriteCard32MSB(uint8_t *p, uint32_t value);

// X errors to the current client under its current sequence number.
void xprotoSendError(uint8_t code, uint32_t badValue, const uint8_t *request, uint32_t requestLength,
                     const char *detail);
// The same with the extension's first error code (by the request's major opcode) + number.
void xprotoSendExtensionError(uint8_t number, uint32_t badValue, const uint8_t *request, uint32_t requestLength,
                              const char *detail);

// Server input: cuts the connection's input into the setup reply, replies, events and errors
// and calls their handlers (called with the connection and its owner current).
void xprotoProcessServerInput(DisplayConnection *connection);
// The handler of the real server's setup reply; tests replace it.
extern ReplyHandler xprotoSetupReplyHandler;
// Signed distance a - b of two 16-bit sequence numbers across the wrap.
int xprotoSeqDiff(uint16_t a, uint16_t b);
// Walks the 32-byte units of `data` (replies and GenericEvents by their length, read in the
// other byte order when swapped). 1 with the first reply (FindEvent) or error (FindError) of
// that sequence in *unit/*unitLength; else 0 with *unit at the first byte not walked.
int xprotoFindEvent(uint16_t sequence, const uint8_t *data, uint64_t length, int swapped, const uint8_t **unit,
                    uint64_t *unitLength);
int xprotoFindError(uint16_t sequence, const uint8_t *data, uint64_t length, int swapped, const uint8_t **unit,
                    uint64_t *unitLength);
// The length of the unit at `unit` (32, or 32 + 4n for a reply or GenericEvent).
uint64_t xprotoUnitLength(const uint8_t *unit, int swapped);

// ===== end of request cutting, names and server input =======================================
