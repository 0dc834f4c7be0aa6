// Helpers that work on any Xlib connection.
#pragma once

#include <cstddef>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/Xext.h>
// extutil.h declares C functions without a C++ guard.
extern "C" {
#include <X11/extensions/extutil.h>
}

// The codes of the named extension on the display; NULL for a NULL display, a broken
// connection or a missing extension.
XExtCodes *xutilHasExtension(Display *display, const char *name);
// The number of the screen whose root window that is; -1 for any other window.
int xutilScreenOfRoot(Display *display, Window window);
// Appends a zero-filled request of the given size (a multiple of 4) to Xlib's output buffer,
// with major and minor code and length set, and counts it. The caller holds the display lock.
unsigned char *xutilBeginRequest(Display *display, int majorOpcode, int minorCode, size_t bytes);

// libXext's per-display bookkeeping of one extension that a client here speaks itself.
struct XutilExtension {
  const char *name;      // the extension's name as the server lists it
  XExtensionInfo *info;  // libXext's table of displays; made on first use
};
// The display's record of that extension: found, or added on first use with the private data
// that makeData (may be NULL) computes then. Its codes are NULL when the server lacks the
// extension. The record is removed when Xlib closes the display. NULL when memory ran out.
XExtDisplayInfo *xutilExtensionDisplay(XutilExtension *extension, Display *display,
                                       XPointer (*makeData)(Display *display));
