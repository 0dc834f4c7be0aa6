// Helpers of the X protocol streams (reader state, names, the X error log, image sizes, the
// search of server input by sequence number) and the encoders of the proxy's own requests.
// The cutters themselves are in proxy/streams.h.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"

// ===== Protocol helpers: reader state, names, X error log, sizes, sequence search =====

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

// ===== end of protocol helpers =====

// ===== Request encoders =====
#include <X11/Xlib.h>

#include <cstdint>

#include "proxy/clientconnection.h"

// Core requests that the proxy writes itself into a display connection through its request
// sink. Each reserves its request through the sink and fills the body; when the sink gives no
// room the encoder writes nothing and returns 0, else 1. Value lists come from Xlib's attribute
// records, one 32-bit value per set mask bit in wire order.

// The GC values of mask (bits 0..22) in wire order: arc mode (bit 22) last, dashes as a
// sign-extended byte. Writes popcount(mask) words to out; returns their number.
uint32_t xprotoGCValueList(uint32_t mask, const XGCValues *values, uint32_t *out);
// The window attribute values of mask (bits 0..14) in wire order; returns their number.
uint32_t xprotoWindowValueList(uint32_t mask, const XSetWindowAttributes *attributes, uint32_t *out);

// The most image data bytes one PutImage chunk carries.
constexpr uint32_t kPutImageChunkBytes = 262116;

int xprotoEncodeCreateWindow(const RequestSink *sink, uint32_t window, uint32_t parent, int16_t x, int16_t y,
                             uint16_t width, uint16_t height, uint16_t borderWidth, uint8_t depth, uint16_t windowClass,
                             uint32_t visual, uint32_t mask, const XSetWindowAttributes *attributes);
int xprotoEncodeChangeWindowAttributes(const RequestSink *sink, uint32_t window, uint32_t mask,
                                       const XSetWindowAttributes *attributes);
int xprotoEncodeSetEventMask(const RequestSink *sink, uint32_t window, uint32_t eventMask);
int xprotoEncodeDestroyWindow(const RequestSink *sink, uint32_t window);
int xprotoEncodeMapWindow(const RequestSink *sink, uint32_t window);
// values: one 32-bit value per set bit of the 16-bit mask, in mask order.
int xprotoEncodeConfigureWindow(const RequestSink *sink, uint32_t window, uint16_t mask, const uint32_t *values);
int xprotoEncodeResizeWindow(const RequestSink *sink, uint32_t window, uint32_t width, uint32_t height);
int xprotoEncodeAllowEvents(const RequestSink *sink, uint8_t mode, uint32_t time);
int xprotoEncodeUngrabServer(const RequestSink *sink);
int xprotoEncodeCreatePixmap(const RequestSink *sink, uint32_t pixmap, uint32_t drawable, uint16_t width,
                             uint16_t height, uint8_t depth);
int xprotoEncodeFreePixmap(const RequestSink *sink, uint32_t pixmap);
int xprotoEncodeCreateGC(const RequestSink *sink, uint32_t gc, uint32_t drawable, uint32_t mask,
                         const XGCValues *values);
int xprotoEncodeFreeGC(const RequestSink *sink, uint32_t gc);
int xprotoEncodeCopyArea(const RequestSink *sink, uint32_t source, uint32_t destination, uint32_t gc, int16_t sourceX,
                         int16_t sourceY, uint16_t width, uint16_t height, int16_t destinationX, int16_t destinationY);
// Cut into requests of at most kPutImageChunkBytes data bytes (at least one row each); height 0
// writes nothing and succeeds. 0 when a chunk could not be reserved (the chunks before it stay).
int xprotoEncodePutImage(const RequestSink *sink, uint32_t drawable, uint32_t gc, const XImage *image, int16_t x,
                         int16_t y);
int xprotoEncodeCreateColormap(const RequestSink *sink, uint32_t colormap, uint32_t window, uint32_t visual,
                               uint8_t alloc);
int xprotoEncodeFreeColormap(const RequestSink *sink, uint32_t colormap);
int xprotoEncodeCreateCursor(const RequestSink *sink, uint32_t cursor, uint32_t source, uint32_t mask, uint16_t x,
                             uint16_t y, uint16_t foreRed, uint16_t foreGreen, uint16_t foreBlue, uint16_t backRed,
                             uint16_t backGreen, uint16_t backBlue);
int xprotoEncodeFreeCursor(const RequestSink *sink, uint32_t cursor);
// ===== end of request encoders =====
