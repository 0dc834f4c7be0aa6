// Screen-saver and monitor power settings of a real display, and the FBPM client.
#include "xclient/xdpms.h"

#include <cstdlib>
#include <cstring>

#include <X11/Xlib-xcb.h>
#include <X11/Xlibint.h>
#include <X11/extensions/dpms.h>

#include "support/strtemp.h"
#include "xclient/xtarget.h"
#include "xclient/xutil.h"

namespace {

constexpr const char *kFbpmName = "FBPM";
constexpr int kFbpmGetVersion = 0;
constexpr int kFbpmCapable = 1;
constexpr int kFbpmEnable = 4;
constexpr int kFbpmDisable = 5;
constexpr int kFbpmInfo = 7;

XutilExtension fbpmExtension = {kFbpmName, nullptr};

XExtDisplayInfo *fbpmFindDisplay(Display *display) {
  return xutilExtensionDisplay(&fbpmExtension, display, nullptr);
}

// The extension's major opcode, or 0 after Xlib's missing-extension report.
int fbpmMajor(Display *display) {
  XExtDisplayInfo *info = fbpmFindDisplay(display);
  if (!info || !XextHasExtension(info)) {
    XMissingExtension(display, kFbpmName);
    return 0;
  }
  return info->codes->major_opcode;
}

uint16_t replyCard16(const xReply &reply, size_t offset) {
  uint16_t value;
  memcpy(&value, reinterpret_cast<const unsigned char *>(&reply) + offset, 2);
  return value;
}

uint8_t replyCard8(const xReply &reply, size_t offset) {
  return reinterpret_cast<const unsigned char *>(&reply)[offset];
}

// Sends a request without a reply.
int fbpmSimple(Display *display, int minor, size_t bytes, uint16_t level) {
  int major = fbpmMajor(display);
  if (!major) return 0;
  LockDisplay(display);
  unsigned char *request = xutilBeginRequest(display, major, minor, bytes);
  if (bytes >= 8) memcpy(request + 4, &level, 2);
  UnlockDisplay(display);
  if (display->synchandler) (*display->synchandler)(display);
  return 1;
}

// Sends a request and reads its 32-byte reply; 0 when it failed.
int fbpmRoundTrip(Display *display, int minor, size_t bytes, xReply *reply) {
  int major = fbpmMajor(display);
  if (!major) return 0;
  LockDisplay(display);
  xutilBeginRequest(display, major, minor, bytes);
  int ok = _XReply(display, reply, 0, xTrue);
  UnlockDisplay(display);
  if (display->synchandler) (*display->synchandler)(display);
  return ok ? 1 : 0;
}

bool dpmsCapableNow(Display *display) {
  int eventBase, errorBase;
  return DPMSQueryExtension(display, &eventBase, &errorBase) && DPMSCapable(display);
}

bool fbpmCapableNow(Display *display) {
  int eventBase, errorBase;
  return FBPMQueryExtension(display, &eventBase, &errorBase) && FBPMCapable(display);
}

}  // namespace

int FBPMQueryExtension(Display *display, int *eventBase, int *errorBase) {
  XExtDisplayInfo *info = fbpmFindDisplay(display);
  if (!info || !XextHasExtension(info)) return 0;
  *eventBase = info->codes->first_event;
  *errorBase = info->codes->first_error;
  return 1;
}

int FBPMGetVersion(Display *display, int *major, int *minor) {
  xReply reply;
  if (!fbpmRoundTrip(display, kFbpmGetVersion, 8, &reply)) return 0;
  *major = replyCard16(reply, 8);
  *minor = replyCard16(reply, 10);
  return 1;
}

int FBPMCapable(Display *display) {
  xReply reply;
  if (!fbpmRoundTrip(display, kFbpmCapable, 4, &reply)) return 0;
  return replyCard8(reply, 8) ? 1 : 0;
}

int FBPMEnable(Display *display, int level) {
  return fbpmSimple(display, kFbpmEnable, 8, static_cast<uint16_t>(level));
}

int FBPMDisable(Display *display) { return fbpmSimple(display, kFbpmDisable, 4, 0); }

int FBPMInfo(Display *display, uint16_t *level, uint8_t *state) {
  xReply reply;
  if (!fbpmRoundTrip(display, kFbpmInfo, 4, &reply)) return 0;
  *level = replyCard16(reply, 8);
  *state = replyCard8(reply, 10);
  return 1;
}

const char *xdpmsSave(Display *display, DpmsSavedState *state) {
  *state = DpmsSavedState{};
  xcb_connection_t *connection = XGetXCBConnection(display);
  if (!connection) return "no connection to the X server";
  void *answer = nullptr;
  if (const char *failure = xtargetWaitReply(display, xcb_get_screen_saver(connection).sequence,
                                             xtargetSyncLimitMs, &answer, nullptr))
    return strTempPrintf("Can't read the screen saver of %s: %s", DisplayString(display), failure);
  if (!answer) return strTempPrintf("Can't read the screen saver of %s", DisplayString(display));
  const auto *saver = static_cast<xcb_get_screen_saver_reply_t *>(answer);
  state->timeout = saver->timeout;
  state->interval = saver->interval;
  state->preferBlanking = saver->prefer_blanking;
  state->allowExposures = saver->allow_exposures;
  free(answer);
  // The extension queries below are Xlib's own round trips, asked of a server that just answered.
  if (dpmsCapableNow(display)) {
    state->dpmsPresent = 1;
    CARD16 level = 0;
    BOOL enabled = 0;
    if (DPMSInfo(display, &level, &enabled)) {
      state->dpmsLevel = level;
      state->dpmsEnabled = enabled ? 1 : 0;
    }
    CARD16 standby = 0, suspend = 0, off = 0;
    if (DPMSGetTimeouts(display, &standby, &suspend, &off)) {
      state->standby = standby;
      state->suspend = suspend;
      state->off = off;
    }
  }
  if (fbpmCapableNow(display)) {
    state->fbpmPresent = 1;
    uint16_t level = 0;
    uint8_t enabled = 0;
    if (FBPMInfo(display, &level, &enabled)) {
      state->fbpmLevel = level;
      state->fbpmEnabled = enabled ? 1 : 0;
    }
  }
  return nullptr;
}

void xdpmsRestore(Display *display, const DpmsSavedState *state) {
  XSetScreenSaver(display, state->timeout, state->interval, state->preferBlanking,
                  state->allowExposures);
  if (state->dpmsPresent && dpmsCapableNow(display)) {
    if (state->dpmsEnabled) {
      DPMSEnable(display);
      DPMSForceLevel(display, state->dpmsLevel);
      DPMSSetTimeouts(display, state->standby, state->suspend, state->off);
    } else {
      DPMSDisable(display);
    }
  }
  if (state->fbpmPresent && fbpmCapableNow(display)) {
    if (state->fbpmEnabled) {
      FBPMEnable(display, state->fbpmLevel);
    } else {
      FBPMDisable(display);
    }
  }
}

void xdpmsCopy(Display *source, Display *target) {
  if (source == target) return;
  DpmsSavedState state;
  xdpmsSave(source, &state);
  xdpmsRestore(target, &state);
}

void xdpmsWake(Display *display, const DpmsSavedState *state) {
  XWarpPointer(display, None, None, 0, 0, 0, 0, 0, 0);
  XResetScreenSaver(display);
  XFlush(display);
  int eventBase, errorBase;
  // A record says what the display had; the query only confirms that this connection still
  // knows the extension before anything is sent to it.
  bool dpms = state ? state->dpmsPresent && DPMSQueryExtension(display, &eventBase, &errorBase)
                    : dpmsCapableNow(display);
  if (dpms) {
    CARD16 level = 0;
    BOOL enabled = 0;
    if (DPMSInfo(display, &level, &enabled) && enabled && level != DPMSModeOn) {
      DPMSForceLevel(display, DPMSModeOn);
    }
  }
  bool fbpm = state ? state->fbpmPresent && FBPMQueryExtension(display, &eventBase, &errorBase)
                    : fbpmCapableNow(display);
  if (fbpm) {
    uint16_t level = 0;
    uint8_t enabled = 0;
    if (FBPMInfo(display, &level, &enabled) && enabled && level != 0) FBPMEnable(display, 0);
  }
  XFlush(display);
}

void xdpmsWakeNow(Display *display) {
  DpmsSavedState state;
  xdpmsSave(display, &state);
  xdpmsWake(display, &state);
  XFlush(display);
}

void xdpmsActivate(Display *display) {
  XActivateScreenSaver(display);
  XFlush(display);
}
