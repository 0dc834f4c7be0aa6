// The remote-control library's display context: attaching, the injection method, the keyboard
// and mouse control devices, options, messages and counters.
#include "xclient/xrclib.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlibint.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/misc.h"
#include "xclient/xtarget.h"
#include "xclient/xtestext1.h"
#include "xclient/xutil.h"

XrcCounters xrcCounters;

namespace {

constexpr char kUnsupportedText[] =
    "Unsupported extension XTEST (version 2.2 or higher), XTestExtension1 or XTRAP";
constexpr size_t kErrorMessageSize = 4096;

// The list of contexts. Only the links are shared between threads; each context's other fields
// belong to the thread that drives its display.
std::mutex listMutex;
XrcDisplay *listHead = nullptr;

// libXi keeps one table of displays for the whole process and makes it at its first use
// without a lock: the library's first XInput calls on two displays must not overlap.
std::mutex inputExtensionMutex;

constexpr int32_t kOptionDefaults[kXrcOptionCount] = {1, 100, 0, 0, 0, 0, 100, 100,
                                                      100, 0, 75, 75, 0, 1, 200};

void linkContext(XrcDisplay *context) {
  std::lock_guard<std::mutex> guard(listMutex);
  context->next = listHead;
  context->previous = nullptr;
  if (listHead) listHead->previous = context;
  listHead = context;
}

void unlinkContext(XrcDisplay *context) {
  std::lock_guard<std::mutex> guard(listMutex);
  if (context->previous) {
    context->previous->next = context->next;
  } else if (listHead == context) {
    listHead = context->next;
  }
  if (context->next) context->next->previous = context->previous;
  context->next = context->previous = nullptr;
}

// Frees what a context owns in memory; nothing goes to the server.
void freeContextMemory(XrcDisplay *context) {
  if (context->devices) XFreeDeviceList(context->devices);
  for (XrcDeviceEntry &entry : context->deviceEntries) {
    // An XDevice is one Xlib allocation; closing it would send a request.
    if (entry.device) XFree(entry.device);
  }
  free(context->selections);
  free(context);
}

bool serverHas(Display *display, const char *name) {
  int major, event, error;
  return XQueryExtension(display, name, &major, &event, &error);
}

// The first class of a device with that class id, NULL when it has none.
const XAnyClassInfo *deviceClass(const XDeviceInfo &info, int classId) {
  const char *position = reinterpret_cast<const char *>(info.inputclassinfo);
  for (int i = 0; i < info.num_classes && position; i++) {
    auto any = reinterpret_cast<const XAnyClassInfo *>(position);
    if (static_cast<int>(any->c_class) == classId) return any;
    if (any->length <= 0) break;
    position += any->length;
  }
  return nullptr;
}

template <typename F>
void forEachClass(const XDeviceInfo &info, F visit) {
  const char *position = reinterpret_cast<const char *>(info.inputclassinfo);
  for (int i = 0; i < info.num_classes && position; i++) {
    auto any = reinterpret_cast<const XAnyClassInfo *>(position);
    visit(any);
    if (any->length <= 0) break;
    position += any->length;
  }
}

bool nameIs(const XDeviceInfo &info, const char *a, const char *b) {
  return info.name && (strcmp(info.name, a) == 0 || (b && strcmp(info.name, b) == 0));
}

// Reads "physical=%d null=%d" from a STRING property of format 8 on the root of screen 0. Any
// client can write the root's properties and the ids index the device entries, so anything
// else, or an id outside 0-255, is ignored.
bool readOffProperty(Display *display, const char *name, Atom *atom, unsigned *physical,
                     unsigned *null) {
  if (*atom == None) *atom = XInternAtom(display, name, True);
  if (*atom == None) return false;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  if (XGetWindowProperty(display, RootWindow(display, 0), *atom, 0, 64, False, AnyPropertyType,
                         &type, &format, &count, &after, &data) != Success) {
    return false;
  }
  bool taken = false;
  if (data && type == XA_STRING && format == 8 && after == 0 && count < 200) {
    char text[256];
    memcpy(text, data, count);
    text[count] = '\0';
    int a = -1, b = -1, end = -1;
    if (sscanf(text, "physical=%d null=%d%n", &a, &b, &end) == 2 &&
        end == static_cast<int>(count) && a >= 0 && a <= 255 && b >= 0 && b <= 255) {
      *physical = static_cast<unsigned>(a);
      *null = static_cast<unsigned>(b);
      taken = true;
    }
  }
  if (data) XFree(data);
  return taken;
}

const char *attachContext(Display *display, XrcDisplay **result) {
  XExtCodes *codes = XAddExtension(display);
  if (!codes) return xrcError(display, "XAddExtension() failed");
  auto context = static_cast<XrcDisplay *>(calloc(1, sizeof(XrcDisplay)));
  if (!context) return xrcError(display, "Out of memory");
  context->display = display;
  linkContext(context);
  memcpy(context->options, kOptionDefaults, sizeof context->options);
  // The first answer is waited for at most the sync limit; the queries below are asked only of
  // a server that gave it.
  int buttons = xrcQueryButtonCount(display);
  if (buttons < 0) {
    unlinkContext(context);
    freeContextMemory(context);
    return xrcError(display, "No answer to the pointer mapping");
  }
  context->options[kXrcOptionButtons] = buttons;
  context->pointerRedirectionAtom = XInternAtom(display, "_XPOINTER_REDIRECTION", False);
  context->keyboardRedirectionAtom = XInternAtom(display, "_XKEYBOARD_REDIRECTION", False);
  if (context->pointerRedirectionAtom == None || context->keyboardRedirectionAtom == None) {
    unlinkContext(context);
    freeContextMemory(context);
    return xrcError(display, "XInternAtom() failed");
  }
  auto extData = static_cast<XExtData *>(calloc(1, sizeof(XExtData)));
  if (!extData) {
    unlinkContext(context);
    freeContextMemory(context);
    return xrcError(display, "Out of memory");
  }
  extData->number = codes->extension;
  extData->free_private = xrcFreeDisplay;
  extData->private_data = reinterpret_cast<XPointer>(context);
  XAddToExtensionList(XEHeadOfExtensionList(XEDataObject{display}), extData);

  int major, event, error;
  if (XQueryExtension(display, INAME, &major, &event, &error)) {
    std::lock_guard<std::mutex> guard(inputExtensionMutex);
    context->inputMajorOpcode = static_cast<uint32_t>(major);
    if (XExtensionVersion *version = XGetExtensionVersion(display, INAME)) {
      if (version != reinterpret_cast<XExtensionVersion *>(NoSuchExtension) && version->present) {
        context->inputVersion =
            static_cast<uint32_t>(version->major_version) * 64 + version->minor_version;
      }
      if (version != reinterpret_cast<XExtensionVersion *>(NoSuchExtension)) XFree(version);
    }
    if (context->inputVersion > 68) {
      context->deviceEnabledAtom = XInternAtom(display, "Device Enabled", True);
    }
    context->devices = XListInputDevices(display, &context->deviceCount);
    if (!context->devices) context->deviceCount = 0;
  }
  context->keyboardNull = context->mouseNull = kXrcNoDevice;
  context->keyboardPhysical = context->mousePhysical = kXrcNoDevice;
  xrcCounters.displays++;
  *result = context;
  return nullptr;
}

// The XInput ids of the core pointer and keyboard; 256 and 257 when the list has none.
void lookUpXtestExt1Devices(XrcDisplay *context) {
  context->xtestExt1Pointer = kXrcMouse;
  context->xtestExt1Keyboard = kXrcKeyboard;
  for (int i = 0; i < context->deviceCount; i++) {
    const XDeviceInfo &info = context->devices[i];
    if (info.use == IsXPointer) context->xtestExt1Pointer = static_cast<unsigned>(info.id);
    if (info.use == IsXKeyboard) context->xtestExt1Keyboard = static_cast<unsigned>(info.id);
  }
}

// Step 3: the injection method; NULL when capabilities 1 (and 2 when pastGrab) are granted.
const char *attachInjection(XrcDisplay *context, bool pastGrab) {
  Display *display = context->display;
  // A failed attach is tried again at the next use: its extension queries are Xlib's round
  // trips, asked only of a server that answered one within the sync limit.
  if (const char *failure = xtargetSync(display, xtargetSyncLimitMs))
    return xrcError(display, "No answer before the injection method: %s", failure);
  if (serverHas(display, "MORWENTECH CONTROL")) {
    context->method = kXrcMethodControl;
    return nullptr;
  }
  if (serverHas(display, "XTEST")) {
    if (!pastGrab) {
      context->method = kXrcMethodXtest;
      return nullptr;
    }
    int event, error, major = 0, minor = 0;
    if (XTestQueryExtension(display, &event, &error, &major, &minor) &&
        (major > 2 || (major == 2 && minor >= 2))) {
      XTestGrabControl(display, True);
      if (context->options[kXrcOptionFlush]) XFlush(display);
      context->method = kXrcMethodXtest;
      return nullptr;
    }
  }
  if (serverHas(display, "XTestExtension1")) {
    if (!pastGrab) {
      context->method = kXrcMethodXtestExt1;
      return nullptr;
    }
    lookUpXtestExt1Devices(context);
    Window root, child;
    int x = 0, y = 0, windowX, windowY;
    unsigned mask;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &windowX,
                  &windowY, &mask);
    unsigned long delay = 0;
    int moved = xtest1XTestMovePointer(display, static_cast<int>(context->xtestExt1Pointer),
                                       &delay, &x, &y, 1);
    if (moved == 0) xtest1XTestFlush(display);
    if (moved == 0 && xmiscIsImpervious(display)) {
      context->method = kXrcMethodXtestExt1;
      context->xtestExt1Ready = 1;
      return nullptr;
    }
    xrcError(display, "XTestExtension1 not impervious");
  }
  return xrcError(display, "%s", kUnsupportedText);
}

// The common start of keyboard and mouse control: needs XInput; the ids from the root's
// property when it holds valid ones (then *core stays NULL); else the core device of that use
// from the device list in *core. NULL or an error text.
const char *controlStart(XrcDisplay *context, const char *property, Atom *atom,
                         unsigned *physical, unsigned *null, int coreUse, const char *noCore,
                         const XDeviceInfo **core) {
  Display *display = context->display;
  if (!context->inputVersion && !serverHas(display, INAME)) {
    return xrcError(display, "No XInputExtension");
  }
  if (readOffProperty(display, property, atom, physical, null)) return nullptr;
  if (!context->devices) {
    return xrcError(display, "Can't list input devices on %s", xmiscLocalDisplayPart(display));
  }
  for (int i = 0; i < context->deviceCount; i++) {
    if (static_cast<int>(context->devices[i].use) == coreUse) {
      *core = &context->devices[i];
      return nullptr;
    }
  }
  return xrcError(display, "%s", noCore);
}

// Step 4: the physical and the null keyboard.
const char *attachKeyboardControl(XrcDisplay *context) {
  Display *display = context->display;
  const XDeviceInfo *core = nullptr;
  if (const char *error = controlStart(context, "_MWT_KEYBOARD_OFF", &context->keyboardOffAtom,
                                       &context->keyboardPhysical, &context->keyboardNull,
                                       IsXKeyboard, "No core keyboard device", &core)) {
    return error;
  }
  if (!core) return nullptr;
  auto coreKeys = reinterpret_cast<const XKeyInfo *>(deviceClass(*core, KeyClass));
  int coreCount = coreKeys ? coreKeys->num_keys : 0;
  int coreMin = coreKeys ? coreKeys->min_keycode : 0;
  int best = -1, bestScore = 256;
  for (int i = 0; i < context->deviceCount; i++) {
    const XDeviceInfo &info = context->devices[i];
    if (info.use != IsXExtensionDevice && info.use != IsXExtensionKeyboard) continue;
    int score = nameIs(info, "Null Keyboard", "NKEYBOARD") ? 0
                : nameIs(info, "Power Button", nullptr) ? 128
                                                         : 64;
    const XKeyInfo *keys = nullptr;
    forEachClass(info, [&](const XAnyClassInfo *any) {
      if (any->c_class == KeyClass) {
        if (!keys) keys = reinterpret_cast<const XKeyInfo *>(any);
      } else if (any->c_class == ButtonClass) {
        if (reinterpret_cast<const XButtonInfo *>(any)->num_buttons) score += 4;
      } else if (any->c_class == ValuatorClass) {
        if (reinterpret_cast<const XValuatorInfo *>(any)->num_axes) score += 2;
      } else {
        score += 1;
      }
    });
    int count = keys ? keys->num_keys : 0;
    if (!keys || count == 0 || count < coreCount) score += 256;
    if (count >= 249) score += 32;
    if (keys && count == coreCount && keys->min_keycode != coreMin) score += 8;
    if (count > coreCount) score += 16;
    if (score < bestScore) {
      bestScore = score;
      best = i;
    }
  }
  if (best < 0) return xrcError(display, "No null keyboard device");
  context->keyboardPhysical = static_cast<unsigned>(core->id);
  context->keyboardNull = static_cast<unsigned>(context->devices[best].id);
  return nullptr;
}

// Step 5: the physical and the null mouse.
const char *attachMouseControl(XrcDisplay *context) {
  Display *display = context->display;
  const XDeviceInfo *core = nullptr;
  if (const char *error = controlStart(context, "_MWT_MOUSE_OFF", &context->mouseOffAtom,
                                       &context->mousePhysical, &context->mouseNull,
                                       IsXPointer, "No core mouse device", &core)) {
    return error;
  }
  if (!core) return nullptr;
  // A count above 255 arrived with its two bytes swapped.
  auto buttonsOf = [](const XDeviceInfo &info) {
    auto buttons = reinterpret_cast<const XButtonInfo *>(deviceClass(info, ButtonClass));
    int n = buttons ? buttons->num_buttons : 0;
    if (n > 255) n = ((n & 0xff) << 8) | ((n >> 8) & 0xff);
    return n;
  };
  int coreButtons = buttonsOf(*core);
  int best = -1, bestScore = 16;
  for (int i = 0; i < context->deviceCount; i++) {
    const XDeviceInfo &info = context->devices[i];
    if (info.use != IsXExtensionDevice && info.use != IsXExtensionPointer) continue;
    int score = nameIs(info, "Null Mouse", "NMOUSE") ? 0 : 8;
    int buttons = buttonsOf(info);
    if (buttons == 0) {
      score += 16;
    } else if (buttons < coreButtons) {
      score += 4;
    } else if (buttons > coreButtons) {
      score += 1;
    }
    auto valuators = reinterpret_cast<const XValuatorInfo *>(deviceClass(info, ValuatorClass));
    int axes = valuators ? valuators->num_axes : 0;
    if (axes <= 1) {
      score += 16;
    } else if (axes >= 3) {
      score += 2;
    }
    if (score < bestScore) {
      bestScore = score;
      best = i;
    }
  }
  if (best < 0) return xrcError(display, "No null mouse device");
  context->mousePhysical = static_cast<unsigned>(core->id);
  context->mouseNull = static_cast<unsigned>(context->devices[best].id);
  return nullptr;
}

const char *versionText() {
  static char text[40];
  static std::once_flag once;
  std::call_once(once, [] {
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char *date = __DATE__;  // "Mmm dd yyyy"
    unsigned month = 1;
    for (unsigned m = 0; m < 12; m++) {
      if (strncmp(kMonths + 3 * m, date, 3) == 0) month = m + 1;
    }
    unsigned day = static_cast<unsigned>(atoi(date + 4));
    unsigned year = static_cast<unsigned>(atoi(date + 7));
    snprintf(text, sizeof text, "%u.%u.%u", 1u, 0u, year * 10000 + month * 100 + day);
  });
  return text;
}

}  // namespace

const char *xrcInitDisplay(Display *display, unsigned capabilities) {
  if (!display) return xrcError(nullptr, "No display");
  XrcDisplay *context = xrcFindDisplay(display);
  if (context && (capabilities & ~context->capabilities) == 0) return nullptr;
  if (!context) {
    if (const char *error = attachContext(display, &context)) return error;
  }
  if (capabilities & (kXrcInject | kXrcInjectPastGrab)) {
    bool pastGrab = (capabilities | context->capabilities) & kXrcInjectPastGrab;
    bool held = (context->capabilities & kXrcInject) &&
                (!pastGrab || (context->capabilities & kXrcInjectPastGrab));
    if (!held) {
      if (const char *error = attachInjection(context, pastGrab)) return error;
      context->capabilities |= kXrcInject | (pastGrab ? kXrcInjectPastGrab : 0);
    }
  }
  if ((capabilities & kXrcKeyboardControl) && !(context->capabilities & kXrcKeyboardControl)) {
    if (const char *error = attachKeyboardControl(context)) return error;
    context->capabilities |= kXrcKeyboardControl;
  }
  if ((capabilities & kXrcMouseControl) && !(context->capabilities & kXrcMouseControl)) {
    if (const char *error = attachMouseControl(context)) return error;
    context->capabilities |= kXrcMouseControl;
  }
  return nullptr;
}

XrcDisplay *xrcFindDisplay(Display *display) {
  std::lock_guard<std::mutex> guard(listMutex);
  for (XrcDisplay *context = listHead; context; context = context->next) {
    if (context->display == display) return context;
  }
  return nullptr;
}

int xrcFreeDisplay(XExtData *data) {
  auto context = data ? reinterpret_cast<XrcDisplay *>(data->private_data) : nullptr;
  if (!context) {
    LOG_UNE();
    return 0;
  }
  unlinkContext(context);
  freeContextMemory(context);
  data->private_data = nullptr;
  return 0;
}

XrcDisplay *xrcContext(Display *display, unsigned capabilities, const char **error) {
  XrcDisplay *context = display ? xrcFindDisplay(display) : nullptr;
  if (context && (capabilities & ~context->capabilities) == 0) return context;
  *error = xrcInitDisplay(display, capabilities);
  return *error ? nullptr : xrcFindDisplay(display);
}

int32_t xrcGetOption(Display *display, int index) {
  if (index < 0 || index >= kXrcOptionCount) return 0;
  const char *error = nullptr;
  XrcDisplay *context = xrcContext(display, 0, &error);
  return context ? context->options[index] : 0;
}

const char *xrcSetOption(Display *display, int index, int32_t value) {
  if (index < 0 || index >= kXrcOptionCount) return xrcError(display, "No option #%d", index);
  const char *error = nullptr;
  XrcDisplay *context = xrcContext(display, 0, &error);
  if (!context) return error;
  context->options[index] = value;
  return nullptr;
}

unsigned xrcHold(Display *display) {
  const char *error = nullptr;
  XrcDisplay *context = xrcContext(display, 0, &error);
  if (!context) return 0;
  if (context->holdCount < UINT16_MAX) context->holdCount++;
  return context->holdCount;
}

unsigned xrcRelease(Display *display) {
  const char *error = nullptr;
  XrcDisplay *context = xrcContext(display, 0, &error);
  if (!context) return 0;
  if (context->holdCount > 0) context->holdCount--;
  return context->holdCount;
}

void xrcDelay(Display *display, int percent) {
  int64_t ms = static_cast<int64_t>(xrcGetOption(display, kXrcOptionDelayUnit)) * percent / 100;
  if (ms <= 0) return;
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0) {
  }
}

int xrcQueryButtonCount(Display *display) {
  xcb_connection_t *connection = XGetXCBConnection(display);
  if (!connection) return -1;
  void *answer = nullptr;
  const char *failure = xtargetWaitReply(display, xcb_get_pointer_mapping(connection).sequence,
                                         xtargetSyncLimitMs, &answer, nullptr);
  if (failure || !answer) {
    logProblem(failure ? failure : "GetPointerMapping failed", __FILE__, __LINE__);
    return -1;
  }
  int count = static_cast<xcb_get_pointer_mapping_reply_t *>(answer)->map_len;
  free(answer);
  return count;
}

uint32_t xrcInputExtensionVersion(Display *display) {
  const char *error = nullptr;
  XrcDisplay *context = xrcContext(display, 0, &error);
  return context ? context->inputVersion : 0;
}

const char *xrcError(Display *display, const char *format, ...) {
  char message[kErrorMessageSize];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  xrcCounters.errors++;
  if (display) return strTempPrintf("%s on display %s", message, xmiscLocalDisplayPart(display));
  return strTempPrintf("%s (XRC)", message);
}

void xrcVerbose(Display *display, const char *format, ...) {
  if (!xrcGetOption(display, kXrcOptionVerbose)) return;
  va_list args;
  va_start(args, format);
  fputc('\n', stdout);
  vfprintf(stdout, format, args);
  va_end(args);
  fflush(stdout);
}

void xrcFlushIfWanted(Display *display) {
  if (xrcGetOption(display, kXrcOptionFlush)) XFlush(display);
}

const char *xrcDeviceName(unsigned device) {
  if (device == kXrcMouse) return "mouse";
  if (device == kXrcKeyboard) return "keyboard";
  return strTempPrintf("input device #%u", device);
}

const char *xrcLibraryName() { return "XRCLib"; }

const char *xrcLibraryVersion() { return versionText(); }

const char *xrcStatistics() {
  // Nine counters at 4294967295 with their letters: 99 characters and the terminating zero.
  static thread_local char text[100];
  const struct {
    const std::atomic<uint32_t> &value;
    char letter;
  } counters[] = {
      {xrcCounters.displays, 'd'}, {xrcCounters.devicesOpened, 'i'},
      {xrcCounters.moves, 'm'},    {xrcCounters.clicks, 'b'},
      {xrcCounters.hotKeys, 'h'},  {xrcCounters.touches, 't'},
      {xrcCounters.switchOffs, 'o'}, {xrcCounters.refreshes, 'r'},
  };
  char *position = text;
  char *end = text + sizeof text;
  position = strAppendf(position, end, "%ue", xrcCounters.errors.load());
  for (const auto &counter : counters) {
    uint32_t value = counter.value.load();
    if (value) position = strAppendf(position, end, "%u%c", value, counter.letter);
  }
  return text;
}
