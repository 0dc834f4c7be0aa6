// The colour cells of a colormap shadow; the extension list of a server generation and the
// zoom scaling of points.
#pragma once

#include <cstdint>

#include <X11/Xlib.h>

struct ColormapShadow;

// ===== Colour cells of a shadow =====
// Stores the channels the flags select (1 red, 2 green, 4 blue) at the pixel's cell; nothing
// for a shadow without colour arrays.
void xmainStoreCell(ColormapShadow *shadow, uint32_t pixel, uint16_t red, uint16_t green, uint16_t blue,
                    uint8_t flags);
// Reads the cell's colour into colour (its pixel stays); black for a shadow without arrays.
void xmainQueryCell(const ColormapShadow *shadow, uint32_t pixel, XColor *colour);
// ===== end of colour cells of a shadow =====

// ===== Extension list and zoom scaling =====
struct Head;

// Builds the extension list of this server generation once: the first real display's
// extensions under their real codes, then the ones the proxy adds under free major opcodes.
// NULL or an error text ("Out of memory (%s:%d)").
const char *xmainInitExtensions();
// The lowest major opcode 128..255 whose record has no name; none: logs "X extension opcodes
// exhausted" on the warning channel and returns 0.
uint8_t xmainAllocExtensionOpcode();
// Multiplies the point by the head's zoom factors (each product truncated toward zero) when
// they are not both 1.0.
void xmainScalePoint(int32_t *x, int32_t *y, const Head *head);
// ===== image scaling =====
// Scales the image by the head's zoom factors (a new image, owned; the old one destroyed when
// *owned) unless both are 1.0; with copy, the result is then copied into a new image in the
// head's display layout (owned). NULL with an out-of-memory line on failure.
XImage *xmainScaleImage(XImage *image, int copy, int *owned, Head *head);
// ===== end of image scaling =====
// Attaches the remote-control library with the injection capability to the display: NULL or
// the error text. A variable so that tests can replace it.
using XmainRemoteControlAttach = const char *(*)(Display *display);
extern XmainRemoteControlAttach xmainAttachRemoteControl;
// Asks the real display for an extension's codes (XQueryExtension's contract). A variable so
// that tests can replace it.
using XmainExtensionQuery = Bool (*)(Display *display, const char *name, int *major, int *firstEvent,
                                     int *firstError);
extern XmainExtensionQuery xmainQueryExtension;
// Whether the proxy's pointer is grabbed: crossings are then left to the pointer tracking. A
// variable until the grab state exists (answers 0).
extern int (*xmainPointerGrabbed)();
// ===== end of extension list and zoom scaling =====
