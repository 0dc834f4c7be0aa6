// Opening and closing the proxy's Xlib connections to real X servers, and the process-wide
// X error trap.
#pragma once

#include <cstdint>
#include <ctime>

#include <X11/Xlib.h>
#include <xcb/xcb.h>

// Parameters of one open; xtargetDefaultParams fills them, the caller changes what it needs.
struct TargetDisplayParams {
  const char *displayName;   // handed to XOpenDisplay
  uint32_t timeoutMs;        // how long the caller waits for the connection
  uint32_t secondTimeoutMs;  // carried for callers; the opener does not use it
  char *authName;            // authorization protocol name; NULL leaves the choice to Xlib
  int32_t authNameLength;
  char *authData;
  int32_t authDataLength;
  uint32_t openFlags;        // stored as the opener's flag word before the open
  int extraOpenFlag;         // adds 2 to openFlags
  int synchronous;           // switch the new connection to synchronous mode
};

// Flag bits of the opener's flag word.
constexpr uint32_t kXtargetOpenImpervious = 1;  // requests keep running while others grab
constexpr uint32_t kXtargetOpenExtra = 2;

// The flag word stored before each open. This libX11 has no such variable of its own: the
// opener keeps it here and acts on the impervious bit itself after the open.
extern uint32_t imperviousXOpenDisplay;

void xtargetDefaultParams(TargetDisplayParams *params);
// The absolute time timeoutMs after now, with the nanoseconds carried into the seconds.
timespec xtargetDeadline(timespec now, uint32_t timeoutMs);
// Reads "[protocol/][host]:display[.screen]" (or a socket path starting with '/') as Xlib does.
// 1 when understood: an empty host means a local socket at path, else host is a TCP host
// (the display's port is 6000 + number). 0 for names that do not fit the fields.
struct TargetDisplayAddress {
  char host[256];
  char path[108];  // a local socket's file name
  unsigned number;
};
int xtargetParseDisplayName(const char *name, TargetDisplayAddress *address);
// Opens the display, trying once a second until params->timeoutMs passed. Each try first probes
// the server on a socket of the opener's own under the deadline and calls XOpenDisplay on the
// calling thread only when the server answered, so no thread is ever left inside Xlib. A server
// that answers the probe and then stalls has its new connection shut down at the deadline (at
// least a second after the probe): a stalled setup makes the try fail; a stall in XOpenDisplay's
// round trips after the setup goes to the I/O error handler.
// NULL and *display set on success; an error text otherwise (and *display untouched).
const char *xtargetOpenDisplay(const TargetDisplayParams *params, const char *identityName,
                               Display **display);
// Non-zero when an X error for the display arrived while it was being closed.
int xtargetCloseDisplay(Display *display);

// A round trip on the display that waits at most limitMs (0: without bound, as XSync). NULL
// once the server answered: everything that came before the answer is then in Xlib's queue
// (errors through the error handler), as after XSync. Else the failure text (no answer in
// time, broken connection); the late answer is dropped when it comes, the display stays usable.
const char *xtargetSync(Display *display, uint32_t limitMs);
// The answer to an xcb request made on the display's connection (cookie.sequence), waited for at
// most limitMs (0: without bound). NULL once it came: *reply is the reply (malloc'd, the caller
// frees it) or NULL when the server answered with an error, which goes to *error (malloc'd) when
// error is given; everything read before it is then in Xlib's queue. Else the failure text (no
// answer in time, broken connection), nothing in *reply; the late answer is dropped.
const char *xtargetWaitReply(Display *display, unsigned sequence, uint32_t limitMs, void **reply,
                             xcb_generic_error_t **error);
// The same for a request that must be answered by a reply: NULL and *reply (malloc'd), else the
// failure text, an error of the server's as "The X server answered <name> with error N".
const char *xtargetReplyWithin(Display *display, unsigned sequence, uint32_t limitMs, const char *name,
                               void **reply);
// A request the caller built whole (in the connection's byte order, length field included; for
// an extension its major opcode on that server) sent beside Xlib's, and its reply waited for at
// most limitMs. NULL and *reply (malloc'd, at least 32 bytes, its length word as the server
// sent it) on a reply; else the failure text: no answer in time, a broken connection, or
// "the X server answered with error N".
const char *xtargetRoundTrip(Display *display, const void *request, size_t length, uint32_t limitMs,
                             uint8_t **reply);
// The bound errorCame's round trip uses (0 until the proxy sets its sync limit).
extern uint32_t xtargetSyncLimitMs;

// The text the trap's handler logs for an error it does not catch. The proxy installs its own
// (it knows the request names); until then a text with the opcodes is logged.
using XtargetErrorTextFn = const char *(*)(XErrorEvent *event);
void xtargetSetErrorTextFunction(XtargetErrorTextFn function);

void xtargetArmErrorTrap(Display *display);
int xtargetDisarmErrorTrap();
int xtargetTrapErrorHandler(Display *display, XErrorEvent *event);
int xtargetTrapExtensionErrorHandler(Display *display, _Xconst char *extensionName,
                                     _Xconst char *reason);

// Swallows the X errors of the display while it lives (through the process-wide trap above)
// and restores the error handler it found.
class XtargetErrorTrap {
 public:
  explicit XtargetErrorTrap(Display *display)
      : display_(display), previous_(XSetErrorHandler(xtargetTrapErrorHandler)) {
    xtargetArmErrorTrap(display);
  }
  ~XtargetErrorTrap() {
    xtargetDisarmErrorTrap();
    XSetErrorHandler(previous_);
  }
  XtargetErrorTrap(const XtargetErrorTrap &) = delete;
  XtargetErrorTrap &operator=(const XtargetErrorTrap &) = delete;
  // Non-zero when an error came since the trap was armed or last asked (after a round trip).
  int errorCame() {
    xtargetSync(display_, xtargetSyncLimitMs);
    int came = xtargetDisarmErrorTrap();
    xtargetArmErrorTrap(display_);
    return came;
  }

 private:
  Display *display_;
  XErrorHandler previous_;
};
