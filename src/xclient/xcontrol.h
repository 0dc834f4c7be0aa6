// Client of the "MORWENTECH CONTROL" extension: injects key, button, motion and XInput device
// events, also while another client grabs the server.
//
// Every call returns 1 when its request was queued in Xlib's output buffer (not flushed), 0 when
// the server lacks the extension (after Xlib's missing-extension report) or, for device
// requests, the server has no XInput or the arguments cannot be encoded.
#pragma once

#include <X11/Xlib.h>

int xcontrolQueryVersion(Display *display, int *eventBase, int *errorBase, int *major,
                         int *minor);
int xcontrolFakeKeyEvent(Display *display, unsigned int keycode, Bool press, unsigned long delay);
int xcontrolFakeButtonEvent(Display *display, unsigned int button, Bool press,
                            unsigned long delay);
// screen -1 moves on the current screen (root 0).
int xcontrolFakeMotionEvent(Display *display, int screen, int x, int y, unsigned long delay);
int xcontrolFakeRelativeMotionEvent(Display *display, int dx, int dy, unsigned long delay);
// Device ids run 0-127; the valuators first .. first + count - 1 must lie within 0-255.
int xcontrolFakeDeviceKeyEvent(Display *display, int deviceId, unsigned int keycode, Bool press,
                               int firstValuator, const int *values, int count,
                               unsigned long delay);
int xcontrolFakeDeviceButtonEvent(Display *display, int deviceId, unsigned int button, Bool press,
                                  int firstValuator, const int *values, int count,
                                  unsigned long delay);
int xcontrolFakeProximityEvent(Display *display, int deviceId, Bool in, int firstValuator,
                               const int *values, int count, unsigned long delay);
int xcontrolFakeDeviceMotionEvent(Display *display, int deviceId, Bool relative,
                                  int firstValuator, const int *values, int count,
                                  unsigned long delay);
// Drops every request Xlib has buffered and not yet sent, and takes them off the request
// count; 1 when something was dropped. Nothing is dropped when the buffer does not parse as
// whole requests.
int xcontrolDiscard(Display *display);
