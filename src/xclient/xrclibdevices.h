// The remote-control library's XInput devices: names and facts, opening by use count, event
// selection and grabs, switching the real keyboard and mouse off and on, touches, the focus
// and grabs of other clients, and the redirection properties. Device numbers: 256 the core
// pointer, 257 the core keyboard, else an XInput id. Operations return NULL or an error text.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>

#include "xclient/xrclib.h"

// "mouse" 256, "keyboard" 257, else the XInput device whose name matches (xrcNameMatches);
// "No input device '%s'".
const char *xrcDeviceByName(Display *display, const char *name, unsigned *device);
// Compares without case; a "*" in the pattern matches the rest of the name.
int xrcNameMatches(const char *pattern, const char *name);
// 256 and 257 swapped; anything else as it is.
unsigned xrcOtherCoreDevice(unsigned device);
// The device's record in the context's list (the core devices by their use); NULL when none.
const XDeviceInfo *xrcDeviceInfo(Display *display, unsigned device);
// Whether the device exists (256 and 257 always).
int xrcDeviceExists(Display *display, unsigned device);
// The device's class of that id (KeyClass, ButtonClass, ValuatorClass) from the list, or for
// ProximityClass and FocusClass from the opened device: 1 when it has one.
int xrcDeviceHasClass(Display *display, unsigned device, int inputClass);

// Opens the device at its first use and closes it when its use count returns to 0; the core
// devices are never opened. The quiet forms print nothing.
const char *xrcUseDevice(Display *display, unsigned device);
const char *xrcUnuseDevice(Display *display, unsigned device);
const char *xrcOpenDeviceEntry(XrcDisplay *context, unsigned device);
void xrcCloseDeviceEntry(XrcDisplay *context, unsigned device);

// Selects the key, button and motion events of an XInput device on the window (the default
// root for None); the unselect drops them again.
const char *xrcSelectDeviceEvents(Display *display, unsigned device, Window window);
const char *xrcUnselectDeviceEvents(Display *display, unsigned device, Window window);
// Grabs the device's events on the window (the default root for None): owner events,
// asynchronous modes.
const char *xrcGrabDevice(Display *display, unsigned device, Window window);
const char *xrcUngrabDevice(Display *display, unsigned device);
// Reads the queued events into the handler for about the given time, polling every 10 ms;
// returns the number of events read. The handler returns non-zero to stop early.
using XrcEventHandler = int (*)(Display *display, XEvent *event, void *argument);
int xrcPumpEvents(Display *display, XrcEventHandler handler, void *argument, int milliseconds);

// Switching the core keyboard (257) or mouse (256) off and on: with "Device Enabled" on the
// server every extension keyboard or pointer is disabled, else the null device becomes the
// core device and "_MWT_KEYBOARD_OFF" / "_MWT_MOUSE_OFF" records it.
const char *xrcDisableDevice(Display *display, unsigned device);
const char *xrcEnableDevice(Display *display, unsigned device);
const char *xrcDisableInput(Display *display);
const char *xrcEnableInput(Display *display);
int xrcInputEnabled(Display *display);
// The name of a device-change status ("Success", "AlreadyGrabed", ... "BadDevice").
const char *xrcDeviceStatusName(int status);

// A press and release of option 13's button with the valuators x and y on an XInput device.
const char *xrcTouch(Display *display, unsigned device, int x, int y);
// The focus window of the device.
const char *xrcDeviceFocus(Display *display, unsigned device, Window *focus);
// True when another client holds the device (a trial grab fails).
int xrcDeviceGrabbed(Display *display, unsigned device);

// "_XPOINTER_REDIRECTION" (device 256) or "_XKEYBOARD_REDIRECTION" (257) on the root of screen
// 0: written with the name, deleted without one; the read gives a temporary string or NULL.
const char *xrcSetRedirection(Display *display, unsigned device, const char *name);
const char *xrcGetRedirection(Display *display, unsigned device);
