// Screen-saver and monitor power settings of a real display: recording them, restoring them,
// waking the monitor, and the client of the FBPM extension.
#pragma once

#include <cstdint>

#include <X11/Xlib.h>

struct DpmsSavedState {
  int32_t timeout;         // screen-saver settings as XGetScreenSaver reports them
  int32_t interval;
  int32_t preferBlanking;
  int32_t allowExposures;
  uint8_t dpmsPresent;     // the server has DPMS and reports itself DPMS-capable
  uint8_t dpmsEnabled;     // DPMSInfo's state (0 when DPMS is not present)
  uint16_t dpmsLevel;      // DPMSInfo's power level
  uint16_t standby;        // DPMSGetTimeouts
  uint16_t suspend;
  uint16_t off;
  uint8_t fbpmPresent;     // the server has FBPM and reports itself FBPM-capable
  uint8_t fbpmEnabled;     // FBPM Info's state
  uint16_t fbpmLevel;      // FBPM Info's power level
};

// Fills the record (the DPMS and FBPM fields stay zero when those are not present): NULL. The
// screen-saver settings are asked beside Xlib's requests and waited for at most
// xtargetSyncLimitMs; without their answer the record stays empty, nothing else is asked, and
// the failure text is returned.
const char *xdpmsSave(Display *display, DpmsSavedState *state);
// Puts the recorded settings back, DPMS and FBPM only when the display is still capable.
void xdpmsRestore(Display *display, const DpmsSavedState *state);
// Copies source's settings to target; nothing when both are the same connection.
void xdpmsCopy(Display *source, Display *target);
// User activity (a null pointer warp and a screen-saver reset), then forces DPMS and FBPM on
// when they are enabled and not on. Without a record the display is asked what it has.
void xdpmsWake(Display *display, const DpmsSavedState *state);
void xdpmsWakeNow(Display *display);
void xdpmsActivate(Display *display);

// The FBPM client. Each returns 0 when the server lacks the extension (Xlib's missing-extension
// report goes first), otherwise 1 or, for FBPMCapable, the capable flag.
int FBPMQueryExtension(Display *display, int *eventBase, int *errorBase);
int FBPMGetVersion(Display *display, int *major, int *minor);
int FBPMCapable(Display *display);
int FBPMEnable(Display *display, int level);
int FBPMDisable(Display *display);
int FBPMInfo(Display *display, uint16_t *level, uint8_t *state);
