// Messages the proxy writes itself: X errors and a failed setup towards clients, replies built
// from its own data, and core requests towards a real server that no client sent in that form.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include "proxy/clientconnection.h"
#include "proxy/xproxy.h"

// ----- Towards clients ------------------------------------------------------------------------
// The one X error writer: logs the error on the Xerror channel, writes the 32-byte error at the
// given sequence among the client's ordered output and counts it. The minor opcode is byte 1
// of an extension request (major 128 and up) and 0 for a core request.
void core11GSendError(uint8_t code, uint32_t badValue, const uint8_t *request, uint32_t requestLength,
                      uint16_t sequence, const char *detail, ClientConnection *client);
// A refused connection setup with its reason (at most 255 bytes of it); nothing when the
// client's output cannot grow.
void core11GSendSetupFailed(ClientConnection *client, const char *reason);

// Replies built by the proxy; each returns 1, or 0 when no memory can be had.
int core11GAllocColorReply(ClientConnection *client, const XColor *color);
int core11GAllocNamedColorReply(ClientConnection *client, const XColor *exact, const XColor *visual);
// To the current client.
int core11GAllocColorCellsReply(const uint32_t *pixels, uint32_t pixelCount, const uint32_t *masks,
                                uint32_t maskCount);
// rowsAsked rows of keysymsPerKeycode keysyms: the first min(rowsGiven, rowsAsked) copied from
// keysyms, the rest zero.
int core11GGetKeyboardMappingReply(ClientConnection *client, uint16_t sequence, const uint32_t *keysyms,
                                   uint8_t keysymsPerKeycode, uint32_t rowsGiven, uint32_t rowsAsked);
int core11GListExtensionsReply(ClientConnection *client, uint8_t count, const uint8_t *names, uint32_t length);
int core11GListHostsReply(ClientConnection *client, uint16_t sequence, uint8_t mode, uint16_t count,
                          const uint8_t *entries, uint32_t length);
int core11GGetImageReply(ClientConnection *client, uint16_t sequence, uint32_t visual, uint8_t depth,
                         const uint8_t *data, uint32_t length);

// ----- Towards a real server --------------------------------------------------------------------
// The connection setup of a raw connection, recorded in its sequence map under request key 0
// (it is not counted as a request). 1, or 0 when no buffer space can be had.
int core11GSendConnectionSetup(DisplayConnection *connection, const char *name, uint32_t nameLength,
                               const char *data, uint32_t dataLength);
// XGetWindowAttributes on the proxy's own connection with X errors trapped, into attributes or
// a local record, the wait for the server bounded by the sync limit; Xlib's status (0, logged on
// the Xhint channel, when the window does not exist or the server did not answer in time).
int core11GGetWindowAttributes(Display *display, Window window, XWindowAttributes *attributes);

// Request builders: time is always CurrentTime. Those without a result write nothing when no
// buffer space can be had.
void core11GGrabPointer(DisplayConnection *connection, uint8_t ownerEvents, uint32_t window, uint16_t eventMask,
                        uint8_t pointerMode, uint8_t keyboardMode, uint32_t confineTo, uint32_t cursor);
uint8_t *core11GUngrabPointer(DisplayConnection *connection);
void core11GUngrabButton(DisplayConnection *connection, uint8_t button, uint32_t window, uint16_t modifiers);
void core11GGrabKeyboard(DisplayConnection *connection, uint8_t ownerEvents, uint32_t window, uint8_t pointerMode,
                         uint8_t keyboardMode);
uint8_t *core11GUngrabKeyboard(DisplayConnection *connection);
void core11GUngrabKey(DisplayConnection *connection, uint8_t key, uint32_t window, uint16_t modifiers);
int core11GGrabServer(DisplayConnection *connection);
void core11GQueryPointer(DisplayConnection *connection, uint32_t window);
void core11GWarpPointer(DisplayConnection *connection, uint32_t window, int16_t x, int16_t y);
void core11GSetInputFocus(DisplayConnection *connection, uint8_t revertTo, uint32_t focus);
void core11GMoveResizeWindow(DisplayConnection *connection, uint32_t window, int32_t x, int32_t y, uint32_t width,
                             uint32_t height);
void core11GMoveWindow(DisplayConnection *connection, uint32_t window, int32_t x, int32_t y);
// One 32-bit value per set bit of mask (bits 0..22) in bit order, from Xlib's GC record.
void core11GChangeGC(DisplayConnection *connection, uint32_t gc, uint32_t mask, const XGCValues *values);
void core11GStoreColor(DisplayConnection *connection, uint32_t colormap, uint32_t pixel, uint16_t red,
                       uint16_t green, uint16_t blue);
int core11GGetImage(DisplayConnection *connection, uint8_t format, uint32_t drawable, int16_t x, int16_t y,
                    uint16_t width, uint16_t height, uint32_t planeMask);
// The proxy's MIT-SHM major opcode on the real servers (0 while MIT-SHM is not set up: then
// core11GShmPutImage writes nothing).
extern uint8_t core11GShmMajorOpcode;
void core11GShmPutImage(DisplayConnection *connection, uint32_t drawable, uint32_t gc, uint16_t totalWidth,
                        uint16_t totalHeight, uint16_t sourceX, uint16_t sourceY, uint16_t width, uint16_t height,
                        int16_t destinationX, int16_t destinationY, uint8_t depth, uint8_t format,
                        uint8_t sendEvent, uint32_t segment, uint32_t offset);

// The request writer of display connections (defined with them).
uint8_t *xproxyBeginRequest(void *connection, uint8_t opcode, uint8_t dataByte, uint32_t length);
