// The remote-control library's pointer, button and key injection.
#include "xclient/xrclibinput.h"

#include <cstring>

#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>

#include "support/logging.h"
#include "support/rect.h"
#include "support/strings.h"
#include "xclient/xcontrol.h"
#include "xclient/xrclib.h"
#include "xclient/xrclibdevices.h"
#include "xclient/xtestext1.h"

namespace {

constexpr unsigned kMaxButton = 20;
constexpr unsigned kButtonBits = 0x1f00;  // Button1Mask .. Button5Mask of a pointer state

constexpr int kButtonBellPitch = 600;
constexpr int kKeyBellPitch = 300;
constexpr int kBellDuration = 30;
constexpr int kBellVolume = 100;

unsigned buttonBit(unsigned button) { return 1u << (button + 7); }

// The context with the inject capability, or NULL with *error set.
XrcDisplay *injecting(Display *display, const char **error) {
  return xrcContext(display, kXrcInject, error);
}

bool coreDevice(unsigned device, unsigned wanted) {
  if (device == wanted) return true;
  logProblem("WIP", __FILE__, __LINE__);
  return false;
}

// With method 1, unless the past-grab attach already confirmed it: the extension must still be
// there.
const char *confirmXtestExt1(XrcDisplay *context) {
  if (context->xtestExt1Ready || xtestExt1InitDisplay(context->display)) return nullptr;
  return xrcError(context->display,
                  "Unsupported extension XTEST (version 2.2 or higher), XTestExtension1 or XTRAP");
}

// One position of a move: no flushing, no counting.
const char *moveStep(XrcDisplay *context, unsigned device, int screen, int x, int y) {
  Display *display = context->display;
  if (device == kXrcMouse) {
    if (context->method == kXrcMethodControl) {
      if (!xcontrolFakeMotionEvent(display, screen, x, y, 0)) {
        return xrcError(display, "Can't move %s", xrcDeviceName(device));
      }
    } else {
      XWarpPointer(display, None, RootWindow(display, screen), 0, 0, 0, 0, x, y);
    }
    return nullptr;
  }
  if (device >= kXrcMouse) return xrcError(display, "Can't move %s", xrcDeviceName(device));
  if (context->method == kXrcMethodXtestExt1) {
    unsigned long delay = 0;
    if (xtest1XTestMovePointer(display, static_cast<int>(device), &delay, &x, &y, 1) != 0) {
      return xrcError(display, "Can't move %s", xrcDeviceName(device));
    }
    return nullptr;
  }
  if (const char *error = xrcOpenDeviceEntry(context, device)) return error;
  XDevice *opened = context->deviceEntries[device].device;
  int axes[2] = {x, y};
  int sent = context->method == kXrcMethodControl
                 ? xcontrolFakeDeviceMotionEvent(display, static_cast<int>(device), False, 0,
                                                 axes, 2, 0)
                 : XTestFakeDeviceMotionEvent(display, opened, False, 0, axes, 2, 0);
  const char *error = sent ? nullptr : xrcError(display, "Can't move %s", xrcDeviceName(device));
  xrcCloseDeviceEntry(context, device);
  return error;
}

const char *oneStep(XrcDisplay *context, unsigned device, int screen, int x, int y, int flush) {
  const char *error = moveStep(context, device, screen, x, y);
  if (error) return error;
  xrcCounters.moves++;
  if (flush && context->options[kXrcOptionFlush]) XFlush(context->display);
  return nullptr;
}

int towards(int from, int to) { return from < to ? from + 1 : from > to ? from - 1 : from; }

const char *pressOrRelease(Display *display, unsigned device, unsigned button, bool press) {
  const char *error = nullptr;
  XrcDisplay *context = injecting(display, &error);
  if (!context) return error;
  if (!coreDevice(device, kXrcMouse)) return nullptr;
  if (button < 1 || static_cast<int64_t>(button) > context->options[kXrcOptionButtons]) {
    return xrcError(display, "No %s button #%d", xrcDeviceName(device), static_cast<int>(button));
  }
  xrcVerbose(display, "%s %s button %u...", press ? "Pressing" : "Releasing",
             xrcDeviceName(device), button);
  switch (context->method) {
    case kXrcMethodXtest:
      if (!XTestFakeButtonEvent(display, button, press, 0)) {
        return xrcError(display, "Can't inject %s button %u", xrcDeviceName(device), button);
      }
      break;
    case kXrcMethodXtestExt1:
      if ((error = confirmXtestExt1(context))) return error;
      // The extension takes devices 0-15 and buttons 0-7 only.
      if (xtest1XTestPressButton(display, static_cast<int>(context->xtestExt1Pointer), 0, button,
                                 press ? kXtestExt1Press : kXtestExt1Release) != 0 ||
          xtest1XTestFlush(display) != 0) {
        return xrcError(display, "XTestExtension1 can't %s %s button %u",
                        press ? "press" : "release", xrcDeviceName(device), button);
      }
      XWarpPointer(display, None, None, 0, 0, 0, 0, 0, 0);
      break;
    default:
      if (!xcontrolFakeButtonEvent(display, button, press, 0)) {
        return xrcError(display, "Can't inject %s button %u", xrcDeviceName(device), button);
      }
      break;
  }
  xrcFlushIfWanted(display);
  if (press && context->options[kXrcOptionButtonBell] == 1) {
    return xrcRingBell(display, kXrcKeyboard, kButtonBellPitch, kBellDuration, kBellVolume);
  }
  return nullptr;
}

const char *keyPressOrRelease(Display *display, unsigned device, unsigned keycode, bool press) {
  const char *error = nullptr;
  XrcDisplay *context = injecting(display, &error);
  if (!context) return error;
  if (!coreDevice(device, kXrcKeyboard)) return nullptr;
  if (keycode > 255) return xrcError(display, "No %s key #%u", xrcDeviceName(device), keycode);
  xrcVerbose(display, "%s %s key %u...", press ? "Pressing" : "Releasing", xrcDeviceName(device),
             keycode);
  switch (context->method) {
    case kXrcMethodXtest:
      if (!XTestFakeKeyEvent(display, keycode, press, 0)) {
        return xrcError(display, "Can't inject %s key %u", xrcDeviceName(device), keycode);
      }
      break;
    case kXrcMethodXtestExt1:
      if ((error = confirmXtestExt1(context))) return error;
      if (xtest1XTestPressKey(display, static_cast<int>(context->xtestExt1Keyboard), 0, keycode,
                              press ? kXtestExt1Press : kXtestExt1Release) != 0 ||
          xtest1XTestFlush(display) != 0) {
        return xrcError(display, "XTestExtension1 can't %s %s key %u",
                        press ? "press" : "release", xrcDeviceName(device), keycode);
      }
      break;
    default:
      if (!xcontrolFakeKeyEvent(display, keycode, press, 0)) {
        return xrcError(display, "Can't inject %s key %u", xrcDeviceName(device), keycode);
      }
      break;
  }
  context->keyState[keycode] = press ? 1 : 0;
  xrcFlushIfWanted(display);
  if (press && context->options[kXrcOptionKeyBell] == 1) {
    return xrcRingBell(display, kXrcKeyboard, kKeyBellPitch, kBellDuration, kBellVolume);
  }
  return nullptr;
}

const char *buttonsByMask(Display *display, unsigned device, unsigned mask, bool press) {
  for (unsigned button = 1; button <= kMaxButton; button++) {
    if (!(mask & buttonBit(button))) continue;
    const char *error = press ? xrcPressButton(display, device, button)
                              : xrcReleaseButton(display, device, button);
    if (error) return error;
  }
  return nullptr;
}

bool keyBit(const char keys[32], unsigned keycode) {
  return (static_cast<unsigned char>(keys[keycode / 8]) >> (keycode % 8)) & 1;
}

const char *keysByVector(Display *display, unsigned device, const char keys[32], bool press) {
  int minimum = 8, maximum = 255;
  XDisplayKeycodes(display, &minimum, &maximum);
  for (int keycode = minimum; keycode <= maximum && keycode <= 255; keycode++) {
    if (!keyBit(keys, static_cast<unsigned>(keycode))) continue;
    const char *error = press ? xrcPressKey(display, device, static_cast<unsigned>(keycode))
                              : xrcReleaseKey(display, device, static_cast<unsigned>(keycode));
    if (error) return error;
  }
  return nullptr;
}

const char *multiClick(Display *display, unsigned device, unsigned button, int clicks,
                       const char *verb, int pauseOption) {
  const char *error = nullptr;
  if (!injecting(display, &error)) return error;
  xrcVerbose(display, "%s %s button %u...", verb, xrcDeviceName(device), button);
  int pause = xrcGetOption(display, pauseOption);
  for (int i = 0; i < clicks; i++) {
    if (i > 0) xrcDelay(display, pause);
    if ((error = xrcClick(display, device, button))) return error;
  }
  return nullptr;
}

// The screen's root, or an error text for a screen the display does not have.
const char *checkScreen(Display *display, int screen) {
  if (screen < 0 || screen >= ScreenCount(display)) {
    return xrcError(display, "No screen #%d", screen);
  }
  return nullptr;
}

}  // namespace

const char *xrcMovePointer(Display *display, unsigned device, int screen, int x, int y,
                           int flush) {
  const char *error = nullptr;
  XrcDisplay *context = injecting(display, &error);
  if (!context) return error;
  if ((error = checkScreen(display, screen))) return error;
  xrcVerbose(display, "Moving %s to %d,%d...", xrcDeviceName(device), x, y);
  int32_t walk = context->options[kXrcOptionWalk];
  if (walk <= 0) return oneStep(context, device, screen, x, y, flush);
  Window root, child;
  int currentX, currentY, windowX, windowY;
  unsigned mask;
  if (!XQueryPointer(display, RootWindow(display, screen), &root, &child, &currentX, &currentY,
                     &windowX, &windowY, &mask)) {
    return oneStep(context, device, screen, x, y, flush);
  }
  while (currentX != x || currentY != y) {
    currentX = towards(currentX, x);
    currentY = towards(currentY, y);
    if ((error = oneStep(context, device, screen, currentX, currentY, flush))) return error;
    xrcDelay(display, walk);
  }
  return nullptr;
}

const char *xrcMovePointerToCenter(Display *display, unsigned device, int screen, int flush) {
  if (!display) return xrcError(nullptr, "No display");
  if (const char *error = checkScreen(display, screen)) return error;
  return xrcMovePointer(display, device, screen, DisplayWidth(display, screen) / 2,
                        DisplayHeight(display, screen) / 2, flush);
}

const char *xrcPressButton(Display *display, unsigned device, unsigned button) {
  return pressOrRelease(display, device, button, true);
}

const char *xrcReleaseButton(Display *display, unsigned device, unsigned button) {
  return pressOrRelease(display, device, button, false);
}

const char *xrcPressButtons(Display *display, unsigned device, unsigned mask) {
  return buttonsByMask(display, device, mask, true);
}

const char *xrcReleaseButtons(Display *display, unsigned device, unsigned mask) {
  return buttonsByMask(display, device, mask, false);
}

const char *xrcSetButtons(Display *display, unsigned device, unsigned mask) {
  const char *error = nullptr;
  if (!injecting(display, &error)) return error;
  if (!coreDevice(device, kXrcMouse)) return nullptr;
  unsigned current = xrcButtonState(display, device);
  if (current == mask) return nullptr;
  for (unsigned button = 1; button <= kMaxButton; button++) {
    bool down = current & buttonBit(button);
    bool wanted = mask & buttonBit(button);
    if (down && !wanted) error = xrcReleaseButton(display, device, button);
    if (!down && wanted) error = xrcPressButton(display, device, button);
    if (error) return error;
  }
  return nullptr;
}

const char *xrcReleaseAllButtons(Display *display, unsigned device) {
  return xrcSetButtons(display, device, 0);
}

const char *xrcPressAllButtons(Display *display, unsigned device) {
  unsigned all = 0;
  for (unsigned button = 1; button <= kMaxButton; button++) all |= buttonBit(button);
  return xrcSetButtons(display, device, all);
}

unsigned xrcButtonState(Display *display, unsigned device) {
  if (!display || !coreDevice(device, kXrcMouse)) return 0;
  Window root, child;
  int rootX, rootY, windowX, windowY;
  unsigned mask = 0;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &windowX,
                &windowY, &mask);
  return mask & kButtonBits;
}

const char *xrcClick(Display *display, unsigned device, unsigned button) {
  const char *error = nullptr;
  if (!injecting(display, &error)) return error;
  xrcVerbose(display, "Clicking %s button %u...", xrcDeviceName(device), button);
  if ((error = xrcPressButton(display, device, button))) return error;
  xrcDelay(display, xrcGetOption(display, kXrcOptionClickHold));
  if ((error = xrcReleaseButton(display, device, button))) return error;
  xrcCounters.clicks++;
  return nullptr;
}

const char *xrcDoubleClick(Display *display, unsigned device, unsigned button) {
  return multiClick(display, device, button, 2, "Double-clicking", kXrcOptionDoublePause);
}

const char *xrcTripleClick(Display *display, unsigned device, unsigned button) {
  return multiClick(display, device, button, 3, "Triple-clicking", kXrcOptionMultiPause);
}

const char *xrcQuadrupleClick(Display *display, unsigned device, unsigned button) {
  return multiClick(display, device, button, 4, "Quadruple-clicking", kXrcOptionMultiPause);
}

const char *xrcPressKey(Display *display, unsigned device, unsigned keycode) {
  return keyPressOrRelease(display, device, keycode, true);
}

const char *xrcReleaseKey(Display *display, unsigned device, unsigned keycode) {
  return keyPressOrRelease(display, device, keycode, false);
}

const char *xrcSetKeys(Display *display, unsigned device, const char keys[32]) {
  const char *error = nullptr;
  XrcDisplay *context = injecting(display, &error);
  if (!context) return error;
  if (!coreDevice(device, kXrcKeyboard)) return nullptr;
  char current[32];
  XQueryKeymap(display, current);
  int minimum = 8, maximum = 255;
  XDisplayKeycodes(display, &minimum, &maximum);
  bool allReleased = true;
  for (int i = 0; i < 32; i++) allReleased = allReleased && keys[i] == 0;
  for (int keycode = minimum; keycode <= maximum && keycode <= 255; keycode++) {
    unsigned code = static_cast<unsigned>(keycode);
    bool down = keyBit(current, code), wanted = keyBit(keys, code);
    if (down && !wanted) error = xrcReleaseKey(display, device, code);
    if (!down && wanted) error = xrcPressKey(display, device, code);
    if (error) return error;
  }
  if (allReleased) memset(context->keyState, 0, sizeof context->keyState);
  return nullptr;
}

const char *xrcReleaseAllKeys(Display *display, unsigned device) {
  const char none[32] = {};
  return xrcSetKeys(display, device, none);
}

const char *xrcPressAllKeys(Display *display, unsigned device) {
  char all[32];
  memset(all, 0xff, sizeof all);
  return xrcSetKeys(display, device, all);
}

const char *xrcPressKeys(Display *display, unsigned device, const char keys[32]) {
  return keysByVector(display, device, keys, true);
}

const char *xrcReleaseKeys(Display *display, unsigned device, const char keys[32]) {
  return keysByVector(display, device, keys, false);
}

const char *xrcRingBell(Display *display, unsigned device, int pitch, int duration, int volume) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (!coreDevice(device, kXrcKeyboard)) return nullptr;
  xrcVerbose(display, "Ringing %s bell...", xrcDeviceName(device));
  XGrabServer(display);
  XKeyboardState previous{};
  XGetKeyboardControl(display, &previous);
  XKeyboardControl control{};
  control.bell_pitch = pitch;
  control.bell_duration = duration;
  XChangeKeyboardControl(display, KBBellPitch | KBBellDuration, &control);
  XBell(display, volume < -100 ? -100 : volume > 100 ? 100 : volume);
  control.bell_pitch = static_cast<int>(previous.bell_pitch);
  control.bell_duration = static_cast<int>(previous.bell_duration);
  XChangeKeyboardControl(display, KBBellPitch | KBBellDuration, &control);
  XUngrabServer(display);
  xrcFlushIfWanted(display);
  return nullptr;
}

const char *xrcWarpPointer(Display *display, unsigned device, int x, int y) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (!coreDevice(device, kXrcMouse)) return nullptr;
  XWarpPointer(display, None, None, 0, 0, 0, 0, x, y);
  xrcFlushIfWanted(display);
  return nullptr;
}

const char *xrcWarpPointerTo(Display *display, unsigned device, Window window, int x, int y) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (!coreDevice(device, kXrcMouse)) return nullptr;
  XWarpPointer(display, None, window, 0, 0, 0, 0, x, y);
  xrcFlushIfWanted(display);
  return nullptr;
}

const char *xrcGrabPointerCursor(Display *display, unsigned device, Cursor cursor) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return error;
  if (!coreDevice(device, kXrcMouse)) return nullptr;
  if (cursor == None) {
    XUngrabPointer(display, CurrentTime);
    xrcFlushIfWanted(display);
    return nullptr;
  }
  int status = XGrabPointer(display, DefaultRootWindow(display), True, 0, GrabModeAsync,
                            GrabModeAsync, None, cursor, CurrentTime);
  if (status != GrabSuccess) return xrcError(display, "Can't grab %s", xrcDeviceName(device));
  return nullptr;
}

const char *xrcReleaseAll(Display *display) {
  XrcDisplay *context = display ? xrcFindDisplay(display) : nullptr;
  if (!context || !(context->capabilities & kXrcInject)) return nullptr;
  const char *buttons = xrcReleaseAllButtons(display, kXrcMouse);
  const char *keys = xrcReleaseAllKeys(display, kXrcKeyboard);
  return buttons ? buttons : keys;
}

int xrcPointerFrozen(Display *display, unsigned device) {
  const char *error = nullptr;
  if (!xrcContext(display, 0, &error)) return 0;
  if (!coreDevice(device, kXrcMouse)) return 0;
  Window root = DefaultRootWindow(display), seenRoot, child;
  int x = 0, y = 0, windowX, windowY, newX = 0, newY = 0;
  unsigned mask;
  XGrabServer(display);
  int frozen = 0;
  if (XQueryPointer(display, root, &seenRoot, &child, &x, &y, &windowX, &windowY, &mask)) {
    int testX = x > 0 ? x - 1 : 1, testY = y > 0 ? y - 1 : 1;
    XWarpPointer(display, None, root, 0, 0, 0, 0, testX, testY);
    if (XQueryPointer(display, root, &seenRoot, &child, &newX, &newY, &windowX, &windowY,
                      &mask)) {
      frozen = newX == x && newY == y;
    }
    XWarpPointer(display, None, root, 0, 0, 0, 0, x, y);
  }
  XUngrabServer(display);
  XFlush(display);
  return frozen;
}

void xrcUndoScreenCrossing(Display *display, int fromHead, int fromOriginX, int fromOriginY, int x, int y,
                           int toScreen, int toOriginX, int toOriginY, int *resultX, int *resultY) {
  // Absolute positions in 64 bits, saturated back into the rectangle arithmetic's range.
  auto sat = [](int64_t v) { return int32_t(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v); };
  int32_t absoluteX = sat(int64_t(x) + fromOriginX), absoluteY = sat(int64_t(y) + fromOriginY);
  uint32_t width = 1, height = 1;
  if (display && toScreen >= 0 && toScreen < ScreenCount(display)) {
    width = uint32_t(DisplayWidth(display, toScreen) > 0 ? DisplayWidth(display, toScreen) : 1);
    height = uint32_t(DisplayHeight(display, toScreen) > 0 ? DisplayHeight(display, toScreen) : 1);
  }
  Rect target{toOriginX, toOriginY, width, height};
  rectClampToBorder(&absoluteX, &absoluteY, target);
  *resultX = sat(int64_t(absoluteX) - toOriginX);
  *resultY = sat(int64_t(absoluteY) - toOriginY);
  logStep("Undo screen crossing from head %d %d,%d to head %d %d,%d ...", fromHead, x, y, toScreen, *resultX,
          *resultY);
}
