// The remote-control library's hot keys: key combinations given as text ("Control+q",
// "Control Shift F5", "Shift", "none"), grabbed on the roots of the real server and dispatched
// to callbacks from the key events the caller reads. The context holds 20 slots.
#pragma once

#include <X11/Xlib.h>

#include "xclient/xrclib.h"

// Reads a hot-key text: words of letters, digits and "_" separated by anything else, each a
// modifier name or a keysym name. NULL with the mask, the keycode (0 without a non-modifier
// key) and the kind set, or an error text.
const char *xrcParseHotkey(Display *display, const char *text, unsigned *mask, unsigned *keycode,
                           uint8_t *kind);
// The hot key as text: "Control", "Shift", "Lock", "Mod1" to "Mod5" each followed by a blank,
// then the keysym name with its first letter upper-cased; "none" when there is neither. A
// temporary string.
const char *xrcHotkeyText(Display *display, unsigned mask, unsigned keycode);
// Takes the first free slot and grabs the hot key on the root of the screen (-1: of every
// screen) with every variant of the lock modifiers. A failed grab leaves no grab and the slot
// free: "Hotkey '%s' is already occupied on %s".
const char *xrcAddHotkey(Display *display, int screen, const char *text,
                         XrcHotkeyCallback callback, void *argument);
// Ungrabs and empties every slot.
void xrcRemoveHotkeys(Display *display);
// Calls the callback of the first slot that matches a KeyPress event; 1 when one ran.
int xrcDispatchHotkey(Display *display, const XKeyEvent *event);
// Types the hot key: its modifiers and key pressed, held option 10 percent, released.
const char *xrcEnterHotkey(Display *display, unsigned device, const char *text);
