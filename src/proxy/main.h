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

// ----- Ordered output to clients --------------------------------------------------------------
// One message held back in a block; the bytes follow the header in the same allocation.
struct DeferredMessage {
  DeferredMessage *next;  // the head's prev is the tail
  DeferredMessage *prev;
  uint32_t length;
  WireLayout layout;
  uintptr_t flag;         // Expose/GraphicsExpose: owned Region* or 0; Enter/LeaveNotify: 0x80000000 = deliver
  uint8_t *data() { return reinterpret_cast<uint8_t *>(this + 1); }
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

// ===== Real-display list and head refresh ===================================================
// Refreshes the heads through Xlib after a sync (the real-display code fills it in).
void mainRefreshHeads();
// ===== end of real-display list and head refresh ============================================
