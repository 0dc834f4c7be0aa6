// Writing messages into a client's output.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"

// ===== Writing to a client =====
// Writes one message (error, reply or event, in the proxy's byte order) into the client's output,
// swapped by its layout for a client of the other byte order. The message's kind (0 error, 1
// reply, else the event code) is recorded as the client's last written type, which the
// KeymapNotify rule of the ordered output reads.
void miscWriteClientMessage(const uint8_t *message, uint32_t length, WireLayout layout, ClientConnection *client);
// ===== end of writing to a client =====

// ===== Raw FreeGC and colour replication on one real colormap =====
#include <X11/Xlib.h>

// Maps and destroys an override-redirect child over each rectangle so that the real server
// exposes what lies below. (Declared here, with Xlib's types: XRectangle has no struct tag
// that a forward declaration elsewhere could name.)
void miscForceExposures(Display *display, unsigned long parent, const XRectangle *rectangles, int n);

// Writes a FreeGC of the id into the Xlib connection's buffer (no client-side GC is needed),
// counts it and runs the display's sync handler.
void miscFreeGC(Display *display, uint32_t gc);
// Takes every free cell, stores the colour in each and frees them again; their number.
int miscPaintFreeCells(Display *display, Colormap colormap, uint16_t red, uint16_t green, uint16_t blue);
// The colours of the allocated cells among 0 .. n - 1 (malloc'ed, *count entries; NULL when
// none or out of memory). The free cells it takes to find them are given back.
XColor *miscQueryAllocatedColors(Display *display, Colormap colormap, int n, int *count);
// A read-only cell of the colour at exactly colour->pixel: 1, or 0. Every other cell it takes
// on the way is given back, also on failure.
int miscAllocColorAtPixel(Display *display, Colormap colormap, XColor *colour, int sync);
// The same over a list; a pixel that cannot be had is logged and the list goes on. 0 only
// when XAllocColor fails outright.
int miscAllocPixels(Display *display, Colormap colormap, XColor *colours, int n);
// Read-write cells at exactly the given pixels with the given plane masks: 1, or 0 with
// nothing taken.
int miscAllocColorCells(Display *display, Colormap colormap, const unsigned long *pixels, int n,
                        const unsigned long *masks, int m);
int miscAllocColorPlanes(Display *display, Colormap colormap, unsigned long redMask, unsigned long greenMask,
                         unsigned long blueMask, const unsigned long *pixels, int n);
// ===== end of raw FreeGC and colour replication =====

// ===== grabs on real servers =====
struct Head;
// UngrabPointer or UngrabKeyboard on the grabbing client's display connections, written out
// when flush is set; nothing without a grab.
void miscUngrabPointerOnServer(int flush);
void miscUngrabKeyboardOnServer(int flush);
// Repeats the proxy's pointer (keyboard) grab on a head's real server through the grabbing
// client's connection to that head's display, and marks the grab forwarded. confine: the
// pointer grab keeps its confine-to window on that head only when asked (the real pointer is on
// that head by then) and when the window's confinement region reaches the head; else it goes
// without one (the real server cannot confine a pointer to a copy whose region it cannot reach).
void miscForwardGrabPointer(Head *head, int confine);
void miscForwardGrabKeyboard(Head *head, int flush);
// The client's display connection to the head's real display (its first one when the head has
// none of its own); NULL when the client has none.
DisplayConnection *miscConnectionForHead(ClientConnection *client, const Head *head);
// ===== end of grabs on real servers =====
