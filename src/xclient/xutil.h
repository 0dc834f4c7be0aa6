// Helpers that work on any Xlib connection.
#pragma once

#include <X11/Xlib.h>

// The codes of the named extension on the display; NULL for a NULL display, a broken
// connection or a missing extension.
XExtCodes *xutilHasExtension(Display *display, const char *name);
