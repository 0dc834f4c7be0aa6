// The remote-control library's saved keyboard.
#include "xclient/xrclibkeymap.h"

#include <cstdlib>
#include <cstring>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/misc.h"
#include "xclient/xrclib.h"
#include "xclient/xrclibinput.h"

namespace {

constexpr int kLeds = 32;

// Changes the keycodes from first to last whose keysyms differ from the wanted ones, one
// request per run of differing keycodes.
void changeDifferingKeys(Display *display, const KeySym *wanted, int per, int first, int last,
                         const KeySym *current, int currentPer, int currentFirst) {
  auto differs = [&](int keycode) {
    const KeySym *a = wanted + static_cast<size_t>(keycode - first) * per;
    const KeySym *b = current + static_cast<size_t>(keycode - currentFirst) * currentPer;
    for (int i = 0; i < per || i < currentPer; i++) {
      KeySym x = i < per ? a[i] : NoSymbol, y = i < currentPer ? b[i] : NoSymbol;
      if (x != y) return true;
    }
    return false;
  };
  for (int keycode = first; keycode <= last;) {
    if (!differs(keycode)) {
      keycode++;
      continue;
    }
    int end = keycode;
    while (end < last && differs(end + 1)) end++;
    XChangeKeyboardMapping(display, keycode, per,
                           const_cast<KeySym *>(wanted + static_cast<size_t>(keycode - first) * per),
                           end - keycode + 1);
    keycode = end + 1;
  }
}

}  // namespace

const char *xrcSaveKeyboard(Display *display, XrcSavedKeyboard **saved) {
  *saved = nullptr;
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  auto record = static_cast<XrcSavedKeyboard *>(calloc(1, sizeof(XrcSavedKeyboard)));
  if (!record) return OUT_OF_MEMORY_TEXT_AT("xrclibkeymap");
  XDisplayKeycodes(display, &record->minKeycode, &record->maxKeycode);
  record->keysyms = XGetKeyboardMapping(display, static_cast<KeyCode>(record->minKeycode),
                                        record->maxKeycode - record->minKeycode + 1,
                                        &record->keysymsPerKeycode);
  if (!record->keysyms) {
    free(record);
    return xrcError(display, "XGetKeyboardMapping() on %s failed",
                    xmiscLocalDisplayPart(display));
  }
  record->modifiers = XGetModifierMapping(display);
  if (!record->modifiers) {
    xrcFreeKeyboard(record);
    return OUT_OF_MEMORY_TEXT_AT("xrclibkeymap");
  }
  XGetKeyboardControl(display, &record->controls);
  XQueryKeymap(display, record->keys);
  *saved = record;
  return nullptr;
}

const char *xrcRestoreKeyboard(Display *display, const XrcSavedKeyboard *saved, int withKeys) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (!saved) return xrcError(display, "No saved keyboard");
  int minimum = 0, maximum = 0;
  XDisplayKeycodes(display, &minimum, &maximum);
  int first = saved->minKeycode > minimum ? saved->minKeycode : minimum;
  int last = saved->maxKeycode < maximum ? saved->maxKeycode : maximum;
  int currentPer = 0;
  KeySym *current = XGetKeyboardMapping(display, static_cast<KeyCode>(minimum),
                                        maximum - minimum + 1, &currentPer);
  if (!current) {
    return xrcError(display, "XGetKeyboardMapping() on %s failed", xmiscLocalDisplayPart(display));
  }
  if (first <= last) {
    const KeySym *wanted =
        saved->keysyms + static_cast<size_t>(first - saved->minKeycode) * saved->keysymsPerKeycode;
    changeDifferingKeys(display, wanted, saved->keysymsPerKeycode, first, last, current,
                        currentPer, minimum);
  }
  XFree(current);

  const XModifierKeymap *modifiers = saved->modifiers;
  XModifierKeymap *shifted = nullptr;
  if (minimum != saved->minKeycode || maximum != saved->maxKeycode) {
    // Another keycode range: shift the modifier mapping, dropping what falls outside.
    shifted = XNewModifiermap(modifiers->max_keypermod);
    if (!shifted) return OUT_OF_MEMORY_TEXT_AT("xrclibkeymap");
    int difference = minimum - saved->minKeycode;
    for (int i = 0; i < 8 * modifiers->max_keypermod; i++) {
      int keycode = modifiers->modifiermap[i];
      int moved = keycode ? keycode + difference : 0;
      shifted->modifiermap[i] =
          keycode && moved >= minimum && moved <= maximum ? static_cast<KeyCode>(moved) : 0;
    }
    modifiers = shifted;
  }
  int status = XSetModifierMapping(display, const_cast<XModifierKeymap *>(modifiers));
  if (shifted) XFreeModifiermap(shifted);
  if (status != MappingSuccess) {
    return xrcError(display, "XSetModifierMapping() on %s failed (%d)",
                    xmiscLocalDisplayPart(display), status);
  }
  if (minimum != saved->minKeycode || maximum != saved->maxKeycode) {
    xrcFlushIfWanted(display);
    return nullptr;
  }

  const XKeyboardState &controls = saved->controls;
  XKeyboardControl change{};
  change.key_click_percent = controls.key_click_percent;
  change.bell_percent = controls.bell_percent;
  change.bell_pitch = static_cast<int>(controls.bell_pitch);
  change.bell_duration = static_cast<int>(controls.bell_duration);
  change.auto_repeat_mode = controls.global_auto_repeat;
  XChangeKeyboardControl(display,
                         KBKeyClickPercent | KBBellPercent | KBBellPitch | KBBellDuration |
                             KBAutoRepeatMode,
                         &change);
  for (int led = 1; led <= kLeds; led++) {
    change.led = led;
    change.led_mode = (controls.led_mask >> (led - 1)) & 1 ? LedModeOn : LedModeOff;
    XChangeKeyboardControl(display, KBLed | KBLedMode, &change);
  }
  for (int keycode = minimum; keycode <= maximum && keycode < 256; keycode++) {
    change.key = keycode;
    change.auto_repeat_mode =
        (static_cast<unsigned char>(controls.auto_repeats[keycode / 8]) >> (keycode % 8)) & 1
            ? AutoRepeatModeOn
            : AutoRepeatModeOff;
    XChangeKeyboardControl(display, KBKey | KBAutoRepeatMode, &change);
  }
  if (withKeys && (error = xrcSetKeys(display, kXrcKeyboard, saved->keys))) return error;
  xrcFlushIfWanted(display);
  return nullptr;
}

void xrcFreeKeyboard(XrcSavedKeyboard *saved) {
  if (!saved) return;
  if (saved->keysyms) XFree(saved->keysyms);
  if (saved->modifiers) XFreeModifiermap(saved->modifiers);
  free(saved);
}

const char *xrcCopyKeyboard(Display *source, Display *target, int withKeys) {
  XrcSavedKeyboard *saved = nullptr;
  if (const char *error = xrcSaveKeyboard(source, &saved)) return error;
  const char *error = xrcRestoreKeyboard(target, saved, withKeys);
  xrcFreeKeyboard(saved);
  return error;
}
