// Passive grabs: the button and key grabs a client has set up (GrabButton, GrabKey), kept in
// the client's list.
#pragma once

#include <cstdint>

struct ClientConnection;
struct CursorRecord;

// The cursor field's marker of a key grab (no cursor reference).
#define kPassiveGrabKeyMarker (reinterpret_cast<CursorRecord *>(uintptr_t(1)))

struct PassiveGrab {
  PassiveGrab *next;      // the client's list, appended at the tail
  PassiveGrab *previous;  // the first entry's previous is the last
  uint32_t window;
  uint32_t confineTo;
  CursorRecord *cursor;   // a reference held, NULL, or the key marker
  uint16_t eventMask;
  uint16_t modifiers;
  uint8_t ownerEvents;
  uint8_t detail;         // button or key
  uint8_t pointerMode;
  uint8_t keyboardMode;
  // Whether the window and the confine-to window counted this entry in their clientHolds
  // (xcorePassiveGrabHolds: set when it is made, given back when it is freed).
  uint8_t holdsWindow = 0, holdsConfineTo = 0;
};

// Counts an entry in the windows it names (delta 1 when it is made, -1 when it is freed), so
// that their destruction looks for it; installed by the window tree with its first window
// (windowCreateRecord, windowCreate), NULL before.
extern void (*xcorePassiveGrabHolds)(PassiveGrab *entry, int delta);

// A new entry appended to the client's list (the cursor reference passes to it); NULL when out
// of memory.
PassiveGrab *xcoreAddGrab(ClientConnection *client, const PassiveGrab &values);
// Drops the cursor reference, unlinks the entry from the client's list and frees it.
void xcoreFreeGrab(PassiveGrab *entry, ClientConnection *client);
