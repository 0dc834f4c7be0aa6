// The proxy's own windows on the real display, as another client of that display finds them.
#pragma once

#include <X11/Xlib.h>

// The proxy's inner window: the grandchild of the real root under the proxy's top window (0 when
// there is none).
Window innerWindowOf(Display *d);
