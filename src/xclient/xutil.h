// Helpers that work on any Xlib connection.
#pragma once

#include <cstddef>

#include <X11/Xlib.h>

// The codes of the named extension on the display; NULL for a NULL display, a broken
// connection or a missing extension.
XExtCodes *xutilHasExtension(Display *display, const char *name);
// The number of the screen whose root window that is; -1 for any other window.
int xutilScreenOfRoot(Display *display, Window window);
// Appends a zero-filled request of the given size (a multiple of 4) to Xlib's output buffer,
// with major and minor code and length set, and counts it. The caller holds the display lock.
unsigned char *xutilBeginRequest(Display *display, int majorOpcode, int minorCode, size_t bytes);
