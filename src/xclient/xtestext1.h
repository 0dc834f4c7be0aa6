// Client of the "XTestExtension1" input-injection extension of older X servers.
//
// One record per Display, so that several real displays can be driven at once. Key, button and
// pointer actions are packed into batches of at most 64 bytes; a batch goes out when the next
// action does not fit, when the server's input-action array would overflow (then with an
// acknowledgement request, and the call waits for the acknowledgement), or on
// xtest1XTestFlush. libXext exports the extension's classic client names for a single display,
// so ours carry the prefix xtest1.
//
// Every operation returns 0 on success and -1 when the server lacks the extension, the
// arguments are out of range, or the server did not answer in time.
#pragma once

#include <cstddef>
#include <cstdint>

#include <X11/Xlib.h>
#include <X11/Xproto.h>

constexpr int kXtestExt1ActionListSize = 64;  // bytes of packed actions per request
constexpr int kXtestExt1ActionsSize = 28;     // action bytes in one input-action event
constexpr int kXtestExt1MaxDevice = 15;       // device ids 0-15; 15 is the delay pseudo-device
constexpr int kXtestExt1AckTimeoutMs = 3000;  // longest wait for an acknowledgement

// Actions of xtest1XTestPressKey and xtest1XTestPressButton.
constexpr unsigned kXtestExt1Press = 1;
constexpr unsigned kXtestExt1Release = 2;
constexpr unsigned kXtestExt1Stroke = 4;  // press, then release 10 ms later

struct XTestExt1Display {
  XTestExt1Display *next;      // process-wide list, guarded inside xtestext1.cpp
  XTestExt1Display *previous;
  Display *display;
  int majorOpcode;
  int inputActionType;         // first event code: an event carrying input actions
  int fakeAckType;             // first event code + 1: the acknowledgement
  int currentX;                // the last pointer position sent; meaningful once moveSent
  int currentY;
  unsigned char actions[kXtestExt1ActionListSize];  // packed actions not yet written
  int actionIndex;             // bytes used in actions, 0-64
  unsigned long actionArraySize;  // the server's input-action array size; 0 until asked
  unsigned long actionCount;   // actions packed since the last acknowledged write
  bool moveSent;               // a move went out: currentX, currentY are where the pointer is
};

// The event xtest1XTestWireToEvent makes of an input-action event (laid out as XAnyEvent, then
// the action bytes); the acknowledgement event becomes a bare XAnyEvent of type fakeAckType.
struct XTestExt1InputActionEvent {
  int type;
  unsigned long serial;
  Bool send_event;
  Display *display;
  Window window;
  unsigned char actions[kXtestExt1ActionsSize];
};

// The display's record, attached on first use (with the extension's codes and event
// converters); NULL when the server lacks the extension or memory ran out. The record lives
// until Xlib closes the display.
XTestExt1Display *xtestExt1InitDisplay(Display *display);

// Writes one fake-input request with up to 64 bytes of packed actions (not flushed).
int xtest1XTestFakeInput(Display *display, const unsigned char *actions, int byteCount,
                         int ackFlag);
int xtest1XTestGetInput(Display *display, int mode);
int xtest1XTestStopInput(Display *display);
int xtest1XTestReset(Display *display);
int xtest1XTestQueryInputSize(Display *display, unsigned long *size);
// One action per point (a small relative motion when the point lies within 15 pixels of the
// last position sent, else a jump); a count of 0 does nothing.
int xtest1XTestMovePointer(Display *display, int deviceId, const unsigned long delays[],
                           const int x[], const int y[], unsigned int count);
// button 0-7; action kXtestExt1Press, kXtestExt1Release or kXtestExt1Stroke.
int xtest1XTestPressButton(Display *display, int deviceId, unsigned long delay,
                           unsigned int button, unsigned int action);
// keycode 8-255; action as for buttons.
int xtest1XTestPressKey(Display *display, int deviceId, unsigned long delay,
                        unsigned int keycode, unsigned int action);
// Writes the packed actions with an acknowledgement request and waits for it.
int xtest1XTestFlush(Display *display);
// Xlib's converter for the extension's two events; always True.
Bool xtest1XTestWireToEvent(Display *display, XEvent *event, xEvent *wire);
