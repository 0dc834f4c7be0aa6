// The remote-control library's pointer, button and key operations. Each injects through the
// display's method (XTEST, XTestExtension1 or the control extension), attaching the context with
// the inject capability first, prints its progress message when the verbose option is set and
// flushes afterwards when option 0 is set. All return NULL or an error text; a device other than
// the core one an operation needs is reported as "WIP" on the problem channel and does nothing.
#pragma once

#include <X11/Xlib.h>

// Moves the device to x, y on that screen's root, walking pixel by pixel when option 4 is set.
// The flush flag (with option 0) flushes after each step.
const char *xrcMovePointer(Display *display, unsigned device, int screen, int x, int y,
                           int flush);
const char *xrcMovePointerToCenter(Display *display, unsigned device, int screen, int flush);

// Buttons 1 to option 5, core pointer only.
const char *xrcPressButton(Display *display, unsigned device, unsigned button);
const char *xrcReleaseButton(Display *display, unsigned device, unsigned button);
// Buttons 1-20 whose bit (button + 7) is set in the mask, in increasing order.
const char *xrcPressButtons(Display *display, unsigned device, unsigned mask);
const char *xrcReleaseButtons(Display *display, unsigned device, unsigned mask);
// Brings the real pointer's buttons to the mask; nothing but the query when they agree.
const char *xrcSetButtons(Display *display, unsigned device, unsigned mask);
const char *xrcReleaseAllButtons(Display *display, unsigned device);
const char *xrcPressAllButtons(Display *display, unsigned device);
// The core pointer's button bits (state & 0x1f00); 0 for another device.
unsigned xrcButtonState(Display *display, unsigned device);
const char *xrcClick(Display *display, unsigned device, unsigned button);
const char *xrcDoubleClick(Display *display, unsigned device, unsigned button);
const char *xrcTripleClick(Display *display, unsigned device, unsigned button);
const char *xrcQuadrupleClick(Display *display, unsigned device, unsigned button);

// Keys of the core keyboard.
const char *xrcPressKey(Display *display, unsigned device, unsigned keycode);
const char *xrcReleaseKey(Display *display, unsigned device, unsigned keycode);
// Makes the real key state (XQueryKeymap) equal to the vector, keycode by keycode from the
// display's minimum to its maximum.
const char *xrcSetKeys(Display *display, unsigned device, const char keys[32]);
const char *xrcReleaseAllKeys(Display *display, unsigned device);
const char *xrcPressAllKeys(Display *display, unsigned device);
// Presses or releases every key from the minimum to the maximum keycode whose bit is set.
const char *xrcPressKeys(Display *display, unsigned device, const char keys[32]);
const char *xrcReleaseKeys(Display *display, unsigned device, const char keys[32]);

// Rings the keyboard bell with that pitch (Hz), duration (ms) and volume (-100..100) under a
// server grab, restoring the bell's pitch and duration afterwards.
const char *xrcRingBell(Display *display, unsigned device, int pitch, int duration, int volume);
// XWarpPointer relative to the current position, or to x, y inside the window.
const char *xrcWarpPointer(Display *display, unsigned device, int x, int y);
const char *xrcWarpPointerTo(Display *display, unsigned device, Window window, int x, int y);
// Grabs the pointer on the default root with that cursor; None releases the grab.
const char *xrcGrabPointerCursor(Display *display, unsigned device, Cursor cursor);
// Releases every button of the core pointer and every key of the core keyboard.
const char *xrcReleaseAll(Display *display);
// True when the core pointer does not follow a warp (another client holds it frozen).
int xrcPointerFrozen(Display *display, unsigned device);

// The position a pointer that crossed onto another screen of the display would have on that
// screen's head: the position on the from-head plus its origin, put onto the border of the
// rectangle at the to-head's origin with the to-screen's size, less the to-head's origin.
void xrcUndoScreenCrossing(Display *display, int fromHead, int fromOriginX, int fromOriginY, int x, int y,
                           int toScreen, int toOriginX, int toOriginY, int *resultX, int *resultY);
