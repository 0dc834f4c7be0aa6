// Display names, X id texts and the grab test of a connection.
#include "xclient/misc.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include <X11/Xlib-xcb.h>
#include <X11/Xlibint.h>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/xtarget.h"

namespace {

constexpr char kLocalhostPrefix[] = "localhost:";  // 10 bytes
constexpr char kUnixPrefix[] = "unix:";            // 5 bytes

bool hasPrefix(const char *text, const char *prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

const char *displayNameOf(Display *display) {
  const char *name = XDisplayName(XDisplayString(display));
  return name ? name : "";
}

}  // namespace

const char *xmiscLocalDisplayPart(Display *display) {
  const char *name = displayNameOf(display);
  // Keep the colon: "localhost:0.0" and "unix:0.0" both give ":0.0".
  if (hasPrefix(name, kLocalhostPrefix)) return name + strlen(kLocalhostPrefix) - 1;
  if (hasPrefix(name, kUnixPrefix)) return name + strlen(kUnixPrefix) - 1;
  return name;
}

const char *xmiscQualifiedDisplayName(Display *display) {
  static char qualified[256];
  const char *name = displayNameOf(display);
  const char *local = nullptr;
  if (name[0] == ':') {
    local = name;
  } else if (hasPrefix(name, kLocalhostPrefix)) {
    local = name + strlen(kLocalhostPrefix) - 1;
  } else if (hasPrefix(name, kUnixPrefix)) {
    local = name + strlen(kUnixPrefix) - 1;
  }
  if (!local) {
    strCopy(qualified, name, sizeof qualified);
    return qualified;
  }
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  snprintf(qualified, sizeof qualified, "%s%s", host, local);
  return qualified;
}

int xmiscDisplayNumber(Display *display) {
  return xrcDisplayNumber(xmiscQualifiedDisplayName(display));
}

int xrcDisplayNumber(const char *displayName) {
  if (!displayName) return 0;
  const char *colon = strrchr(displayName, ':');
  if (!colon) return 0;
  long number = 0;
  for (const char *p = colon + 1; *p >= '0' && *p <= '9'; p++) {
    number = number * 10 + (*p - '0');
    if (number > INT_MAX) return 0;  // no display has such a number
  }
  return static_cast<int>(number);
}

XID xmiscResourceBase(Display *display) { return display->resource_base; }

XID xmiscResourceMask(Display *display) { return display->resource_mask; }

int xmiscIsImpervious(Display *display) {
  // Every wait below is bounded by the sync limit: a server that does not answer in time makes
  // the connection count as not impervious. XFetchName is asked only of a server that answered.
  if (const char *failure = xtargetSync(display, xtargetSyncLimitMs)) {
    LOG(logChannelProblem, "No grab test on %s: %s", displayNameOf(display), failure);
    return 0;
  }
  char *rootName = nullptr;
  XFetchName(display, DefaultRootWindow(display), &rootName);
  TargetDisplayParams params;
  xtargetDefaultParams(&params);
  params.displayName = XDisplayString(display);
  params.openFlags = kXtargetOpenImpervious;
  if (xtargetSyncLimitMs) params.timeoutMs = xtargetSyncLimitMs;
  Display *grabber = nullptr;
  const char *failure = xtargetOpenDisplay(&params, rootName, &grabber);
  if (rootName) XFree(rootName);
  if (failure) return 0;

  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  Window window = XCreateWindow(grabber, DefaultRootWindow(grabber), 0, 0, 1, 1, 0, CopyFromParent,
                                InputOnly, CopyFromParent, CWOverrideRedirect, &attributes);
  XGrabServer(grabber);
  if (xtargetSync(grabber, xtargetSyncLimitMs)) {
    xtargetCloseDisplay(grabber);  // its end releases the grab
    return 0;
  }

  // The move must not wait for the server while it is grabbed: a synchronous connection would
  // sync after it and never return. (The round trip above was the last, so no sequence sync is
  // pending either.)
  int (*afterFunction)(Display *) = XSetAfterFunction(display, nullptr);
  XMoveWindow(display, window, 1, 1);
  XFlush(display);
  XSetAfterFunction(display, afterFunction);

  int result = 0;
  xcb_connection_t *connection = XGetXCBConnection(grabber);
  for (int poll = 0; poll < 20 && connection; poll++) {
    void *answer = nullptr;
    const char *late = xtargetWaitReply(grabber, xcb_get_geometry(connection, uint32_t(window)).sequence,
                                        xtargetSyncLimitMs, &answer, nullptr);
    if (late || !answer) {
      if (late) LOG(logChannelProblem, "Grab test on %s: %s", displayNameOf(display), late);
      else LOG_UNE();
      break;
    }
    int16_t x = static_cast<xcb_get_geometry_reply_t *>(answer)->x;
    free(answer);
    if (x == 1) {
      result = 1;
      break;
    }
    // Give the server time to read the other connection's request.
    usleep(10000);
  }
  XUngrabServer(grabber);
  xtargetSync(grabber, xtargetSyncLimitMs);
  // Let the blocked move run now, while the window still exists.
  xtargetSync(display, xtargetSyncLimitMs);
  xtargetCloseDisplay(grabber);
  return result;
}
