// The remote-control library's keyboard: keyboard facts, keysyms and their keycodes, the
// modifier state, typing keysyms, characters and texts, keysym names, and the refresh of Xlib's
// mapping caches. Only the core keyboard (257) is handled; another device is reported as "WIP"
// on the problem channel. Operations return NULL or an error text.
#pragma once

#include <X11/Xlib.h>

// The core keyboard's keycode count (maximum - minimum + 1), minimum and maximum; 0 for
// another device.
int xrcKeycodeCount(Display *display, unsigned device);
int xrcMinKeycode(Display *display, unsigned device);
int xrcMaxKeycode(Display *display, unsigned device);
// The core pointer's button count (its pointer mapping's length); 0 for another device, -1 when
// the server did not answer within xtargetSyncLimitMs (the query goes beside Xlib's requests).
int xrcPointerButtonCount(Display *display, unsigned device);
// Whether the keycode is down in XQueryKeymap.
int xrcKeyIsDown(Display *display, unsigned device, unsigned keycode);
// The keysym of the first key that is down and is neither a lock-type nor a modifier key;
// NoSymbol when there is none.
KeySym xrcFirstDownKey(Display *display, unsigned device);

// The device's modifier state: the core state bits Shift..Mod5 and the two group bits
// (state & 0x60ff), from the cache when option 3 is 1 and the cache holds one.
unsigned xrcModifierState(Display *display, unsigned device);
// The modifier bits whose keycodes produce the keysym.
unsigned xrcModifierOfKeysym(Display *display, KeySym keysym);
// The modifier mask of a name ("Shift", "Control", "Mod3", "AltGr", "Super" ...); 0 unknown.
unsigned xrcModifierByName(Display *display, const char *name);
// Makes the real modifier state equal to the mask (bits 0-7), pressing and releasing modifier
// keys (lock-type keys are stroked to toggle them).
const char *xrcSetModifiers(Display *display, unsigned device, unsigned mask);
// For each modifier bit set, presses or releases the keycode chosen for that modifier.
const char *xrcPressModifiers(Display *display, unsigned device, unsigned mask);
const char *xrcReleaseModifiers(Display *display, unsigned device, unsigned mask);

// The keycode that produces the keysym (or its keypad / left-right twin); 0 when none does.
unsigned xrcKeycodeOfKeysym(Display *display, KeySym keysym);
// Presses or releases a keysym, setting the modifier state that it needs first; "No keysym
// '%s' in %s mapping" when no keycode produces it.
const char *xrcPressKeysym(Display *display, unsigned device, KeySym keysym);
const char *xrcReleaseKeysym(Display *display, unsigned device, KeySym keysym);
// Press, wait option 10 percent, release.
const char *xrcStrokeKey(Display *display, unsigned device, KeySym keysym);

// The keysym of a character code: 8-11 BackSpace, Tab, Return, Clear; other codes below 256
// Latin-1; 0x20A0-0x20AC as they are; anything else the Unicode keysym (code | 0x1000000).
KeySym xrcCharKeysym(unsigned code);
const char *xrcPressChar(Display *display, unsigned device, unsigned code);
const char *xrcReleaseChar(Display *display, unsigned device, unsigned code);
const char *xrcTypeChar(Display *display, unsigned device, unsigned code);
// Types a text character by character, waiting option 11 percent between characters. The
// UTF-8 text ends at its first malformed sequence (cut, overlong, surrogate, above 0x10FFFF).
const char *xrcTypeLatin1(Display *display, unsigned device, const char *text);
const char *xrcTypeUtf8(Display *display, unsigned device, const char *text);
// Decodes one UTF-8 character at text (at most end - text bytes): its length, 0 at the end or
// for a malformed sequence.
int xrcDecodeUtf8(const char *text, const char *end, unsigned *code);

// XKeysymToString, else "ellipsis" (0xAAE), "Ssharp" (0x1E9E), "NoSymbol" (0), else "U%04X".
// Xlib's static text or a temporary string.
const char *xrcKeysymName(KeySym keysym);
// The next keysym after the given one in the ranges of the legacy keysym sets that Xlib can
// name; NoSymbol after the last.
KeySym xrcNextKeysym(KeySym keysym);
// XStringToKeysym, and when that fails the same with the first letter's case flipped.
KeySym xrcKeysymByName(const char *name);
// Lock-type keysyms (Num_Lock, Caps_Lock, the ISO locks ...) and modifier keysyms.
bool xrcIsLockKeysym(KeySym keysym);
bool xrcIsModifierKeysym(KeySym keysym);

// For a MappingNotify event of the display: refreshes Xlib's caches and counts one refresh.
const char *xrcRefreshMapping(Display *display, XMappingEvent *event);
// Whether the key event's keycode produces the character.
int xrcKeyMatchesChar(Display *display, const XKeyEvent *event, unsigned code);

// The modifier bits that lock-type keysyms carry on the display, Lock always among them.
unsigned xrcLockModifiers(Display *display);
// The keysym at that index of the keycode in Xlib's mapping (NoSymbol beyond it).
KeySym xrcKeysymOfKeycode(Display *display, unsigned keycode, int index);
