// The frame every core request handler shares, as operations that the handlers call in this
// order: entry (swap and length checks), resolution of the main id, then the request served
// once, once per head, or locally; and the steps of a reply on its way back to the client.
// Each check answers the client itself and returns 0 when the request stops there.
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"

struct Head;

// The shape of a request, for the swap and the length check.
enum class XcoreShape : uint8_t {
  Fixed,      // exactly fixedLength bytes
  ValueList,  // fixedLength + 4 bytes per bit of the 32-bit mask at maskOffset (or 16-bit)
  List,       // at least fixedLength bytes; the list is whatever follows, in whole words
};
struct XcoreRequestShape {
  WireLayout layout;     // the request's layout for a client of the other byte order
  uint32_t fixedLength;  // bytes of the fixed part, header included
  XcoreShape shape;
  uint8_t maskOffset;    // ValueList: where the value mask lies
  uint8_t maskBytes;     // ValueList: 2 or 4
};

// Entry: swaps the request for a client of the other byte order, never past min(fixed length,
// bytes received) for a fixed-length request, and checks the length. BadLength (bad value:
// the received length) and 0 on a mismatch; 1 to go on. (The cutter has already counted the
// request in the client's sequence number.)
int xcoreFrameEnter(uint8_t *request, uint32_t length, const XcoreRequestShape &shape);

// The kinds a main id may be; a mask of bits (1 << resource type).
constexpr uint32_t kXcoreWantWindow = 1u << 1 | 1u << 9;  // client windows and meta roots
constexpr uint32_t kXcoreWantPixmap = 1u << 2;
constexpr uint32_t kXcoreWantGC = 1u << 3;
constexpr uint32_t kXcoreWantColormap = 1u << 5;
constexpr uint32_t kXcoreWantCursor = 1u << 6;
constexpr uint32_t kXcoreWantFont = 1u << 7;
constexpr uint32_t kXcoreWantDrawable = kXcoreWantWindow | kXcoreWantPixmap;
// Resolves the main id (sets the client's cached resource and current meta screen) and checks
// its kind; the error code (BadWindow, BadDrawable ...) with the id as bad value and 0 when it
// does not fit.
int xcoreFrameResolve(uint32_t id, uint32_t wanted, uint8_t errorCode, const uint8_t *request, uint32_t length);
// A new id: BadIDChoice and 0 when the client may not create it.
int xcoreFrameNewId(uint32_t id, const uint8_t *request, uint32_t length);

// Forwarded once: the copy on the client's first display connection (the request's own bytes,
// the client's order already undone), NULL with BadAlloc 0 sent when it cannot be made; the
// caller patches the ids in the copy for the chosen head.
uint8_t *xcoreFrameForwardOnce(const uint8_t *request, uint32_t length);
// Which head a forwarded request's ids are patched for.
enum class XcoreHeadChoice : uint8_t { FirstOfResource, FontHead, Primary, Pointer };
Head *xcoreFrameChooseHead(XcoreHeadChoice choice);

// Per head: builds one copy for each head of the client's current meta screen, in head order.
// The builder writes the copy (through the connection's request sink or xproxySendRequest)
// and returns 0 when it could not. With a new id, a tag-255 callback follows each copy so that
// an error of that copy destroys the id on every head. On a failed copy: BadAlloc with bad
// value 0, and 0 (the earlier heads' copies stay written).
using XcoreCopyBuilder = int (*)(Head *head, DisplayConnection *connection, const uint8_t *request,
                                 uint32_t length, void *argument);
int xcoreFramePerHead(const uint8_t *request, uint32_t length, uint32_t newId, XcoreCopyBuilder build,
                      void *argument);
// The copy of the request on a head with the 32-bit words at the given offsets translated as
// resources of the given kinds (pairs of offset and kind, kind 0 ending the list).
struct XcoreIdField {
  uint8_t offset;
  uint8_t kind;  // resourceServerId kind; 0 ends the list
};
uint8_t *xcoreFrameCopyForHead(const uint8_t *request, uint32_t length, DisplayConnection *connection, Head *head,
                               const XcoreIdField *fields);
// The copy builder of xcoreFramePerHead for requests whose only per-head change is their ids:
// argument is the request's XcoreIdField list.
int xcoreFramePlainCopy(Head *head, DisplayConnection *connection, const uint8_t *request, uint32_t length,
                        void *fields);
// Skips a head that culling leaves out: while culling heads exist, a flagged head whose area
// the client's request region misses.
int xcoreFrameHeadCulled(const Head *head);

// Reply steps: the client's sequence into the reply and the reply written with its layout
// (swapped for a client of the other byte order, in protocol order).
void xcoreFrameReplySequence(uint8_t *reply);
void xcoreFrameWriteReply(uint8_t *reply, uint32_t length, WireLayout layout);
// The real server's window id at the offset of the reply mapped back to the client's id (the
// head's own root window to the meta root, the proxy's auxiliary windows to None).
void xcoreFrameMapWindowBack(uint8_t *reply, uint32_t offset);
// An X error in place of a reply the proxy could not give, at the reply's sequence number, for
// the request of the given major opcode. Nothing without a client.
void xcoreFrameReplyError(ClientConnection *client, uint8_t major, uint8_t code, uint32_t badValue);

// A request without effect: a line on the Xhint channel (format with the request's label and
// the client's name), nothing to the server and nothing to the client.
void xcoreFrameRefuse(const char *format, const uint8_t *request);
constexpr const char *kXcoreNoEffectRoot = "No effect for root window in %s by %s";
constexpr const char *kXcoreNoEffect = "No effect in %s by %s";
constexpr const char *kXcoreNoEffectDefaultColormap = "No effect for default colormap in %s by %s";

// Whether a workaround bit of the configuration is set (kWorkaroundActiveDrawInWindow,
// kWorkaroundForgetBitGravity, kWorkaroundRefreshBitGravity, kWorkaroundFixPointerCoordinates:
// proxy/korvanparser.h).
int xcoreWorkaround(uint32_t bit);

// ===== forwarded queries =====
// The source named in the problem line of a reply whose record is missing.
constexpr const char *kXcoreSource = "Proxy/xcore";
// The client's first display connection (NULL without one).
DisplayConnection *xcoreFrameConnection();
// The first head of the meta screen an id belongs to (the first meta screen's for an unknown
// id); NULL without meta screens.
Head *xcoreFrameFirstHeadOf(uint32_t id);
// BadLength (bad value: the received length) and 0 unless the request is exactly `expected`
// bytes long; 1 to go on. For requests whose length follows from a count inside them.
int xcoreFrameCheckLength(const uint8_t *request, uint32_t length, uint64_t expected);
// Forwarded once to a head: the copy on the client's first display connection with the ids
// at the given fields translated for the head (NULL fields: unchanged). NULL with BadAlloc 0
// sent when the copy cannot be made.
uint8_t *xcoreFrameForwardToHead(const uint8_t *request, uint32_t length, Head *head, const XcoreIdField *fields);
// Queues a record (malloc'ed) for the reply of the request just written, under the tag; the
// record is freed when no reply comes. 0 (record freed) without a connection.
int xcoreFramePushRecord(uint8_t tag, void *record);
// The discard work of such records.
void xcoreFrameFreeRecord(uintptr_t record);
// ===== end of forwarded queries =====
