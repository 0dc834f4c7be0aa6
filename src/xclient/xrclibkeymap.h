// The remote-control library's saved keyboard: mapping, modifier mapping, controls and key
// vector of a real server's core keyboard, to put back later or onto another display.
#pragma once

#include <X11/Xlib.h>

struct XrcSavedKeyboard {
  int minKeycode;
  int maxKeycode;
  int keysymsPerKeycode;
  KeySym *keysyms;               // XGetKeyboardMapping of the whole range
  XModifierKeymap *modifiers;    // a copy of the modifier mapping
  XKeyboardState controls;       // XGetKeyboardControl
  char keys[32];                 // XQueryKeymap
};

// Saves the core keyboard of the display into a new record (*saved); "XGetKeyboardMapping() on
// %s failed" or "Out of memory (%s:%d)".
const char *xrcSaveKeyboard(Display *display, XrcSavedKeyboard **saved);
// Puts the saved mapping back (only the keycodes that differ are changed); with the same
// keycode range also the modifier mapping, the controls and, when withKeys is set, the key
// vector; with another range the modifier mapping shifted by the difference of the minima.
const char *xrcRestoreKeyboard(Display *display, const XrcSavedKeyboard *saved, int withKeys);
// Frees the record; NULL is fine.
void xrcFreeKeyboard(XrcSavedKeyboard *saved);
// Saves the keyboard of one display and restores it on another.
const char *xrcCopyKeyboard(Display *source, Display *target, int withKeys);
