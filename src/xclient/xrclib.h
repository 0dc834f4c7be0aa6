// The remote-control library "XRCLib": a context per Xlib display that injects pointer and
// keyboard input into the real X server, with the choice of the injection method, the options,
// the error and progress messages and the library's counters.
//
// Device numbers in every interface: 256 is the core pointer ("mouse"), 257 the core keyboard
// ("keyboard"), anything else an XInput device id ("input device #N").
#pragma once

#include <atomic>
#include <cstdint>

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>

// Capability flags; bits are only ever added to a context.
constexpr uint8_t kXrcInject = 1;
constexpr uint8_t kXrcInjectPastGrab = 2;  // inject even while another client grabs the server
constexpr uint8_t kXrcKeyboardControl = 4;
constexpr uint8_t kXrcMouseControl = 8;

// Injection methods.
constexpr uint8_t kXrcMethodXtest = 0;
constexpr uint8_t kXrcMethodXtestExt1 = 1;
constexpr uint8_t kXrcMethodControl = 2;

constexpr unsigned kXrcMouse = 256;     // the core pointer
constexpr unsigned kXrcKeyboard = 257;  // the core keyboard
constexpr unsigned kXrcNoDevice = 258;  // a null or physical device that was not found
constexpr int kXrcDeviceEntries = 258;  // XInput ids 0-255, the mouse and the keyboard

// Options (index: default, meaning).
enum XrcOption {
  kXrcOptionFlush = 0,          // 1: flush the connection after each action
  kXrcOptionDelayUnit = 1,      // 100: milliseconds of a 100 percent delay
  kXrcOptionVerbose = 2,        // 0: progress messages on standard output
  kXrcOptionCacheState = 3,     // 0: take a device's modifier state from the cache
  kXrcOptionWalk = 4,           // 0: percent waited after each pixel of a move; 0 jumps
  kXrcOptionButtons = 5,        // the real pointer's button count: highest button accepted
  kXrcOptionClickHold = 6,      // 100: hold time of a click, percent
  kXrcOptionDoublePause = 7,    // 100: pause between the clicks of a double click
  kXrcOptionMultiPause = 8,     // 100: pause between the clicks of a triple or quadruple click
  kXrcOptionButtonBell = 9,     // 0: ring the bell (600 Hz) after each button press
  kXrcOptionKeyHold = 10,       // 75: hold time of a key stroke, percent
  kXrcOptionTypePause = 11,     // 75: pause between typed characters, percent
  kXrcOptionKeyBell = 12,       // 0: ring the bell (300 Hz) after each key press
  kXrcOptionTouchButton = 13,   // 1: button used for a touch
  kXrcOptionTouchHold = 14,     // 200: hold time of a touch, percent
  kXrcOptionCount = 15,
};

// One hot-key slot; empty while callback is NULL.
constexpr int kXrcHotkeySlots = 20;
constexpr unsigned kXrcAnyModifiers = 0x8000;  // a slot mask that matches every state
enum XrcHotkeyKind : uint8_t {
  kXrcHotkeyKey = 0,           // modifiers and a key
  kXrcHotkeyModifiersOnly = 1, // modifiers alone (keycode 0)
  kXrcHotkeyNone = 2,          // "none": a slot that never matches
};
using XrcHotkeyCallback = void (*)(Display *display, void *argument);
struct XrcHotkey {
  unsigned mask;         // modifier bits, or kXrcAnyModifiers
  unsigned keycode;      // 0 for a modifier-only or "none" hot key
  uint8_t kind;          // XrcHotkeyKind
  int screen;            // the screen whose root carries the grabs; -1 every screen
  XrcHotkeyCallback callback;
  void *argument;
};

// One device's entry: opened at its first use, closed when the open count returns to 0.
struct XrcDeviceEntry {
  XDevice *device;        // the opened XInput device; NULL while closed
  uint16_t openCount;
  uint8_t stateCached;    // cachedState holds the device's modifier state
  unsigned cachedState;
};

struct XrcDisplay {
  XrcDisplay *next;       // the process-wide list, guarded by its mutex
  XrcDisplay *previous;
  Display *display;
  uint8_t capabilities;   // kXrc* capability flags
  uint8_t method;         // kXrcMethod*; meaningful once kXrcInject is held
  uint8_t xtestExt1Ready; // the past-grab attach through XTestExtension1 succeeded
  Atom pointerRedirectionAtom;   // "_XPOINTER_REDIRECTION"
  Atom mouseOffAtom;             // "_MWT_MOUSE_OFF"; None until mouse control is asked for
  Atom keyboardRedirectionAtom;  // "_XKEYBOARD_REDIRECTION"
  Atom keyboardOffAtom;          // "_MWT_KEYBOARD_OFF"; None until keyboard control
  uint16_t holdCount;
  uint8_t keyState[256];         // keys the library pressed and has not released
  KeySym pressedKeysyms[256];    // per keycode the keysym its last press produced
  XrcHotkey hotkeys[kXrcHotkeySlots];
  uint8_t keyboardDisabled;      // "Device Enabled" of the extension keyboards set to 0 here
  uint8_t mouseDisabled;         // the same for the extension pointers
  uint32_t inputVersion;         // XInput major * 64 + minor; 0 without XInput
  uint32_t inputMajorOpcode;
  int deviceCount;               // entries of devices
  XDeviceInfo *devices;          // XListInputDevices at attach time; NULL without XInput
  unsigned xtestExt1Pointer;     // XInput ids of the core devices for XTestExtension1; 0 until
  unsigned xtestExt1Keyboard;    // the past-grab attach through it looked them up
  unsigned mousePhysical, mouseNull, keyboardPhysical, keyboardNull;  // kXrcNoDevice: none
  Atom deviceEnabledAtom;        // "Device Enabled" when it exists and XInput is above 1.4
  uint32_t *selections;          // XInput event classes the library selected (malloc'ed)
  int selectionCount;
  XrcDeviceEntry deviceEntries[kXrcDeviceEntries];
  int32_t options[kXrcOptionCount];
};

// Process-wide counters; the statistics text lists them.
struct XrcCounters {
  std::atomic<uint32_t> errors, displays, devicesOpened, moves, clicks, hotKeys, touches,
      switchOffs, refreshes;
};
extern XrcCounters xrcCounters;

// NULL when the display has every wanted capability (attaching the context and choosing the
// method as needed), else an error text.
const char *xrcInitDisplay(Display *display, unsigned capabilities);
// The display's context or NULL.
XrcDisplay *xrcFindDisplay(Display *display);
// Xlib's free procedure of the context, run while the display closes: unlinks the context and
// frees its memory; sends nothing.
int xrcFreeDisplay(XExtData *data);

// The context with the wanted capabilities, attaching as needed; NULL with *error set when the
// attach fails.
XrcDisplay *xrcContext(Display *display, unsigned capabilities, const char **error);

// Options; an index outside 0-14 or a failed attach reads 0 and drops the write.
int32_t xrcGetOption(Display *display, int index);
const char *xrcSetOption(Display *display, int index, int32_t value);

// The hold counter; each returns the new value (0 stays 0 on release).
unsigned xrcHold(Display *display);
unsigned xrcRelease(Display *display);
// Sleeps option 1 x percent / 100 milliseconds (nothing for a negative product).
void xrcDelay(Display *display, int percent);
// XInput's version as major * 64 + minor; 0 without XInput or when the attach fails.
uint32_t xrcInputExtensionVersion(Display *display);
// The core pointer's button count (its pointer mapping's length), asked beside Xlib's requests
// and waited for at most xtargetSyncLimitMs; -1 (logged) without an answer in time.
int xrcQueryButtonCount(Display *display);

// Formats an error text ("... on display :N", or "... (XRC)" without a display) and counts it.
const char *xrcError(Display *display, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// Writes a newline and the message to standard output when option 2 is set.
void xrcVerbose(Display *display, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Flushes the connection when option 0 is set.
void xrcFlushIfWanted(Display *display);

// "mouse", "keyboard" or "input device #N" (a temporary string for the last).
const char *xrcDeviceName(unsigned device);

const char *xrcLibraryName();
const char *xrcLibraryVersion();
// The non-zero counters, errors always first: "0e1d2m1b". A static buffer.
const char *xrcStatistics();
