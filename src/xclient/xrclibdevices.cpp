// The remote-control library's XInput devices and the keyboard and mouse switch.
#include "xclient/xrclibdevices.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/misc.h"
#include "xclient/xcontrol.h"
#include "xclient/xtarget.h"

namespace {

constexpr size_t kRedirectionMax = 256;

XrcDisplay *plainContext(Display *display, const char **error) {
  return xrcContext(display, 0, error);
}

bool isXinputDevice(unsigned device) { return device < kXrcMouse; }

XDeviceInfo *listedDevice(XrcDisplay *context, unsigned device) {
  for (int i = 0; i < context->deviceCount; i++) {
    XDeviceInfo &info = context->devices[i];
    if (device == kXrcMouse && info.use == IsXPointer) return &info;
    if (device == kXrcKeyboard && info.use == IsXKeyboard) return &info;
    if (isXinputDevice(device) && info.id == device) return &info;
  }
  return nullptr;
}

// The current core device of that use, asked of the server; kXrcNoDevice when none.
unsigned currentCore(Display *display, int use) {
  int count = 0;
  XDeviceInfo *list = XListInputDevices(display, &count);
  unsigned id = kXrcNoDevice;
  for (int i = 0; list && i < count; i++) {
    if (static_cast<int>(list[i].use) == use) id = static_cast<unsigned>(list[i].id);
  }
  if (list) XFreeDeviceList(list);
  return id;
}

// The XInput event classes of the key, button and motion events of an opened device.
std::vector<XEventClass> eventClassesOf(XDevice *device) {
  std::vector<XEventClass> classes;
  int type;
  XEventClass eventClass;
  auto add = [&] {
    if (eventClass) classes.push_back(eventClass);
  };
  eventClass = 0;
  DeviceKeyPress(device, type, eventClass);
  add();
  eventClass = 0;
  DeviceKeyRelease(device, type, eventClass);
  add();
  eventClass = 0;
  DeviceButtonPress(device, type, eventClass);
  add();
  eventClass = 0;
  DeviceButtonRelease(device, type, eventClass);
  add();
  eventClass = 0;
  DeviceMotionNotify(device, type, eventClass);
  add();
  (void)type;
  return classes;
}

// "Device Enabled" of every extension keyboard (or pointer) to the value, each request under
// the error trap: a device that refuses stays as it is.
void setDevicesEnabled(XrcDisplay *context, bool keyboard, unsigned char value) {
  Display *display = context->display;
  int use = keyboard ? IsXExtensionKeyboard : IsXExtensionPointer;
  XtargetErrorTrap trap(display);
  for (int i = 0; i < context->deviceCount; i++) {
    const XDeviceInfo &info = context->devices[i];
    if (static_cast<int>(info.use) != use) continue;
    XDevice device{};
    device.device_id = info.id;
    XChangeDeviceProperty(display, &device, context->deviceEnabledAtom, XA_INTEGER, 8,
                          PropModeReplace, &value, 1);
    trap.errorCame();
  }
}

// Makes the device the core keyboard or pointer; NULL or the status word.
const char *changeCore(XrcDisplay *context, unsigned device, bool keyboard) {
  Display *display = context->display;
  if (const char *error = xrcOpenDeviceEntry(context, device)) return error;
  XDevice *opened = context->deviceEntries[device].device;
  int status;
  int came;
  {
    XtargetErrorTrap trap(display);
    status = keyboard ? XChangeKeyboardDevice(display, opened)
                      : XChangePointerDevice(display, opened, 0, 1);
    came = trap.errorCame();
  }
  if (came || status != Success) {
    xrcCloseDeviceEntry(context, device);
    // After an error libXi's status means nothing: the server refused the device.
    return came ? "BadDevice" : xrcDeviceStatusName(status);
  }
  return nullptr;
}

const char *switchOff(Display *display, bool keyboard) {
  const char *error = nullptr;
  XrcDisplay *context =
      xrcContext(display, keyboard ? kXrcKeyboardControl : kXrcMouseControl, &error);
  if (!context) return error;
  xrcVerbose(display, "%s", keyboard ? "Disabling keyboard..." : "Disabling mouse...");
  if (context->deviceEnabledAtom != None) {
    setDevicesEnabled(context, keyboard, 0);
    (keyboard ? context->keyboardDisabled : context->mouseDisabled) = 1;
    xrcFlushIfWanted(display);
    return nullptr;
  }
  unsigned physical = keyboard ? context->keyboardPhysical : context->mousePhysical;
  unsigned null = keyboard ? context->keyboardNull : context->mouseNull;
  if (null >= kXrcMouse || physical >= kXrcMouse) {
    return xrcError(display, "No null %s device", keyboard ? "keyboard" : "mouse");
  }
  if (currentCore(display, keyboard ? IsXKeyboard : IsXPointer) == null) return nullptr;
  if (const char *status = changeCore(context, null, keyboard)) {
    return xrcError(display, keyboard ? "Can't set %s as core keyboard (%s)"
                                      : "Can't set %s as core mouse (%s)",
                    xrcDeviceName(null), status);
  }
  // The physical device stays open while the null one stands in for it.
  if (const char *failed = xrcOpenDeviceEntry(context, physical)) logProblem(failed, __FILE__, __LINE__);
  Atom &atom = keyboard ? context->keyboardOffAtom : context->mouseOffAtom;
  if (atom == None) {
    atom = XInternAtom(display, keyboard ? "_MWT_KEYBOARD_OFF" : "_MWT_MOUSE_OFF", False);
  }
  const char *text = strTempPrintf("physical=%u null=%u", physical, null);
  XChangeProperty(display, RootWindow(display, 0), atom, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char *>(text), static_cast<int>(strlen(text) + 1));
  xrcFlushIfWanted(display);
  return nullptr;
}

const char *switchOn(Display *display, bool keyboard) {
  const char *error = nullptr;
  XrcDisplay *context =
      xrcContext(display, keyboard ? kXrcKeyboardControl : kXrcMouseControl, &error);
  if (!context) return error;
  xrcVerbose(display, "%s", keyboard ? "Enabling keyboard..." : "Enabling mouse...");
  uint8_t &disabled = keyboard ? context->keyboardDisabled : context->mouseDisabled;
  if (context->deviceEnabledAtom != None) {
    setDevicesEnabled(context, keyboard, 1);
    disabled = 0;
    xrcFlushIfWanted(display);
    return nullptr;
  }
  unsigned physical = keyboard ? context->keyboardPhysical : context->mousePhysical;
  unsigned null = keyboard ? context->keyboardNull : context->mouseNull;
  if (null >= kXrcMouse || physical >= kXrcMouse) return nullptr;
  if (currentCore(display, keyboard ? IsXKeyboard : IsXPointer) != null) return nullptr;
  if (const char *status = changeCore(context, physical, keyboard)) {
    return xrcError(display, keyboard ? "Can't set %s as core keyboard (%s)"
                                      : "Can't set %s as core mouse (%s)",
                    xrcDeviceName(physical), status);
  }
  // The use just taken, and the two that switching off took when it ran on this context.
  xrcCloseDeviceEntry(context, physical);
  if (context->deviceEntries[physical].openCount) xrcCloseDeviceEntry(context, physical);
  if (context->deviceEntries[null].openCount) xrcCloseDeviceEntry(context, null);
  xrcFlushIfWanted(display);
  return nullptr;
}

}  // namespace

const char *xrcDeviceStatusName(int status) {
  switch (status) {
    case Success: return "Success";
    case AlreadyGrabbed: return "AlreadyGrabed";
    case GrabFrozen: return "GrabFrozen";
    case BadMatch: return "BadMatch";
    default: return "BadDevice";
  }
}

int xrcNameMatches(const char *pattern, const char *name) {
  if (!pattern || !name) return 0;
  for (;; pattern++, name++) {
    if (*pattern == '*') return 1;
    if (tolower(static_cast<unsigned char>(*pattern)) != tolower(static_cast<unsigned char>(*name))) {
      return 0;
    }
    if (*pattern == '\0') return 1;
  }
}

const char *xrcDeviceByName(Display *display, const char *name, unsigned *device) {
  *device = kXrcNoDevice;
  if (!name) name = "";
  if (strcmp(name, "mouse") == 0) {
    *device = kXrcMouse;
    return nullptr;
  }
  if (strcmp(name, "keyboard") == 0) {
    *device = kXrcKeyboard;
    return nullptr;
  }
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return error;
  if (!context->inputVersion) return xrcError(display, "No XInputExtension");
  for (int i = 0; i < context->deviceCount; i++) {
    const XDeviceInfo &info = context->devices[i];
    if (info.id < kXrcMouse && xrcNameMatches(name, info.name)) {
      *device = static_cast<unsigned>(info.id);
      return nullptr;
    }
  }
  return xrcError(display, "No input device '%s'", name);
}

unsigned xrcOtherCoreDevice(unsigned device) {
  return device == kXrcMouse ? kXrcKeyboard : device == kXrcKeyboard ? kXrcMouse : device;
}

const XDeviceInfo *xrcDeviceInfo(Display *display, unsigned device) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  return context ? listedDevice(context, device) : nullptr;
}

int xrcDeviceExists(Display *display, unsigned device) {
  if (device == kXrcMouse || device == kXrcKeyboard) return 1;
  return xrcDeviceInfo(display, device) != nullptr;
}

int xrcDeviceHasClass(Display *display, unsigned device, int inputClass) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return 0;
  if (inputClass == KeyClass || inputClass == ButtonClass || inputClass == ValuatorClass) {
    const XDeviceInfo *info = listedDevice(context, device);
    if (!info) return 0;
    const char *position = reinterpret_cast<const char *>(info->inputclassinfo);
    for (int i = 0; i < info->num_classes && position; i++) {
      auto any = reinterpret_cast<const XAnyClassInfo *>(position);
      if (static_cast<int>(any->c_class) == inputClass) return 1;
      if (any->length <= 0) break;
      position += any->length;
    }
    return 0;
  }
  if (!isXinputDevice(device) || xrcOpenDeviceEntry(context, device)) return 0;
  const XDevice *opened = context->deviceEntries[device].device;
  int found = 0;
  for (int i = 0; i < opened->num_classes; i++) {
    if (opened->classes[i].input_class == inputClass) found = 1;
  }
  xrcCloseDeviceEntry(context, device);
  return found;
}

const char *xrcOpenDeviceEntry(XrcDisplay *context, unsigned device) {
  if (!isXinputDevice(device)) return nullptr;
  Display *display = context->display;
  if (!context->inputVersion) return xrcError(display, "No XInputExtension");
  XrcDeviceEntry &entry = context->deviceEntries[device];
  if (entry.openCount == 0) {
    XDevice *opened = nullptr;
    {
      XtargetErrorTrap trap(display);
      opened = XOpenDevice(display, device);
      if (trap.errorCame() && opened) {
        XFree(opened);
        opened = nullptr;
      }
    }
    if (!opened) return xrcError(display, "Can't open %s", xrcDeviceName(device));
    entry.device = opened;
    xrcCounters.devicesOpened++;
  }
  if (entry.openCount < UINT16_MAX) entry.openCount++;
  return nullptr;
}

void xrcCloseDeviceEntry(XrcDisplay *context, unsigned device) {
  if (!isXinputDevice(device)) return;
  XrcDeviceEntry &entry = context->deviceEntries[device];
  if (entry.openCount == 0 || --entry.openCount > 0) return;
  XDevice *opened = entry.device;
  entry.device = nullptr;
  if (opened && XCloseDevice(context->display, opened) != Success) {
    logProblem(xrcError(context->display, "Can't close %s", xrcDeviceName(device)), __FILE__,
               __LINE__);
  }
}

const char *xrcUseDevice(Display *display, unsigned device) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return error;
  xrcVerbose(display, "Using %s...", xrcDeviceName(device));
  return xrcOpenDeviceEntry(context, device);
}

const char *xrcUnuseDevice(Display *display, unsigned device) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return error;
  xrcVerbose(display, "Unusing %s...", xrcDeviceName(device));
  xrcCloseDeviceEntry(context, device);
  return nullptr;
}

const char *xrcSelectDeviceEvents(Display *display, unsigned device, Window window) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return error;
  xrcVerbose(display, "Selecting %s events...", xrcDeviceName(device));
  if (!isXinputDevice(device) || !listedDevice(context, device)) {
    return xrcError(display, "%s not present", xrcDeviceName(device));
  }
  if ((error = xrcOpenDeviceEntry(context, device))) return error;
  std::vector<XEventClass> classes = eventClassesOf(context->deviceEntries[device].device);
  size_t total = static_cast<size_t>(context->selectionCount) + classes.size();
  auto grown = static_cast<uint32_t *>(realloc(context->selections, total * sizeof(uint32_t)));
  if (!grown) {
    xrcCloseDeviceEntry(context, device);
    return OUT_OF_MEMORY_TEXT_AT("xrclibdevices");
  }
  context->selections = grown;
  for (XEventClass eventClass : classes) {
    context->selections[context->selectionCount++] = static_cast<uint32_t>(eventClass);
  }
  std::vector<XEventClass> all(context->selections,
                               context->selections + context->selectionCount);
  XSelectExtensionEvent(display, window ? window : DefaultRootWindow(display), all.data(),
                        static_cast<int>(all.size()));
  xrcFlushIfWanted(display);
  return nullptr;
}

const char *xrcUnselectDeviceEvents(Display *display, unsigned device, Window window) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return error;
  xrcVerbose(display, "Unselecting %s events...", xrcDeviceName(device));
  // An event class holds the device id above its low byte.
  int kept = 0;
  bool had = false;
  for (int i = 0; i < context->selectionCount; i++) {
    if ((context->selections[i] >> 8) == device) {
      had = true;
    } else {
      context->selections[kept++] = context->selections[i];
    }
  }
  if (!had) return nullptr;
  context->selectionCount = kept;
  std::vector<XEventClass> all(context->selections, context->selections + kept);
  XSelectExtensionEvent(display, window ? window : DefaultRootWindow(display), all.data(), kept);
  xrcCloseDeviceEntry(context, device);
  xrcFlushIfWanted(display);
  return nullptr;
}

const char *xrcGrabDevice(Display *display, unsigned device, Window window) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return error;
  xrcVerbose(display, "Grabbing %s events...", xrcDeviceName(device));
  Window on = window ? window : DefaultRootWindow(display);
  int status;
  if (device == kXrcMouse) {
    status = XGrabPointer(display, on, True, ButtonPressMask | ButtonReleaseMask |
                          PointerMotionMask, GrabModeAsync, GrabModeAsync, None, None,
                          CurrentTime);
  } else if (device == kXrcKeyboard) {
    status = XGrabKeyboard(display, on, True, GrabModeAsync, GrabModeAsync, CurrentTime);
  } else {
    if ((error = xrcOpenDeviceEntry(context, device))) return error;
    XDevice *opened = context->deviceEntries[device].device;
    std::vector<XEventClass> classes = eventClassesOf(opened);
    status = XGrabDevice(display, opened, on, True, static_cast<int>(classes.size()),
                         classes.data(), GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status != GrabSuccess) xrcCloseDeviceEntry(context, device);
  }
  if (status != GrabSuccess) return xrcError(display, "Can't grab %s", xrcDeviceName(device));
  return nullptr;
}

const char *xrcUngrabDevice(Display *display, unsigned device) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return error;
  xrcVerbose(display, "Ungrab %s events...", xrcDeviceName(device));
  if (device == kXrcMouse) {
    XUngrabPointer(display, CurrentTime);
  } else if (device == kXrcKeyboard) {
    XUngrabKeyboard(display, CurrentTime);
  } else {
    XDevice *opened = isXinputDevice(device) ? context->deviceEntries[device].device : nullptr;
    if (!opened || XUngrabDevice(display, opened, CurrentTime) != Success) {
      return xrcError(display, "Can't ungrab %s", xrcDeviceName(device));
    }
    xrcCloseDeviceEntry(context, device);
  }
  XFlush(display);
  return nullptr;
}

int xrcPumpEvents(Display *display, XrcEventHandler handler, void *argument, int milliseconds) {
  if (!display) return 0;
  int read = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  do {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      read++;
      if (handler && handler(display, &event, argument)) return read;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (true);
  return read;
}

const char *xrcDisableDevice(Display *display, unsigned device) {
  if (device != kXrcMouse && device != kXrcKeyboard) {
    logProblem("WIP", __FILE__, __LINE__);
    return nullptr;
  }
  return switchOff(display, device == kXrcKeyboard);
}

const char *xrcEnableDevice(Display *display, unsigned device) {
  if (device != kXrcMouse && device != kXrcKeyboard) {
    logProblem("WIP", __FILE__, __LINE__);
    return nullptr;
  }
  return switchOn(display, device == kXrcKeyboard);
}

const char *xrcDisableInput(Display *display) {
  xrcVerbose(display, "Disabling input...");
  const char *keyboard = xrcDisableDevice(display, kXrcKeyboard);
  const char *mouse = xrcDisableDevice(display, kXrcMouse);
  xrcCounters.switchOffs++;
  return keyboard ? keyboard : mouse;
}

const char *xrcEnableInput(Display *display) {
  xrcVerbose(display, "Enabling input...");
  const char *keyboard = xrcEnableDevice(display, kXrcKeyboard);
  const char *mouse = xrcEnableDevice(display, kXrcMouse);
  return keyboard ? keyboard : mouse;
}

int xrcInputEnabled(Display *display) {
  XrcDisplay *context = display ? xrcFindDisplay(display) : nullptr;
  constexpr unsigned kBoth = kXrcKeyboardControl | kXrcMouseControl;
  if (!context || (context->capabilities & kBoth) != kBoth) return 0;
  if (context->keyboardDisabled || context->mouseDisabled) return 0;
  if (context->deviceEnabledAtom != None) return 1;
  return currentCore(display, IsXKeyboard) == context->keyboardPhysical &&
         currentCore(display, IsXPointer) == context->mousePhysical;
}

const char *xrcTouch(Display *display, unsigned device, int x, int y) {
  const char *error = nullptr;
  XrcDisplay *context = xrcContext(display, kXrcInject, &error);
  if (!context) return error;
  xrcVerbose(display, "Single touch at %d,%d...", x, y);
  if (context->method == kXrcMethodXtestExt1) {
    return xrcError(display, "Can't touch with %s: XTestExtension1 has no valuators",
                    xrcDeviceName(device));
  }
  if (!isXinputDevice(device)) return xrcError(display, "%s not present", xrcDeviceName(device));
  if ((error = xrcUseDevice(display, device))) return error;
  unsigned button = static_cast<unsigned>(context->options[kXrcOptionTouchButton]);
  int axes[2] = {x, y};
  XDevice *opened = context->deviceEntries[device].device;
  for (int press = 1; press >= 0 && !error; press--) {
    int sent = context->method == kXrcMethodControl
                   ? xcontrolFakeDeviceButtonEvent(display, static_cast<int>(device), button,
                                                   press, 0, axes, 2, 0)
                   : XTestFakeDeviceButtonEvent(display, opened, button, press, axes, 2, 0);
    if (!sent) error = xrcError(display, "Can't touch with %s", xrcDeviceName(device));
    xrcFlushIfWanted(display);
    if (press) xrcDelay(display, context->options[kXrcOptionTouchHold]);
  }
  xrcUnuseDevice(display, device);
  if (!error) xrcCounters.touches++;
  return error;
}

const char *xrcDeviceFocus(Display *display, unsigned device, Window *focus) {
  *focus = None;
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return error;
  int revert = 0;
  if (device == kXrcKeyboard || device == kXrcMouse) {
    XGetInputFocus(display, focus, &revert);
    return nullptr;
  }
  if ((error = xrcOpenDeviceEntry(context, device))) return error;
  Time time = 0;
  XtargetErrorTrap trap(display);
  XGetDeviceFocus(display, context->deviceEntries[device].device, focus, &revert, &time);
  if (trap.errorCame()) error = xrcError(display, "%s has no focus", xrcDeviceName(device));
  xrcCloseDeviceEntry(context, device);
  return error;
}

int xrcDeviceGrabbed(Display *display, unsigned device) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return 0;
  Window root = DefaultRootWindow(display);
  int status;
  if (device == kXrcMouse) {
    status = XGrabPointer(display, root, False, 0, GrabModeAsync, GrabModeAsync, None, None,
                          CurrentTime);
    if (status == GrabSuccess) XUngrabPointer(display, CurrentTime);
  } else if (device == kXrcKeyboard) {
    status = XGrabKeyboard(display, root, False, GrabModeAsync, GrabModeAsync, CurrentTime);
    if (status == GrabSuccess) XUngrabKeyboard(display, CurrentTime);
  } else {
    if (xrcOpenDeviceEntry(context, device)) return 0;
    XDevice *opened = context->deviceEntries[device].device;
    status = XGrabDevice(display, opened, root, False, 0, nullptr, GrabModeAsync, GrabModeAsync,
                         CurrentTime);
    if (status == GrabSuccess) XUngrabDevice(display, opened, CurrentTime);
    xrcCloseDeviceEntry(context, device);
  }
  // The trial grab is over before anybody else's next request is served.
  XSync(display, False);
  return status == AlreadyGrabbed || status == GrabFrozen;
}

const char *xrcSetRedirection(Display *display, unsigned device, const char *name) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return error;
  Atom atom = device == kXrcKeyboard ? context->keyboardRedirectionAtom
                                     : context->pointerRedirectionAtom;
  Window root = RootWindow(display, 0);
  if (!name || !*name) {
    XDeleteProperty(display, root, atom);
  } else {
    XChangeProperty(display, root, atom, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(name),
                    static_cast<int>(strnlen(name, kRedirectionMax - 1) + 1));
  }
  xrcFlushIfWanted(display);
  return nullptr;
}

const char *xrcGetRedirection(Display *display, unsigned device) {
  const char *error = nullptr;
  XrcDisplay *context = plainContext(display, &error);
  if (!context) return nullptr;
  Atom atom = device == kXrcKeyboard ? context->keyboardRedirectionAtom
                                     : context->pointerRedirectionAtom;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  if (XGetWindowProperty(display, RootWindow(display, 0), atom, 0, kRedirectionMax / 4, False,
                         XA_STRING, &type, &format, &count, &after, &data) != Success) {
    return nullptr;
  }
  const char *name = nullptr;
  if (data && type == XA_STRING && format == 8 && count > 0) {
    // Any client may write the property: the name ends at its first NUL or its last byte.
    name = strTempPrintf("%.*s", static_cast<int>(strnlen(reinterpret_cast<char *>(data), count)),
                         reinterpret_cast<char *>(data));
  }
  if (data) XFree(data);
  return name;
}
