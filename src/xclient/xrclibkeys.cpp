// The remote-control library's keyboard: keysyms, modifiers, typing and keysym names.
#include "xclient/xrclibkeys.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#define XK_MISCELLANY
#define XK_XKB_KEYS
#define XK_LATIN1
#include <X11/keysym.h>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/xrclib.h"
#include "xclient/xrclibinput.h"
#include "xclient/xutilh.h"

namespace {

constexpr KeySym kEllipsis = 0xaae;
constexpr KeySym kCapitalSharpS = 0x1e9e;
constexpr unsigned kStateMask = 0x60ff;   // Shift..Mod5 and the two group bits
constexpr unsigned kGroupBits = 0x6000;
constexpr int kMaxKeysymIndex = 8;

struct ModmapFree {
  void operator()(XModifierKeymap *map) const { XFreeModifiermap(map); }
};
using Modmap = std::unique_ptr<XModifierKeymap, ModmapFree>;

Modmap modifierMapping(Display *display) { return Modmap(XGetModifierMapping(display)); }

// The keycode in a modifier row's slot (0 for an empty slot).
unsigned modmapKey(const XModifierKeymap *map, int modifier, int slot) {
  return map->modifiermap[modifier * map->max_keypermod + slot];
}

// The modifier bits of a keycode in the mapping.
unsigned modifiersOfKeycode(const XModifierKeymap *map, unsigned keycode) {
  unsigned bits = 0;
  for (int modifier = 0; modifier < 8; modifier++) {
    for (int slot = 0; slot < map->max_keypermod; slot++) {
      if (keycode && modmapKey(map, modifier, slot) == keycode) bits |= 1u << modifier;
    }
  }
  return bits;
}

bool keycodeProduces(Display *display, unsigned keycode, KeySym keysym) {
  for (int index = 0; index < kMaxKeysymIndex; index++) {
    if (xrcKeysymOfKeycode(display, keycode, index) == keysym) return true;
  }
  return false;
}

bool keycodeIsLock(Display *display, unsigned keycode) {
  return xrcIsLockKeysym(xrcKeysymOfKeycode(display, keycode, 0));
}

// The keypad and main-keyboard forms of a key, Mode_switch and ISO_Level3_Shift, and the left
// and right forms of the modifiers stand for each other.
KeySym twinOf(KeySym keysym) {
  static constexpr KeySym kTwins[][2] = {
      {XK_Return, XK_KP_Enter}, {XK_Tab, XK_KP_Tab},       {XK_space, XK_KP_Space},
      {XK_Home, XK_KP_Home},    {XK_Left, XK_KP_Left},     {XK_Up, XK_KP_Up},
      {XK_Right, XK_KP_Right},  {XK_Down, XK_KP_Down},     {XK_Prior, XK_KP_Prior},
      {XK_Next, XK_KP_Next},    {XK_End, XK_KP_End},       {XK_Begin, XK_KP_Begin},
      {XK_Insert, XK_KP_Insert}, {XK_Delete, XK_KP_Delete}, {XK_F1, XK_KP_F1},
      {XK_F2, XK_KP_F2},        {XK_F3, XK_KP_F3},         {XK_F4, XK_KP_F4},
      {XK_Mode_switch, XK_ISO_Level3_Shift}, {XK_Shift_L, XK_Shift_R},
      {XK_Control_L, XK_Control_R}, {XK_Meta_L, XK_Meta_R}, {XK_Alt_L, XK_Alt_R},
      {XK_Super_L, XK_Super_R}, {XK_Hyper_L, XK_Hyper_R},
  };
  for (const auto &pair : kTwins) {
    if (pair[0] == keysym) return pair[1];
    if (pair[1] == keysym) return pair[0];
  }
  return NoSymbol;
}

bool modifierTypeKeysym(KeySym keysym) {
  return xrcIsModifierKeysym(keysym) || keysym == XK_Kana_Shift || keysym == XK_Eisu_Shift;
}

// The keycode chosen for pressing or releasing a modifier bit: the lowest score wins, the
// first on ties. 0 when the modifier has no keycode.
unsigned chooseModifierKeycode(Display *display, const XrcDisplay *context,
                               const XModifierKeymap *map, int modifier) {
  unsigned best = 0;
  int bestScore = 1 << 20;
  for (int slot = 0; slot < map->max_keypermod; slot++) {
    unsigned keycode = modmapKey(map, modifier, slot);
    if (keycode == 0) continue;
    int score = 0;
    if (modifiersOfKeycode(map, keycode) != (1u << modifier)) score += 8;
    if (!context->keyState[keycode]) score += 4;
    KeySym keysym = xrcKeysymOfKeycode(display, keycode, 0);
    if (keysym == XK_Mode_switch) {
      score += 1;
    } else if (keysym != XK_ISO_Level3_Shift) {
      score += 2;
    }
    if (score < bestScore) {
      bestScore = score;
      best = keycode;
    }
  }
  return best;
}

XrcDisplay *keyboardContext(Display *display, const char **error) {
  XrcDisplay *context = xrcContext(display, kXrcInject, error);
  if (!context) return nullptr;
  return context;
}

bool isCoreKeyboard(unsigned device) {
  if (device == kXrcKeyboard) return true;
  logProblem("WIP", __FILE__, __LINE__);
  return false;
}

void cacheState(XrcDisplay *context, unsigned state) {
  context->deviceEntries[kXrcKeyboard].cachedState = state;
  context->deviceEntries[kXrcKeyboard].stateCached = 1;
}

// The keysym the keycode produces under the state.
KeySym producedKeysym(Display *display, unsigned keycode, unsigned state) {
  XKeyEvent event{};
  event.type = KeyPress;
  event.display = display;
  event.root = event.window = DefaultRootWindow(display);
  event.same_screen = True;
  event.keycode = keycode;
  event.state = state;
  char text[16];
  KeySym keysym = NoSymbol;
  XLookupString(&event, text, sizeof text, &keysym, nullptr);
  if (keysym == NoSymbol) keysym = xrcKeysymOfKeycode(display, keycode, (state & ShiftMask) ? 1 : 0);
  return keysym;
}

// The start of the modifier operations: the context with the inject capability and the
// modifier mapping, for the core keyboard only. NULL with *error set (NULL for another device,
// which is reported as "WIP").
XrcDisplay *modifierStart(Display *display, unsigned device, Modmap *map, const char **error) {
  *error = nullptr;
  XrcDisplay *context = keyboardContext(display, error);
  if (!context || !isCoreKeyboard(device)) return nullptr;
  *map = modifierMapping(display);
  if (!*map) {
    *error = xrcError(display, "XGetModifierMapping() failed");
    return nullptr;
  }
  return context;
}

const char *modifierKeys(Display *display, unsigned device, unsigned mask, bool press) {
  const char *error = nullptr;
  Modmap map;
  XrcDisplay *context = modifierStart(display, device, &map, &error);
  if (!context) return error;
  for (int modifier = 0; modifier < 8; modifier++) {
    if (!(mask & (1u << modifier))) continue;
    unsigned keycode = chooseModifierKeycode(display, context, map.get(), modifier);
    if (!keycode) continue;
    error = press ? xrcPressKey(display, device, keycode) : xrcReleaseKey(display, device, keycode);
    if (error) return error;
  }
  return nullptr;
}

const char *keysymAction(Display *display, unsigned device, KeySym keysym, bool press) {
  const char *error = nullptr;
  XrcDisplay *context = keyboardContext(display, &error);
  if (!context) return error;
  if (!isCoreKeyboard(device)) return nullptr;
  if (modifierTypeKeysym(keysym)) {
    if (unsigned bits = xrcModifierOfKeysym(display, keysym)) {
      unsigned current = xrcModifierState(display, device) & 0xff;
      return xrcSetModifiers(display, device, press ? current | bits : current & ~bits);
    }
  }
  if (!press) {
    unsigned keycode = 0;
    for (unsigned k = 0; k < 256 && !keycode; k++) {
      if (context->keyState[k] && context->pressedKeysyms[k] == keysym) keycode = k;
    }
    if (!keycode) keycode = xrcKeycodeOfKeysym(display, keysym);
    if (!keycode) {
      return xrcError(display, "No keysym '%s' in %s mapping", xrcKeysymName(keysym),
                      xrcDeviceName(device));
    }
    context->pressedKeysyms[keycode] = NoSymbol;
    return xrcReleaseKey(display, device, keycode);
  }
  unsigned keycode = xrcKeycodeOfKeysym(display, keysym);
  if (!keycode) {
    return xrcError(display, "No keysym '%s' in %s mapping", xrcKeysymName(keysym),
                    xrcDeviceName(device));
  }
  unsigned current = xrcModifierState(display, device);
  unsigned wanted = current & 0xff;
  bool found = producedKeysym(display, keycode, current) == keysym;
  for (unsigned state = 0; state < 256 && !found; state++) {
    if (state == (current & 0xff)) continue;
    if (producedKeysym(display, keycode, state) == keysym) {
      wanted = state;
      found = true;
    }
  }
  if (found && wanted != (current & 0xff)) {
    if ((error = xrcSetModifiers(display, device, wanted))) return error;
  }
  if ((error = xrcPressKey(display, device, keycode))) return error;
  context->pressedKeysyms[keycode] = keysym;
  return nullptr;
}

const char *typeCodes(Display *display, unsigned device, const char *text, bool utf8) {
  const char *error = nullptr;
  if (!keyboardContext(display, &error)) return error;
  if (!text) return nullptr;
  xrcVerbose(display, "%s", utf8 ? "Entering UTF-8 text..." : "Entering Latin1 text...");
  const char *end = text + strlen(text);
  int pause = xrcGetOption(display, kXrcOptionTypePause);
  for (const char *position = text; position < end;) {
    unsigned code = static_cast<unsigned char>(*position);
    int length = 1;
    if (utf8) {
      length = xrcDecodeUtf8(position, end, &code);
      if (length == 0) break;
    }
    if (position != text) xrcDelay(display, pause);
    if ((error = xrcTypeChar(display, device, code))) return error;
    position += length;
  }
  return nullptr;
}

}  // namespace

KeySym xrcKeysymOfKeycode(Display *display, unsigned keycode, int index) {
  if (!display || keycode > 255) return NoSymbol;
  XKeyEvent event{};
  event.type = KeyPress;
  event.display = display;
  event.keycode = keycode;
  return XLookupKeysym(&event, index);
}

bool xrcIsLockKeysym(KeySym keysym) {
  switch (keysym) {
    case XK_Num_Lock: case XK_Caps_Lock: case XK_Shift_Lock: case XK_Scroll_Lock:
    case XK_Kana_Lock: case XK_ISO_Lock: case XK_ISO_Level3_Lock: case XK_ISO_Group_Lock:
    case XK_ISO_Next_Group_Lock: case XK_ISO_Prev_Group_Lock: case XK_ISO_First_Group_Lock:
    case XK_ISO_Last_Group_Lock:
      return true;
    default:
      return false;
  }
}

bool xrcIsModifierKeysym(KeySym keysym) {
  return IsModifierKey(keysym) || keysym == XK_Kana_Lock || keysym == XK_Scroll_Lock;
}

int xrcKeycodeCount(Display *display, unsigned device) {
  if (!display || !isCoreKeyboard(device)) return 0;
  int minimum = 0, maximum = -1;
  XDisplayKeycodes(display, &minimum, &maximum);
  return maximum - minimum + 1;
}

int xrcMinKeycode(Display *display, unsigned device) {
  if (!display || !isCoreKeyboard(device)) return 0;
  int minimum = 0, maximum = 0;
  XDisplayKeycodes(display, &minimum, &maximum);
  return minimum;
}

int xrcMaxKeycode(Display *display, unsigned device) {
  if (!display || !isCoreKeyboard(device)) return 0;
  int minimum = 0, maximum = 0;
  XDisplayKeycodes(display, &minimum, &maximum);
  return maximum;
}

int xrcPointerButtonCount(Display *display, unsigned device) {
  if (!display) return 0;
  if (device != kXrcMouse) {
    logProblem("WIP", __FILE__, __LINE__);
    return 0;
  }
  return xrcQueryButtonCount(display);
}

int xrcKeyIsDown(Display *display, unsigned device, unsigned keycode) {
  if (!display || !isCoreKeyboard(device) || keycode > 255) return 0;
  char keys[32];
  XQueryKeymap(display, keys);
  return (static_cast<unsigned char>(keys[keycode / 8]) >> (keycode % 8)) & 1;
}

KeySym xrcFirstDownKey(Display *display, unsigned device) {
  if (!display || !isCoreKeyboard(device)) return NoSymbol;
  char keys[32];
  XQueryKeymap(display, keys);
  for (unsigned keycode = 8; keycode < 256; keycode++) {
    if (!((static_cast<unsigned char>(keys[keycode / 8]) >> (keycode % 8)) & 1)) continue;
    KeySym keysym = xrcKeysymOfKeycode(display, keycode, 0);
    if (keysym != NoSymbol && !xrcIsLockKeysym(keysym) && !modifierTypeKeysym(keysym)) {
      return keysym;
    }
  }
  return NoSymbol;
}

unsigned xrcModifierState(Display *display, unsigned device) {
  const char *error = nullptr;
  XrcDisplay *context = xrcContext(display, 0, &error);
  if (!context || device >= static_cast<unsigned>(kXrcDeviceEntries)) return 0;
  const XrcDeviceEntry &entry = context->deviceEntries[device];
  if (context->options[kXrcOptionCacheState] == 1 && entry.stateCached) return entry.cachedState;
  Window root, child;
  int x, y, windowX, windowY;
  unsigned mask = 0;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &windowX, &windowY,
                &mask);
  return mask & kStateMask;
}

unsigned xrcModifierOfKeysym(Display *display, KeySym keysym) {
  if (!display || keysym == NoSymbol) return 0;
  Modmap map = modifierMapping(display);
  if (!map) return 0;
  unsigned bits = 0;
  for (int modifier = 0; modifier < 8; modifier++) {
    for (int slot = 0; slot < map->max_keypermod; slot++) {
      unsigned keycode = modmapKey(map.get(), modifier, slot);
      if (keycode && keycodeProduces(display, keycode, keysym)) bits |= 1u << modifier;
    }
  }
  return bits;
}

unsigned xrcModifierByName(Display *display, const char *name) {
  if (!name) return 0;
  static constexpr struct {
    const char *name;
    unsigned mask;
  } kFixed[] = {{"Shift", ShiftMask}, {"SHFT", ShiftMask}, {"Control", ControlMask},
                {"Ctrl", ControlMask}, {"Lock", LockMask},  {"Mod1", Mod1Mask},
                {"Mod2", Mod2Mask},   {"Mod3", Mod3Mask},  {"Mod4", Mod4Mask},
                {"Mod5", Mod5Mask}};
  for (const auto &entry : kFixed) {
    if (strcmp(entry.name, name) == 0) return entry.mask;
  }
  static constexpr struct {
    const char *name;
    KeySym keysym;
    KeySym fallback;
  } kByKeysym[] = {{"AltGr", XK_ISO_Level3_Shift, XK_Mode_switch},
                   {"Meta", XK_Meta_L, NoSymbol},
                   {"Command", XK_Meta_L, NoSymbol},
                   {"Super", XK_Super_L, NoSymbol},
                   {"Win", XK_Super_L, NoSymbol},
                   {"Hyper", XK_Hyper_L, NoSymbol},
                   {"Option", XK_Alt_L, NoSymbol}};
  for (const auto &entry : kByKeysym) {
    if (strcmp(entry.name, name) != 0) continue;
    unsigned mask = xrcModifierOfKeysym(display, entry.keysym);
    if (!mask && entry.fallback != NoSymbol) mask = xrcModifierOfKeysym(display, entry.fallback);
    return mask;
  }
  return 0;
}

const char *xrcSetModifiers(Display *display, unsigned device, unsigned mask) {
  const char *error = nullptr;
  Modmap map;
  XrcDisplay *context = modifierStart(display, device, &map, &error);
  if (!context) return error;
  unsigned state = xrcModifierState(display, device);
  unsigned current = state & 0xff;
  if ((state & kGroupBits) == 0x2000) {
    unsigned shift = xrcModifierOfKeysym(display, XK_ISO_Level3_Shift);
    current |= shift ? shift : xrcModifierOfKeysym(display, XK_Mode_switch);
  }
  unsigned wanted = mask & 0xff;
  for (int modifier = 0; modifier < 8; modifier++) {
    unsigned bit = 1u << modifier;
    if (!(current & bit) || (wanted & bit)) continue;
    unsigned keycode = chooseModifierKeycode(display, context, map.get(), modifier);
    if (!keycode) continue;
    // A lock key is pressed first, so that its release toggles the lock off.
    if (keycodeIsLock(display, keycode) && (error = xrcPressKey(display, device, keycode))) {
      return error;
    }
    if ((error = xrcReleaseKey(display, device, keycode))) return error;
    current &= ~modifiersOfKeycode(map.get(), keycode);
  }
  for (int modifier = 0; modifier < 8; modifier++) {
    unsigned bit = 1u << modifier;
    if ((current & bit) || !(wanted & bit)) continue;
    unsigned keycode = chooseModifierKeycode(display, context, map.get(), modifier);
    if (!keycode) continue;
    if ((error = xrcPressKey(display, device, keycode))) return error;
    if (keycodeIsLock(display, keycode) && (error = xrcReleaseKey(display, device, keycode))) {
      return error;
    }
    current |= modifiersOfKeycode(map.get(), keycode);
  }
  cacheState(context, wanted);
  return nullptr;
}

const char *xrcPressModifiers(Display *display, unsigned device, unsigned mask) {
  return modifierKeys(display, device, mask, true);
}

const char *xrcReleaseModifiers(Display *display, unsigned device, unsigned mask) {
  return modifierKeys(display, device, mask, false);
}

unsigned xrcKeycodeOfKeysym(Display *display, KeySym keysym) {
  if (!display || keysym == NoSymbol) return 0;
  if (modifierTypeKeysym(keysym)) {
    if (Modmap map = modifierMapping(display)) {
      for (int i = 0; i < 8 * map->max_keypermod; i++) {
        unsigned keycode = map->modifiermap[i];
        if (keycode && keycodeProduces(display, keycode, keysym)) return keycode;
      }
    }
  }
  if (unsigned keycode = XKeysymToKeycode(display, keysym)) return keycode;
  KeySym twin = twinOf(keysym);
  return twin == NoSymbol ? 0 : XKeysymToKeycode(display, twin);
}

const char *xrcPressKeysym(Display *display, unsigned device, KeySym keysym) {
  return keysymAction(display, device, keysym, true);
}

const char *xrcReleaseKeysym(Display *display, unsigned device, KeySym keysym) {
  return keysymAction(display, device, keysym, false);
}

const char *xrcStrokeKey(Display *display, unsigned device, KeySym keysym) {
  if (const char *error = xrcPressKeysym(display, device, keysym)) return error;
  xrcDelay(display, xrcGetOption(display, kXrcOptionKeyHold));
  return xrcReleaseKeysym(display, device, keysym);
}

KeySym xrcCharKeysym(unsigned code) {
  switch (code) {
    case 8: return XK_BackSpace;
    case 9: return XK_Tab;
    case 10: return XK_Return;
    case 11: return XK_Clear;
    default: break;
  }
  if (code < 256) return code;
  if (code >= 0x20a0 && code <= 0x20ac) return code;
  return code | 0x1000000;
}

const char *xrcPressChar(Display *display, unsigned device, unsigned code) {
  return xrcPressKeysym(display, device, xrcCharKeysym(code));
}

const char *xrcReleaseChar(Display *display, unsigned device, unsigned code) {
  return xrcReleaseKeysym(display, device, xrcCharKeysym(code));
}

const char *xrcTypeChar(Display *display, unsigned device, unsigned code) {
  return xrcStrokeKey(display, device, xrcCharKeysym(code));
}

const char *xrcTypeLatin1(Display *display, unsigned device, const char *text) {
  return typeCodes(display, device, text, false);
}

const char *xrcTypeUtf8(Display *display, unsigned device, const char *text) {
  return typeCodes(display, device, text, true);
}

int xrcDecodeUtf8(const char *text, const char *end, unsigned *code) {
  if (!text || text >= end) return 0;
  unsigned first = static_cast<unsigned char>(text[0]);
  if (first < 0x80) {
    *code = first;
    return 1;
  }
  int length;
  unsigned value, minimum;
  if ((first & 0xe0) == 0xc0) {
    length = 2, value = first & 0x1f, minimum = 0x80;
  } else if ((first & 0xf0) == 0xe0) {
    length = 3, value = first & 0x0f, minimum = 0x800;
  } else if ((first & 0xf8) == 0xf0) {
    length = 4, value = first & 0x07, minimum = 0x10000;
  } else {
    return 0;  // a continuation byte or 0xf8-0xff cannot start a character
  }
  if (end - text < length) return 0;
  for (int i = 1; i < length; i++) {
    unsigned byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xc0) != 0x80) return 0;
    value = (value << 6) | (byte & 0x3f);
  }
  if (value < minimum || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return 0;
  *code = value;
  return length;
}

const char *xrcKeysymName(KeySym keysym) {
  if (keysym == NoSymbol) return "NoSymbol";
  if (const char *name = XKeysymToString(keysym)) {
    // For an unnamed Unicode keysym Xlib hands out a text of its own allocation.
    unsigned long value = keysym & 0xffffff;
    if ((keysym & 0xff000000) == 0x01000000 &&
        strcmp(name, strTempPrintf(value > 0xffff ? "U%06lX" : "U%04lX", value)) == 0) {
      const char *copy = strTempPrintf("%s", name);
      free(const_cast<char *>(name));
      return copy;
    }
    return name;
  }
  if (keysym == kEllipsis) return "ellipsis";
  if (keysym == kCapitalSharpS) return "Ssharp";
  return strTempPrintf("U%04lX", static_cast<unsigned long>(keysym));
}

KeySym xrcNextKeysym(KeySym keysym) {
  // The legacy sets: Latin 1-4, Kana, Arabic, Cyrillic, Greek, Technical, Special, Publishing,
  // APL, Hebrew, Thai, Korean, Latin 9 and the currency signs.
  static constexpr KeySym kRanges[][2] = {
      {32, 126},       {160, 255},       {417, 504},       {510, 510},       {0x2a1, 0x2fe},
      {0x3a2, 0x3fe},  {0x47e, 0x4df},   {0x5ac, 0x5f2},   {0x680, 0x6ff},   {0x7a1, 0x7f9},
      {0x8a1, 0x8fe},  {0x9df, 0x9f8},   {0xaa1, 0xafe},   {0xba3, 0xbfc},   {0xcdf, 0xcfa},
      {0xda1, 0xdf9},  {0xea1, 0xefa},   {0x13bc, 0x13be}, {0x20a0, 0x20ac},
  };
  for (const auto &range : kRanges) {
    if (keysym >= range[1]) continue;
    for (KeySym next = keysym < range[0] ? range[0] : keysym + 1; next <= range[1]; next++) {
      if (XKeysymToString(next)) return next;
    }
  }
  return NoSymbol;
}

KeySym xrcKeysymByName(const char *name) {
  if (!name || !*name) return NoSymbol;
  KeySym keysym = XStringToKeysym(name);
  if (keysym != NoSymbol) return keysym;
  std::string flipped(name);
  unsigned char first = static_cast<unsigned char>(flipped[0]);
  flipped[0] = static_cast<char>(isupper(first) ? tolower(first) : toupper(first));
  return XStringToKeysym(flipped.c_str());
}

const char *xrcRefreshMapping(Display *display, XMappingEvent *event) {
  const char *error = nullptr;
  XrcDisplay *context = xrcContext(display, 0, &error);
  if (!context) return error;
  if (!event) return nullptr;
  switch (event->request) {
    case MappingModifier:
      xrcVerbose(display, "Refresh modifier mapping...");
      XRefreshKeyboardMapping(event);
      break;
    case MappingKeyboard:
      xrcVerbose(display, "Refresh keyboard mapping...");
      XRefreshKeyboardMapping(event);
      break;
    default: {
      xrcVerbose(display, "Refresh pointer mapping...");
      // A server that did not answer in time leaves the count as it was.
      int count = xrcQueryButtonCount(display);
      if (count >= 0) context->options[kXrcOptionButtons] = count;
      break;
    }
  }
  xrcCounters.refreshes++;
  return nullptr;
}

int xrcKeyMatchesChar(Display *display, const XKeyEvent *event, unsigned code) {
  if (!display || !event) return 0;
  return keycodeProduces(display, event->keycode, xrcCharKeysym(code));
}

unsigned xrcLockModifiers(Display *display) {
  unsigned bits = LockMask;
  static constexpr KeySym kLocks[] = {XK_Num_Lock, XK_Caps_Lock, XK_Shift_Lock, XK_Scroll_Lock,
                                      XK_Kana_Lock};
  for (KeySym keysym : kLocks) bits |= xrcModifierOfKeysym(display, keysym);
  return bits;
}
