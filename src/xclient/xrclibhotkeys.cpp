// The remote-control library's hot keys.
#include "xclient/xrclibhotkeys.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#define XK_MISCELLANY
#include <X11/keysym.h>

#include "support/strings.h"
#include "xclient/misc.h"
#include "xclient/xrclibinput.h"
#include "xclient/xrclibkeys.h"
#include "xclient/xtarget.h"

namespace {

constexpr unsigned kShiftAndControl = ShiftMask | ControlMask;

bool noHotkeyText(const char *text) {
  if (!text) return true;
  const char *start = text;
  while (*start == ' ' || *start == '\t') start++;
  return *start == '\0' || strcmp(start, "none") == 0;
}

bool wordChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// One grab of a hot key: a keycode with a modifier combination on a root.
struct Grab {
  unsigned keycode;
  unsigned modifiers;
};

// Every key grab the slot stands for, before the roots: the combination and each variant with
// a subset of the lock modifiers added; for a modifier-only slot each keycode of each of its
// modifiers with the other modifiers of the mask.
std::vector<Grab> grabsOf(Display *display, const XrcHotkey &slot) {
  std::vector<Grab> grabs;
  if (slot.kind == kXrcHotkeyNone) return grabs;
  if (slot.mask == kXrcAnyModifiers) {
    if (slot.keycode) grabs.push_back({slot.keycode, AnyModifier});
    return grabs;
  }
  unsigned locks = xrcLockModifiers(display) & ~slot.mask & 0xff;
  std::vector<Grab> bases;
  if (slot.kind == kXrcHotkeyKey) {
    bases.push_back({slot.keycode, slot.mask});
  } else if (XModifierKeymap *map = XGetModifierMapping(display)) {
    for (int modifier = 0; modifier < 8; modifier++) {
      unsigned bit = 1u << modifier;
      if (!(slot.mask & bit)) continue;
      for (int i = 0; i < map->max_keypermod; i++) {
        unsigned keycode = map->modifiermap[modifier * map->max_keypermod + i];
        if (keycode) bases.push_back({keycode, slot.mask & ~bit});
      }
    }
    XFreeModifiermap(map);
  }
  // Every subset of the lock bits, the empty one first.
  for (const Grab &base : bases) {
    unsigned subset = 0;
    do {
      grabs.push_back({base.keycode, base.modifiers | subset});
      subset = (subset - locks) & locks;
    } while (subset != 0);
  }
  return grabs;
}

std::vector<Window> rootsOf(Display *display, int screen) {
  std::vector<Window> roots;
  if (screen >= 0) {
    if (screen < ScreenCount(display)) roots.push_back(RootWindow(display, screen));
    return roots;
  }
  for (int i = 0; i < ScreenCount(display); i++) roots.push_back(RootWindow(display, i));
  return roots;
}

void ungrabSlot(Display *display, const XrcHotkey &slot) {
  for (Window root : rootsOf(display, slot.screen)) {
    for (const Grab &grab : grabsOf(display, slot)) {
      XUngrabKey(display, static_cast<int>(grab.keycode), grab.modifiers, root);
    }
  }
}

bool maskMatches(unsigned mask, unsigned state, unsigned locks) {
  if (mask == kXrcAnyModifiers) return true;
  state &= 0xff;
  if (mask == state) return true;
  // A state of nothing but Shift and Control stays whole.
  unsigned stripped = (state & ~kShiftAndControl) ? state & ~locks : state;
  return mask == stripped;
}

bool modifierKeyKeysym(KeySym keysym) {
  return keysym == XK_Mode_switch || keysym == XK_Num_Lock ||
         (keysym >= XK_Shift_L && keysym <= XK_Hyper_R);
}

}  // namespace

const char *xrcParseHotkey(Display *display, const char *text, unsigned *mask, unsigned *keycode,
                           uint8_t *kind) {
  *mask = 0;
  *keycode = 0;
  *kind = kXrcHotkeyNone;
  if (noHotkeyText(text)) return nullptr;
  unsigned bits = 0, key = 0;
  for (const char *position = text; *position;) {
    if (!wordChar(*position)) {
      position++;
      continue;
    }
    const char *start = position;
    while (wordChar(*position)) position++;
    std::string word(start, static_cast<size_t>(position - start));
    if (word == "Any") {
      bits = kXrcAnyModifiers;
      continue;
    }
    if (unsigned modifier = xrcModifierByName(display, word.c_str())) {
      if (bits != kXrcAnyModifiers) bits |= modifier;
      continue;
    }
    KeySym keysym = xrcKeysymByName(word.c_str());
    unsigned modifiers = keysym == NoSymbol ? 0 : xrcModifierOfKeysym(display, keysym);
    if (modifiers && xrcIsModifierKeysym(keysym)) {
      if (bits != kXrcAnyModifiers) bits |= modifiers;
      continue;
    }
    unsigned code = keysym == NoSymbol ? 0 : xrcKeycodeOfKeysym(display, keysym);
    if (!code) {
      return xrcError(display, "Display %s has no %s key for hotkey '%s'",
                      xmiscLocalDisplayPart(display), word.c_str(), text);
    }
    key = code;
  }
  *mask = bits;
  *keycode = key;
  *kind = key ? kXrcHotkeyKey : bits ? kXrcHotkeyModifiersOnly : kXrcHotkeyNone;
  return nullptr;
}

const char *xrcHotkeyText(Display *display, unsigned mask, unsigned keycode) {
  static constexpr struct {
    unsigned bit;
    const char *name;
  } kOrder[] = {{ControlMask, "Control"}, {ShiftMask, "Shift"}, {LockMask, "Lock"},
                {Mod1Mask, "Mod1"},       {Mod2Mask, "Mod2"},   {Mod3Mask, "Mod3"},
                {Mod4Mask, "Mod4"},       {Mod5Mask, "Mod5"}};
  std::string text;
  if (mask == kXrcAnyModifiers) {
    text = "Any ";
  } else {
    for (const auto &modifier : kOrder) {
      if (mask & modifier.bit) text += std::string(modifier.name) + " ";
    }
  }
  if (keycode) {
    std::string name = xrcKeysymName(xrcKeysymOfKeycode(display, keycode, 0));
    if (!name.empty()) name[0] = static_cast<char>(toupper(static_cast<unsigned char>(name[0])));
    text += name;
  } else if (!text.empty()) {
    text.pop_back();
  }
  return text.empty() ? "none" : strTempPrintf("%s", text.c_str());
}

const char *xrcAddHotkey(Display *display, int screen, const char *text,
                         XrcHotkeyCallback callback, void *argument) {
  const char *error = nullptr;
  XrcDisplay *context = xrcContext(display, 0, &error);
  if (!context) return error;
  if (!callback) return xrcError(display, "No callback for hotkey '%s'", text ? text : "");
  if (screen >= ScreenCount(display)) return xrcError(display, "No screen #%d", screen);
  XrcHotkey *slot = nullptr;
  for (XrcHotkey &candidate : context->hotkeys) {
    if (!candidate.callback) {
      slot = &candidate;
      break;
    }
  }
  if (!slot) {
    return xrcError(display, "No free slot for hotkey '%s' (%d in use)", text ? text : "",
                    kXrcHotkeySlots);
  }
  XrcHotkey wanted{};
  if ((error = xrcParseHotkey(display, text, &wanted.mask, &wanted.keycode, &wanted.kind))) {
    return error;
  }
  wanted.screen = screen < 0 ? -1 : screen;
  wanted.callback = callback;
  wanted.argument = argument;
  if (wanted.kind != kXrcHotkeyNone) {
    XtargetErrorTrap trap(display);
    std::vector<Grab> grabs = grabsOf(display, wanted);
    for (Window root : rootsOf(display, wanted.screen)) {
      for (const Grab &grab : grabs) {
        XGrabKey(display, static_cast<int>(grab.keycode), grab.modifiers, root, True,
                 GrabModeAsync, GrabModeAsync);
      }
    }
    if (trap.errorCame()) {
      // The grabs that did succeed would steal the key from everybody while no slot owns
      // them: give them all up again.
      ungrabSlot(display, wanted);
      trap.errorCame();
      const char *where = wanted.screen < 0
                              ? xmiscLocalDisplayPart(display)
                              : strTempPrintf("%s.%d", xmiscLocalDisplayPart(display), screen);
      return xrcError(display, "Hotkey '%s' is already occupied on %s", text, where);
    }
  }
  *slot = wanted;
  return nullptr;
}

void xrcRemoveHotkeys(Display *display) {
  XrcDisplay *context = display ? xrcFindDisplay(display) : nullptr;
  if (!context) return;
  for (XrcHotkey &slot : context->hotkeys) {
    if (slot.callback) ungrabSlot(display, slot);
    slot = XrcHotkey{};
  }
  XFlush(display);
}

int xrcDispatchHotkey(Display *display, const XKeyEvent *event) {
  XrcDisplay *context = display ? xrcFindDisplay(display) : nullptr;
  if (!context || !event || event->type != KeyPress) return 0;
  unsigned locks = xrcLockModifiers(display);
  KeySym eventKeysym = xrcKeysymOfKeycode(display, event->keycode, 0);
  unsigned eventBits = 0;
  bool eventIsModifier = modifierKeyKeysym(eventKeysym);
  if (eventIsModifier) eventBits = xrcModifierOfKeysym(display, eventKeysym);
  for (const XrcHotkey &slot : context->hotkeys) {
    if (!slot.callback || slot.kind == kXrcHotkeyNone) continue;
    bool match;
    if (slot.kind == kXrcHotkeyKey) {
      match = event->keycode == slot.keycode && maskMatches(slot.mask, event->state, locks);
    } else {
      match = maskMatches(slot.mask, event->state, locks) ||
              (eventIsModifier && maskMatches(slot.mask, event->state | eventBits, locks));
    }
    if (match) {
      slot.callback(display, slot.argument);
      return 1;
    }
  }
  return 0;
}

const char *xrcEnterHotkey(Display *display, unsigned device, const char *text) {
  const char *error = nullptr;
  if (!xrcContext(display, kXrcInject, &error)) return error;
  unsigned mask = 0, keycode = 0;
  uint8_t kind = 0;
  if ((error = xrcParseHotkey(display, text, &mask, &keycode, &kind))) return error;
  xrcVerbose(display, "Entering %s hotkey '%s'...", xrcDeviceName(device), text ? text : "");
  unsigned modifiers = mask == kXrcAnyModifiers ? 0 : mask;
  if ((error = xrcPressModifiers(display, device, modifiers))) return error;
  if (keycode && (error = xrcPressKey(display, device, keycode))) return error;
  xrcDelay(display, xrcGetOption(display, kXrcOptionKeyHold));
  if (keycode && (error = xrcReleaseKey(display, device, keycode))) return error;
  if ((error = xrcReleaseModifiers(display, device, modifiers))) return error;
  xrcCounters.hotKeys++;
  return nullptr;
}
