// Client of the "MORWENTECH CONTROL" extension.
#include "xclient/xcontrol.h"

#include <cstdint>
#include <cstring>

#include <X11/Xlibint.h>

#include "xclient/xutil.h"

namespace {

constexpr const char *kControlName = "MORWENTECH CONTROL";
constexpr int kControlQueryVersion = 0;
constexpr int kControlFakeInput = 1;
constexpr size_t kFakeInputBytes = 36;
constexpr size_t kEventBytes = 32;
constexpr uint8_t kMoreEvents = 0x80;

// Offsets of XInput's event types from its first event code.
constexpr int kDeviceValuator = 0;
constexpr int kDeviceKeyPress = 1;
constexpr int kDeviceButtonPress = 3;
constexpr int kDeviceMotion = 5;
constexpr int kProximityIn = 8;
constexpr int kProximityOut = 9;

XutilExtension controlExtension = {kControlName, nullptr};

// Private data of the display's record: XInput's first event code, 0 without XInput.
XPointer xinputFirstEventOf(Display *display) {
  int major, event, error;
  int first = XQueryExtension(display, "XInputExtension", &major, &event, &error) ? event : 0;
  return reinterpret_cast<XPointer>(static_cast<intptr_t>(first));
}

// The record when the server has the extension; NULL after Xlib's missing-extension report.
XExtDisplayInfo *controlCheck(Display *display) {
  XExtDisplayInfo *info = xutilExtensionDisplay(&controlExtension, display, xinputFirstEventOf);
  if (!info || !XextHasExtension(info)) {
    XMissingExtension(display, kControlName);
    return nullptr;
  }
  return info;
}

int xinputFirstEvent(XExtDisplayInfo *info) {
  return static_cast<int>(reinterpret_cast<intptr_t>(info->data));
}

void put16(unsigned char *at, int value) {
  int16_t v = static_cast<int16_t>(value);
  memcpy(at, &v, 2);
}

void put32(unsigned char *at, uint32_t value) { memcpy(at, &value, 4); }

// Queues one fake-input request without valuators. The caller holds the display lock.
unsigned char *beginFakeInput(Display *display, XExtDisplayInfo *info, int type, int detail,
                              unsigned long delay) {
  unsigned char *request = xutilBeginRequest(display, info->codes->major_opcode,
                                             kControlFakeInput,
                                             kFakeInputBytes);
  request[4] = static_cast<unsigned char>(type);
  request[5] = static_cast<unsigned char>(detail);
  put32(request + 8, static_cast<uint32_t>(delay));
  return request;
}

void syncHandle(Display *display) {
  if (display->synchandler) (*display->synchandler)(display);
}

int coreRequest(Display *display, int type, int detail, Window root, int x, int y,
                unsigned long delay) {
  XExtDisplayInfo *info = controlCheck(display);
  if (!info) return 0;
  LockDisplay(display);
  unsigned char *request = beginFakeInput(display, info, type, detail, delay);
  put32(request + 12, static_cast<uint32_t>(root));
  put16(request + 24, x);
  put16(request + 26, y);
  UnlockDisplay(display);
  syncHandle(display);
  return 1;
}

// Appends one 32-byte event behind the request; when the buffer has no room it goes out at
// once (after what is buffered, so the request stays whole and first).
void appendEvent(Display *display, const unsigned char *event) {
  if (display->bufptr + kEventBytes > display->bufmax) {
    _XSend(display, reinterpret_cast<const char *>(event), kEventBytes);
  } else {
    memcpy(display->bufptr, event, kEventBytes);
    display->bufptr += kEventBytes;
  }
}

int deviceRequest(Display *display, int typeOffset, int deviceId, int detail, int firstValuator,
                  const int *values, int count, unsigned long delay) {
  XExtDisplayInfo *info = controlCheck(display);
  if (!info) return 0;
  int firstEvent = xinputFirstEvent(info);
  if (!firstEvent) return 0;
  // Byte 35 holds the device id with 0x80 as the more-events flag; a valuator number is a byte.
  if (deviceId < 0 || deviceId > 127) return 0;
  if (count < 0 || (count > 0 && !values)) return 0;
  if (firstValuator < 0 || static_cast<long long>(firstValuator) + count > 255) return 0;

  int events = (count + 5) / 6;
  LockDisplay(display);
  unsigned char *request = beginFakeInput(display, info, firstEvent + typeOffset, detail, delay);
  request[35] = static_cast<unsigned char>(deviceId | (events ? kMoreEvents : 0));
  // The length is final before any event can push the buffer out.
  uint16_t length = static_cast<uint16_t>(kFakeInputBytes / 4 + events * (kEventBytes / 4));
  memcpy(request + 2, &length, 2);
  unsigned char event[kEventBytes];
  for (int done = 0; done < count; done += 6) {
    memset(event, 0, sizeof event);
    event[0] = static_cast<unsigned char>(firstEvent + kDeviceValuator);
    event[1] = static_cast<unsigned char>(deviceId);
    event[6] = static_cast<unsigned char>(count);
    event[7] = static_cast<unsigned char>(firstValuator + done);
    for (int i = 0; i < 6 && done + i < count; i++) {
      int32_t value = values[done + i];
      memcpy(event + 8 + 4 * i, &value, 4);
    }
    appendEvent(display, event);
  }
  UnlockDisplay(display);
  syncHandle(display);
  return 1;
}

}  // namespace

int xcontrolQueryVersion(Display *display, int *eventBase, int *errorBase, int *major,
                         int *minor) {
  XExtDisplayInfo *info = controlCheck(display);
  if (!info) return 0;
  LockDisplay(display);
  unsigned char *request =
      xutilBeginRequest(display, info->codes->major_opcode, kControlQueryVersion, 8);
  request[4] = 1;
  put16(request + 6, 0);
  xReply reply;
  int ok = _XReply(display, &reply, 0, xTrue);
  UnlockDisplay(display);
  syncHandle(display);
  if (!ok) return 0;
  *major = reply.generic.data1;
  uint16_t serverMinor;
  memcpy(&serverMinor, reinterpret_cast<unsigned char *>(&reply) + 8, 2);
  *minor = serverMinor;
  *eventBase = info->codes->first_event;
  *errorBase = info->codes->first_error;
  return 1;
}

int xcontrolFakeKeyEvent(Display *display, unsigned int keycode, Bool press,
                         unsigned long delay) {
  return coreRequest(display, press ? KeyPress : KeyRelease, static_cast<int>(keycode & 0xFF),
                     None, 0, 0, delay);
}

int xcontrolFakeButtonEvent(Display *display, unsigned int button, Bool press,
                            unsigned long delay) {
  return coreRequest(display, press ? ButtonPress : ButtonRelease,
                     static_cast<int>(button & 0xFF), None, 0, 0, delay);
}

int xcontrolFakeMotionEvent(Display *display, int screen, int x, int y, unsigned long delay) {
  // A screen this display does not have cannot name a root: refused, nothing queued.
  if (screen < -1 || screen >= ScreenCount(display)) return 0;
  Window root = screen == -1 ? None : RootWindow(display, screen);
  return coreRequest(display, MotionNotify, 0, root, x, y, delay);
}

int xcontrolFakeRelativeMotionEvent(Display *display, int dx, int dy, unsigned long delay) {
  return coreRequest(display, MotionNotify, 1, None, dx, dy, delay);
}

int xcontrolFakeDeviceKeyEvent(Display *display, int deviceId, unsigned int keycode, Bool press,
                               int firstValuator, const int *values, int count,
                               unsigned long delay) {
  return deviceRequest(display, kDeviceKeyPress + (press ? 0 : 1), deviceId,
                       static_cast<int>(keycode & 0xFF), firstValuator, values, count, delay);
}

int xcontrolFakeDeviceButtonEvent(Display *display, int deviceId, unsigned int button, Bool press,
                                  int firstValuator, const int *values, int count,
                                  unsigned long delay) {
  return deviceRequest(display, kDeviceButtonPress + (press ? 0 : 1), deviceId,
                       static_cast<int>(button & 0xFF), firstValuator, values, count, delay);
}

int xcontrolFakeProximityEvent(Display *display, int deviceId, Bool in, int firstValuator,
                               const int *values, int count, unsigned long delay) {
  return deviceRequest(display, in ? kProximityIn : kProximityOut, deviceId, 0, firstValuator,
                       values, count, delay);
}

int xcontrolFakeDeviceMotionEvent(Display *display, int deviceId, Bool relative,
                                  int firstValuator, const int *values, int count,
                                  unsigned long delay) {
  return deviceRequest(display, kDeviceMotion, deviceId, relative ? 1 : 0, firstValuator, values,
                       count, delay);
}

int xcontrolDiscard(Display *display) {
  // Never matches a request type, so no later request is merged into discarded bytes.
  static xReq noLastRequest{};
  LockDisplay(display);
  const unsigned char *start = reinterpret_cast<unsigned char *>(display->buffer);
  const unsigned char *end = reinterpret_cast<unsigned char *>(display->bufptr);
  size_t available = static_cast<size_t>(end - start);
  size_t position = 0;
  unsigned long count = 0;
  bool whole = true;
  while (position < available) {
    if (available - position < 4) {
      whole = false;
      break;
    }
    uint16_t units16;
    memcpy(&units16, start + position + 2, 2);
    uint64_t bytes = 4ull * units16;
    if (units16 == 0) {  // BIG-REQUESTS: the length follows as 32 bits
      if (available - position < 8) {
        whole = false;
        break;
      }
      uint32_t units32;
      memcpy(&units32, start + position + 4, 4);
      bytes = 4ull * units32;
      if (units32 < 2) {
        whole = false;
        break;
      }
    }
    if (bytes > available - position) {
      whole = false;
      break;
    }
    position += static_cast<size_t>(bytes);
    count++;
  }
  int dropped = 0;
  if (whole && count > 0) {
    uint64_t request = X_DPY_GET_REQUEST(display);
    uint64_t lastRead = X_DPY_GET_LAST_REQUEST_READ(display);
    uint64_t lowered = request - count;
    if (count > request || lowered < lastRead) lowered = lastRead;
    X_DPY_SET_REQUEST(display, lowered);
    display->bufptr = display->buffer;
    display->last_req = reinterpret_cast<char *>(&noLastRequest);
    dropped = 1;
  }
  UnlockDisplay(display);
  return dropped;
}
