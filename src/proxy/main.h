// The real displays and the ordered output to clients.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"

struct Head;
struct Region;

// One real X display opened through Xlib; lives for the whole run, its Xlib connection is
// closed at each reset and opened again after it.
struct ServerDisplay {
  ServerDisplay *next;  // the first one is the main display
  uint32_t index;       // position in the real-display list (indexes per-display arrays)
  char *name;           // the configured display name (malloc'ed)
  Display *display;     // the Xlib connection; NULL while closed
  Head *firstHead;
  uint32_t headCount;
  uint8_t bigRequestsAsked;  // BIG-REQUESTS looked up on this opening of the Xlib connection
  uint8_t bigRequestsMajor;  // its major opcode; 0: the server has none
};

// The real-display list (first = main display) and its count.
extern ServerDisplay *mainServerDisplays;
extern uint32_t mainServerDisplayCount;

// The ids the proxy hands itself in client 0's id space (emulated visual ids among them):
// incremented before each use; 31 at start-up.
extern uint32_t proxyXidCounter;

// ----- Ordered output to clients --------------------------------------------------------------
// One message held back in a block; the bytes follow the header in the same allocation.
struct DeferredMessage {
  DeferredMessage *next;  // the head's prev is the tail
  DeferredMessage *prev;
  uint32_t length;
  WireLayout layout;
  uintptr_t flag;         // Expose/GraphicsExpose: owned Region* or 0; Enter/LeaveNotify: 0x80000000 = deliver
  uint8_t *data() { return reinterpret_cast<uint8_t *>(this + 1); }
  const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(this + 1); }
};

constexpr uint32_t kDeferredMaxDisplays = 64;
// The output of one client sequence number held back until a round trip on every real display.
struct DeferredOutput {
  DeferredOutput *next;   // client's block list, in client sequence order; head's prev is the tail
  DeferredOutput *prev;
  uint32_t sequence;      // compared as 16 bits
  uint8_t errorSeen;
  uint8_t waitCounter;
  uint32_t blockNumber;
  DeferredMessage *structureEvents;
  DeferredMessage *visibilityEvents;
  DeferredMessage *exposures;
  DeferredMessage *others;
  uint16_t roundTrip[kDeferredMaxDisplays];  // NoOp sequence per real display index
};

// ===== Real-display list and head refresh ============================================
// Refreshes the heads through Xlib after a sync (the real-display code fills it in).
void mainRefreshHeads();
// ===== end of real-display list and head refresh ============================================
// ===== Writers of the ordered output =====
// Every message is given in the proxy's byte order with its wire layout; the writer swaps the
// copy for a client of the other order. Nothing is written for a client whose socket is gone.

// A reply, event or error for the current client at its reply sequence: held back behind any
// older output still outstanding, else written at once.
void mainWriteToClient(const uint8_t *data, uint32_t length, WireLayout layout);
// A reply the proxy built itself: byte 0 becomes 1 and the length word (length - 32) / 4; then
// as mainWriteInSequence. The opcodes are not used.
void mainSendReply(uint8_t major, uint8_t minor, uint8_t *reply, uint32_t length, WireLayout layout,
                   ClientConnection *client);
// A reply or event (32 bytes, more for a GenericEvent) for a given client, at its sequence.
void mainSendToClient(const uint8_t *message, WireLayout layout, ClientConnection *client);
// An event for the current client; the flag goes with it when it must wait (see DeferredMessage).
void mainSendEventToClient(const uint8_t *event, WireLayout layout, uintptr_t flag);
// A 32-byte message (an X error of a real server) into the current client's block of its reply
// sequence, the block made when missing.
void mainQueueEventForClient(const uint8_t *message, WireLayout layout);
// Appends the message to the client's block of the message's own sequence (bytes 2-3), made and
// armed when missing: the message waits for a round trip on every real display.
void mainWriteInSequence(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client);
// Takes a block for the sequence, inserts it in order and arms it; NULL when out of memory.
DeferredOutput *mainInsertDeferredOutput(ClientConnection *client, uint32_t sequence);
// Frees every block of a closing client with its messages and their regions.
void mainFreeDeferredOutputs(ClientConnection *client);
// The round trips' reply function: counts the block down and, at zero, writes it and every
// older block.
void mainReleaseDeferredOutput(uint8_t *reply, uintptr_t blockNumber);
// Frees the pool of recycled blocks (at reset and when a real display closes).
void mainFreeDeferredPool();
// Until resource records exist: tells whether a drawable id names a pixmap (NULL: every
// drawable of a GraphicsExpose without region counts as a pixmap and is written as it stands).
extern int (*mainDrawableIsPixmap)(ClientConnection *client, uint32_t drawable);
// Sends the round trips of a block (xproxySendNoOpRequest unless a test replaces it); returns
// the NoOp's sequence, 0 when it could not be written.
using MainNoOpSender = uint32_t (*)(DisplayConnection *connection, NoOpReplyFn fn, uintptr_t argument,
                                    NoOpReleaseFn release);
extern MainNoOpSender mainNoOpSender;
// ===== end of writers of the ordered output =====
