// What a libXext DOUBLE-BUFFER client sees of an animation through a back buffer, and the
// visual info a display reports: compared between a display used directly and through tarvo.
#pragma once

#include <X11/Xlib.h>

#include <sys/types.h>

#include <string>

// The pixel at (x, y) of a drawable, or ~0 when it cannot be read.
unsigned long dbePixelAt(Display *display, Drawable drawable, int x, int y);
// The pixels at x 5 and 50 of a drawable (a window at 290 spans a head boundary at 320).
std::string dbePixels(Display *display, Drawable drawable);
// Per swap action, per frame: the window's pixels before the swap, after it, and the back
// buffer's after it (Undefined: its content is not defined, left out); then whether
// GetBackBufferAttributes gives the window and the error of a freed name.
std::string dbeAnimate(const std::string &name);
// Per screen: the number of double-buffered visuals and their depths and levels.
std::string dbeVisualInfo(const std::string &name);
// A child process that animates a window through a back buffer (DOUBLE-BUFFER) or through two
// image buffers (Multi-Buffering) without end; it returns once the child has shown some frames
// and has more requests on the way, then kills it with SIGKILL. "" or the failure.
std::string bufferAnimationKilled(const std::string &name, bool multiBuffering);
// xdpyinfo's DOUBLE-BUFFER section without visual ids and opcodes: the version, then per screen
// its visuals' depths and levels, runs of equal entries counted.
std::string dbeXdpyinfoSummary(const std::string &name);
