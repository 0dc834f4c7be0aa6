// Opening and closing Xlib connections to real X servers, and the process-wide X error trap.
//
// XOpenDisplay can block for a long time on an unreachable or silent server, so it runs in a
// short-lived connecting thread while the caller waits with a deadline.
#include "xclient/xtarget.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <string>

#include <pthread.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlibint.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xext.h>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/xutilh.h"

// Out-of-memory texts name this source file, as the log lines do.
#define XTARGET_OUT_OF_MEMORY() OUT_OF_MEMORY_TEXT_AT("xtarget")
#include "xclient/misc.h"

uint32_t imperviousXOpenDisplay = 0;

// An extension's close procedure, as Xlib keeps it in the Display's extension list.
using ExtensionCloseHook = int (*)(Display *display, XExtCodes *codes);

// The error trap: one display whose errors are caught instead of logged.
static Display *trappedDisplay = nullptr;
static int trapErrorCame = 0;
static XtargetErrorTextFn errorTextFunction = nullptr;

void xtargetDefaultParams(TargetDisplayParams *params) {
  *params = TargetDisplayParams{};
  const char *name = getenv("DISPLAY");
  params->displayName = name ? name : ":0.0";
  params->timeoutMs = 10000;
  params->secondTimeoutMs = 10000;
}

timespec xtargetDeadline(timespec now, uint32_t timeoutMs) {
  timespec deadline;
  deadline.tv_sec = now.tv_sec + timeoutMs / 1000;
  long nanoseconds = now.tv_nsec + static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (nanoseconds >= 1000000000L) {
    nanoseconds -= 1000000000L;
    deadline.tv_sec += 1;
  }
  deadline.tv_nsec = nanoseconds;
  return deadline;
}

namespace {

// Shared by the opener and its connecting thread. It lives as long as either of them holds
// it: a thread still inside XOpenDisplay at the deadline outlives the open.
struct OpenHandover {
  std::string displayName;
  pthread_mutex_t mutex;
  pthread_cond_t connected;  // signalled by the thread when it has a display
  pthread_cond_t abandoned;  // signalled by the opener when it gives up
  bool mutexMade = false;
  bool connectedMade = false;
  bool abandonedMade = false;
  bool done = false;        // the thread has stored its display
  bool giveUp = false;      // the opener stopped waiting
  bool inOpen = false;      // the thread is inside XOpenDisplay
  Display *display = nullptr;

  ~OpenHandover() {
    if (abandonedMade) pthread_cond_destroy(&abandoned);
    if (connectedMade) pthread_cond_destroy(&connected);
    if (mutexMade) pthread_mutex_destroy(&mutex);
  }
};

struct ThreadStart {
  std::shared_ptr<OpenHandover> handover;
};

// Retries XOpenDisplay once a second until it succeeds or the opener gives up. The pause is a
// wait on the abandon condition, so an opener that gives up ends the thread at once; the
// thread is never cancelled inside Xlib (that could leave Xlib's locks held).
void *connectingThread(void *argument) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart *>(argument));
  OpenHandover &h = *start->handover;
  pthread_mutex_lock(&h.mutex);
  while (!h.giveUp) {
    h.inOpen = true;
    pthread_mutex_unlock(&h.mutex);
    Display *display = XOpenDisplay(h.displayName.c_str());
    pthread_mutex_lock(&h.mutex);
    h.inOpen = false;
    if (display) {
      if (h.giveUp) {
        // It came after the deadline: nobody takes it.
        pthread_mutex_unlock(&h.mutex);
        XCloseDisplay(display);
        return nullptr;
      }
      h.display = display;
      h.done = true;
      pthread_cond_signal(&h.connected);
      pthread_mutex_unlock(&h.mutex);
      return nullptr;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec retry = xtargetDeadline(now, 1000);
    while (!h.giveUp) {
      if (pthread_cond_timedwait(&h.abandoned, &h.mutex, &retry) == ETIMEDOUT) break;
    }
  }
  pthread_mutex_unlock(&h.mutex);
  return nullptr;
}

const char *makeConditionMonotonic(pthread_cond_t *condition) {
  pthread_condattr_t attributes;
  if (pthread_condattr_init(&attributes) != 0) return "Can't create condition";
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  int rc = pthread_cond_init(condition, &attributes);
  pthread_condattr_destroy(&attributes);
  return rc == 0 ? nullptr : "Can't create condition";
}

// Waits for the connecting thread until the deadline; NULL when no display came in time.
// On error, *failure gets the text.
Display *connectWithDeadline(const TargetDisplayParams *params, const char **failure) {
  *failure = nullptr;
  std::shared_ptr<OpenHandover> handover(new (std::nothrow) OpenHandover{}, [](OpenHandover *h) {
    delete h;
  });
  if (!handover) {
    *failure = XTARGET_OUT_OF_MEMORY();
    return nullptr;
  }
  OpenHandover &h = *handover;
  h.displayName = params->displayName ? params->displayName : "";

  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  timespec deadline = xtargetDeadline(now, params->timeoutMs);

  if ((*failure = makeConditionMonotonic(&h.connected)) != nullptr) return nullptr;
  h.connectedMade = true;
  if (makeConditionMonotonic(&h.abandoned) != nullptr) {
    *failure = "Can't create condition";
    return nullptr;
  }
  h.abandonedMade = true;
  if (pthread_mutex_init(&h.mutex, nullptr) != 0) {
    *failure = "Can't create mutex";
    return nullptr;
  }
  h.mutexMade = true;

  pthread_mutex_lock(&h.mutex);
  auto *start = new (std::nothrow) ThreadStart{handover};
  pthread_t thread;
  if (!start || pthread_create(&thread, nullptr, connectingThread, start) != 0) {
    pthread_mutex_unlock(&h.mutex);
    delete start;
    *failure = "Can't create thread";
    return nullptr;
  }

  // A spurious wake-up is no success: only the thread's done flag is.
  while (!h.done) {
    if (pthread_cond_timedwait(&h.connected, &h.mutex, &deadline) == ETIMEDOUT) break;
  }
  Display *display = nullptr;
  bool joinable = true;
  if (h.done) {
    display = h.display;
  } else {
    h.giveUp = true;
    pthread_cond_signal(&h.abandoned);
    // A thread inside XOpenDisplay may stay there for long; it closes a late display itself.
    joinable = !h.inOpen;
  }
  pthread_mutex_unlock(&h.mutex);
  if (joinable) {
    pthread_join(thread, nullptr);
  } else {
    pthread_detach(thread);
  }
  return display;
}

// The text of an X error, for the log: "X error <name> <resource> in <request> #<serial> from
// <display>". Core errors go by their protocol names, others by Xlib's text; requests by their
// opcodes.
const char *trapErrorText(Display *display, XErrorEvent *event) {
  static constexpr const char *kCoreErrorNames[] = {
      "0",         "BadRequest", "BadValue",    "BadWindow", "BadPixmap", "BadAtom",
      "BadCursor", "BadFont",    "BadMatch",    "BadDrawable", "BadAccess", "BadAlloc",
      "BadColor",  "BadGC",      "BadIDChoice", "BadName",   "BadLength", "BadImplementation"};
  char name[128] = "";
  if (event->error_code < std::size(kCoreErrorNames)) {
    strCopy(name, kCoreErrorNames[event->error_code], sizeof name);
  } else if (display) {
    XGetErrorText(display, event->error_code, name, sizeof name);
  }
  if (!name[0]) snprintf(name, sizeof name, "%u", event->error_code);
  char *text = strTempAlloc(256);
  snprintf(text, 256, "X error %s %s in request %u.%u #%u from %s", name,
           xmiscIdText(static_cast<unsigned>(event->resourceid)), event->request_code,
           event->minor_code, static_cast<unsigned>(event->serial),
           display ? XDisplayName(XDisplayString(display)) : "?");
  return text;
}

// Leaves the proxy's identity on the server: a short-lived window with a name and the host.
void leaveIdentity(Display *display, const char *identityName) {
  Window window = XCreateWindow(display, RootWindow(display, 0), 0, 0, 1, 1, 0, CopyFromParent,
                                InputOnly, CopyFromParent, 0, nullptr);
  if (identityName) XStoreName(display, window, identityName);
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  XTextProperty property;
  property.value = reinterpret_cast<unsigned char *>(host);
  property.encoding = XA_STRING;
  property.format = 8;
  property.nitems = strlen(host);
  XSetWMClientMachine(display, window, &property);
  XDestroyWindow(display, window);
}

// Requests on the connection keep being carried out while another client grabs the server.
void makeImpervious(Display *display) {
  int eventBase, errorBase, major, minor;
  if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)) return;
  if (major > 2 || (major == 2 && minor >= 2)) XTestGrabControl(display, True);
}

}  // namespace

const char *xtargetOpenDisplay(const TargetDisplayParams *params, const char *identityName,
                               Display **display) {
  uint32_t flags = params->openFlags;
  if (params->extraOpenFlag) flags |= kXtargetOpenExtra;
  imperviousXOpenDisplay = flags;
  signal(SIGPIPE, SIG_IGN);
  if (params->authName) {
    XSetAuthorization(params->authName, params->authNameLength, params->authData,
                      params->authDataLength);
  }
  XSetErrorHandler(xtargetTrapErrorHandler);
  XSetExtensionErrorHandler(xtargetTrapExtensionErrorHandler);

  const char *failure = nullptr;
  Display *opened = connectWithDeadline(params, &failure);

  if (params->authName) XSetAuthorization(nullptr, 0, nullptr, 0);
  if (failure) return failure;
  if (!opened) {
    return strTempPrintf(
        "Can't connect to display '%s' for %u seconds - Make sure the X Window server is "
        "available and access is granted",
        params->displayName ? params->displayName : "", params->timeoutMs / 1000);
  }
  if (params->synchronous) XSynchronize(opened, True);
  if (flags & kXtargetOpenImpervious) makeImpervious(opened);
  leaveIdentity(opened, identityName);
  *display = opened;
  return nullptr;
}

int xtargetCloseDisplay(Display *display) {
  if (!display) return 0;
  xtargetArmErrorTrap(display);
  // XCloseDisplay skips its own clean-up and round trips when it finds this flag.
  display->flags = display->flags | XlibDisplayClosing;
  // Nothing buffered goes out, and no request below may cause a flush or a round trip (a
  // synchronous connection would sync after each one).
  display->bufptr = display->buffer;
  display->synchandler = nullptr;
  display->savedsynchandler = nullptr;
  display->flags = display->flags & ~XlibDisplayPrivSync;
  for (int i = 0; i < display->nscreens; i++) {
    Screen *screen = &display->screens[i];
    if (screen->default_gc) {
      XFreeGC(display, screen->default_gc);
      screen->default_gc = nullptr;
    }
  }
  if (display->cursor_font != None) {
    XUnloadFont(display, display->cursor_font);
    display->cursor_font = None;
  }
  for (_XExtension *extension = display->ext_procs; extension; extension = extension->next) {
    if (extension->close_display) {
      ExtensionCloseHook hook = extension->close_display;
      hook(display, &extension->codes);
      extension->close_display = nullptr;
    }
  }
  display->bufptr = display->buffer;
  // The atom cache stays: XCloseDisplay frees it with the rest of the Display.
  XCloseDisplay(display);
  return xtargetDisarmErrorTrap();
}

void xtargetSetErrorTextFunction(XtargetErrorTextFn function) { errorTextFunction = function; }

void xtargetArmErrorTrap(Display *display) {
  trappedDisplay = display;
  trapErrorCame = 0;
}

int xtargetDisarmErrorTrap() {
  trappedDisplay = nullptr;
  return trapErrorCame;
}

int xtargetTrapErrorHandler(Display *display, XErrorEvent *event) {
  if (display && display == trappedDisplay) {
    trapErrorCame = 1;
    return 0;
  }
  LOG(logChannelXerror, "%s",
      errorTextFunction ? errorTextFunction(event) : trapErrorText(display, event));
  return 0;
}

int xtargetTrapExtensionErrorHandler(Display *display, _Xconst char *extensionName,
                                     _Xconst char *reason) {
  if (display && display == trappedDisplay) {
    trapErrorCame = 1;
    return 0;
  }
  if (reason && strcmp(reason, "missing") == 0) return 0;
  fprintf(stderr, "Error in X extension %s: %s (display %s)\n", extensionName ? extensionName : "",
          reason ? reason : "", display ? XDisplayName(XDisplayString(display)) : "");
  return 0;
}
