// The remote-control library's pointer markers, highlighting of positions and areas on a real
// screen, and picking a window with the pointer.
#pragma once

#include <cstdint>

#include <X11/Xlib.h>

constexpr uint8_t kXrcMarkerMaster = 1;  // an XInput 2 master pointer
constexpr uint8_t kXrcMarkerWindow = 2;  // a shaped override-redirect window
constexpr Atom kXrcMarkerSelection = 61;  // owned by a shown marker window
constexpr int kXrcMarkerHidden = 16384;   // where a hidden master pointer is parked

struct XrcMarker {
  Display *display;
  uint8_t kind;
  int screen;
  uint8_t shown;
  int masterId;            // the master pointer (kind 1)
  Window window;           // the marker window (kind 2)
  Colormap colormap;
  unsigned long pixels[2]; // foreground and background
  uint8_t pixelsAllocated;
  int hotX, hotY;          // the hot-spot offset
  int x, y;                // the last position asked for
};

// Creates a marker on the screen: a master pointer named after name with XInput 2, else a
// shaped window (needs SHAPE). The marker starts hidden. NULL and *marker set, or an error.
const char *xrcCreateMarker(Display *display, int screen, const char *name, XrcMarker **marker);
// Moves the marker to x, y; a hidden window marker is shown at its first move.
const char *xrcMoveMarker(XrcMarker *marker, int x, int y);
// Shows or hides the marker (the window marker owns the marker selection while shown).
const char *xrcShowMarker(XrcMarker *marker, int show);
// Removes the master pointer or destroys the window; NULL is fine.
void xrcDestroyMarker(XrcMarker *marker);
// Whether anybody owns the marker selection.
int xrcMarkerShown(Display *display);

// Draws and erases circles around a position, rectangles inside an area, or two lines crossing
// at a position, inverting the root's pixels under a server grab.
const char *xrcHighlightPosition(Display *display, int screen, int x, int y);
const char *xrcHighlightArea(Display *display, int screen, int x, int y, unsigned width,
                             unsigned height);
const char *xrcHighlightCrossing(Display *display, int screen, int x, int y);

// Grabs the pointer with a font cursor of that shape and waits until the button (any for 0)
// is released; *window is the top-level window under the pointer (or the root), with the
// client variant the window inside it that carries WM_STATE. A refused grab ends at once.
const char *xrcPickWindow(Display *display, unsigned shape, unsigned button, Window *window);
const char *xrcPickClientWindow(Display *display, unsigned shape, unsigned button,
                                Window *window);
